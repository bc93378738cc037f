#ifndef TAVENOOK_SHELL_RESIZABLEWINDOW_H
#define TAVENOOK_SHELL_RESIZABLEWINDOW_H

#include <QObject>

// A window whose geometry the size memory reads, restores and follows. The
// implementer emits the signals with the new values.
class ResizableWindow : public QObject {
    Q_OBJECT

public:
    explicit ResizableWindow(QObject* parent = nullptr) : QObject(parent) {}
    ~ResizableWindow() override {}

    virtual int GetX() = 0;
    virtual int GetY() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual void SetPosition(int x, int y) = 0;
    virtual void SetSize(int width, int height) = 0;

signals:
    void WindowMoved(int x, int y);
    void WindowResized(int width, int height);
};

#endif
