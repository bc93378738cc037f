// The transfers page over a real store and transfer engine: a scripted peer
// ("bob") uploads to us and downloads from us over loopback; the texts and
// combined figures over store contents; the half-minute sweep; the start-up
// build after a saved store.
#include <QDateTime>
#include <QMenu>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <memory>
#include <numeric>
#include <random>

#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "support/ColumnFit.h"
#include "support/LogLines.h"
#include "support/Payload.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/TransferColours.h"
#include "support/TransferServices.h"
#include "ui_CompleteDownloadsForm.h"
#include "ui_SearchForm.h"
#include "ui_TransfersForm.h"
#include "views/search/SearchForm.h"
#include "views/transfers/CompleteDownloadsForm.h"
#include "views/transfers/TransfersForm.h"
#include "views/users/UserMenuOptions.h"

namespace {

constexpr int kWait = 10000;
using TQM = TransferQueueManager;

QTreeWidgetItem* RowOf(const ItemPtr& entry, const char* nodeType) {
    return TQM::ObjectOf<QTreeWidgetItem>(entry.HasItem(nodeType));
}

// A list's file rows as "user>folder>file", in order.
QStringList Shape(QTreeWidget* list) {
    QStringList shape;
    for (int u = 0; u < list->topLevelItemCount(); ++u)
        for (int f = 0; f < list->topLevelItem(u)->childCount(); ++f)
            for (int e = 0; e < list->topLevelItem(u)->child(f)->childCount(); ++e) {
                QTreeWidgetItem* folder = list->topLevelItem(u)->child(f);
                shape << folder->parent()->text(0) + ">" + folder->text(1) + ">" +
                             folder->child(e)->text(2);
            }
    return shape;
}

QString BarText(QTreeWidgetItem* row) {
    return row && TransfersForm::HasBar(row) ? row->data(4, TransfersForm::kBarTextRole).toString()
                                             : QStringLiteral("-");
}

// A menu as texts: "-" for a separator, "Sub>Entry" inside a submenu.
QStringList MenuTexts(QMenu* menu, const QString& prefix = QString()) {
    QStringList texts;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator())
            texts << prefix + "-";
        else if (a->menu())
            texts << MenuTexts(a->menu(), prefix + a->text() + ">");
        else
            texts << prefix + a->text();
    }
    return texts;
}

QAction* FindAction(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions()) {
        if (a->menu()) {
            if (QAction* inner = FindAction(a->menu(), text))
                return inner;
        } else if (a->text() == text) {
            return a;
        }
    }
    return nullptr;
}

// Takes the addresses handed to the desktop's opener.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls << url; }
};

}  // namespace

class TestTransferViews : public QObject, private TransferServices {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<RawPeer> bob;
    std::unique_ptr<ActionSetToolBar> bar;
    std::unique_ptr<EventToolBar> events;
    std::unique_ptr<QTabWidget> tabs;
    TransfersForm* form = nullptr;
    QStringList popups;
    // What each context menu offered, and the entry to choose in it.
    QStringList menuShown;
    QString menuChoice;

    QString P(const QString& file) const { return tmp->path() + "/" + file; }
    // The lists as shown once waiting rows went in.
    QTreeWidget* Downloads() const {
        form->FlushRows();
        return form->DownloadsList();
    }
    QTreeWidget* Uploads() const {
        form->FlushRows();
        return form->UploadsList();
    }
    QString TabTitle() const { return tabs->tabText(0); }
    static void Link(const ItemPtr& item, const char* type, const Value& value) {
        item.Connect(d.GetType(type)->GetItem(value));
    }
    void BuildForm() {
        bar.reset(new ActionSetToolBar);
        events.reset(new EventToolBar);
        tabs.reset(new QTabWidget);
        form = new TransfersForm;
        tabs->addTab(form, "Transfers");
        WriteTransferColours();
        form->Init();
        tabs->resize(1000, 600);
        tabs->show();
    }
    // A download or upload made directly in the store, as the engine makes
    // them; "status:size:position:speed".
    ItemPtr Fake(bool upload, const QString& user, const QString& folder, const QString& file,
                 const QString& spec) {
        const QStringList f = spec.split(':');
        const ItemPtr e = d.GetType(upload ? "upload_entry" : "download_entry")->NewItem();
        const char* position = upload ? "read_position" : "write_position";
        if (f.size() > 2) {
            // Engine values on the heap: the engine frees them with their items.
            Link(e, position, Value(new qint64(f[2].toLongLong())));
            Link(e, "bytes_per_second", Value(new qint32(f.size() > 3 ? f[3].toInt() : 0)));
        }
        if (upload) {
            const ItemPtr shared = d.GetType("shared_file")->NewItem();
            Link(shared, "shared_file_name", folder + "/" + file);
            Link(shared, "shared_file_size", f[1].toLongLong());
            Link(shared, "shared_file_folder", folder);
            Link(e, "user", user);
            e.Connect(shared);
        } else {
            Link(e, "file_size", f[1].toLongLong());
            Link(e, "file_name", file);
            Link(e, "remote_folder", folder);
            Link(e, "user", user);
        }
        if (f[0] == "denied")
            Link(e, "denial_reason", QString("File not shared."));
        if (f[0] == "local error")
            Link(e, "denial_reason", QString("cannot write /D/F.bin: No space left on device"));
        if (!f[0].isEmpty())
            Link(e, upload ? "upload_entry_status" : "download_entry_status", f[0]);
        return e;
    }
    void Menu(QTreeWidget* list, const QList<QTreeWidgetItem*>& rows) {
        list->clearSelection();
        for (QTreeWidgetItem* row : rows)
            row->setSelected(true);
        menuShown.clear();
        if (list == Downloads())
            form->OnDownloadsContextMenuRequested(QPoint(1, 1));
        else
            form->OnUploadsContextMenuRequested(QPoint(1, 1));
    }
    // What UserMenuOptions adds for the user, below a list's own entries.
    static QStringList UserTail(const QString& user) {
        QMenu menu;
        menu.addAction("x");
        UserMenuOptions options(&menu, user);
        return MenuTexts(&menu).mid(1);
    }
    // The text the tool bar shows for the list's action that starts so.
    QString ToolText(QTreeWidget* list, const QString& set, const QString& start) {
        bar->ChangeSet(nullptr, QString());
        bar->ChangeSet(list, set);
        for (QAction* action : bar->actions())
            if (action->text().startsWith(start))
                return action->text();
        return QString();
    }

    void CatchPromptsAndPopups() {
        Shell().popupAlert = [this](const QString& text) { popups << text; };
        prompts::SetMenuHandler([this](QMenu* menu, const QPoint&) -> QAction* {
            menuShown = MenuTexts(menu);
            return menuChoice.isEmpty() ? nullptr : FindAction(menu, menuChoice);
        });
    }

    // Bob's side of a download, as in the engine's own tests.
    QString Request(quint32 req, const QString& path, qint64 size) {
        bob->SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                           Payload().U32(1).U32(req).Str(path).I64(size));
        // A retry's queue request may come first.
        for (;;) {
            quint32 code = 0;
            QByteArray payload;
            if (!bob->WaitForMessageOn(0, &code, &payload, kWait))
                return "timeout";
            if (code == PeerMessenger::PM_TRANSFER_RESPONSE)
                return "answered";
        }
    }
    int Offer(quint32 req, const QString& path, qint64 size, qint64* offset = nullptr) {
        if (Request(req, path, size) != "answered" || !bob->ConnectTo(messenger->ListeningPort()))
            return -1;
        const int index = bob->CurrentConnection();
        bob->SendSetUpOn(index, "bob", "F");
        bob->SendRawOn(index, RawPeer::U32(req));
        bob->Select(0);
        MemStream in(bob->ReadRawOn(index, 8, kWait));
        qint64 from = -1;
        if (!in.Read(from))
            return -1;
        if (offset)
            *offset = from;
        return index;
    }

private slots:
    void init() {
        tmp.reset(new QTemporaryDir);
        bob.reset(new RawPeer);
        QVERIFY(tmp->isValid() && StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        SetSetting("download_folder", P("dl"));
        popups.clear();
        CatchPromptsAndPopups();
        menuChoice.clear();
        BuildForm();
        tqm->DataLoaded();  // the engine's end of load: rows are built from here on
    }
    void cleanup() {
        prompts::SetMenuHandler(nullptr);
        Shell().popupAlert = nullptr;
        for (const ItemPtr& entry : d.GetType("upload_entry")->GetItems())
            tqm->RemoveUpload(entry);
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            tqm->RemoveDownload(entry);
        delete form;
        form = nullptr;
        tabs.reset();
        events.reset();
        bar.reset();
        bob.reset();
        StopTransferServices();
    }
    void downloadsAgainstTheEngine();
    void uploadsAgainstTheEngine();
    void textsAndCombinedStatus_data();
    void textsAndCombinedStatus();
    void progressFitsDefaultColumns_data();
    void progressFitsDefaultColumns();
    void rowsBetweenFlushes();
    void folderWhileItsFilesWait_data();
    void folderWhileItsFilesWait();
    void numberColumnsFit_data();
    void numberColumnsFit();
    void actionsMenusAndControls();
    void halfMinuteSweepAndClearing();
    void rerunSearchOpensAPage();
    void completedDownloadsList();
    void startupAfterSavedStore();
    void announcedSizeFollowed();
    void openFileOpensWhatWasWritten_data();
    void openFileOpensWhatWasWritten();
    void groupRowsRecomputed();
    void settingsChangedWhileUploadsSetUp_data();
    void settingsChangedWhileUploadsSetUp();
    void settingsChangedWhileDownloadsSetUp_data();
    void settingsChangedWhileDownloadsSetUp();
};

// Rows appear, follow status and progress and complete; the alerts set from
// the menu fire once each; retry and remove reach the engine; the tab counts.
void TestTransferViews::downloadsAgainstTheEngine() {
    QCOMPARE(TabTitle(), QString("Transfers [0/0]"));
    const ItemPtr a = tqm->AddDownload("bob", "a.mp3", "Music\\Album", 30000, false, 0);
    const ItemPtr b = tqm->AddDownload("bob", "b.mp3", "Music\\Album", 1000, false, 0);
    const ItemPtr c = tqm->AddDownload("bob", "c.mp3", "Music\\Other", 1000, false, 0);
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
    QTreeWidgetItem* user = Downloads()->topLevelItem(0);
    QVERIFY(user->text(0) == "bob" && user->childCount() == 2);
    QTreeWidgetItem* album = user->child(0);
    QCOMPARE(album->text(1), QString("Album/Music"));
    QCOMPARE(album->childCount(), 2);
    QTreeWidgetItem* aRow = RowOf(a, "download_list_node");
    QVERIFY(aRow && aRow->parent() == album);
    QCOMPARE(aRow->text(2) + "|" + aRow->text(3) + "|" + aRow->text(7),
             QString("a.mp3|queued|30,000"));
    QCOMPARE(aRow->foreground(3).color(), QColor("#3366ff"));

    // The three alerts, each set through the menu of its row.
    for (const auto& [row, choice] : {std::pair{aRow, "File download completes"},
                                      {album, "Folder download completes"},
                                      {user, "All downloads from user complete"}}) {
        menuChoice = choice;
        Menu(Downloads(), {row});
        QVERIFY2(menuShown.contains(QString("Notify me when...>") + choice),
                 qPrintable(menuShown.join(',')));
    }
    QVERIFY(!aRow->icon(2).isNull() && !album->icon(1).isNull() && !user->icon(0).isNull());
    QCOMPARE(d.GetType("complete_download_alert")->ItemCount(), 3);

    QSignalSpy progressed(tqm.get(), &TQM::DownloadProgressed);
    const QByteArray data = Pattern(30000);
    const int f = Offer(7, "Music\\Album\\a.mp3", 30000);
    QVERIFY(f >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(aRow->text(3), QString("downloading"), kWait);
    QCOMPARE(TabTitle(), QString("Transfers [1/0]"));
    QCOMPARE(aRow->foreground(0).color(), QColor("#0000ff"));
    // Progress is reported about twice a second: trickle the file until a
    // report comes, well before its end.
    int sent = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (progressed.isEmpty() && sent < 29000) {
                bob->SendRawOn(f, data.mid(sent, 100));
                sent += 100;
            }
            return !progressed.isEmpty();
        },
        kWait));
    const QString partial = BarText(aRow);
    QVERIFY2(partial.endsWith("%)") && !partial.contains("100.0"), qPrintable(partial));
    QVERIFY(aRow->text(5).startsWith("   ") && !aRow->text(6).isEmpty());
    bob->SendRawOn(f, data.mid(sent));
    QTRY_COMPARE_WITH_TIMEOUT(aRow->text(3), QString("complete"), kWait);
    QCOMPARE(BarText(aRow), QString("30,000 (100.0%)"));
    QVERIFY(aRow->text(5).isEmpty() && aRow->text(6).isEmpty());
    QTRY_COMPARE(popups, QStringList{"Download of file a.mp3 complete"});
    QVERIFY(aRow->icon(2).isNull() && album->text(3).isEmpty());
    QCOMPARE(TabTitle(), QString("Transfers [0/0]"));

    // The last of the folder: the folder alert; the user's last: the user's.
    QVERIFY(bob->WaitForDisconnectOn(f, kWait));
    const int g = Offer(8, "Music\\Album\\b.mp3", 1000);
    bob->SendRawOn(g, Pattern(1000));
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(b), QString("complete"), kWait);
    QTRY_COMPARE(popups.size(), 2);
    QCOMPARE(popups.last(), QString("Download of folder Album complete"));
    QVERIFY(album->icon(1).isNull() && !user->icon(0).isNull());
    // A failed download: retried from the menu, then it completes.
    int h = Offer(9, "Music\\Other\\c.mp3", 1000);
    bob->SendRawOn(h, Pattern(10));
    bob->CloseOn(h);
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(c), QString("aborted"), kWait);
    QTreeWidgetItem* cRow = RowOf(c, "download_list_node");
    QCOMPARE(cRow->foreground(3).color(), QColor("#ff0a47"));
    QCOMPARE(user->text(3), QString());  // expanded: no combined text
    menuChoice = "Retry download";
    Menu(Downloads(), {cRow});
    QCOMPARE(menuShown.mid(0, 4),
             (QStringList{"Open Folder", "Retry download", "-", "Remove download"}));
    QCOMPARE(cRow->text(3), QString("queued"));
    qint64 resumed = -1;
    h = Offer(10, "Music\\Other\\c.mp3", 1000, &resumed);
    QCOMPARE(resumed, qint64(10));
    bob->SendRawOn(h, Pattern(1000).mid(10));
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(c), QString("complete"), kWait);
    QTRY_COMPARE(popups.size(), 3);
    QCOMPARE(popups.last(), QString("All download from user bob complete"));
    QCOMPARE(d.GetType("complete_download_alert")->ItemCount(), 0);
    // The user's online mark is back in place of the alert mark.
    QVERIFY(!user->icon(0).isNull() && album->icon(1).isNull());

    // A finished download offers opening; removing it reaches the engine.
    menuChoice = "Remove download";
    Menu(Downloads(), {aRow});
    QCOMPARE(menuShown.mid(0, 4),
             (QStringList{"Open File", "Open Folder", "-", "Remove download"}));
    QCOMPARE(menuShown.mid(4), UserTail("bob"));
    form->FlushRows();
    QVERIFY(a.IsRemoved() && RowOf(b, "download_list_node")->parent() == album);
    QCOMPARE(album->childCount(), 1);

    // A finished file opens by double-click, its folder from the menu.
    UrlCatcher opened;
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    form->OnDownloadListItemDoubleClicked(RowOf(b, "download_list_node"), 3);
    form->OnDownloadListItemDoubleClicked(album, 3);
    menuChoice = "Open Folder";
    Menu(Downloads(), {RowOf(b, "download_list_node")});
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(opened.urls.size(), 2);
    QVERIFY(QFileInfo(opened.urls[0].toLocalFile()).isFile());
    QCOMPARE(ReadFile(opened.urls[0].toLocalFile()), Pattern(1000));
    QCOMPARE(opened.urls[1].toLocalFile(), QFileInfo(opened.urls[0].toLocalFile()).path());

    // An empty file: its bar reads 100 % once it is done.
    const ItemPtr z = tqm->AddDownload("bob", "z", "Empty", 0, false, 0);
    QVERIFY(Offer(11, "Empty\\z", 0) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(z), QString("complete"), kWait);
    QCOMPARE(BarText(RowOf(z, "download_list_node")), QString(" (100.0%)"));
}

// Bob asks for a file of ours; the row follows the upload to its end and the
// menu removes it.
void TestTransferViews::uploadsAgainstTheEngine() {
    QVERIFY(Write(P("M/big"), Pattern(100000)));
    const ItemPtr root = shares->AddSharedFolder(P("M"));
    root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
    QVERIFY(WaitForSharesIndexed(shares.get()));
    QVERIFY(bob->Listen());
    User("bob").Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
    User("bob").Connect(d.GetType("user_port")->GetItem(Value(bob->Port())));
    Online("bob");
    tqm->OnQueueUploadRequested("bob", Wire(P("M/big")));
    const ItemPtr entry = d.GetType("upload_entry")->GetItems().First();
    QTreeWidgetItem* row = RowOf(entry, "upload_list_node");
    QVERIFY(row && Uploads()->topLevelItemCount() == 1);
    QCOMPARE(Uploads()->columnCount(), 8);
    QCOMPARE(row->text(2) + "|" + row->text(7), QString("big|100,000"));
    QCOMPARE(row->parent()->parent()->text(0), QString("bob"));
    QTRY_COMPARE_WITH_TIMEOUT(row->text(3), QString("requesting"), kWait);
    tqm->OnFileTransferResponse("bob", entry.HasItem("transfer_req").AsUInt(), true, false, 0,
                                QString());
    QCOMPARE(row->text(3), QString("connecting"));
    QString kind;
    QVERIFY(bob->WaitForIncoming(kWait) && bob->ReadSetUp(nullptr, &kind, kWait) && kind == "F");
    QCOMPARE(bob->ReadRaw(4, kWait).size(), 4);
    bob->SendRaw(RawPeer::I64(0));
    QTRY_COMPARE_WITH_TIMEOUT(row->text(3), QString("uploading"), kWait);
    QCOMPARE(TabTitle(), QString("Transfers [0/1]"));
    QCOMPARE(bob->ReadRaw(100000, kWait).size(), 100000);
    bob->Close();
    QTRY_COMPARE_WITH_TIMEOUT(row->text(3), QString("complete"), kWait);
    QCOMPARE(BarText(row), QString("100,000 (100.0%)"));
    QCOMPARE(row->foreground(2).color(), QColor("#006400"));
    QCOMPARE(TabTitle(), QString("Transfers [0/0]"));
    menuChoice = "Remove upload";
    Menu(Uploads(), {row});
    QCOMPARE(menuShown,
             QStringList({"Open File", "Open Folder", "-", "Remove upload"}) + UserTail("bob"));
    QVERIFY(entry.IsRemoved() && Uploads()->topLevelItemCount() == 0);
}

void TestTransferViews::textsAndCombinedStatus_data() {
    QTest::addColumn<bool>("upload");
    // Entries of one user, "[folder/]status[>later status]:size:position:speed"
    // (folder "f" when none is given); the first reports, a later status is
    // set once the rows are collapsed.
    QTest::addColumn<QStringList>("entries");
    // The first entry's Status, Progress and ETA texts, the folder row's
    // combined status (collapsed), its colour and its Progress text.
    QTest::addColumn<QStringList>("expected");
    // The user row's combined status (collapsed), its colour and its Progress
    // text; a single folder's by default.
    QTest::addColumn<QStringList>("user");
    const auto row = [](const char* tag, bool upload, const char* entries, const char* expected,
                        const char* user = nullptr) {
        const QStringList folder = QString(expected).split('|');
        QTest::newRow(tag) << upload << QString(entries).split(',') << folder
                           << (user ? QString(user).split('|') : QStringList(folder.mid(3)));
    };
    row("no speed yet", false, "downloading:1000:0:0",
        "downloading| (0.0%)|   0s|downloading|#0000ff| (0.0%)");
    row("half at 1 KiB/s", false, "downloading:2097152:1048576:1024",
        "downloading|1,048,576 (50.0%)|   17m:4s|downloading|#0000ff|1,048,576 (50.0%)");
    row("hours", false, "downloading:4000:275:1",
        "downloading|275 (6.9%)|   1h:2m:5s|downloading|#0000ff|275 (6.9%)");
    row("queued beats complete", false, "queued:1000:0:0,complete:1000",
        "queued| (0.0%)|   0s|queued|#3366ff|1,000 (50.0%)");
    row("denial reason", false, "denied:10,aborted:10", "file not shared.|-|-|denied|#ff0a47|-");
    row("uploads: denial reason", true, "denied:10", "file not shared.|-|-|denied|#ff0a47|-");
    row("retried after a denial", false, "denied>queued:10", "queued|-|-|queued|#3366ff|-");
    row("local error reason, as the system gives it", false, "local error:10",
        "local error: cannot write /D/F.bin: No space left on device|-|-||#000000|-");
    row("uploads: local error", true, "local error:10", "local error|-|-||#000000|-");
    row("complete and local error", false, "complete:10,local error:10", "complete|-|-||#000000|-");
    row("all complete", false, "complete:10,complete:10", "complete|-|-|complete|#006400|-");
    row("empty file finished", false, "complete:0", "complete| (100.0%)|-|complete|#006400|-");
    row("empty file queued", false, "queued:0:0:0", "queued| (0.0%)|   0s|queued|#3366ff|-");
    row("uploads: requesting adds nothing", true, "uploading:1000:500:100,requesting:1000",
        "uploading|500 (50.0%)|   5s|uploading|#0000ff|500 (50.0%)");
    row("uploads: connecting alone", true, "connecting:1000:0:0,waiting for offset:10",
        "connecting| (0.0%)|   0s||#000000|-");
    // The user row applies the same rules over every folder of the user.
    row("user: queued folder beside a complete one", false, "complete:10,B/queued:30:0:0",
        "complete|-|-|complete|#006400|-", "queued|#3366ff|-");
    row("user: downloading wins over all", false,
        "downloading:1000:500:100,B/complete:1000,C/denied:5",
        "downloading|500 (50.0%)|   5s|downloading|#0000ff|500 (50.0%)",
        "downloading|#0000ff|1,500 (75.0%)");
    row("user: complete beside local error", false, "complete:10,B/local error:10",
        "complete|-|-|complete|#006400|-", "|#000000|-");
    row("user: denied over aborted", false, "aborted:10,B/denied:10,C/complete:10",
        "aborted|-|-|aborted|#ff0a47|-", "denied|#ff0a47|-");
    row("user: aborted over complete", false, "complete:10,B/aborted:10",
        "complete|-|-|complete|#006400|-", "aborted|#ff0a47|-");
    row("user: all complete", false, "complete:10,B/complete:20,C/complete:0",
        "complete|-|-|complete|#006400|-", "complete|#006400|-");
    row("user: last queued entry completes", false, "queued>complete:10,B/complete:10",
        "complete|-|-|complete|#006400|-", "complete|#006400|-");
    row("user: a folder fails later", false, "complete:10,B/downloading>aborted:10:4:1",
        "complete|-|-|complete|#006400|-", "aborted|#ff0a47|-");
    // A finished file's bar reads 100 %; the rows above are worked out again.
    row("user: downloading ends, queued stays", false,
        "downloading>complete:100:50:10,B/queued:100",
        "complete|100 (100.0%)||complete|#006400|100 (100.0%)", "queued|#3366ff|100 (50.0%)");
    // A stopped transfer shows no time left.
    row("downloading ends aborted", false, "downloading>aborted:1000:500:100",
        "aborted|500 (50.0%)||aborted|#ff0a47|500 (50.0%)");
    row("uploads: uploading ends aborted", true, "uploading>aborted:1000:500:100",
        "aborted|500 (50.0%)||aborted|#ff0a47|500 (50.0%)");
    row("uploads user: uploading in one folder", true,
        "complete:10,B/uploading:1000:500:100,C/connecting:10", "complete|-|-|complete|#006400|-",
        "uploading|#0000ff|-");
    row("uploads user: connecting and requesting alone", true,
        "connecting:1000:0:0,B/requesting:10,C/waiting for offset:10",
        "connecting| (0.0%)|   0s||#000000|-", "|#000000|-");
}

void TestTransferViews::textsAndCombinedStatus() {
    QFETCH(bool, upload);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, user);
    QTreeWidget* list = upload ? Uploads() : Downloads();
    ItemPtr first;
    QList<std::pair<ItemPtr, QString>> later;
    for (int i = 0; i < entries.size(); ++i) {
        QString spec = entries[i];
        QString folder = "f";
        if (spec.contains('/'))
            folder = spec.section('/', 0, 0), spec = spec.section('/', 1);
        QString then;
        if (spec.contains('>')) {
            then = spec.section('>', 1).section(':', 0, 0);
            spec = spec.section('>', 0, 0) + spec.mid(spec.indexOf(':'));
        }
        const ItemPtr e = Fake(upload, "u", "/share/" + folder, QString("f%1").arg(i), spec);
        if (i == 0)
            first = e;
        if (!then.isEmpty())
            later.append({e, then});
    }
    form->FlushRows();
    QTreeWidgetItem* fileRow = RowOf(first, upload ? "upload_list_node" : "download_list_node");
    QVERIFY(fileRow);
    QTreeWidgetItem* userRow = fileRow->parent()->parent();
    list->collapseItem(userRow);
    if (!first.HasItem(upload ? "read_position" : "write_position").IsNull()) {
        if (upload)
            emit tqm->UploadProgressed(first);
        else
            emit tqm->DownloadProgressed(first);
    }
    QTreeWidgetItem* folder = fileRow->parent();
    for (int k = 0; k < userRow->childCount(); ++k)
        list->collapseItem(userRow->child(k));
    for (const auto& [entry, status] : later)
        Link(entry, upload ? "upload_entry_status" : "download_entry_status", status);
    QCOMPARE(userRow->text(3), user[0]);
    QCOMPARE(userRow->foreground(1).color(), QColor(user[1]));
    QCOMPARE(BarText(userRow), user[2]);
    QCOMPARE(fileRow->text(3), expected[0]);
    if (expected[1] != "-")
        QCOMPARE(BarText(fileRow), expected[1]);
    if (expected[2] != "-")
        QCOMPARE(fileRow->text(5), expected[2]);
    QCOMPARE(folder->text(3), expected[3]);
    QCOMPARE(folder->foreground(1).color(), QColor(expected[4]));
    QCOMPARE(BarText(folder), expected[5]);
    // A status, a failure reason above all, can be wider than its column.
    for (QTreeWidgetItem* row : {fileRow, folder, userRow})
        QCOMPARE(row->toolTip(3), row->text(3));
    // New colours reach every row, expanded or not.
    for (const char* key :
         {"color_transfer_queued", "color_transfer_complete", "color_transfer_in_progress",
          "color_transfer_failed", "color_transfer_other"})
        SetSetting(key, "#123456");
    form->RecolorEntries();
    QCOMPARE(folder->foreground(0).color(), QColor("#123456"));
    QCOMPARE(folder->parent()->foreground(0).color(), QColor("#123456"));
}

void TestTransferViews::progressFitsDefaultColumns_data() {
    QTest::addColumn<int>("width");  // 0: the default
    QTest::newRow("default width") << 0;
    QTest::newRow("narrow column") << 80;
    QTest::newRow("too narrow for the percentage") << 30;
}

// Every bar shows its percentage at the default column width: file rows,
// folder and user rows with large totals, and a finished empty file; and
// each is painted in its row. A narrower column shows the whole text, the
// percentage alone or, narrower still, nothing: never a part cut off.
void TestTransferViews::progressFitsDefaultColumns() {
    QFETCH(int, width);
    QCOMPARE(Downloads()->columnWidth(4), 140);
    if (width)
        Downloads()->setColumnWidth(4, width);
    else
        width = 140;
    const ItemPtr big1 =
        Fake(false, "someone", "Music\\A", "x", "downloading:4000000000:1999999999:1000");
    const ItemPtr big2 =
        Fake(false, "someone", "Music\\B", "y", "downloading:4000000000:2000000000:1000");
    const ItemPtr empty = Fake(false, "someone", "Music\\B", "z", "queued:0:0:0");
    emit tqm->DownloadProgressed(empty);
    Link(empty, "download_entry_status", QString("complete"));
    emit tqm->DownloadProgressed(big1);
    emit tqm->DownloadProgressed(big2);
    QTreeWidgetItem* user = Downloads()->topLevelItem(0);
    QTreeWidgetItem* folderB = RowOf(big2, "download_list_node")->parent();
    const std::pair<QTreeWidgetItem*, QString> rows[] = {
        {RowOf(big2, "download_list_node"), "50.0%"},
        {folderB, "50.0%"},
        {user, "50.0%"},
        {RowOf(empty, "download_list_node"), "100.0%"}};
    QFont bold = Downloads()->font();
    bold.setBold(true);
    for (const auto& [row, percent] : rows) {
        QVERIFY(TransfersForm::HasBar(row));
        const QString shown =
            TransfersForm::FittedBarText(BarText(row), Downloads()->font(), width);
        const bool fits = QFontMetrics(bold).horizontalAdvance(percent) <= width - 8;
        QVERIFY2(shown == BarText(row) || shown == (fits ? percent : QString()), qPrintable(shown));
        QVERIFY2(QFontMetrics(bold).horizontalAdvance(shown) <= width - 8, qPrintable(shown));
        QCOMPARE(fits, width > 30);  // in the tests' font
    }
    QCOMPARE(BarText(RowOf(empty, "download_list_node")), QString(" (100.0%)"));
    // Every bar is painted in its row, filled to its value; a row without
    // one shows the list's background there.
    const ItemPtr waiting = Fake(false, "someone", "Music\\C", "w", "queued:1000");
    QTreeWidget* list = Downloads();
    QTreeWidgetItem* none = RowOf(waiting, "download_list_node");
    QVERIFY(!TransfersForm::HasBar(none));
    const QImage shot = list->viewport()->grab().toImage();
    const auto pixel = [&](QTreeWidgetItem* row, double at) {
        const int x = list->header()->sectionViewportPosition(4) + int(width * at);
        return shot.pixel(x, list->visualItemRect(row).center().y());
    };
    // Sampled beside the text.
    for (const auto& [row, percent] : rows) {
        const bool half = percent == "50.0%";
        QVERIFY2((pixel(row, 0.1) != pixel(row, 0.9)) == half, qPrintable(BarText(row)));
        QVERIFY(pixel(row, 0.1) != pixel(none, 0.1));
    }
    QCOMPARE(pixel(none, 0.1), pixel(none, 0.9));
}

// Rows made and removed between two flushes: the list ends as if each change
// had gone in at once, a row that never showed going at once. A row made
// after a quiet spell, the first one too, shows at the next turn.
void TestTransferViews::rowsBetweenFlushes() {
    for (const char* file : {"first", "after a quiet spell"}) {
        QTRY_VERIFY(!form->RowsWaiting() && form->FlushWait() == 0);
        const ItemPtr entry = Fake(false, "ann", "M\\Q", file, "queued:10");
        QCoreApplication::processEvents();
        QVERIFY2(RowOf(entry, "download_list_node")->treeWidget(), file);
        tqm->RemoveDownload(entry);
    }
    const auto add = [this](const char* folder, const char* file) {
        return Fake(false, "ann", QString("M\\") + folder, file, "queued:10");
    };
    const ItemPtr a = add("One", "a"), b = add("One", "b");
    tqm->RemoveDownload(a);
    QCOMPARE(Shape(Downloads()), QStringList{"ann>One/M>b"});
    tqm->RemoveDownload(b);             // its folder and user rows leave with it...
    const ItemPtr c = add("One", "c");  // ...and new ones come
    QCOMPARE(Shape(Downloads()), QStringList{"ann>One/M>c"});
    const ItemPtr two = add("Two", "d");
    tqm->RemoveDownload(c);  // the user row stays for its new folder
    QCOMPARE(Shape(Downloads()), QStringList{"ann>Two/M>d"});
    const ItemPtr e = add("Two", "e");
    for (const ItemPtr& gone : {two, e})
        tqm->RemoveDownload(gone);
    QCOMPARE(Shape(Downloads()), QStringList());
    QCOMPARE(d.GetType("download_list_user_node")->ItemCount() +
                 d.GetType("download_list_folder_node")->ItemCount(),
             0);
}

void TestTransferViews::folderWhileItsFilesWait_data() {
    QTest::addColumn<QString>("action");  // Delete, or a choice of the row's menu
    QTest::addColumn<int>("up");          // the row: 0 a file's, 1 its folder's, 2 its user's
    // The files of "M\\A" (of 3,000) that end queued, then those of "M\\B" (of 500).
    QTest::addColumn<QString>("left");
    QTest::newRow("Delete on its folder row") << "Delete" << 1 << "0 500";
    QTest::newRow("Delete on its user row") << "Delete" << 2 << "0 0";
    QTest::newRow("Remove on its folder row's menu") << "Remove downloads" << 1 << "0 500";
    QTest::newRow("Delete on one of its files") << "Delete" << 0 << "2999 500";
    // A folder alert waits for every file asked for, not only those shown.
    QTest::newRow("its shown files complete") << "Folder download completes" << 1 << "3000 500";
}

// A folder download removed while most of its files wait for their turn:
// those go with the rows the user removed, and no more come.
void TestTransferViews::folderWhileItsFilesWait() {
    QFETCH(QString, action);
    QFETCH(int, up);
    QFETCH(QString, left);
    std::vector<TQM::DownloadRequest> folder(3500, {"carl", "", "M\\A", 10});
    for (std::size_t i = 0; i < folder.size(); ++i)
        folder[i].file = std::to_string(i), folder[i].remoteFolder = i < 3000 ? "M\\A" : "M\\B";
    tqm->AddDownloads(std::move(folder));
    const ItemPtr first = tqm->GetDownloadEntry("carl", "0", "M\\A");
    Downloads();
    QTreeWidgetItem* row = RowOf(first, "download_list_node");
    for (; up > 0; --up)
        row = row->parent();
    menuChoice = action;
    Menu(Downloads(), {row});
    if (action == "Delete")
        form->DeleteSelectedDownloads();
    if (action.startsWith("Folder")) {
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            tqm->SetDownloadEntryStatus(entry, TQM::kComplete);
        form->OnDownloadComplete(first);  // before the next files' turn
    }
    QTRY_COMPARE_WITH_TIMEOUT(tqm->DownloadsToAdd(), 0, kWait);
    QStringList counts;
    for (const char* remote : {"M\\A", "M\\B"})
        counts << QString::number(
            d.GetType("remote_folder")->GetItem(std::string(remote)).CountItems("download_entry"));
    QCOMPARE(counts.join(' ') + popups.join(""), left);
}

void TestTransferViews::numberColumnsFit_data() {
    AddColumnFitRows("upload", "downloads", "uploads");
}

// The fastest speed a transfer reports (2,097,152.0 KB/s, as many digits as
// 9,999,999.9) and a size of 999 GiB read in full, in the default font and
// in a larger one.
void TestTransferViews::numberColumnsFit() {
    QFETCH(bool, upload);
    QFETCH(qreal, fontScale);
    const ScaledAppFont font(fontScale);
    delete form;
    BuildForm();
    emit tqm->TransfersLoaded();
    const ItemPtr entry = Fake(
        upload, "someone", "Music\\A", "x",
        QString("%1:%2:0:2147483647").arg(upload ? "uploading" : "downloading").arg(999LL << 30));
    if (upload)
        emit tqm->UploadProgressed(entry);
    else
        emit tqm->DownloadProgressed(entry);
    QTreeWidget* list = upload ? Uploads() : Downloads();
    QTreeWidgetItem* row = RowOf(entry, upload ? "upload_list_node" : "download_list_node");
    QVERIFY(row);
    QCOMPARE(row->text(6) + " " + row->text(7), QString("2097152.0 1,072,668,082,176"));
    for (const int column : {6, 7}) {
        const QString cut = CutInColumn(list, column);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
}

// Tool-bar actions, the menus' entries by selection, Delete, the controls
// and their settings, and finishing uploads before quitting.
void TestTransferViews::actionsMenusAndControls() {
    QList<ItemPtr> folder;
    for (int i = 0; i < 5; ++i)
        folder << Fake(false, "ann", "A\\One", QString("f%1").arg(i), "queued:10");
    const ItemPtr other = Fake(false, "ann", "A\\Two", "g", "complete:10");
    const ItemPtr active = Fake(false, "ann", "A\\Two", "h", "downloading:10:0:0");
    const ItemPtr carl = Fake(false, "carl", "A\\One", "k", "queued:10");
    // A link made again leaves the entry its one row.
    Link(carl, "file_name", QString("k2"));
    QCOMPARE(d.GetType("download_list_node")->ItemCount(), 8);
    QTreeWidgetItem* ann = Downloads()->topLevelItem(0);
    QTreeWidgetItem* one = RowOf(folder[0], "download_list_node")->parent();
    QTreeWidgetItem* otherRow = RowOf(other, "download_list_node");
    QCOMPARE(Downloads()->topLevelItemCount(), 2);

    // Menus: a folder row alone offers all five; with a file row of another
    // folder only the file; rows of two users no user actions.
    Menu(Downloads(), {one});
    QCOMPARE(menuShown, QStringList({"Open Folder", "Retry downloads", "-", "Remove downloads",
                                     "Notify me when...>Folder download completes",
                                     "Notify me when...>All downloads from user complete"}) +
                            UserTail("ann"));
    Menu(Downloads(), {one, otherRow});
    QCOMPARE(menuShown.mid(0, 4),
             (QStringList{"Open File", "Open Folder", "-", "Remove download"}));
    Menu(Downloads(), {RowOf(active, "download_list_node")});
    QVERIFY(!menuShown.contains("Retry download") && !menuShown.contains("Open File"));
    // Two users' files in one folder path: no alerts, no user actions.
    Menu(Downloads(), {RowOf(folder[0], "download_list_node"), RowOf(carl, "download_list_node")});
    QCOMPARE(menuShown, QStringList({"Open Folder", "Retry downloads", "-", "Remove downloads"}));
    Downloads()->clearSelection();
    menuShown = QStringList{"untouched"};
    form->OnDownloadsContextMenuRequested(QPoint(1, 1));
    QCOMPARE(menuShown, QStringList{"untouched"});

    // Expanding: the first switch collapses every user row.
    QCOMPARE(ToolText(Downloads(), "downloads", "Expand Users"), QString("Expand Users [on]"));
    emit bar->ActionTriggered(Downloads(), "expand_download_users");
    QVERIFY(!ann->isExpanded() &&
            ToolText(Downloads(), "downloads", "Expand Users") == "Expand Users [off]");
    QCOMPARE(ann->text(3), QString("downloading"));
    const ItemPtr later = Fake(false, "dora", "D", "d", "queued:5");
    QVERIFY(!RowOf(later, "download_list_node")->parent()->parent()->isExpanded());
    emit bar->ActionTriggered(Downloads(), "expand_download_users");
    QVERIFY(ann->isExpanded() && ann->text(3).isEmpty());
    emit bar->ActionTriggered(Downloads(), "expand_download_folders");
    QVERIFY(!one->isExpanded() && one->text(3) == "queued");
    QCOMPARE(ToolText(Downloads(), "downloads", "Expand Folders"), QString("Expand Folders [off]"));

    // Clear Complete, then Delete on a user row: all of that user's go.
    emit bar->ActionTriggered(Downloads(), "clear_complete_downloads");
    QVERIFY(other.IsRemoved() && !active.IsRemoved());
    Downloads()->clearSelection();
    ann->setSelected(true);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    form->OnKeyPressedInDownloadList(&del);
    QVERIFY(folder[4].IsRemoved() && active.IsRemoved() && !carl.IsRemoved());
    QCOMPARE(Downloads()->topLevelItemCount(), 2);
    QVERIFY(d.GetType("download_list_user_node")->HasItem(Value(ann)).IsNull());

    // Controls: after the load they show and write the settings.
    SetSetting("upload_slots", "zero");
    SetSetting("download_speed_limit", "0");
    form->DataLoaded();
    Ui_TransfersForm* ui = form->Ui();
    QCOMPARE(ui->uploadSlotsSpinBox->value(), 1);
    QCOMPARE(GetSetting("upload_slots"), QString("zero"));
    ui->downloadLimitSpinBox->setValue(50);
    QVERIFY(ui->downloadLimitCheckBox->isChecked());
    QCOMPARE(GetSetting("download_speed_limit_enabled") + GetSetting("download_speed_limit"),
             QString("yes50"));
    ui->downloadLimitCheckBox->setChecked(false);
    QCOMPARE(GetSetting("download_speed_limit_enabled") + GetSetting("download_speed_limit"),
             QString("no50"));
    ui->downloadLimitSpinBox->setValue(0);
    QCOMPARE(GetSetting("download_speed_limit_enabled") + GetSetting("download_speed_limit"),
             QString("no0"));
    ui->uploadSlotsSpinBox->setValue(3);
    QCOMPARE(GetSetting("upload_slots"), QString("3"));
    ui->clearDownloadsCheckBox->setChecked(true);
    QVERIFY(IsSettingYes("clear_complete_downloads"));
    ui->clearDownloadsCheckBox->setChecked(false);
    QVERIFY(GetSetting("clear_complete_downloads").isEmpty());

    // A completed download is cleared when the box says so.
    ui->clearDownloadsCheckBox->setChecked(true);
    Link(carl, "download_entry_status", QString("complete"));
    QTRY_VERIFY(carl.IsRemoved());

    emit bar->ActionTriggered(Uploads(), "finish_uploads_and_quit");
    QCOMPARE(GetRuntimeSetting("finish_uploads_and_quit"), QString("yes"));
    emit bar->ActionTriggered(Uploads(), "finish_uploads_and_quit");
    QCOMPARE(GetRuntimeSetting("finish_uploads_and_quit"), QString("no"));
    QCOMPARE(ToolText(Uploads(), "uploads", "Finish Uploads"),
             QString("Finish Uploads and Quit [off]"));
}

// The sweep with the times written into the items: only queued uploads of
// users offline for five minutes and idle for five go, and only when the
// box is on; the tool-bar action clears finished ones too.
void TestTransferViews::halfMinuteSweepAndClearing() {
    const auto upload = [this](const QString& user, const char* status, int offlineFor,
                               int changedAgo, int receiptAgo) {
        const ItemPtr e = Fake(true, user, "/s", user + status, QString(status) + ":10");
        if (offlineFor < 0)
            Online(user);
        else if (offlineFor > 0)
            SetTime(User(user), "last_online_status_change", Ago(offlineFor));
        if (changedAgo >= 0)
            SetTime(e, "last_status_change_time", Ago(changedAgo));
        if (receiptAgo >= 0) {
            Link(e, "last_receipt_time",
                 Value(new QDateTime(QDateTime::currentDateTime().addSecs(-receiptAgo))));
        }
        return e;
    };
    const ItemPtr online = upload("on", "queued", -1, 900, -1);
    const ItemPtr recent = upload("recent", "queued", 240, 900, -1);
    const ItemPtr noTimes = upload("notimes", "queued", 900, -1, -1);
    const ItemPtr changed = upload("changed", "queued", 600, 120, -1);
    const ItemPtr received = upload("received", "queued", 900, 900, 60);
    const ItemPtr stale = upload("stale", "queued", 900, 900, 600);
    const ItemPtr running = upload("run", "uploading", 900, 900, 900);
    form->EveryHalfMinute();
    QVERIFY(!stale.IsRemoved());  // the box is off
    SetSetting("clear_complete_aborted_uploads", "yes");
    form->EveryHalfMinute();
    QVERIFY(stale.IsRemoved());
    for (const ItemPtr& kept : {online, recent, noTimes, changed, received, running})
        QVERIFY(!kept.IsRemoved());
    SetTime(changed, "last_status_change_time", Ago(300));
    form->EveryHalfMinute();
    QVERIFY(changed.IsRemoved() && !received.IsRemoved());

    QList<ItemPtr> finished;
    for (const char* status : {"complete", "aborted", "denied", "local error"})
        finished << upload("f", status, 0, -1, -1);
    emit bar->ActionTriggered(Uploads(), "clear_complete_and_aborted_uploads");
    for (const ItemPtr& e : finished)
        QVERIFY(e.IsRemoved());
    // Queued uploads of users offline for five minutes go, idle or not.
    QVERIFY(received.IsRemoved() && noTimes.IsRemoved());
    QVERIFY(!running.IsRemoved() && !online.IsRemoved() && !recent.IsRemoved());
}

// A download's search runs again from its menu on a page of its own, and
// stays out of the search history.
void TestTransferViews::rerunSearchOpensAPage() {
    SearchForm search;
    search.Init();
    QTabWidget* pages = search.Ui()->searchTabControl;
    const int before = pages->count();
    const ItemPtr plain = Fake(false, "ann", "A", "x", "queued:10");
    Menu(Downloads(), {RowOf(plain, "download_list_node")});
    QVERIFY(!menuShown.isEmpty() && !menuShown.last().startsWith("Re-run"));
    const ItemPtr e = Fake(false, "ann", "A", "y", "queued:10");
    Link(e, "search_request_text", QString("rock & roll"));
    menuChoice = "Re-run Search: rock && roll";
    Menu(Downloads(), {RowOf(e, "download_list_node")});
    QVERIFY2(menuShown.contains(menuChoice), qPrintable(menuShown.join(',')));
    QCOMPARE(pages->count(), before + 1);
    QCOMPARE(d.GetType("search_request")->ItemCount(), 1);
    QCOMPARE(search.Ui()->searchEdit->count(), 0);
}

// The finished downloads' tab: opened once on its action, newest first
// whatever the sort column; records from before it was opened stay out.
void TestTransferViews::completedDownloadsList() {
    const QDateTime now = QDateTime::currentDateTime();
    const auto record = [&](const QString& name, int secondsAgo) {
        const ItemPtr r = d.GetType("complete_download")->NewItem();
        Link(r, "complete_download_filename", name);
        Link(r, "complete_download_relative_folder", QString("Music\\") + name);
        Link(r, "complete_download_file_size", QString("1234"));
        Link(r, "complete_download_completion_time",
             now.addSecs(-secondsAgo).toString(Qt::TextDate));
        Link(r, "user", QString("bob"));
        return r;
    };
    record("before", 0);
    QTabWidget* tabs = form->Ui()->transfersTabControl;
    form->OnActionBarTriggered(nullptr, "complete_downloads");
    form->OnActionBarTriggered(nullptr, "complete_downloads");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(2), QString("Complete"));
    QCOMPARE(tabs->currentWidget(), form->CompleteDownloads());
    for (const auto& [name, ago] : {std::pair{"b", 60}, {"a", 0}, {"z", 120}, {"same", 60}})
        emit tqm->CompleteDownloadAdded(record(name, ago));
    QTreeWidget* list = form->CompleteDownloads()->Ui()->downloadList;
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows << list->topLevelItem(i)->text(0);
    QCOMPARE(rows.first(), QString("a"));
    QCOMPARE(rows.last(), QString("z"));
    QCOMPARE(rows.size(), 4);
    QTreeWidgetItem* top = list->topLevelItem(0);
    QCOMPARE(QStringList({top->text(1), top->text(2), top->text(3)}),
             QStringList({"Music\\a", "bob", "1234"}));
    // Equal times: neither row is less than the other.
    QTreeWidgetItem* b = list->findItems("b", Qt::MatchExactly).value(0);
    QTreeWidgetItem* same = list->findItems("same", Qt::MatchExactly).value(0);
    QVERIFY(b && same && !(*b < *same) && !(*same < *b));
}

// A saved queue of 1,000 downloads comes back in queue order, built once the
// engine has loaded; finished ones pass their completion on once.
void TestTransferViews::startupAfterSavedStore() {
    const QString prefix = P("store/.tavenook");
    QDir().mkpath(P("store"));
    std::vector<int> orders(1000);
    std::iota(orders.begin(), orders.end(), 1);
    std::shuffle(orders.begin(), orders.end(), std::mt19937(7));
    for (int i = 0; i < 1000; ++i) {
        const ItemPtr e =
            tqm->AddDownload(QString("user%1").arg(i % 7), QString("f%1").arg(i).toStdString(),
                             QString("Folder\\%1").arg(i % 3).toStdString(), 100, false, 0);
        e.Disconnect("download_order");
        Link(e, "download_order", 5000 + orders[i]);  // clear of the counter's
        if (i % 250 == 0)
            tqm->SetDownloadEntryStatus(e, TQM::kComplete);
    }
    const ItemPtr unordered = tqm->AddDownload("user1", "loose", "Folder\\9", 1, false, 0);
    unordered.Disconnect("download_order");
    QVERIFY(saver->Save(prefix));
    cleanup();

    QVERIFY(StartTransferServices());
    BuildForm();
    int rowsWhenLoaded = -1;
    connect(tqm.get(), &TQM::TransfersLoaded, this,
            [&] { rowsWhenLoaded = Downloads()->topLevelItemCount(); });
    QSignalSpy completed(form, &TransfersForm::DownloadComplete);
    // The form registered first, so the engine's signal is connected after it.
    disconnect(tqm.get(), &TQM::TransfersLoaded, form, &TransfersForm::OnTransfersLoaded);
    connect(tqm.get(), &TQM::TransfersLoaded, form, &TransfersForm::OnTransfersLoaded);
    saver->Load(prefix);
    QCOMPARE(rowsWhenLoaded, 0);
    QCOMPARE(d.GetType("download_entry")->ItemCount(), 1001);
    QCOMPARE(Downloads()->topLevelItemCount(), 7);
    QCOMPARE(completed.count(), 4);
    // Users stand where their first download comes; folders and files follow
    // the queue order.
    qint64 lastFirst = 0;
    int files = 0;
    for (int u = 0; u < Downloads()->topLevelItemCount(); ++u) {
        QTreeWidgetItem* user = Downloads()->topLevelItem(u);
        qint64 first = -1, lastFolder = 0;
        for (int f = 0; f < user->childCount(); ++f) {
            qint64 last = 0;
            for (int r = 0; r < user->child(f)->childCount(); ++r, ++files) {
                const ItemPtr node =
                    d.GetType("download_list_node")->HasItem(Value(user->child(f)->child(r)));
                const qint64 order = node["download_entry"]["download_order"].AsInt64();
                QVERIFY(order > last);
                if (r == 0) {
                    QVERIFY(order > lastFolder);
                    lastFolder = order;
                }
                last = order;
                first = first < 0 ? order : std::min(first, order);
            }
        }
        QVERIFY(first > lastFirst);
        lastFirst = first;
    }
    QCOMPARE(files, 1000);
    QVERIFY(unordered.IsNull() || RowOf(tqm->GetDownloadEntry("user1", "loose", "Folder\\9"),
                                        "download_list_node") == nullptr);
    QTRY_COMPARE(RowOf(d.GetType("download_entry_status")
                           ->HasItem(Value(TQM::kComplete))
                           .GetItems("download_entry")
                           .First(),
                       "download_list_node")
                     ->text(3),
                 QString("complete"));
}

// The uploader announces another size than the search result gave: the size
// column, the bars, the time left and the folder and user figures follow it.
void TestTransferViews::announcedSizeFollowed() {
    const ItemPtr e = tqm->AddDownload("bob", "big.bin", "Docs", 100000, false, 0);
    tqm->AddDownload("bob", "other.bin", "Else", 1000, false, 0);  // a user row over two folders
    QTreeWidgetItem* row = RowOf(e, "download_list_node");
    QTreeWidgetItem* folder = row->parent();
    QTreeWidgetItem* user = folder->parent();
    QCOMPARE(row->text(7), QString("100,000"));
    QSignalSpy progressed(tqm.get(), &TQM::DownloadProgressed);
    const QByteArray data = Pattern(400000);
    const int f = Offer(7, "Docs\\big.bin", 400000);
    QVERIFY(f >= 0);
    QCOMPARE(row->text(7), QString("400,000"));
    // Past the size first found, then a trickle until a report from there.
    int sent = 150000;
    bob->SendRawOn(f, data.left(sent));
    QVERIFY(QTest::qWaitFor(
        [&] {
            const qint64* position = TQM::ObjectOf<qint64>(e.HasItem("write_position"));
            if (!progressed.isEmpty() && position && *position > 100000)
                return true;
            progressed.clear();
            if (sent < 390000) {
                bob->SendRawOn(f, data.mid(sent, 100));
                sent += 100;
            }
            return false;
        },
        kWait));
    const qint64 at = *TQM::ObjectOf<qint64>(e.HasItem("write_position"));
    const qint64 speed = *TQM::ObjectOf<qint32>(e.HasItem("bytes_per_second"));
    QVERIFY(at > 100000 && speed > 0);
    QCOMPARE(BarText(row), TransfersForm::ProgressText(at, at * 100.0 / 400000));
    QCOMPARE(row->text(5), TransfersForm::EtaText((400000 - at) / speed));
    QCOMPARE(BarText(folder), TransfersForm::ProgressText(at, at * 100.0 / 400000));
    QCOMPARE(BarText(user), TransfersForm::ProgressText(at, at * 100.0 / 401000));
    bob->SendRawOn(f, data.mid(sent));
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(e), QString("complete"), kWait);
    QCOMPARE(BarText(row), QString("400,000 (100.0%)"));
    QCOMPARE(BarText(folder), QString("400,000 (100.0%)"));
    QCOMPARE(BarText(user), QString("400,000 (99.8%)"));
}

// A download that found its name taken finished under a free one: "Open
// File" and a double-click open that file, not the user's other one.
// The finished file opens where it was written, whatever the split option
// says since and after a restart; once it is gone the user is told, and the
// desktop is not asked.
void TestTransferViews::openFileOpensWhatWasWritten_data() {
    QTest::addColumn<QString>("splitBefore");  // "dont_split_downloads" while written
    QTest::addColumn<QString>("splitAfter");   // and when opened
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("taken");    // a file of that name already there
    QTest::addColumn<QString>("written");  // where the download went
    QTest::newRow("option unchanged") << "no"
                                      << "no"
                                      << "Docs"
                                      << "readme quokka.txt"
                                      << "dl/complete/Docs/readme quokka.txt"
                                      << "dl/complete/Docs/readme quokka (1).txt";
    QTest::newRow("option turned on") << "no"
                                      << "yes"
                                      << "Taken"
                                      << "readme quokka.txt"
                                      << "dl/complete/Taken/readme quokka.txt"
                                      << "dl/complete/Taken/readme quokka (1).txt";
    QTest::newRow("option turned off") << "yes"
                                       << "no"
                                       << "Keep"
                                       << "keep small quokka.bin"
                                       << "dl/Keep/keep small quokka.bin"
                                       << "dl/Keep/keep small quokka (1).bin";
}

void TestTransferViews::openFileOpensWhatWasWritten() {
    QFETCH(QString, splitBefore);
    QFETCH(QString, splitAfter);
    QFETCH(QString, folder);
    QFETCH(QString, file);
    QFETCH(QString, taken);
    QFETCH(QString, written);
    SetSetting("dont_split_downloads", splitBefore);
    QVERIFY(Write(P(taken), "mine"));
    ItemPtr e = tqm->AddDownload("bob", file.toStdString(), folder.toStdString(), 1000, false, 0);
    const int f = Offer(3, folder + "\\" + file, 1000);
    QVERIFY(f >= 0);
    bob->SendRawOn(f, Pattern(1000));
    QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(e), QString("complete"), kWait);
    SetSetting("dont_split_downloads", splitAfter);

    QStringList boxes;
    prompts::SetBoxHandler([&boxes](QWidget*, const prompts::Box& box) {
        boxes << box.title + ": " + box.text;
        return QMessageBox::Ok;
    });
    UrlCatcher opened;
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    const auto open = [&] {
        menuChoice = "Open File";
        Menu(Downloads(), {RowOf(e, "download_list_node")});
        form->OnDownloadListItemDoubleClicked(RowOf(e, "download_list_node"), 2);
    };
    open();
    // A restart: the record is read back from the saved store.
    const QString prefix = P("store/.tavenook");
    QVERIFY(QDir().mkpath(P("store")));
    QVERIFY(saver->Save(prefix));
    cleanup();
    QVERIFY(StartTransferServices());
    CatchPromptsAndPopups();
    BuildForm();
    saver->Load(prefix);
    SetSetting("download_folder", P("dl"));
    SetSetting("dont_split_downloads", splitAfter);
    e = tqm->GetDownloadEntry("bob", file.toStdString(), folder.toStdString());
    QCOMPARE(TQM::DownloadStatus(e), QString("complete"));
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    open();
    QCOMPARE(opened.urls.size(), 4);
    for (const QUrl& url : opened.urls)
        QCOMPARE(url.toLocalFile(), P(written));
    // "Open Folder" shows the folder the file was written to.
    menuChoice = "Open Folder";
    Menu(Downloads(), {RowOf(e, "download_list_node")});
    QCOMPARE(opened.urls.size(), 5);
    QCOMPARE(opened.urls.takeLast().toLocalFile(), QFileInfo(P(written)).path());
    QCOMPARE(ReadFile(P(written)), Pattern(1000));
    QCOMPARE(ReadFile(P(taken)), QByteArray("mine"));
    QVERIFY(boxes.isEmpty());

    QVERIFY(QFile::remove(P(written)));
    open();
    QDesktopServices::unsetUrlHandler("file");
    prompts::SetBoxHandler(nullptr);
    QCOMPARE(opened.urls.size(), 4);
    const QString gone = "Open File: The file " + P(written) + " no longer exists.";
    QCOMPARE(boxes, (QStringList{gone, gone}));
}

// A running download removed, a queued one failed, finished ones cleared:
// the folder and user rows are worked out again, not left as last reported.
void TestTransferViews::groupRowsRecomputed() {
    Fake(false, "ann", "A\\One", "done", "complete:1000");
    const ItemPtr running = Fake(false, "ann", "A\\One", "run", "downloading:1000:749:10");
    Fake(false, "ann", "A\\One", "wait", "queued:1000");
    Fake(false, "ann", "A\\Two", "x", "complete:1000");
    QTreeWidgetItem* folder = RowOf(running, "download_list_node")->parent();
    QTreeWidgetItem* user = folder->parent();
    Downloads()->collapseItem(folder);
    Downloads()->collapseItem(user);
    emit tqm->DownloadProgressed(running);
    const auto shown = [](QTreeWidgetItem* row) {
        return QStringList{row->text(3), row->foreground(1).color().name(), BarText(row),
                           row->text(5)};
    };
    QCOMPARE(shown(folder), (QStringList{"downloading", "#0000ff", "1,749 (58.3%)", "   2m:5s"}));
    QCOMPARE(shown(user), (QStringList{"downloading", "#0000ff", "2,749 (68.7%)", "   2m:5s"}));
    tqm->RemoveDownload(running);
    QCOMPARE(shown(folder), (QStringList{"queued", "#3366ff", "1,000 (50.0%)", ""}));
    QCOMPARE(shown(user), (QStringList{"queued", "#3366ff", "2,000 (66.7%)", ""}));
    tqm->OnUploadDeniedNotification("ann", "A\\One\\wait", "File read error.");
    QCOMPARE(shown(folder), (QStringList{"denied", "#ff0a47", "1,000 (100.0%)", ""}));
    QCOMPARE(shown(user), (QStringList{"denied", "#ff0a47", "2,000 (100.0%)", ""}));
    emit bar->ActionTriggered(Downloads(), "clear_complete_downloads");
    form->FlushRows();
    QCOMPARE(user->childCount(), 1);
    QCOMPARE(shown(folder), (QStringList{"denied", "#ff0a47", "-", ""}));
    QCOMPARE(shown(user), (QStringList{"denied", "#ff0a47", "-", ""}));
}

// Settings changed in the window at each step of a downloader's first
// upload: every file of the folder still comes whole, each in its turn.
void TestTransferViews::settingsChangedWhileUploadsSetUp_data() {
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("change");
    for (const char* step : {"requesting", "connecting", "token sent", "uploading"})
        for (const char* change :
             {"upload limit typed", "upload limit cleared", "download limit typed", "slots raised",
              "slots lowered", "folder shared", "rescan"})
            QTest::newRow(qPrintable(QString("%1, %2").arg(step, change))) << step << change;
}

void TestTransferViews::settingsChangedWhileUploadsSetUp() {
    QFETCH(QString, step);
    QFETCH(QString, change);
    // The engine's log, shown when a step failed.
    LogLines log;
    struct Dump {
        LogLines& l;
        ~Dump() {
            if (QTest::currentTestFailed())
                fprintf(stderr, "%s\n", qPrintable(l.lines.join("\n")));
        }
    } dumpLog{log};
    const int kFiles = 3, kSize = 30000;
    for (int i = 0; i < kFiles; ++i)
        QVERIFY(Write(P(QString("M/f%1").arg(i)), Pattern(kSize + i)));
    QVERIFY(Write(P("N/other"), Pattern(10)));
    shares->AddSharedFolder(P("M")).Connect(d.GetType("shared_public")->GetGlobalNullItem());
    QVERIFY(WaitForSharesIndexed(shares.get()));
    QVERIFY(bob->Listen());
    User("bob").Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
    User("bob").Connect(d.GetType("user_port")->GetItem(Value(bob->Port())));
    Online("bob");
    const bool cleared = change == "upload limit cleared";
    SetSetting("upload_speed_limit", cleared ? 400 : 0);
    SetSettingYes("upload_speed_limit_enabled", cleared);
    SetSetting("upload_slots", change == "slots lowered" ? 3 : 1);
    form->DataLoaded();
    tqm->DetermineUploadSpeedLimit();
    Ui_TransfersForm* ui = form->Ui();
    const auto typeInto = [](QSpinBox* box, const QString& text) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box, text);
        QTest::keyClick(box, Qt::Key_Tab);
    };
    const auto apply = [&] {
        if (change == "upload limit typed")
            typeInto(ui->uploadLimitSpinBox, "40");
        else if (change == "upload limit cleared")
            typeInto(ui->uploadLimitSpinBox, "0");
        else if (change == "download limit typed")
            typeInto(ui->downloadLimitSpinBox, "40");
        else if (change == "slots raised")
            typeInto(ui->uploadSlotsSpinBox, "5");
        else if (change == "slots lowered")
            typeInto(ui->uploadSlotsSpinBox, "1");
        else if (change == "folder shared") {
            shares->AddSharedFolder(P("N")).Connect(
                d.GetType("shared_public")->GetGlobalNullItem());
            QVERIFY(WaitForSharesIndexed(shares.get()));
        } else if (change == "rescan") {
            shares->RescanShares();
            QVERIFY(WaitForSharesIndexed(shares.get()));
        }
    };
    for (int i = 0; i < kFiles; ++i)
        tqm->OnQueueUploadRequested("bob", Wire(P(QString("M/f%1").arg(i))));

    for (int i = 0; i < kFiles; ++i) {
        const bool first = i == 0;
        MemStream request(bob->Take(PeerMessenger::PM_TRANSFER_REQUEST));
        quint32 direction = 0, req = 0;
        QString file;
        QVERIFY(request.Read(direction) && request.Read(req) && request.Read(file));
        QCOMPARE(file, Wire(P(QString("M/f%1").arg(i))));
        if (first && step == "requesting")
            apply();
        if (first && step == "connecting") {
            // Accepted, and the change before the file connection is made.
            tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
            QCOMPARE(TQM::UploadStatus(
                         d.GetType("transfer_req")->HasItem(Value(req)).HasItem("upload_entry")),
                     QString("connecting"));
            apply();
        } else {
            bob->SendMessageOn(0, PeerMessenger::PM_TRANSFER_RESPONSE, Payload().U32(req).U8(1));
        }
        QString kind;
        QVERIFY2(
            bob->WaitForIncoming(kWait) && bob->ReadSetUp(nullptr, &kind, kWait) && kind == "F",
            qPrintable(QString("file %1").arg(i)));
        QCOMPARE(bob->ReadRaw(4, kWait), RawPeer::U32(req));
        if (first && step == "token sent")
            apply();
        bob->SendRaw(RawPeer::I64(0));
        QByteArray got = bob->ReadRaw(kSize / 2, kWait);
        if (first && step == "uploading")
            apply();
        got += bob->ReadRaw(kSize / 2 + i, kWait);
        QCOMPARE(got, Pattern(kSize + i));
        bob->Close();
        bob->Select(0);
        QTRY_COMPARE_WITH_TIMEOUT(
            d.GetType("upload_entry_status")->HasItem("complete").CountItems("upload_entry"), i + 1,
            kWait);
    }
}

// The same for a download: between our acceptance and the file connection,
// before the first byte and midway, each file of the folder still lands.
void TestTransferViews::settingsChangedWhileDownloadsSetUp_data() {
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("change");
    for (const char* step : {"accepted", "offset sent", "downloading"})
        for (const char* change : {"download limit typed", "download limit cleared",
                                   "upload limit typed", "complete folder changed"})
            QTest::newRow(qPrintable(QString("%1, %2").arg(step, change))) << step << change;
}

void TestTransferViews::settingsChangedWhileDownloadsSetUp() {
    QFETCH(QString, step);
    QFETCH(QString, change);
    const int kFiles = 2, kSize = 30000;
    const bool cleared = change == "download limit cleared";
    SetSetting("download_speed_limit", cleared ? 400 : 0);
    SetSettingYes("download_speed_limit_enabled", cleared);
    form->DataLoaded();
    tqm->DetermineDownloadSpeedLimit();
    Ui_TransfersForm* ui = form->Ui();
    const auto apply = [&] {
        QSpinBox* box =
            change.startsWith("upload") ? ui->uploadLimitSpinBox : ui->downloadLimitSpinBox;
        if (change == "complete folder changed") {
            SetSetting("download_folder", P("elsewhere"));
            return;
        }
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box, cleared ? "0" : "40");
        QTest::keyClick(box, Qt::Key_Tab);
    };
    std::vector<ItemPtr> entries;
    for (int i = 0; i < kFiles; ++i)
        entries.push_back(tqm->AddDownload("bob", QString("f%1").arg(i).toStdString(), "S\\F",
                                           kSize + i, false, 0));
    for (int i = 0; i < kFiles; ++i) {
        const bool first = i == 0;
        const quint32 req = 50 + quint32(i);
        const QString path = QString("S\\F\\f%1").arg(i);
        QCOMPARE(Request(req, path, kSize + i), QString("answered"));
        if (first && step == "accepted")
            apply();
        QVERIFY(bob->ConnectTo(messenger->ListeningPort()));
        const int f = bob->CurrentConnection();
        bob->SendSetUpOn(f, "bob", "F");
        bob->SendRawOn(f, RawPeer::U32(req));
        MemStream in(bob->ReadRawOn(f, 8, kWait));
        qint64 offset = -1;
        QVERIFY(in.Read(offset) && offset == 0);
        if (first && step == "offset sent")
            apply();
        const QByteArray data = Pattern(kSize + i);
        bob->SendRawOn(f, data.left(kSize / 2));
        if (first && step == "downloading") {
            QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(entries[std::size_t(i)]),
                                      QString("downloading"), kWait);
            apply();
        }
        bob->SendRawOn(f, data.mid(kSize / 2));
        QTRY_COMPARE_WITH_TIMEOUT(TQM::DownloadStatus(entries[std::size_t(i)]), QString("complete"),
                                  kWait);
        const ItemPtr record =
            d.GetType("complete_download")
                ->GetItems()
                .Connected("complete_download_filename", Value(QString("f%1").arg(i)));
        QVERIFY(!record.IsNull());
        QCOMPARE(ReadFile(record.HasItem("complete_download_folder").AsString().replace('\\', '/') +
                          "/f" + QString::number(i)),
                 data);
        bob->Select(0);
    }
}

QTEST_MAIN(TestTransferViews)
#include "test_transfer_views.moc"
