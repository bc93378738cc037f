#include "shell/FocusWidget.h"

#include <QTabWidget>
#include <QVariant>
#include <QVector>
#include <QWidget>

namespace {
const char* const kFocusProperty = "get_focus";
}

void RegisterWidgetForTabFocus(QWidget* widget, int priority) {
    if (!widget)
        return;
    widget->setProperty(kFocusProperty, priority);
    if (widget->isVisible())
        widget->setFocus(Qt::OtherFocusReason);
}

int FindWidgetFocusProperty(QWidget* widget, int floor) {
    if (!widget || !widget->isVisible())
        return floor;
    const QVariant priority = widget->property(kFocusProperty);
    if (priority.isValid() && priority.toInt() > floor) {
        widget->setFocus(Qt::OtherFocusReason);
        floor = priority.toInt();
    }
    for (QObject* child : widget->children())
        if (child->isWidgetType())
            floor = qMax(floor, FindWidgetFocusProperty(static_cast<QWidget*>(child), floor));
    return floor;
}

QTabWidget* GetWidgetTabWidget(QWidget* widget, int& index) {
    if (!widget)
        return nullptr;
    // A tab widget's pages sit inside its internal stack, so a page is not a
    // direct child of the tab widget: look for it among every ancestor met so
    // far below.
    QVector<QWidget*> below{widget};
    for (QWidget* ancestor = widget->parentWidget(); ancestor;
         ancestor = ancestor->parentWidget()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(ancestor)) {
            for (QWidget* candidate : below) {
                const int found = tabs->indexOf(candidate);
                if (found >= 0) {
                    index = found;
                    return tabs;
                }
            }
        }
        below.append(ancestor);
    }
    return nullptr;
}

void FocusWidgetAndParents(QWidget* widget) {
    if (!widget)
        return;
    widget->activateWindow();
    widget->setFocus(Qt::OtherFocusReason);
    QWidget* from = widget;
    int index = -1;
    while (QTabWidget* tabs = GetWidgetTabWidget(from, index)) {
        tabs->setCurrentIndex(index);
        from = tabs;
    }
}
