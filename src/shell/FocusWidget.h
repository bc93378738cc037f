#ifndef TAVENOOK_SHELL_FOCUSWIDGET_H
#define TAVENOOK_SHELL_FOCUSWIDGET_H

class QTabWidget;
class QWidget;

// Marks the widget as its page's preferred focus (property "get_focus"); the
// highest priority wins when the page is shown. A visible widget takes the
// focus at once.
void RegisterWidgetForTabFocus(QWidget* widget, int priority);

// Focuses the visible widget of the subtree with the highest "get_focus"
// above the floor (the first such in depth-first order) and returns the
// highest priority met, or the floor.
int FindWidgetFocusProperty(QWidget* widget, int floor);

// The nearest tab widget that holds the widget, or one of its ancestors, as
// a page, with that page's index; null (index untouched) when there is none.
QTabWidget* GetWidgetTabWidget(QWidget* widget, int& index);

// Brings the widget to the user: activates its window, gives it the focus
// and, in every enclosing QTabWidget from the innermost out, makes the page
// that holds it current. A null widget does nothing.
void FocusWidgetAndParents(QWidget* widget);
inline void FocusWidget(QWidget* widget) {
    FocusWidgetAndParents(widget);
}

#endif
