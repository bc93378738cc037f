#include "shell/ShellGlobals.h"

#include <QCoreApplication>

#include "store/Settings.h"

MainWindow* mainWindow = nullptr;
bool g_showIsOver = false;
bool g_exitSaveFailed = false;
const char* const kTavenookWebHost = "http://www.tavenook.net";

ShellHooks& Shell() {
    static ShellHooks hooks;
    return hooks;
}

namespace {
std::function<void()>& QuitHandler() {
    static std::function<void()> handler;
    return handler;
}
}  // namespace

void SetQuitHandler(std::function<void()> handler) {
    QuitHandler() = std::move(handler);
}

void ShellQuit() {
    if (QuitHandler())
        QuitHandler()();
    else
        QCoreApplication::quit();
}

void ShellSaveData() {
    if (Shell().saveData)
        Shell().saveData();
}

void ShellPopupAlert(const QString& text) {
    if (Shell().popupAlert)
        Shell().popupAlert(text);
}

void ShellSetApplicationIcon(const QString& icon) {
    if (Shell().setApplicationIcon)
        Shell().setApplicationIcon(icon);
}

void ShellResetApplicationIcon() {
    if (Shell().resetApplicationIcon)
        Shell().resetApplicationIcon();
}

bool ShellMainWindowIsActive() {
    return Shell().mainWidget && Shell().mainWidget->isActiveWindow();
}

Type* DeclareShellType(const char* name, Primacy primacy, bool isNull, bool autoCreate) {
    if (Type* existing = d.FindType(name))
        return existing;
    return d.NewType(name, primacy, isNull, autoCreate);
}

void RelateShellTypes(const char* a, const char* b, OneOrMany aPerB, OneOrMany bPerA) {
    Type* ta = d.GetType(a);
    Type* tb = d.GetType(b);
    if (!ta->IsRelatedTo(tb))
        ta->RelateToType(tb, aPerB, bPerA, false);
}

QString ShellSetting(const char* key) {
    return d.FindType("global") && d.FindType("global_value") ? GetSetting(key) : QString();
}
