#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtTest>

#include "shell/FocusWidget.h"

class TestFocus : public QObject {
    Q_OBJECT

private slots:
    void nestedTabsShowThePageThatHoldsTheWidget();
    void widgetOutsideTabsAndNull();
};

void TestFocus::nestedTabsShowThePageThatHoldsTheWidget() {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* outer = new QTabWidget;
    layout->addWidget(outer);
    auto* outerFirst = new QLineEdit;
    outer->addTab(outerFirst, "first");

    // The second outer page holds an inner tab widget, inside a plain
    // container, so the tab widgets are not the widget's direct ancestors.
    auto* outerSecond = new QWidget;
    auto* outerSecondLayout = new QVBoxLayout(outerSecond);
    auto* inner = new QTabWidget;
    outerSecondLayout->addWidget(inner);
    outer->addTab(outerSecond, "second");

    inner->addTab(new QLineEdit, "inner first");
    auto* innerSecond = new QWidget;
    auto* innerSecondLayout = new QVBoxLayout(innerSecond);
    auto* target = new QLineEdit;
    innerSecondLayout->addWidget(target);
    inner->addTab(innerSecond, "inner second");
    inner->addTab(new QLineEdit, "inner third");

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    outerFirst->setFocus();
    QCOMPARE(outer->currentIndex(), 0);
    QCOMPARE(inner->currentIndex(), 0);

    FocusWidget(target);
    QCOMPARE(inner->currentIndex(), 1);
    QCOMPARE(outer->currentIndex(), 1);
    QVERIFY(target->isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(target));
    QTRY_COMPARE(QApplication::activeWindow(), &window);

    // Back to the first page by the same route; the inner tab widget keeps
    // its page since the widget is not inside it.
    FocusWidget(outerFirst);
    QCOMPARE(outer->currentIndex(), 0);
    QCOMPARE(inner->currentIndex(), 1);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(outerFirst));

    // A tab widget that is itself a page: focusing it shows its own page in
    // the outer tab widget and leaves its current page alone.
    FocusWidget(inner);
    QCOMPARE(outer->currentIndex(), 1);
    QCOMPARE(inner->currentIndex(), 1);
}

void TestFocus::widgetOutsideTabsAndNull() {
    FocusWidget(nullptr);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* first = new QLineEdit;
    auto* second = new QLineEdit;
    layout->addWidget(first);
    layout->addWidget(second);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    first->setFocus();
    FocusWidget(second);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(second));
}

QTEST_MAIN(TestFocus)
#include "test_focus.moc"
