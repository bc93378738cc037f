#include "shell/TreeWidget.h"

#include <QKeyEvent>

TreeWidget::TreeWidget(QWidget* parent) : QTreeWidget(parent) {}

void TreeWidget::keyPressEvent(QKeyEvent* event) {
    emit KeyPressed(event);
    QTreeWidget::keyPressEvent(event);
}
