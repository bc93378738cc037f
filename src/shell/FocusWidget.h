#ifndef TAVENOOK_SHELL_FOCUSWIDGET_H
#define TAVENOOK_SHELL_FOCUSWIDGET_H

class QWidget;

// Brings the widget to the user: activates its window, gives it the focus
// and, in every enclosing QTabWidget from the innermost out, makes the page
// that holds it current. A null widget does nothing.
void FocusWidget(QWidget* widget);

#endif
