#ifndef TAVENOOK_SHELL_TABWIDGET_H
#define TAVENOOK_SHELL_TABWIDGET_H

#include <QTabWidget>

// A tab widget that colours the tab of a page with unseen news and, when a
// page is shown, focuses the page's preferred widget.
class TabWidget : public QTabWidget {
    Q_OBJECT

public:
    explicit TabWidget(QWidget* parent = nullptr);

    // Marks, in every enclosing TabWidget, the tab towards the widget unless
    // it is the current one.
    static void MarkTabActivity(QWidget* widget);
    // Whether the tab carries the news mark.
    bool IsTabMarked(int index) const;

public slots:
    void OnTabChanged(int i_tab);
};

#endif
