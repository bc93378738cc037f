// Log lines into an open, shown diagnostics view at the rate of a busy
// distributed-network node: the time the main thread spends per line, with
// and without user-level logging (per-item entries and the area's file), and
// what the view keeps in memory when many more lines arrive.
//
// Usage: bench_gui_diagnostics [--quick]
//   --quick  2,000 lines per round, figures only
//   (none)   10,000 lines per round, with a verdict on the target: a second's
//            worth of 10,000 lines handled in under one second

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ProcStatus.h"
#include "net/server.h"
#include "store/Settings.h"
#include "views/shares/DataDialog.h"
#include "views/shares/DiagnosticsForm.h"
#include "views/shares/TypeNavigatorDialog.h"

namespace {

// One round of `lines` relayed searches, then showing and painting them.
double Round(DiagnosticsForm& form, int lines, int round, const ItemPtr& user) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i)
        Log("Search", 2,
            QString("Relayed search %1 from user%2: <b>some artist</b> & album %3")
                .arg(round * lines + i)
                .arg(i % 500)
                .arg(i),
            user);
    form.ShowPendingLines();  // what the form's timer does
    QApplication::processEvents();
    return double(clock.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool quick = argc > 1 && !std::strcmp(argv[1], "--quick");
    const int lines = quick ? 2000 : 10000;
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    DeclareSettingsTypes(nullptr);
    Server::CreateData();
    DiagnosticsForm form;
    form.Init();
    form.RegisterLoggableItemType("user");
    form.resize(900, 600);
    form.show();
    SetSetting("show_diagnostics", "yes");
    const ItemPtr peer = d.GetType("user")->GetItem("relaying peer");
    std::printf("bench_gui_diagnostics: %d lines per round%s\n", lines, quick ? " (quick)" : "");

    Round(form, 10, 0, ItemPtr());  // creates the area's page
    form.LogTabs()->setCurrentIndex(0);
    const double viewMs = Round(form, lines, 1, ItemPtr());
    std::printf("view only: %d lines in %.1f ms, %.2f us per line\n", lines, viewMs,
                viewMs * 1000 / lines);

    SetSetting("user_level_logging", "yes");
    const double fullMs = Round(form, lines, 2, peer);
    std::printf(
        "user-level logging (item entries and file): %d lines in %.1f ms, %.2f us per "
        "line\n",
        lines, fullMs, fullMs * 1000 / lines);

    const long before = ResidentKiB();
    for (int round = 3; round < 8; ++round)
        Round(form, lines, round, peer);
    const long after = ResidentKiB();
    std::printf(
        "after %d more lines: view keeps %d lines (cap %d), item keeps %d entries (cap "
        "%d), resident memory grew %ld KiB\n",
        5 * lines, form.AreaView("Search")->blockCount(), DiagnosticsForm::kMaxViewLines,
        peer.CountItems("item_log"), DiagnosticsForm::kMaxItemEntries, after - before);

    // The store browser follows every item made and removed while open.
    Type* user = d.GetType("user");
    form.OnActionTriggered(&form, "show_data");
    dataDialog->TypeList()->findItems("user", Qt::MatchExactly)[0]->setSelected(true);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i)
        user->GetItem(QString("user%1").arg(i));
    for (int i = 0; i < lines; ++i)
        user->HasItem(QString("user%1").arg(i)).Remove();
    const double storeMs = double(clock.nsecsElapsed()) / 1e6;
    std::printf(
        "store browser open on the listed type: %d users made and removed in %.1f ms, "
        "%.2f us per item, %d rows left\n",
        lines, storeMs, storeMs * 1000 / (2 * lines), dataDialog->ItemList()->count());

    // Every chain from "user" to each type within reach of it.
    form.OnActionTriggered(&form, "type_navigator");
    typeNavigatorDialog->FromBox()->setCurrentText("user");
    QComboBox* to = typeNavigatorDialog->ToBox();
    clock.restart();
    for (int k = 0; k < to->count(); ++k)
        to->setCurrentIndex(k);
    const double pathsMs = double(clock.nsecsElapsed()) / 1e6;
    std::printf("type navigator: chains from \"user\" to %d types in %.1f ms\n", to->count(),
                pathsMs);
    if (!quick)
        std::printf("%d lines handled within one second: %s\n", lines,
                    fullMs < 1000 && viewMs < 1000 ? "met" : "MISSED");
    return 0;
}
