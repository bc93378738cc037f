#ifndef TAVENOOK_SHELL_TREEWIDGET_H
#define TAVENOOK_SHELL_TREEWIDGET_H

#include <QTreeWidget>

class QKeyEvent;

// A list that tells its owner of every key press before handling it.
class TreeWidget : public QTreeWidget {
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* parent = nullptr);
    // Lays the rows out now rather than at the next turn of the event loop.
    void LayOutNow() { executeDelayedItemsLayout(); }

signals:
    void KeyPressed(QKeyEvent* event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

#endif
