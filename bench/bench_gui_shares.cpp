// The share browser under load, on the main thread and offscreen: a
// received share list of many files in many folders turned into its store
// graph and a usable tree, one filter keystroke over it, and the deepest
// list a message can carry, built and exported.
//
// Usage: bench_gui_shares [--quick]
//   --quick  figures only, over smaller shares
//   (none)   100,000 files in 5,000 folders, with the targets: the list
//            shown under 2 s, a keystroke under 200 ms; 8,188 nested folders

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ProcStatus.h"
#include "net/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "support/CoreServices.h"
#include "support/Payload.h"
#include "views/shares/ShareForm.h"
#include "views/shares/SharesForm.h"

namespace {

bool g_full = true;

void Report(const char* what, double ms, double target) {
    if (g_full)
        std::printf("  %-52s %9.1f ms  (target %.0f ms: %s)\n", what, ms, target,
                    ms <= target ? "met" : "MISSED");
    else
        std::printf("  %-52s %9.1f ms\n", what, ms);
}

// Top folders of ten subfolders of ten leaves each, files spread evenly.
QByteArray ShareList(int folders, int files) {
    std::vector<std::string> paths;
    for (int top = 0; paths.size() < size_t(folders); ++top) {
        const std::string t = "Music\\Artist " + std::to_string(top);
        paths.push_back(t);
        for (int a = 0; a < 10 && paths.size() < size_t(folders); ++a) {
            const std::string al = t + "\\Album " + std::to_string(a);
            paths.push_back(al);
            for (int c = 0; c < 9 && paths.size() < size_t(folders); ++c)
                paths.push_back(al + "\\Disc " + std::to_string(c));
        }
    }
    Payload body;
    body.U32(quint32(paths.size()));
    const int perFolder = files / int(paths.size());
    int n = 0;
    for (const std::string& path : paths) {
        body.Str(QString::fromStdString(path)).U32(quint32(perFolder));
        for (int k = 0; k < perFolder; ++k, ++n)
            body.File("track " + std::to_string(n) + (n % 7 ? " blue" : " red") + ".mp3",
                      quint64(3000000 + n), {{0, 128 + n % 192}, {1, 200}, {2, n % 2}});
    }
    return Compress(body.U32(0));
}

// One folder in each of the one before, each name one letter: the paths
// add up to about n * n bytes unpacked.
QByteArray DeepList(int depth, qint64* unpacked) {
    Payload body;
    body.U32(quint32(depth));
    std::string path;
    for (int k = 0; k < depth; ++k) {
        path += k ? "\\a" : "a";
        body.Str(QString::fromStdString(path)).U32(0);
    }
    const QByteArray bytes = body.U32(0);
    *unpacked = bytes.size();
    return Compress(bytes);
}

double Ms(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    for (int k = 1; k < argc; ++k)
        if (std::strcmp(argv[k], "--quick") == 0)
            g_full = false;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TAVENOOK_NO_UPNP", "1");
    QApplication app(argc, argv);

    CoreServices core;
    core.StartCore();
    SetSetting("username", "me");
    SetSetting("expand_new_shares", "yes");
    auto shares = std::make_unique<SharedFoldersManager>();
    auto invoker = std::make_unique<DelayedInvoker>();
    auto page = std::make_unique<SharesForm>();
    page->Init();
    page->resize(1000, 700);
    page->show();
    QApplication::processEvents();

    const int folders = g_full ? 5000 : 1000;
    const int files = g_full ? 100000 : 20000;
    std::printf("Share browser (%s run): %d files in %d folders\n", g_full ? "full" : "quick",
                files, folders);
    const QByteArray message = ShareList(folders, files);

    ShareForm* form = page->OpenShareBrowse("bob");
    QApplication::processEvents();
    const long rssBefore = ResidentKiB();
    QElapsedTimer timer;
    timer.start();
    MemStream payload(message);
    core.messenger->HandleMessage("bob", PeerMessenger::PM_SHARED_FILE_LIST, payload);
    form->FolderTree()->setCurrentItem(form->FolderTree()->topLevelItem(0));
    QApplication::processEvents();
    Report("received list to a usable tree", Ms(timer), 2000);
    std::printf("  %-52s %9.1f MiB\n", "memory of the shown share (resident growth)",
                double(ResidentKiB() - rssBefore) / 1024);

    // What the store graph alone costs, and the tree over it.
    FileInfoMap parsed;
    AttributeTranslationTable table;
    timer.restart();
    ParseSharedFileList(message.constData(), message.size(), parsed, table);
    const double parseMs = Ms(timer);
    timer.restart();
    const ItemPtr graph = SharesForm::CreateUserShareData(parsed, table);
    const double graphMs = Ms(timer);
    std::printf("  %-52s %9.1f ms\n", "  of which: parsing the list", parseMs);
    std::printf("  %-52s %9.1f ms\n", "  of which: the store graph", graphMs);
    timer.restart();
    SharedFoldersManager::RemoveShare(graph);
    std::printf("  %-52s %9.1f ms\n", "  removing a graph (with the sweep)", Ms(timer));

    double worst = 0;
    for (const char* text : {"b", "bl", "blue", "blue -red", "minbitrate:250", ""}) {
        timer.restart();
        form->FilterEdit()->setText(text);
        QApplication::processEvents();
        worst = qMax(worst, Ms(timer));
    }
    Report("slowest filter keystroke", worst, 200);

    int rows = 0;
    for (QTreeWidgetItemIterator it(form->FolderTree()); *it; ++it)
        ++rows;
    std::printf("  folder rows: %d\n", rows);

    // The deepest list: built, filtered and exported.
    const int depth = g_full ? 8188 : 2000;
    qint64 unpacked = 0;
    const QByteArray deep = DeepList(depth, &unpacked);
    std::printf("Deepest list (%d nested folders, %lld bytes unpacked, %d compressed)\n", depth,
                unpacked, int(deep.size()));
    ShareForm* deepForm = page->OpenShareBrowse("deep");
    QApplication::processEvents();
    timer.restart();
    MemStream deepPayload(deep);
    core.messenger->HandleMessage("deep", PeerMessenger::PM_SHARED_FILE_LIST, deepPayload);
    QApplication::processEvents();
    std::printf("  %-52s %9.1f ms (deepest level %d)\n", "received list to a usable tree",
                Ms(timer), deepForm->DeepestLevel());
    timer.restart();
    deepForm->FilterEdit()->setText("a");
    QApplication::processEvents();
    std::printf("  %-52s %9.1f ms\n", "filter keystroke", Ms(timer));
    QTemporaryDir dir;
    timer.restart();
    deepForm->ExportToFile(dir.filePath("deep.xml"));
    const qint64 exported = QFileInfo(dir.filePath("deep.xml")).size();
    std::printf("  %-52s %9.1f ms\n", "export", Ms(timer));
    std::printf("  %-52s %9lld bytes (%.1f x the unpacked list)\n", "export size", exported,
                double(exported) / double(unpacked));
    timer.restart();
    page->OnTabCloseRequested(page->Tabs()->indexOf(deepForm));
    std::printf("  %-52s %9.1f ms\n", "closing the tab", Ms(timer));
    page.reset();
    core.StopCore();
    return 0;
}
