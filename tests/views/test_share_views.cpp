#include <QtTest>
#include <QtWidgets>
#include <map>

#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/Prompts.h"
#include "shell/SoundPlayer.h"
#include "store/DelayedInvoker.h"
#include "store/GeneralFunctions.h"
#include "support/ColumnFit.h"
#include "support/Fuzz.h"
#include "support/LocklessDisk.h"
#include "support/Payload.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "views/search/SearchForm.h"
#include "views/search/SearchResultsForm.h"
#include "views/shares/SharesForm.h"

namespace {

using Files = std::vector<FileInfo>;
using List = std::vector<std::pair<std::string, Files>>;

FileInfo F(const std::string& name, qint64 size, std::vector<std::pair<quint32, quint32>> a = {}) {
    AttributeMap attributes("mp3");
    for (const auto& pair : a)
        attributes.Append(pair.first, pair.second);
    return FileInfo(name, size, attributes);
}

FileInfoMap Map(const List& list) {
    FileInfoMap map;
    for (const auto& folder : list)
        map[folder.first].insert(folder.second.begin(), folder.second.end());
    return map;
}

// The body of a share-list message, as a peer sends it (compressed).
QByteArray Body(const FileInfoMap& share) {
    MemStream m;
    m.Write(quint32(share.size()));
    for (const auto& folder : share) {
        m.Write(folder.first);
        m.Write(quint32(folder.second.size()));
        for (const FileInfo& file : folder.second)
            file.Write(m);
    }
    m.Write(quint32(0));
    return m.GetWrittenBytes();
}

// Rows as "name(children)", visible ones only unless all.
QString Shape(QTreeWidgetItem* row, bool all) {
    QStringList children;
    for (int k = 0; k < row->childCount(); ++k)
        if (all || !row->child(k)->isHidden())
            children << Shape(row->child(k), all);
    return row->text(0) + (children.isEmpty() ? QString() : "(" + children.join(' ') + ")");
}
QString Shape(QTreeWidget* tree, bool all = false) {
    QStringList rows;
    for (int k = 0; k < tree->topLevelItemCount(); ++k)
        if (all || !tree->topLevelItem(k)->isHidden())
            rows << Shape(tree->topLevelItem(k), all);
    return rows.join(' ');
}

QTreeWidgetItem* Row(QTreeWidget* tree, const QString& path) {
    QTreeWidgetItem* row = nullptr;
    for (const QString& part : path.split('\\')) {
        QTreeWidgetItem* next = nullptr;
        const int n = row ? row->childCount() : tree->topLevelItemCount();
        for (int k = 0; k < n && !next; ++k) {
            QTreeWidgetItem* c = row ? row->child(k) : tree->topLevelItem(k);
            if (c->text(0) == part)
                next = c;
        }
        row = next;
        if (!row)
            return nullptr;
    }
    return row;
}

QStringList Column(QTreeWidget* list, int column) {
    QStringList out;
    for (int k = 0; k < list->topLevelItemCount(); ++k)
        out << list->topLevelItem(k)->text(column);
    return out;
}

const char* const kGraphTypes[] = {"user_share",
                                   "user_share_folder",
                                   "user_share_folder_name",
                                   "user_share_file",
                                   "user_share_file_name",
                                   "user_share_folder_parent",
                                   "user_share_folder_child",
                                   "user_share_folder_node",
                                   "user_share_file_node",
                                   "user_share_tab",
                                   "upload_share_tab",
                                   "file_size",
                                   "bitrate",
                                   "length_seconds",
                                   "bitrate_mode"};

QString Counts() {
    QStringList out;
    for (const char* type : kGraphTypes)
        out << QString("%1=%2").arg(type).arg(d.GetType(type)->ItemCount());
    return out.join(' ');
}

// A share for the loopback cases: non-ASCII names, a folder whose parent is
// not shared, an empty folder four levels down.
const List kShare = {
    {"Music", {F("b.mp3", 1000, {{0, 192}, {2, 1}}), F("A.mp3", 5), F("c.tmp", 20)}},
    {"Music\\Rock", {F("zz.mp3", 2000000, {{0, 128}, {2, 0}, {1, 200}}), F("10.mp3", 999)}},
    {"Music\\Rock\\70s", {F("x.mp3", 1)}},
    {"Music\\Rock\\70s\\Live", {}},
    {"b\xc3\xa4r", {F("\xc3\xb6.txt", 0)}},
    {"Data\\Only", {F("f.bin", 7)}},
};

}  // namespace

class TestShareViews : public QObject, public TransferServices, public SoundPlayer {
    Q_OBJECT

    std::unique_ptr<ActionSetToolBar> m_bar;
    std::unique_ptr<EventToolBar> m_events;
    std::unique_ptr<SharesForm> m_page;
    QStringList m_sounds, m_menu, m_boxes;
    QString m_chosenFile;

public:
    void play(const QString& path) override { m_sounds << path; }

    ShareForm* Receive(RawPeer& peer, const QString& user, const FileInfoMap& share) {
        ShareForm* form = m_page->OpenShareBrowse(user);
        quint32 code = 0;
        if (!peer.WaitForMessage(&code, nullptr) ||
            code != PeerMessenger::PM_SHARED_FILE_LIST_REQUEST)
            return nullptr;
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, Compress(Body(share)));
        return form;
    }

    QString ExpandText() {
        for (QAction* a : m_bar->actions())
            if (a->text().startsWith("Expand Level"))
                return a->text();
        return QString();
    }

    // The event bar's buttons, without the empty bar's placeholder.
    QStringList EventButtons() {
        QStringList texts;
        for (QAction* a : m_events->actions())
            if (a->isVisible() && !a->text().isEmpty())
                texts << a->text();
        texts.sort();
        return texts;
    }

    QStringList Downloads() {
        QStringList out;
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            out << QString("%1 %2 -> %3%4")
                       .arg(entry["file_name"].AsString(), entry["remote_folder"].AsString(),
                            tqm->GetDownloadRelativeDownloadFolder(entry),
                            entry["single_download"].IsNull() ? "" : " single");
        return out;
    }

private slots:
    void init() {
        QVERIFY(StartTransferServices());
        m_bar.reset(new ActionSetToolBar);
        m_events.reset(new EventToolBar);
        m_page.reset(new SharesForm);
        m_page->Init();
        m_page->resize(900, 600);
        SoundPlayer::SetInstance(this);
        SetSetting("show_event_buttons", "yes");
        d.GetType("event_sound")
            ->GetItem("browse")
            .Connect(d.GetType("event_sound_file")->GetItem("browse.wav"));
        m_sounds.clear(), m_menu.clear(), m_boxes.clear();
        prompts::SetMenuHandler([this](QMenu* menu, const QPoint&) -> QAction* {
            for (QAction* a : menu->actions())
                if (!a->isSeparator())
                    m_menu << a->text();
            return menu->actions().value(0);
        });
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            m_boxes << box.title + ": " + box.text;
            return QMessageBox::Ok;
        });
        prompts::SetChooseSaveFileHandler(
            [this](QWidget*, const QString& caption) { return m_boxes << caption, m_chosenFile; });
    }
    void cleanup() {
        prompts::SetMenuHandler(nullptr);
        prompts::SetBoxHandler(nullptr);
        prompts::SetChooseSaveFileHandler(nullptr);
        SoundPlayer::SetInstance(nullptr);
        m_page.reset();
        m_events.reset();
        m_bar.reset();
        StopTransferServices();
    }

    void graphOfAList();
    void treeOrderAndLevels();
    void browseWalkFilterDownload();
    void nestedFolderDownloadsKeepTheirBranches();
    void finishedBrowseIsAnEvent();
    void numericEdgesMatchTheResultPage();
    void sizeColumnFits_data();
    void sizeColumnFits();
    void unreachableOrMalformedPeer();
    void closingLeavesNothingAndListsRebuild();
    void exportFormatAndFailures();
    void uploadBrowserShowsTheOwnShare();
    void fuzzedListsIntoTreeAndExport();
};

// The graph of a list: links, shared name items, attribute values.
void TestShareViews::graphOfAList() {
    QVERIFY(SharesForm::CreateUserShareData({}, {}).GetItems("user_share_folder").Empty());

    const FileInfoMap share = Map({{"A\\B", {F("z", 0, {{2, 0}, {0, 100}, {0, 320}, {7, 1}})}},
                                   {"M", {F("m", 3, {{2, 5}, {1, 61}})}},
                                   {"M\\R\\", {}},
                                   {"M\\R\\\\S", {}}});
    AttributeTranslationTable table;
    const ItemPtr one = SharesForm::CreateUserShareData(share, table);
    const auto folder = [](const ItemPtr& s, const char* path) {
        return d.GetItem(s, d.GetType("user_share_folder_name")->HasItem(path),
                         "user_share_folder");
    };
    const auto parentOf = [](const ItemPtr& f) {
        return f["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
    };
    QVERIFY(parentOf(folder(one, "A\\B")).IsNull());              // no folder A in the list
    QCOMPARE(parentOf(folder(one, "M\\R\\")), folder(one, "M"));  // trailing "\" dropped
    QCOMPARE(parentOf(folder(one, "M\\R\\\\S")), folder(one, "M\\R\\"));
    QCOMPARE(folder(one, "M").CountItems("user_share_folder_child"), 1);

    const ItemPtr z = folder(one, "A\\B")["user_share_file"];
    QCOMPARE(z["user_share_file_name"].AsString() + z["file_size"].AsString() +
                 z["bitrate_mode"].AsString() + z["bitrate"].AsString(),
             QString("z0cbr320"));  // the last of a repeated code
    const ItemPtr m = folder(one, "M")["user_share_file"];
    QCOMPARE(m["bitrate_mode"].AsString() + m["length_seconds"].AsString(), QString("vbr61"));
    QVERIFY(m["bitrate"].IsNull());

    // A second share: one name item per path, each parent link in its own share.
    const ItemPtr two = SharesForm::CreateUserShareData(Map({{"M", {}}, {"M\\R\\", {}}}), table);
    QCOMPARE(d.GetType("user_share_folder_name")->HasItem("M\\R\\").CountItems("user_share_folder"),
             2);
    QCOMPARE(parentOf(folder(two, "M\\R\\")), folder(two, "M"));

    // A list for a user without a tab is dropped.
    FileInfoMap late = share;
    m_page->OnUserShare("nobody", late, table);
    QVERIFY(d.GetType("user")->GetItem("nobody")["user_share"].IsNull());
}

// Folder order ignores case, levels open one at a time; a subfolder named in
// another encoding than its parent still sits below it.
void TestShareViews::treeOrderAndLevels() {
    struct Case {
        List list;
        QString shape;
        int deepest;
        QString branch, leaf;  // a row of level 1 and one of level 2
    };
    const Case cases[] = {
        {{{"b", {}}, {"A", {}}, {"a\\x", {}}}, "A x b", 0, {}, {}},
        {{{"Data\\Music", {}}}, "Music", 0, {}, {}},
        {{{"Music", {}}, {"Music\\Rock", {}}, {"Music\\Rock\\70s", {}}},
         "Music(Rock(70s))",
         2,
         "Music\\Rock",
         "Music\\Rock\\70s"},
        {{{"M\xc3\xbasica", {}},
          {"M\xc3\xbasica\\Canci\xf3n", {}},
          {"M\xc3\xbasica\\Canci\xf3n\\En vivo", {}},
          {"Mz", {}}},
         "Mz M\u00fasica(Canci\u00f3n(En vivo))",
         2,
         "M\u00fasica\\Canci\u00f3n",
         "M\u00fasica\\Canci\u00f3n\\En vivo"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString user = QString("u%1").arg(n++);
        ShareForm* form = m_page->OpenShareBrowse(user);
        form->SetShare(SharesForm::CreateUserShareData(Map(c.list), {}));
        QCOMPARE(Shape(form->FolderTree(), true), c.shape);
        QCOMPARE(form->DeepestLevel(), c.deepest);
        QVERIFY(!form->FolderTree()->topLevelItem(0)->isExpanded());  // not "expand_new_shares"

        m_bar->ChangeSet(form, "share_folders");
        QStringList texts;
        for (int k = 0; k < 3; ++k) {
            emit m_bar->ActionTriggered(form, "expand_level");
            texts << ExpandText();
        }
        if (c.deepest == 2) {
            const QString top = c.branch.section('\\', 0, 0);
            QCOMPARE(texts,
                     (QStringList{"Expand Level [1]", "Expand Level [2]", "Expand Level [2]"}));
            QVERIFY(Row(form->FolderTree(), c.branch)->isExpanded());
            QVERIFY(!Row(form->FolderTree(), c.leaf)->isExpanded());
            emit m_bar->ActionTriggered(form, "collapse_all");
            QCOMPARE(ExpandText(), QString("Expand Level"));
            QVERIFY(!Row(form->FolderTree(), top)->isExpanded());
            emit m_bar->ActionTriggered(form, "expand_all");
            QVERIFY(Row(form->FolderTree(), c.leaf)->isExpanded());
            // A filter on the top folder's name keeps its whole branch.
            form->FilterEdit()->setText(top);
            QCOMPARE(Shape(form->FolderTree()), Shape(Row(form->FolderTree(), top), false));
            form->FilterEdit()->clear();
        } else {
            QCOMPARE(texts, (QStringList{"Expand Level", "Expand Level", "Expand Level"}));
        }
    }
}

// A scripted peer's list: tree, order, sizes, filter, downloads, menus.
void TestShareViews::browseWalkFilterDownload() {
    d.GetType("excluded_download_extension")->GetItem(".tmp");
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    m_page->show();
    ShareForm* form = Receive(bob, "bob", Map(kShare));
    QVERIFY(form);
    QTRY_VERIFY(!form->Share().IsNull());
    QCOMPARE(Shape(form->FolderTree(), true), QString("b\u00e4r Only Music(Rock(70s(Live)))"));
    QVERIFY(form->FolderTree()->isVisible() && !form->MessageBrowser()->isVisible());

    // Files of a folder, sorted by size as numbers.
    QTreeWidget* files = form->FileList();
    form->BrowseToFolder("Music");
    QCOMPARE(form->FolderTree()->currentItem(), Row(form->FolderTree(), "Music"));
    files->sortByColumn(1, Qt::AscendingOrder);
    QCOMPARE(Column(files, 0), (QStringList{"A.mp3", "c.tmp", "b.mp3"}));
    QCOMPARE(Column(files, 1), (QStringList{"5", "20", "1,000"}));
    QCOMPARE(Column(files, 2), (QStringList{"", "", "192 VBR"}));
    files->sortByColumn(0, Qt::AscendingOrder);
    QCOMPARE(d.GetType("user_share_file_node")->ItemCount(), 3);
    form->BrowseToFolder("Music\\Rock");
    QCOMPARE(d.GetType("user_share_file_node")->ItemCount(), 2);  // the previous rows' links go
    QCOMPARE(Column(files, 2), (QStringList{"", "128 CBR, 3m20s"}));
    form->BrowseToFolder("Music\\Nowhere");  // nothing happens
    QCOMPARE(Column(files, 0), (QStringList{"10.mp3", "zz.mp3"}));

    // The filter: words in folder names count for their files.
    const struct {
        const char* filter;
        const char* shape;
        QStringList files;
    } filters[] = {
        {"rock", "Music(Rock(70s(Live)))", {"10.mp3", "zz.mp3"}},
        {"rock -live", "Music(Rock(70s))", {"10.mp3", "zz.mp3"}},
        {"zz", "Music(Rock)", {"zz.mp3"}},
        {"mfif:2", "Music(Rock)", {"10.mp3", "zz.mp3"}},
        {"isvbr", "Music", {}},  // the current folder is hidden: no rows
        {"\u00f6", "b\u00e4r", {}},
        {"", "b\u00e4r Only Music(Rock(70s(Live)))", {"10.mp3", "zz.mp3"}},
    };
    for (const auto& f : filters) {
        form->FilterEdit()->setText(f.filter);
        QCOMPARE(Shape(form->FolderTree()), QString(f.shape));
        QCOMPARE(Column(files, 0), f.files);
    }

    // A folder with its structure, in name order, excluded extensions skipped.
    m_menu.clear();
    QTreeWidgetItem* music = Row(form->FolderTree(), "Music");
    form->FolderTree()->setCurrentItem(music);
    form->OnFolderContextMenuRequested(form->FolderTree()->visualItemRect(music).center());
    QCOMPARE(m_menu.value(0), QString("Download Folder"));
    QCOMPARE(Downloads(),
             (QStringList{"A.mp3 Music -> Music", "b.mp3 Music -> Music",
                          "10.mp3 Music\\Rock -> Music\\Rock", "zz.mp3 Music\\Rock -> Music\\Rock",
                          "x.mp3 Music\\Rock\\70s -> Music\\Rock\\70s"}));
    QVERIFY(!files->topLevelItem(0)->icon(0).isNull());  // shown rows get the download icon
    m_menu.clear();
    form->OnFolderContextMenuRequested(QPoint(5, form->FolderTree()->viewport()->height() - 2));
    QVERIFY(m_menu.isEmpty());  // no row under the pointer

    // Single files, excluded or not; the file menu opens anywhere.
    form->BrowseToFolder("Music");
    QTreeWidgetItem* tmp = files->findItems("c.tmp", Qt::MatchExactly).value(0);
    form->OnFileDoubleClicked(tmp, 0);
    QCOMPARE(Downloads().value(5), QString("c.tmp Music -> Music single"));
    files->clearSelection();
    m_menu.clear();
    form->OnFileContextMenuRequested(QPoint(5, files->viewport()->height() - 2));
    QCOMPARE(m_menu.value(0), QString("Download File(s)"));
    QCOMPARE(Downloads().size(), 6);
}

// A folder below the top: depths count from it, so the targets keep the
// chosen folder and what lies below it; same-named branches stay apart.
void TestShareViews::nestedFolderDownloadsKeepTheirBranches() {
    const List list = {
        {"Music", {F("top.mp3", 1)}},
        {"Music\\Rock", {F("10.mp3", 2)}},
        {"Music\\Rock\\70s", {F("x.mp3", 3)}},
        {"Music\\Rock\\70s\\Live", {F("y.mp3", 4)}},
        {"P", {}},
        {"P\\A", {}},
        {"P\\A\\x", {F("f", 5)}},
        {"P\\B", {F("b.mp3", 6)}},
        {"P\\B\\x", {F("f", 7)}},
        {"Data\\Only", {F("o", 8)}},  // its parent is not in the list
    };
    ShareForm* form = m_page->OpenShareBrowse("bob");
    form->SetShare(SharesForm::CreateUserShareData(Map(list), {}));
    const auto download = [&](const QString& path) {
        QTreeWidgetItem* row = Row(form->FolderTree(), path);
        QVERIFY(row);
        form->FolderTree()->setCurrentItem(row);
        m_menu.clear();
        form->OnFolderContextMenuRequested(form->FolderTree()->visualItemRect(row).center());
        QCOMPARE(m_menu.value(0), QString("Download Folder"));
    };
    download("Music\\Rock");
    QCOMPARE(Downloads(),
             (QStringList{"10.mp3 Music\\Rock -> Rock", "x.mp3 Music\\Rock\\70s -> Rock\\70s",
                          "y.mp3 Music\\Rock\\70s\\Live -> Rock\\70s\\Live"}));
    download("P");
    QCOMPARE(Downloads().mid(3),
             (QStringList{"f P\\A\\x -> P\\A\\x", "b.mp3 P\\B -> P\\B", "f P\\B\\x -> P\\B\\x"}));
    download("Only");
    QCOMPARE(Downloads().mid(6), QStringList{"o Data\\Only -> Only"});
    // Two entries with two target files: the branches do not meet on disk.
    QTemporaryDir dir;
    SetSetting("download_folder", dir.path());
    QStringList targets;
    for (const ItemPtr& entry : d.GetType("download_entry")->GetItems()) {
        QString path = tqm->GetDownloadTargetPath(entry, true);
        if (entry["file_name"].AsString() == "f")
            targets << QDir(dir.path()).relativeFilePath(path.replace('\\', '/'));
    }
    QCOMPARE(targets, (QStringList{"complete/P/A/x/f", "complete/P/B/x/f"}));
}

// A list that arrives while its page is hidden is an event with the browse
// sound; showing the page takes it away.
void TestShareViews::finishedBrowseIsAnEvent() {
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    ShareForm* form = Receive(bob, "bob", Map(kShare));
    QVERIFY(form);
    QTRY_VERIFY(!form->Share().IsNull());
    QCOMPARE(m_sounds, QStringList{"browse.wav"});
    QCOMPARE(EventButtons(), QStringList{"bob"});
    m_page->show();
    m_page->Tabs()->setCurrentWidget(form);
    QTRY_VERIFY(EventButtons().isEmpty());
    QCOMPARE(m_sounds.size(), 1);
}

// The wire's numeric edges (32-bit bitrates and lengths, sizes past 4 GiB)
// through a real list into a share tab: its filter keeps exactly the rows a
// result page keeps for the same files, both show the same attribute texts,
// and the longest length sorts last.
void TestShareViews::numericEdgesMatchTheResultPage() {
    const qint64 i31 = INT_MAX;
    Files files;
    SearchResultMessage answer;
    int n = 0;
    for (const qint64 br : {qint64(-1), qint64(0), i31, i31 + 1, qint64(4294967295u)})
        for (const qint64 size : {qint64(0), i31 + 1, qint64(4294967295u), qint64(5) << 30}) {
            const std::string name = QString("song %1.mp3").arg(n++).toStdString();
            const quint32 length =
                quint32(std::vector<qint64>{i31 + 1, 0, 4294967295u, i31}[n % 4]);
            std::vector<std::pair<quint32, quint32>> attributes{{2, quint32(n % 2)}, {1, length}};
            if (br >= 0)
                attributes.push_back({0, quint32(br)});
            files.push_back(F(name, size, attributes));
            answer.files.push_back(F("edge\\" + name, size, attributes));
        }
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    m_page->show();
    ShareForm* form = Receive(bob, "bob", Map({{"edge", files}}));
    QVERIFY(form);
    QTRY_VERIFY(!form->Share().IsNull());
    form->BrowseToFolder("edge");
    QCOMPARE(form->FileList()->topLevelItemCount(), n);

    DelayedInvoker invoker;
    SearchForm search;
    search.Init();
    search.DataLoaded();
    const quint32 token = server->FileSearch("song", false);
    auto* page = qobject_cast<SearchResultsForm*>(search.CreateSearchForm(token, "song", 0));
    QVERIFY(page);
    answer.token = token;
    search.OnUserSearchResults(StoreSearchResults("bob", answer));

    const auto shown = [](QTreeWidget* list, int column) {
        QStringList out;
        for (QTreeWidgetItemIterator it(list); *it; ++it) {
            bool visible = true;
            for (QTreeWidgetItem* up = *it; up && visible; up = up->parent())
                visible = !up->isHidden();
            if (visible && (*it)->text(column).startsWith("song"))
                out << (*it)->text(column);
        }
        out.sort();
        return out;
    };
    QCOMPARE(shown(page->searchResults(), 4).size(), n);
    for (const char* text : {"mbr:128", "mbr:2147483647", "minbitrate:2147483648", "mbr:4294967295",
                             "mbr:4294967296", "mfs:2148", "mfs:4295", "minfilesize:5368",
                             "mfs:5369", "mfs:2148 isvbr", "iscbr mbr:1", "mfs:1 mbr:2147483647"}) {
        form->FilterEdit()->setText(text);
        page->filterEdit()->setText(text);
        const QStringList rows = shown(form->FileList(), 0);
        QCOMPARE(rows, shown(page->searchResults(), 4));
        QVERIFY2(rows.size() < n, text);  // each filter leaves something out
        QCOMPARE(!Row(form->FolderTree(), "edge")->isHidden(), !rows.isEmpty());
    }

    form->FilterEdit()->clear();
    page->filterEdit()->clear();
    const auto attributeTexts = [](QTreeWidget* list, int nameColumn, int column) {
        QMap<QString, QString> out;
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if ((*it)->text(nameColumn).startsWith("song"))
                out[(*it)->text(nameColumn)] = (*it)->text(column);
        return out;
    };
    const QMap<QString, QString> texts = attributeTexts(form->FileList(), 0, 2);
    QCOMPARE(texts.size(), n);
    QCOMPARE(texts, attributeTexts(page->searchResults(), 4, 6));
    QCOMPARE(texts.value("song 17.mp3"), QString("4294967295 CBR, 49710d6h28m15s"));
    // Bitrate 0: the lengths 0, 2^32 - 1, 2^31 - 1 and 2^31 order these rows.
    form->FileList()->sortByColumn(2, Qt::AscendingOrder);
    QStringList order;
    for (const QString& name : Column(form->FileList(), 0))
        if (QStringList({"song 4.mp3", "song 5.mp3", "song 6.mp3", "song 7.mp3"}).contains(name))
            order << name;
    QCOMPARE(order, QStringList({"song 4.mp3", "song 6.mp3", "song 7.mp3", "song 5.mp3"}));
}

void TestShareViews::sizeColumnFits_data() {
    AddColumnFitRows("upload", "share browser", "upload browser");
}

// A size of 999 GiB reads in full in both browsers, in the default font and
// in a larger one.
void TestShareViews::sizeColumnFits() {
    QFETCH(bool, upload);
    QFETCH(qreal, fontScale);
    const ScaledAppFont font(fontScale);
    const qint64 size = 999LL << 30;
    m_page->show();
    ShareTreeForm* form = nullptr;
    QTemporaryDir dir;
    RawPeer bob;
    if (upload) {
        QVERIFY(QDir(dir.path()).mkpath("big"));
        QFile file(dir.filePath("big/big.bin"));  // sparse: no disk space taken
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        file.close();
        shares->AddSharedFolder(dir.filePath("big"))
            .Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(WaitForSharesIndexed(shares.get()));
        form = m_page->OpenUploadBrowse("bob");
    } else {
        QVERIFY(ConnectAsPeer(bob, "bob"));
        form = Receive(bob, "bob", Map({{"big", {F("big.bin", size)}}}));
        QVERIFY(form);
        QTRY_VERIFY(!form->Share().IsNull());
    }
    QTreeWidgetItem* folder = form->FolderTree()->topLevelItem(0);
    QVERIFY(folder);
    form->FolderTree()->setCurrentItem(folder);
    QCOMPARE(Column(form->FileList(), 1), QStringList{CommafyNumber(size)});
    const QString cut = CutInColumn(form->FileList(), 1);
    QVERIFY2(cut.isEmpty(), qPrintable(cut));
}

// No connection, or a list that cannot be read: a line and an event.
void TestShareViews::unreachableOrMalformedPeer() {
    ShareForm* fay = m_page->OpenShareBrowse("fay");  // logged out, no address
    QTRY_VERIFY(fay->MessageBrowser()->toPlainText().contains("could not be successfully formed"));
    QVERIFY(fay->MessageBrowser()->toHtml().contains("/porttest.php?port="));
    QCOMPARE(m_sounds, QStringList{"browse.wav"});
    fay->OnConnectionToUserFailed("fay", "P");  // said once only
    fay->OnConnectionToUserFailed("fay", "F");
    QCOMPARE(fay->MessageBrowser()->toPlainText().count("could not"), 1);

    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    ShareForm* form = m_page->OpenShareBrowse("bob");
    quint32 code = 0;
    QVERIFY(bob.WaitForMessage(&code, nullptr));
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, QByteArray("\x78\x9c garbage", 10));
    QTRY_VERIFY(form->MessageBrowser()->toPlainText().contains("could not be read"));
    // Within a second of the first, its sound waits for the end of that second.
    m_events->AlertPaceTimer()->stop();
    m_events->OnAlertPaceTimeout();
    QCOMPARE(m_sounds.size(), 2);
    QVERIFY(form->Share().IsNull() && !form->FolderTree()->isVisibleTo(form));
    // Showing a page takes its own events away, not the other page's.
    QCOMPARE(EventButtons(), (QStringList{"bob", "fay"}));
    m_page->show();
    m_page->Tabs()->setCurrentWidget(form);
    QTRY_COMPARE(EventButtons(), QStringList{"fay"});
}

// Closing a tab takes every item of its share; a new list rebuilds the tab.
void TestShareViews::closingLeavesNothingAndListsRebuild() {
    const QString before = Counts();
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    ShareForm* form = Receive(bob, "bob", Map(kShare));
    QTRY_VERIFY(!form->Share().IsNull());
    form->BrowseToFolder("Music");
    QCOMPARE(m_page->OpenShareBrowse("bob"), form);  // no second request
    QCOMPARE(m_page->BrowseUser("bob"), form);       // asks again
    quint32 code = 0;
    QVERIFY(bob.WaitForMessage(&code, nullptr) &&
            code == PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST,
                    Compress(Body(Map({{"New", {F("n.mp3", 1)}}, {"New\\Sub", {}}}))));
    QTRY_COMPARE(Shape(form->FolderTree(), true), QString("New(Sub)"));
    QCOMPARE(d.GetType("user_share")->ItemCount(), 1);
    QCOMPARE(d.GetType("user_share_folder")->ItemCount(), 2);
    QCOMPARE(d.GetType("user_share_folder_node")->ItemCount(), 2);
    QVERIFY(form->FileList()->topLevelItemCount() == 0);

    // An empty list in its place says so.
    QVERIFY(m_page->BrowseUser("bob") == form && bob.WaitForMessage(&code, nullptr));
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, Compress(Body({})));
    QTRY_VERIFY(form->MessageBrowser()->toPlainText().contains("No files returned."));
    QVERIFY(form->MessageBrowser()->isVisibleTo(form) && !form->FolderTree()->isVisibleTo(form));
    QCOMPARE(d.GetType("user_share_folder_node")->ItemCount(), 0);

    UploadForm* upload = m_page->OpenUploadBrowse("bob");
    QCOMPARE(m_page->OpenUploadBrowse("bob"), upload);
    QCOMPARE(m_page->Tabs()->tabText(m_page->Tabs()->indexOf(upload)), QString("Upload to bob"));
    QPointer<QWidget> gone1 = form, gone2 = upload;
    m_page->OnTabCloseRequested(m_page->Tabs()->indexOf(form));
    m_page->OnTabCloseRequested(m_page->Tabs()->indexOf(upload));
    QTRY_VERIFY(gone1.isNull() && gone2.isNull());
    QCOMPARE(Counts(), before);
    QCOMPARE(m_page->Tabs()->count(), 0);
    // A list after the tab closed builds nothing.
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, Compress(Body(Map(kShare))));
    QVERIFY(SyncPeer(bob));
    QCOMPARE(Counts(), before);
}

// The export format, written through the tool bar; failures are said.
void TestShareViews::exportFormatAndFailures() {
    QTemporaryDir dir;
    ShareForm* form = m_page->OpenShareBrowse("bob");
    m_chosenFile = dir.filePath("bob.xml");
    emit m_bar->ActionTriggered(form, "save_to_file");  // nothing shown yet
    QVERIFY(!QFile::exists(m_chosenFile) && m_boxes.isEmpty());
    form->SetShare(SharesForm::CreateUserShareData(
        Map({{"Music",
              {F("b.mp3", 1000, {{0, 192}, {2, 1}, {1, 100}}), F("A.mp3", 0),
               F("big.bin", 5000000000LL)}},
             {"Music\\Rock", {F("z.mp3", 1234567, {{0, 128}, {2, 0}})}},
             {"b\xc3\xa4r", {}}}),
        {}));
    form->FilterEdit()->setText("nothing-matches");  // hidden rows are written too
    emit m_bar->ActionTriggered(form, "save_to_file");
    QCOMPARE(m_boxes, QStringList{"Export Share To File"});
    QFile file(m_chosenFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()),
             QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<user name=\"bob\">\n"
                     "    <folder name=\"b\u00e4r\"/>\n"
                     "    <folder name=\"Music\">\n"
                     "        <folder name=\"Rock\">\n"
                     "            <file name=\"z.mp3\" size=\"1,234,567\" bitrate_mode=\"cbr\" "
                     "bitrate=\"128\"/>\n"
                     "        </folder>\n"
                     "        <file name=\"A.mp3\" size=\"\"/>\n"
                     "        <file name=\"b.mp3\" size=\"1,000\" bitrate_mode=\"vbr\" "
                     "bitrate=\"192\"/>\n"
                     "        <file name=\"big.bin\" size=\"5,000,000,000\"/>\n"
                     "    </folder>\n"
                     "</user>\n"));

    m_boxes.clear();
    QVERIFY(!form->ExportToFile(dir.filePath("missing/x.xml")));
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes[0].startsWith("Export Share To File: The share could not be written"));
    // Where the disk says only at the close that a write was lost, the
    // earlier export stays as it was, with its permissions.
    const QFile::Permissions mine = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther;
    QVERIFY(QFile::setPermissions(m_chosenFile, mine));
    const QByteArray was = ReadFile(m_chosenFile);
    {
        const DiskFailsClose disk(dir.path(), EIO);
        QVERIFY(!form->ExportToFile(m_chosenFile) && m_boxes.last().endsWith(strerror(EIO)));
    }
    QCOMPARE(ReadFile(m_chosenFile), was);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"bob.xml"});
    QVERIFY(form->ExportToFile(m_chosenFile));
    QCOMPARE(QFile::permissions(m_chosenFile) & 0x7077, mine);  // not the User bits

    // Hostile names stay well-formed and come back as far as XML can carry them.
    const std::string hostile = std::string("a\x01<b>&\"'\x7f\xff\xfe\t\r\n]]>", 17);
    ShareForm* evil = m_page->OpenShareBrowse(QString("x\x02<y>"));
    evil->SetShare(SharesForm::CreateUserShareData(
        Map({{hostile, {F(hostile, 1)}}, {hostile + "\\" + hostile, {F("\xed\xa0\x80", 2)}}}), {}));
    QVERIFY(evil->ExportToFile(dir.filePath("evil.xml")));
    QFile back(dir.filePath("evil.xml"));
    QVERIFY(back.open(QIODevice::ReadOnly));
    QXmlStreamReader reader(&back);
    QStringList names;
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement)
            names << reader.name() + "=" + reader.attributes().value("name");
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QCOMPARE(names.size(), 5);
    QCOMPARE(names[1].left(12), QString("folder=a\ufffd<b>"));
}

// The own share as another user receives it, its order and its uploads.
void TestShareViews::uploadBrowserShowsTheOwnShare() {
    QTemporaryDir dir;
    for (const char* path : {"root/B/E", "root/a"})
        QVERIFY(QDir(dir.path()).mkpath(path));
    for (const char* path : {"root/top.txt", "root/B/d.txt", "root/B/c.txt", "root/B/E/f.txt"}) {
        QFile file(dir.filePath(path));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("12345") == 5);
    }
    shares->AddSharedFolder(dir.filePath("root"))
        .Connect(d.GetType("shared_public")->GetGlobalNullItem());
    QVERIFY(WaitForSharesIndexed(shares.get()));

    // What bob is sent when he asks.
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
    quint32 code = 0;
    QByteArray payload;
    QVERIFY(bob.WaitForMessage(&code, &payload) && code == PeerMessenger::PM_SHARED_FILE_LIST);
    FileInfoMap sent;
    AttributeTranslationTable table;
    QVERIFY(ParseSharedFileList(payload.constData(), payload.size(), sent, table));

    UploadForm* form = m_page->OpenUploadBrowse("bob");
    QStringList shown, expected;
    for (QTreeWidgetItemIterator it(form->FolderTree()); *it; ++it) {
        form->FolderTree()->setCurrentItem(*it);
        shown << ShareForm::FolderPath(*it) + ": " + Column(form->FileList(), 0).join(',') + " " +
                     Column(form->FileList(), 1).join(',');
    }
    for (const auto& folder : sent) {
        QStringList names, sizes;
        for (const FileInfo& file : folder.second)
            names << ToQString(file.GetName()), sizes << CommafyNumber(file.GetSize());
        expected << ToQString(folder.first) + ": " + names.join(',') + " " + sizes.join(',');
    }
    QCOMPARE(shown, expected);
    QCOMPARE(Shape(form->FolderTree(), true), QString("root(B(E) a)"));  // bytes: "B" before "a"

    // A folder: its own files first, then its subfolder's; a file row.
    QTreeWidgetItem* b = Row(form->FolderTree(), "root\\B");
    form->FolderTree()->setCurrentItem(b);
    m_menu.clear();
    form->OnFolderContextMenuRequested(form->FolderTree()->visualItemRect(b).center());
    QCOMPARE(m_menu.value(0), QString("Upload Folder"));
    QStringList uploads;
    for (const ItemPtr& entry : d.GetType("upload_entry")->GetItems())
        uploads << entry["shared_file"]["shared_file_name"].AsString();
    QCOMPARE(uploads, (QStringList{"c.txt", "d.txt", "f.txt"}));
    // Bob is offered each file by its path as his list has it: folder, "\", name.
    const QString folder = ShareForm::FolderPath(b);
    for (const QString& path : {folder + "\\c.txt", folder + "\\d.txt", folder + "\\E\\f.txt"})
        QCOMPARE(bob.Take(PeerMessenger::PM_QUEUE_DOWNLOAD_REQUEST),
                 Payload().Str(path).I64(5).Bytes());
    form->FolderTree()->setCurrentItem(Row(form->FolderTree(), "root"));
    form->FileList()->setCurrentItem(form->FileList()->topLevelItem(0));
    m_menu.clear();
    form->OnFileContextMenuRequested(QPoint(3, 3));
    QCOMPARE(m_menu.value(0), QString("Upload File(s)"));
    QCOMPARE(d.GetType("upload_entry")->ItemCount(), 4);
    QVERIFY(!form->FileList()->topLevelItem(0)->icon(0).isNull());
}

// Mutated share lists: no crash, a tree, and a well-formed export.
void TestShareViews::fuzzedListsIntoTreeAndExport() {
    QTemporaryDir dir;
    fuzz::Rng rng(27);
    ShareForm* form = m_page->OpenShareBrowse("fuzz");
    // Separators, markup, controls, bytes that are not UTF-8, a lone surrogate.
    static const char kPieces[] = "a\\/\x01\xff\xc3\xa4<&\"\x7f\xed\xa0 ";
    const auto name = [&rng](int max) {
        std::string s;
        for (int k = 0, n = 1 + fuzz::Below(rng, max); k < n; ++k)
            s += kPieces[fuzz::Below(rng, int(sizeof kPieces) - 1)];
        return s;
    };
    int built = 0;
    for (int round = 0; round < 300; ++round) {
        FileInfoMap share;
        std::string path;
        for (int k = 0, n = fuzz::Below(rng, 12); k < n; ++k) {
            path = fuzz::Below(rng, 2) ? path + "\\" + name(6) : name(6);
            auto& files = share[path];
            for (int f = 0, m = fuzz::Below(rng, 4); f < m; ++f)
                files.insert(F(name(8), fuzz::Below(rng, 100000),
                               {{quint32(fuzz::Below(rng, 4)), quint32(rng())}}));
        }
        const QByteArray body = fuzz::Mutate(rng, Body(share));
        FileInfoMap parsed;
        AttributeTranslationTable table;
        const QByteArray packed = Compress(body);
        if (!ParseSharedFileList(packed.constData(), packed.size(), parsed, table))
            continue;
        ++built;
        m_page->OnUserShare("fuzz", parsed, table);
        QVERIFY(form->FolderTree()->topLevelItemCount() <= int(parsed.size()));
        form->FilterEdit()->setText(QString::fromStdString(name(3)));
        QVERIFY(form->ExportToFile(dir.filePath("f.xml")));
        QFile file(dir.filePath("f.xml"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader reader(&file);
        while (!reader.atEnd())
            reader.readNext();
        QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    }
    QVERIFY(built > 50);
}

QTEST_MAIN(TestShareViews)
#include "test_share_views.moc"
