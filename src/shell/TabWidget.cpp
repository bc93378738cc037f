#include "shell/TabWidget.h"

#include <QTabBar>
#include <QVector>

#include "shell/FocusWidget.h"

TabWidget::TabWidget(QWidget* parent) : QTabWidget(parent) {
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

void TabWidget::MarkTabActivity(QWidget* widget) {
    if (!widget)
        return;
    QVector<QWidget*> below{widget};
    for (QWidget* ancestor = widget->parentWidget(); ancestor;
         ancestor = ancestor->parentWidget()) {
        if (auto* tabs = qobject_cast<TabWidget*>(ancestor)) {
            for (QWidget* candidate : below) {
                const int index = tabs->indexOf(candidate);
                if (index >= 0) {
                    if (index != tabs->currentIndex())
                        tabs->tabBar()->setTabTextColor(index, QColor(Qt::blue));
                    break;
                }
            }
        }
        below.append(ancestor);
    }
}

bool TabWidget::IsTabMarked(int index) const {
    return tabBar()->tabTextColor(index) == QColor(Qt::blue);
}

void TabWidget::OnTabChanged(int i_tab) {
    if (i_tab < 0)
        return;
    FindWidgetFocusProperty(widget(i_tab), 0);
    tabBar()->setTabTextColor(i_tab, QColor());
}
