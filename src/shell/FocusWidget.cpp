#include "shell/FocusWidget.h"

#include <QTabWidget>
#include <QVector>
#include <QWidget>

void FocusWidget(QWidget* widget) {
    if (!widget)
        return;
    widget->activateWindow();
    widget->setFocus(Qt::OtherFocusReason);

    // A tab widget's pages sit inside its internal stack, so a page is not a
    // direct child of the tab widget: look for it among every ancestor met so
    // far below.
    QVector<QWidget*> below{widget};
    for (QWidget* ancestor = widget->parentWidget(); ancestor;
         ancestor = ancestor->parentWidget()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(ancestor)) {
            for (QWidget* candidate : below) {
                const int index = tabs->indexOf(candidate);
                if (index >= 0) {
                    tabs->setCurrentIndex(index);
                    break;
                }
            }
        }
        below.append(ancestor);
    }
}
