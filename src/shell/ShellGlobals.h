#ifndef TAVENOOK_SHELL_SHELLGLOBALS_H
#define TAVENOOK_SHELL_SHELLGLOBALS_H

// What the shared widgets need of the main window, without depending on its
// class: the main window fills the hooks when it is built, and until then
// (and in tests that build no main window) every call does nothing.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "store/Data.h"

class MainWindow;

// Set by the main window's constructor; defined here, not by the window.
extern MainWindow* mainWindow;
// True from the start of the main window's destruction on.
extern bool g_showIsOver;
// Set when the save at the main window's end failed: the program then ends
// with a failure status, as what the user changed is lost.
extern bool g_exitSaveFailed;

// The network's web host: support page and release file live there.
extern const char* const kTavenookWebHost;

struct ShellHooks {
    std::function<void()> saveData;
    std::function<void(const QString& text)> popupAlert;
    std::function<void(const QString& icon)> setApplicationIcon;
    std::function<void()> resetApplicationIcon;
    // The main window as a widget, to ask whether it is the active window.
    QPointer<QWidget> mainWidget;
};

ShellHooks& Shell();

// Ends the program in order, as at any quit: the event loop returns and the
// main window's end saves the store, whatever other windows are open. A test
// that runs no event loop of the application takes the request instead.
void ShellQuit();
void SetQuitHandler(std::function<void()> handler);

void ShellSaveData();
void ShellPopupAlert(const QString& text);
void ShellSetApplicationIcon(const QString& icon);
void ShellResetApplicationIcon();
bool ShellMainWindowIsActive();

// Store helpers of the shell's widgets. A second instance of a widget (or
// a test building it again) finds its types already declared.
Type* DeclareShellType(const char* name, Primacy primacy, bool isNull, bool autoCreate);
// Relates a and b: each b item links to at most `aPerB` a items, each a
// item to at most `bPerA` b items.
void RelateShellTypes(const char* a, const char* b, OneOrMany aPerB, OneOrMany bPerA);
// The store key of an object: its address in decimal.
inline Value ObjectKey(const QObject* object) {
    return Value(object);
}
// Settings read by the widgets before the settings types may exist.
QString ShellSetting(const char* key);

#endif
