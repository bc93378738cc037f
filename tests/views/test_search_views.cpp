#include <QtTest>
#include <QtWidgets>
#include <climits>

#include "shell/Prompts.h"
#include "store/DelayedInvoker.h"
#include "store/FileInfo.h"
#include "support/ColumnFit.h"
#include "support/Fuzz.h"
#include "support/Payload.h"
#include "support/TestServer.h"
#include "support/TransferServices.h"
#include "ui_SearchForm.h"
#include "ui_SearchResultsForm.h"
#include "views/search/FilterParser.h"
#include "views/search/ReceivedSearchesForm.h"
#include "views/search/SearchForm.h"
#include "views/search/SearchResultsForm.h"
#include "views/shares/SharesForm.h"

namespace {

// The label texts a combo box's face is painted with.
class LabelRecorder : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (const auto* combo = qstyleoption_cast<const QStyleOptionComboBox*>(option);
            combo && element == CE_ComboBoxLabel)
            labels << combo->currentText;
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    mutable QStringList labels;
};

const int kWait = 10000;

struct File {
    std::string path;  // folder\name as a peer sends it
    qint64 size = 1000;
    qint64 bitrate = -1;  // -1: no bitrate attribute
    int mode = -1;        // -1 none, 0 cbr, 1 vbr
    qint64 length = -1;   // -1: no length attribute
};

FileInfo Info(const File& f) {
    AttributeMap attributes("mp3");
    if (f.bitrate >= 0)
        attributes.Set(AttributeMap::kBitrate, quint32(f.bitrate));
    if (f.mode >= 0)
        attributes.Set(AttributeMap::kVariableBitrate, quint32(f.mode));
    if (f.length >= 0)
        attributes.Set(AttributeMap::kLength, quint32(f.length));
    return FileInfo(f.path, f.size, attributes);
}

SearchResultMessage Message(quint32 token, const QList<File>& files, bool free = true,
                            quint32 speed = 0, quint32 queue = 0) {
    SearchResultMessage m;
    m.token = token;
    m.freeSlot = free;
    m.uploadSpeed = speed;
    m.queueLength = queue;
    for (const File& f : files)
        m.files.push_back(Info(f));
    return m;
}

// The compressed body of a search reply as a peer sends it.
QByteArray Wire(quint32 token, const QList<File>& files) {
    Payload p;
    p.Str("peer").U32(token).U32(quint32(files.size()));
    for (const File& f : files)
        p.File(f.path, quint64(f.size));
    return Compress(p.U8(1).U32(0).U32(0).U32(0));
}

QStringList Visible(QTreeWidget* list, int column = 4) {
    QStringList out;
    for (QTreeWidgetItemIterator it(list); *it; ++it) {
        bool shown = true;
        for (QTreeWidgetItem* up = *it; up && shown; up = up->parent())
            shown = !up->isHidden();
        if (shown && !(*it)->text(column).isEmpty())
            out << (*it)->text(column);
    }
    out.sort();
    return out;
}

QStringList TopTexts(QTreeWidget* list, int column) {
    QStringList out;
    for (int k = 0; k < list->topLevelItemCount(); ++k)
        out << list->topLevelItem(k)->text(column);
    return out;
}

QStringList Items(const char* type) {
    QStringList out;
    for (const ItemPtr& item : d.GetType(type)->GetItems())
        out << item.AsString();
    return out;
}

}  // namespace

class TestSearchViews : public QObject, TransferServices {
    Q_OBJECT

    std::unique_ptr<TestServer> ts;
    std::unique_ptr<DelayedInvoker> invoker;
    std::unique_ptr<SharesForm> sharesPage;
    std::unique_ptr<SearchForm> form;
    QTemporaryDir home;

    Ui_SearchForm* Ui() { return form->Ui(); }

    void StartForm() {
        form.reset(new SearchForm);
        form->Init();
        form->DataLoaded();
        form->resize(1000, 600);
        form->show();
    }
    SearchResultsForm* Page(quint32 token) {
        return qobject_cast<SearchResultsForm*>(
            form->CreateSearchForm(token,
                                   d.GetType("search_request")
                                       ->HasItem(Value(token))
                                       .HasItem("search_request_text")
                                       .AsString(),
                                   GlobalSearch));
    }
    // A search answered at once by `user` with the files, as stored by the
    // peer messaging; the page is the search's.
    SearchResultsForm* Answered(const QString& text, const QString& user, const QList<File>& files,
                                bool free = true, quint32 speed = 0, quint32 queue = 0) {
        const quint32 token = server->FileSearch(text, false);
        SearchResultsForm* page = Page(token);
        form->OnUserSearchResults(
            StoreSearchResults(user, Message(token, files, free, speed, queue)));
        return page;
    }
    bool LogIn() {
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        return connected.count() > 0 || connected.wait(kWait);
    }
    QByteArray Expect(quint32 code) {
        QByteArray payload;
        return ts->WaitForMessage("me", code, kWait, &payload) ? payload : QByteArray("<none>");
    }

private slots:
    void init() {
        qputenv("HOME", home.path().toUtf8());
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        QVERIFY(StartTransferServices());
        SetSetting("password", "pw");
        invoker.reset(new DelayedInvoker);
        sharesPage.reset(new SharesForm);
        sharesPage->Init();
        StartForm();
    }
    void cleanup() {
        prompts::SetMenuHandler(nullptr);
        form.reset();
        sharesPage.reset();
        invoker.reset();
        StopTransferServices();
        ts.reset();
    }

    void filterLanguage_data();
    void filterLanguage();
    void numericEdgesAgreeAcrossViews();
    void filterFuzz();
    void searchesReachServerAndTabs();
    void resultPageColumnsSortingAndLayouts();
    void numberColumnsFit_data();
    void numberColumnsFit();
    void roomTargetsReadInFull();
    void savedAndDefaultFilters();
    void historyAndWishListAcrossSaveAndLoad();
    void resultTabActions();
    void downloadsFromResults();
    void receivedSearches();
    void searchResultsFuzz();
};

// attrs: "" for no file item, else "br=N,mode=vbr|cbr,size=N" in any subset.
void TestSearchViews::filterLanguage_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("attrs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("rest");  // "-" without rest, else included|excluded

    const QString none;
    QTest::newRow("excluded any case") << "lackluster -live"
                                       << "Lackluster ALIVE" << none << 2 << "-";
    QTest::newRow("included missing") << "lackluster -live"
                                      << "other" << none << 1 << "-";
    QTest::newRow("all there") << "lackluster -live"
                               << "LACKLUSTER x" << none << 0 << "-";
    QTest::newRow("substring") << "con"
                               << "Container" << none << 0 << "-";
    QTest::newRow("empty filter") << ""
                                  << "anything"
                                  << "br=1,size=1" << 0 << "-";
    QTest::newRow("mfs just below") << "mfs:10"
                                    << "x"
                                    << "size=9999999" << 2 << "-";
    QTest::newRow("mfs at") << "mfs:10"
                            << "x"
                            << "size=10000000" << 0 << "-";
    QTest::newRow("mfs beyond 32 bits") << "mfs:5000"
                                        << "x"
                                        << "size=4999999999" << 2 << "-";
    QTest::newRow("mfs beyond 32 bits at") << "minfilesize:5000"
                                           << "x"
                                           << "size=5000000000" << 0 << "-";
    QTest::newRow("mbr no bitrate") << "mbr:320"
                                    << "x"
                                    << "size=1" << 2 << "-";
    QTest::newRow("mbr null file") << "mbr:320"
                                   << "x" << none << 0 << "-";
    QTest::newRow("mfif alone") << "mfif:8"
                                << "x"
                                << "br=1" << 0 << "-";
    QTest::newRow("vbr and cbr vbr") << "isvbr iscbr"
                                     << "x"
                                     << "mode=vbr" << 2 << "-";
    QTest::newRow("vbr and cbr cbr") << "isvbr iscbr"
                                     << "x"
                                     << "mode=cbr" << 2 << "-";
    QTest::newRow("isvbr no mode") << "isvbr"
                                   << "x"
                                   << "br=320" << 2 << "-";
    QTest::newRow("iscbr") << "iscbr"
                           << "x"
                           << "mode=cbr" << 0 << "-";
    QTest::newRow("lone dash and blanks") << "  -   a  "
                                          << "xa" << none << 0 << "-";
    QTest::newRow("dash keyword is a word") << "-isvbr"
                                            << "isvbr.mp3"
                                            << "mode=vbr" << 2 << "-";
    QTest::newRow("dash keyword no flag") << "-isvbr"
                                          << "x"
                                          << "mode=cbr" << 0 << "-";
    QTest::newRow("keywords case-sensitive") << "ISVBR MBR:320"
                                             << "isvbr mbr:320"
                                             << "br=1" << 0 << "-";
    QTest::newRow("unreadable number") << "mbr:abc mbr:320k"
                                       << "x"
                                       << "br=0" << 0 << "-";
    QTest::newRow("later token replaces") << "mbr:500 mbr:100"
                                          << "x"
                                          << "br=200" << 0 << "-";
    QTest::newRow("negative limit") << "mfs:-5"
                                    << "x"
                                    << "size=0" << 0 << "-";
    QTest::newRow("mfs saturates") << "mfs:99999999999999999999"
                                   << "x"
                                   << "size=9223372036854775807" << 0 << "-";
    QTest::newRow("mfs saturates below") << "minfilesize:9223372036855"
                                         << "x"
                                         << "size=5000000000000" << 2 << "-";
    QTest::newRow("rest") << "lackluster container -bootleg"
                          << "Lackluster - Best Of" << none << 1 << "container|bootleg";
    QTest::newRow("rest excluded") << "a -best"
                                   << "Lackluster - Best Of" << none << 2 << "|";
    QTest::newRow("rest all found") << "best -x"
                                    << "Best" << none << 0 << "|x";
    // The wire's edges: u32 bitrates, sizes past 4 GiB.
    const qint64 i31 = INT_MAX;
    for (const qint64 br : {qint64(0), i31, i31 + 1, qint64(4294967295u)}) {
        QTest::addRow("mbr:128 br=%lld", br)
            << "mbr:128"
            << "x" << QString("br=%1").arg(br) << (br >= 128 ? 0 : 2) << "-";
        QTest::addRow("minbitrate:2147483648 br=%lld", br)
            << "minbitrate:2147483648"
            << "x" << QString("br=%1").arg(br) << (br > i31 ? 0 : 2) << "-";
        QTest::addRow("mbr:4294967295 br=%lld", br)
            << "mbr:4294967295"
            << "x" << QString("br=%1").arg(br) << (br == 4294967295 ? 0 : 2) << "-";
    }
    for (const qint64 size : {qint64(0), i31, i31 + 1, qint64(4294967295u), qint64(5) << 30}) {
        QTest::addRow("mfs:2148 size=%lld", size)
            << "mfs:2148"
            << "x" << QString("size=%1").arg(size) << (size >= 2148000000 ? 0 : 2) << "-";
        QTest::addRow("mfs:4295 size=%lld", size)
            << "mfs:4295"
            << "x" << QString("size=%1").arg(size) << (size >= 4295000000 ? 0 : 2) << "-";
    }
}

// Each row is matched against a result's store item and, where a file is
// given, the share browsers' reading of the same record must agree.
void TestSearchViews::filterLanguage() {
    QFETCH(QString, filter);
    QFETCH(QString, text);
    QFETCH(QString, attrs);
    QFETCH(int, expected);
    QFETCH(QString, rest);

    FilterParser parser;
    parser.Parse(filter);
    ItemPtr item;
    File file{"x", 0, -1, -1};
    if (!attrs.isEmpty()) {
        item = d.GetType("search_result")->NewItem();
        for (const QString& pair : attrs.split(',')) {
            const QString key = pair.section('=', 0, 0), value = pair.section('=', 1);
            if (key == "br") {
                item.Connect(d.GetType("bitrate")->NewItem(Value(value)));
                file.bitrate = value.toLongLong();
            } else if (key == "mode") {
                item.Connect(d.GetType("bitrate_mode")->NewItem(Value(value)));
                file.mode = value == "vbr" ? 1 : 0;
            } else {
                item.Connect(d.GetType("file_size")->NewItem(Value(value)));
                file.size = value.toLongLong();
            }
        }
    }
    if (rest == "-") {
        QCOMPARE(parser.IsMatching(text, nullptr, item), expected);
    } else {
        FilterParser remainder;
        remainder.Parse("stale -words");
        QCOMPARE(parser.IsMatching(text, &remainder, item), expected);
        if (expected != 2) {
            QCOMPARE(
                remainder.IncludedWords().join(' ') + '|' + remainder.ExcludedWords().join(' '),
                rest);
            QCOMPARE(remainder.HasAttributes(), parser.HasAttributes());
            QCOMPARE(remainder.IsMatching("container.mp3", nullptr, item), 0);
        }
    }
    if (!item.IsNull())
        QCOMPARE(parser.PassesAttributes(FilterAttributes::Of(Info(file))),
                 parser.PassesAttributes(FilterAttributes::Of(item)));
    if (filter == "mfif:8")
        QVERIFY(!parser.HasAttributes() && parser.MinFilesInFolder() == 8);
    if (filter.startsWith("mbr:abc"))
        QVERIFY(parser.HasAttributes() && parser.MinBitrate() == 0);
}

// Rows at the wire's edges: a page in either layout shows exactly the rows
// that the share browsers' reading of the same records keeps, and each
// length in full.
void TestSearchViews::numericEdgesAgreeAcrossViews() {
    QList<File> files;
    const qint64 i31 = INT_MAX;
    const QList<QPair<qint64, QString>> lengths = {{0, "0m0s"},
                                                   {i31, "24855d3h14m7s"},
                                                   {i31 + 1, "24855d3h14m8s"},
                                                   {4294967295u, "49710d6h28m15s"}};
    QMap<QString, QString> attributes;  // file name -> its "Attributes" text
    int n = 0;
    for (const qint64 br : {qint64(0), i31, i31 + 1, qint64(4294967295u)})
        for (const qint64 size : {qint64(0), i31 + 1, qint64(4294967295u), qint64(5) << 30}) {
            const auto& length = lengths[n % 4];
            const QString name = QString("song %1.mp3").arg(n++);
            files.append({("edge\\" + name).toStdString(), size, br, n % 2, length.first});
            attributes[name] =
                QString("%1 %2, %3").arg(br).arg(n % 2 ? "VBR" : "CBR").arg(length.second);
        }
    for (const bool flat : {false, true}) {
        SetSettingYes("use_old_style_search_results", flat);
        SearchResultsForm* page = Answered("song", "bob", files);
        QCOMPARE(page->IsFlat(), flat);
        QMap<QString, QString> shown;
        for (QTreeWidgetItemIterator it(page->searchResults()); *it; ++it)
            if (!(*it)->text(4).isEmpty())
                shown[(*it)->text(4)] = (*it)->text(6);
        QCOMPARE(shown, attributes);
        for (const char* text : {"mbr:128", "mbr:4294967295", "minbitrate:2147483648", "mfs:4295",
                                 "mfs:2148 isvbr", "iscbr mbr:1", "mfs:1 mbr:2147483647"}) {
            page->filterEdit()->setText(text);
            FilterParser filter;
            filter.Parse(text);
            QStringList expected;
            for (const File& f : files)
                if (filter.PassesAttributes(FilterAttributes::Of(Info(f))))
                    expected << QString::fromStdString(f.path).section('\\', 1);
            expected.sort();
            QCOMPARE(Visible(page->searchResults()), expected);
        }
        if (flat) {  // the largest bitrate sorts first under "Attributes"
            page->filterEdit()->clear();
            page->SetSortingParamters(6, Qt::AscendingOrder);
            page->Sort();
            QTreeWidgetItem* top = page->searchResults()->topLevelItem(0);
            QCOMPARE(page->FileRowOf(static_cast<SearchResultListItem*>(top)->Result()), top);
            QCOMPARE(
                static_cast<SearchResultListItem*>(top)->Result().HasItem("bitrate").AsString(),
                QString("4294967295"));
        }
    }
}

// Random filters and texts: answers stay 0, 1 or 2; an empty filter takes
// everything; what the folder-then-rest rule takes, the joined text takes.
void TestSearchViews::filterFuzz() {
    fuzz::Rng rng(17);
    const QStringList words = {"rock",         "-live", "isvbr",      "iscbr",
                               "mbr:",         "mfs:",  "mfif:",      "minbitrate:",
                               "minfilesize:", "-",     "4294967295", "99999999999999",
                               "-9",           "é",     "Rock",       "  "};
    const ItemPtr item = d.GetType("search_result")->NewItem();
    for (int k = 0; k < 3000; ++k) {
        QString text;
        for (int w = 0, count = fuzz::Below(rng, 6); w < count; ++w)
            text += words[fuzz::Below(rng, words.size())] +
                    (fuzz::Below(rng, 2) ? QString(" ") : QString());
        if (k % 5 == 0)
            text += QString::fromUtf8(fuzz::RandomBytes(rng, 12)).remove('\\');
        FilterParser parser;
        parser.Parse(text);
        item.Disconnect("bitrate");
        item.Connect(d.GetType("bitrate")->NewItem(Value(quint32(rng()))));
        const QString folder = words[fuzz::Below(rng, words.size())] + "x";
        const QString name = words[fuzz::Below(rng, words.size())] + ".mp3";
        FilterParser rest;
        const int first = parser.IsMatching(folder, &rest, ItemPtr());
        const int joined = parser.IsMatching(folder + '\\' + name, nullptr, item);
        QVERIFY(first >= 0 && first <= 2 && joined >= 0 && joined <= 2);
        if (first != 2 && rest.IsMatching(name, nullptr, item) == 0)
            QVERIFY2(joined == 0, qPrintable(text));
        FilterParser empty;
        QCOMPARE(empty.IsMatching(text, nullptr, item), 0);
    }
}

// Each target sends its message and opens its titled tab; answers reach the
// tab of their request; a closed tab drops later answers and leaves nothing
// in the store; a wish-list answer opens one background tab; related
// searches list in rank order.
void TestSearchViews::searchesReachServerAndTabs() {
    QVERIFY(LogIn());
    ts->SetCorrelations("blue song", {{"low", 1}, {"high", 9}, {"mid", 5}});
    Ui()->searchEdit->lineEdit()->setText("  blue song ");
    QTest::mouseClick(Ui()->searchButton, Qt::LeftButton);
    const QByteArray search = Expect(SM_FILE_SEARCH);
    const quint32 blue = search.size() >= 4 ? qFromLittleEndian<quint32>(search.constData()) : 0;
    QCOMPARE(search, Payload().U32(blue).Str("blue song").Bytes());
    QCOMPARE(Expect(SM_SEARCH_CORRELATIONS), Payload().Str("blue song").Bytes());
    QCOMPARE(Ui()->searchTabControl->tabText(0), QString("blue song"));
    QCOMPARE(Ui()->searchEdit->itemText(0), QString("blue song"));
    QVERIFY(Ui()->searchEdit->currentText().isEmpty());
    // Enter searches what was typed, never an earlier search it begins.
    Ui()->searchEdit->setFocus();
    QTest::keyClicks(Ui()->searchEdit, "blue");
    QCOMPARE(Ui()->searchEdit->currentText(), QString("blue"));
    QTest::keyClick(Ui()->searchEdit, Qt::Key_Return);
    QCOMPARE(Expect(SM_FILE_SEARCH).mid(4), Payload().Str("blue").Bytes());
    QCOMPARE(Ui()->searchTabControl->tabText(1), QString("blue"));
    form->OnTabCloseRequested(1);
    auto* bluePage = qobject_cast<SearchResultsForm*>(Ui()->searchTabControl->widget(0));
    QTRY_COMPARE(TopTexts(bluePage->CorrelationsWidget(), 0), QStringList({"high", "mid", "low"}));
    QVERIFY(!bluePage->CorrelationsWidget()->isHidden());
    // A related search: one click fills the entry, a double-click searches
    // and leaves the history entries alone.
    const int history = Ui()->searchEdit->count();
    QTreeWidgetItem* high = bluePage->CorrelationsWidget()->topLevelItem(0);
    form->OnCorrelationClicked(high, 0);
    QCOMPARE(Ui()->searchEdit->currentText(), QString("high"));
    form->OnCorrelationDoubleClicked(high, 0);
    QCOMPARE(Expect(SM_FILE_SEARCH).mid(4), Payload().Str("high").Bytes());
    QCOMPARE(Ui()->searchTabControl->tabText(1), QString("high"));
    QVERIFY(Ui()->searchEdit->count() == history && Ui()->searchEdit->currentText().isEmpty());

    // The user list and a room; the room's entry follows the store.
    const ItemPtr carl = User("carl");
    carl.NewItem("in_user_list");
    Online("carl");
    Ui()->searchTargetBox->setCurrentText("User List");
    Ui()->searchEdit->lineEdit()->setText("rock & roll");
    QTest::keyClick(Ui()->searchEdit->lineEdit(), Qt::Key_Return);
    const QByteArray users = Expect(SM_USER_SEARCH);
    QVERIFY(users.startsWith(Payload().Str("carl").Bytes()) &&
            users.endsWith(Payload().Str("rock & roll").Bytes()));
    QCOMPARE(Ui()->searchTabControl->tabText(2), QString("rock && roll"));
    const ItemPtr lobby = d.GetType("room")->GetItem("lobby");
    lobby.NewItem("in_room");
    Ui()->searchTargetBox->setCurrentText("Room: lobby");
    Ui()->searchEdit->lineEdit()->setText("beat");
    form->OnSearchEntered();
    const QByteArray room = Expect(SM_ROOM_SEARCH);
    QVERIFY(room.startsWith(Payload().Str("lobby").Bytes()) &&
            room.endsWith(Payload().Str("beat").Bytes()));
    QCOMPARE(Ui()->searchTabControl->count(), 4);
    lobby.Disconnect("in_room");
    QCOMPARE(Ui()->searchTargetBox->findText("Room: lobby"), -1);
    Ui()->searchTargetBox->setCurrentText("All");

    // Answers from a peer reach the tab of their request.
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    const quint32 red = server->FileSearch("red song", false);
    auto* redPage =
        qobject_cast<SearchResultsForm*>(form->CreateSearchForm(red, "red song", GlobalSearch));
    bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT, Wire(blue, {{"a\\blue song.mp3"}}));
    bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT, Wire(red, {{"b\\red song.mp3"}}));
    QVERIFY(SyncPeer(bob));
    QCOMPARE(Visible(bluePage->searchResults()), QStringList{"blue song.mp3"});
    QCOMPARE(Visible(redPage->searchResults()), QStringList{"red song.mp3"});

    // Closing drops the tab's results now and later.
    QCOMPARE(d.GetType("search_result")->ItemCount(), 2);
    form->OnTabCloseRequested(Ui()->searchTabControl->indexOf(bluePage));
    QCOMPARE(d.GetType("search_result")->ItemCount(), 1);
    QCOMPARE(d.GetType("search_results_widget")->ItemCount(), 4);
    bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT, Wire(blue, {{"a\\blue song 2.mp3"}}));
    QVERIFY(SyncPeer(bob));
    QCOMPARE(d.GetType("search_result")->ItemCount(), 1);
    QVERIFY(d.GetType("search_request")->HasItem(Value(blue)).IsNull());

    // Wish-list answers: one background tab, shared by later requests.
    const ItemPtr wish = d.GetType("wish_list_item")->GetItem("wish song");
    wish.NewItem("wish_list_item_enabled");
    const QWidget* front = Ui()->searchTabControl->currentWidget();
    for (int round = 0; round < 2; ++round) {
        const quint32 token = server->FileSearch("wish song", true);
        bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT,
                        Wire(token, {{QString("w\\wish song %1.mp3").arg(round).toStdString()}}));
        QVERIFY(SyncPeer(bob));
    }
    QCOMPARE(Ui()->wishListTabControl->count(), 1);
    QCOMPARE(Ui()->tabWidget->currentIndex(), 0);
    QCOMPARE(Ui()->searchTabControl->currentWidget(), front);
    auto* wishPage = qobject_cast<SearchResultsForm*>(Ui()->wishListTabControl->widget(0));
    QCOMPARE(Visible(wishPage->searchResults()),
             QStringList({"wish song 0.mp3", "wish song 1.mp3"}));
    QVERIFY(wishPage->WidgetItem().IsConnected("search_results_widget_alerted"));
    // A disabled wish item gets no tab and keeps nothing.
    form->OnWishTabCloseRequested(0);
    wish.Disconnect("wish_list_item_enabled");
    const int stored = d.GetType("search_result")->ItemCount();
    bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT,
                    Wire(server->FileSearch("wish song", true), {{"w\\wish song.mp3"}}));
    QVERIFY(SyncPeer(bob));
    QCOMPARE(Ui()->wishListTabControl->count(), 0);
    QCOMPARE(d.GetType("search_result")->ItemCount(), stored);
}

// Column texts, the sort rules, a second batch reusing its rows, and flat
// and tree layouts showing the same files for the same filter.
void TestSearchViews::resultPageColumnsSortingAndLayouts() {
    SetSettingYes("use_old_style_search_results", true);
    const quint32 token = server->FileSearch("song", false);
    SearchResultsForm* flat = Page(token);
    SetSettingYes("use_old_style_search_results", false);
    SearchResultsForm* tree = Page(token);
    // A search's answers go to one page; the tree gets the same ones by hand.
    const QList<SearchResultMessage> answers = {
        Message(token, {{"Music\\Rock\\b song.mp3", 3000000000, 320, 0}}, true, 1536, 0),
        Message(token, {{"Music\\Live\\a song.mp3", 0, 128, 1}, {"Music\\Live\\C song.mp3", 5, -1}},
                false, 0, 3),
        Message(token, {{"x\\d song.mp3", 7, 192}}, false, 4096, 0),
        Message(token, {{"x\\e song.mp3", 9, 256}}, true, 1024, 0)};
    const QStringList users = {"zed", "Amy", "bob", "cat"};
    for (int k = 0; k < answers.size(); ++k) {
        const ItemPtr batch = StoreSearchResults(users[k], answers[k]);
        flat->AddUserSearchResults(batch);
        tree->AddUserSearchResults(batch);
    }
    QTreeWidget* list = flat->searchResults();
    const QTreeWidgetItem* first = list->topLevelItem(0);
    QCOMPARE(
        QStringList({first->text(0), first->text(1), first->text(2), first->text(3), first->text(4),
                     first->text(5), first->text(6)}),
        QStringList({"zed", "Y", "1.5", "Rock/Music", "b song.mp3", "3,000,000,000", "320 CBR"}));
    QCOMPARE(list->topLevelItem(1)->text(1) + list->topLevelItem(1)->text(2) +
                 list->topLevelItem(1)->text(5),
             QString("3"));

    // The rules, one column at a time, ascending (file names of the rows).
    const QList<QPair<int, QString>> rules = {
        {0, "a song.mp3 C song.mp3 d song.mp3 e song.mp3 b song.mp3"},
        {1, "a song.mp3 C song.mp3 d song.mp3 e song.mp3 b song.mp3"},
        {2, "a song.mp3 C song.mp3 e song.mp3 b song.mp3 d song.mp3"},
        {3, "a song.mp3 C song.mp3 b song.mp3 e song.mp3 d song.mp3"},  // ties keep order
        {4, "a song.mp3 b song.mp3 C song.mp3 d song.mp3 e song.mp3"},
        {5, "b song.mp3 e song.mp3 d song.mp3 C song.mp3 a song.mp3"},
        {6, "b song.mp3 e song.mp3 d song.mp3 a song.mp3 C song.mp3"}};
    for (const auto& rule : rules) {
        flat->SetSortingParamters(rule.first, Qt::AscendingOrder);
        flat->Sort();
        const QString order = TopTexts(list, 4).join(' ');
        QVERIFY2(order == rule.second, qPrintable(QString::number(rule.first) + ": " + order));
    }
    flat->SetSortingParamters(0, Qt::AscendingOrder);
    flat->Sort();
    QCOMPARE(TopTexts(list, 0), QStringList({"Amy", "Amy", "bob", "cat", "zed"}));
    flat->SetSortingParamters(1, Qt::DescendingOrder);
    flat->Sort();
    QCOMPARE(TopTexts(list, 0), QStringList({"zed", "cat", "bob", "Amy", "Amy"}));

    // The tree: a second batch of a user lands under its rows, which keep
    // their columns.
    QTreeWidget* rows = tree->searchResults();
    QCOMPARE(rows->topLevelItemCount(), 4);
    const ItemPtr again = StoreSearchResults(
        "Amy", Message(token, {{"Music\\Live\\f song.mp3"}, {"new\\g song.mp3"}}, true, 9999, 0));
    tree->AddUserSearchResults(again);
    flat->AddUserSearchResults(again);
    QCOMPARE(rows->topLevelItemCount(), 4);
    QTreeWidgetItem* amy = rows->findItems("Amy", Qt::MatchExactly)[0];
    QCOMPARE(amy->text(1) + amy->text(2) + QString::number(amy->childCount()), QString("32"));
    QCOMPARE(amy->child(0)->childCount() + amy->child(1)->childCount(), 4);
    // Sizes and bitrates order file rows only.
    tree->SetSortingParamters(5, Qt::AscendingOrder);
    tree->Sort();
    QVERIFY(!(*static_cast<SearchResultListItem*>(amy) <
              *static_cast<SearchResultListItem*>(rows->topLevelItem(0))));

    for (const char* filter : {"", "song", "live", "rock -live", "music c", "mfif:2", "mfif:3",
                               "mfs:1", "mbr:200", "isvbr", "-mp3", "musicsong"}) {
        flat->filterEdit()->setText(filter);
        tree->filterEdit()->setText(filter);
        QVERIFY2(Visible(flat->searchResults()) == Visible(rows) || QString(filter) == "mfif:2" ||
                     QString(filter) == "mfif:3",
                 filter);
    }
    // Folder limits apply to folder rows of the tree only.
    tree->filterEdit()->setText("mfif:3");
    QCOMPARE(Visible(rows), QStringList({"C song.mp3", "a song.mp3", "f song.mp3"}));
    QVERIFY(rows->findItems("zed", Qt::MatchExactly)[0]->isHidden());
    tree->filterEdit()->setText("rock -live");
    QCOMPARE(Visible(rows), QStringList({"b song.mp3"}));
    // A flat row is one file.
    flat->OnResultDoubleClicked(list->findItems("b song.mp3", Qt::MatchExactly, 4).value(0), 4);
    QVERIFY(
        tqm->GetDownloadEntry("zed", "b song.mp3", "Music\\Rock").IsConnected("single_download"));
    QCOMPARE(d.GetType("download_entry")->ItemCount(), 1);
}

void TestSearchViews::numberColumnsFit_data() {
    AddColumnFitRows("flat", "tree", "flat");
}

// "Free", the fastest speed an answer can carry (4,194,304.0 KB/s, as many
// digits as 9,999,999.9) and a size of 999 GiB read in full, in the default
// font and in a larger one.
void TestSearchViews::numberColumnsFit() {
    QFETCH(bool, flat);
    QFETCH(qreal, fontScale);
    const ScaledAppFont font(fontScale);
    SetSettingYes("use_old_style_search_results", flat);
    SearchResultsForm* page =
        Answered("big", "bob", {{"big\\song.mp3", 999LL << 30, 320, 0}}, false, 0xFFFFFFFF, 3);
    Ui()->searchTabControl->setCurrentWidget(page);
    QTreeWidget* list = page->searchResults();
    QVERIFY(!list->findItems("4194304.0", Qt::MatchExactly | Qt::MatchRecursive, 2).isEmpty());
    QVERIFY(
        !list->findItems("1,072,668,082,176", Qt::MatchExactly | Qt::MatchRecursive, 5).isEmpty());
    for (const int column : {1, 2, 5}) {
        const QString cut = CutInColumn(list, column);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
}

// Joined rooms differ only after "Room: ": each target reads in full in the
// box when chosen, up to the box's maximum width, and in the opened list,
// also past it.
void TestSearchViews::roomTargetsReadInFull() {
    for (const char* room : {"quokka room", "quokka hall"})
        d.GetType("room")->GetItem(room).NewItem("in_room");
    QComboBox* box = Ui()->searchTargetBox;
    QCOMPARE(box->count(), 4);
    const auto fieldFits = [box]() {
        QStyleOptionComboBox option;
        option.initFrom(box);
        option.currentText = box->currentText();
        const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, box);
        return box->fontMetrics().horizontalAdvance(box->currentText()) <= field.width();
    };
    for (int k = 0; k < box->count(); ++k) {
        box->setCurrentIndex(k);
        QTRY_VERIFY2(fieldFits(), qPrintable(box->currentText()));
    }
    const QString wide = "quokka lounge, second floor, by the window";
    d.GetType("room")->GetItem(Value(wide)).NewItem("in_room");
    QVERIFY(box->fontMetrics().horizontalAdvance("Room: " + wide) > box->maximumWidth());
    box->showPopup();
    QAbstractItemView* view = box->view();
    QTRY_VERIFY(view->isVisible());
    QVERIFY2(
        view->sizeHintForColumn(0) <= view->viewport()->width(),
        qPrintable(
            QString("%1 > %2").arg(view->sizeHintForColumn(0)).arg(view->viewport()->width())));
    box->hidePopup();

    // Names alike up to their last word read apart in the closed box, cut in
    // the middle; the tooltip and the search take the whole name.
    const QStringList alike = {"Quokka Lovers International Room North",
                               "Quokka Lovers International Room South"};
    QStringList shown;
    for (const QString& name : alike) {
        d.GetType("room")->GetItem(Value(name)).NewItem("in_room");
        box->setCurrentIndex(box->count() - 1);
        QTRY_COMPARE(box->width(), box->maximumWidth());
        const QString displayed = Ui()->searchTargetBox->DisplayedText();
        QVERIFY2(displayed != box->currentText() && displayed.endsWith(name.section(' ', -1)),
                 qPrintable(displayed));
        QStyleOptionComboBox option;
        option.initFrom(box);
        const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, box);
        QVERIFY(box->fontMetrics().horizontalAdvance(displayed) <= field.width());
        // What is painted is what the box says it shows.
        LabelRecorder recorder;
        box->setStyle(&recorder);
        box->grab();
        QCOMPARE(recorder.labels, QStringList{Ui()->searchTargetBox->DisplayedText()});
        box->setStyle(nullptr);
        QCOMPARE(box->toolTip(), "Room: " + name);
        shown << displayed;
    }
    QVERIFY2(shown[0] != shown[1], qPrintable(shown[0]));
    box->setCurrentIndex(0);
    QCOMPARE(box->toolTip(), QString("All"));
    box->setCurrentText("Room: " + alike[0]);
    QVERIFY(LogIn());
    Ui()->searchEdit->lineEdit()->setText("beat");
    form->OnSearchEntered();
    QVERIFY(Expect(SM_ROOM_SEARCH).startsWith(Payload().Str(alike[0]).Bytes()));
}

// Saved filters are shared by every page; the default filter starts new
// pages; the save button's longer text fits.
void TestSearchViews::savedAndDefaultFilters() {
    SearchResultsForm* one = Answered("song", "bob", {{"a\\song.mp3"}});
    SearchResultsForm* two = Answered("tune song", "bob", {{"a\\tune song.mp3"}});
    Ui_SearchResultsForm* a = one->Ui();
    Ui_SearchResultsForm* b = two->Ui();
    a->filterEdit->setText("  Foo   and\tBar ");
    QTest::mouseClick(a->saveFilterButton, Qt::LeftButton);
    QCOMPARE(Items("saved_filter"), QStringList{"foo and bar"});
    QCOMPARE(a->saveFilterButton->text(), QString("Remove Filter"));
    QCOMPARE(b->savedFiltersBox->itemText(1), QString("foo and bar"));
    QVERIFY(a->saveFilterButton->width() >= a->saveFilterButton->sizeHint().width());
    b->filterEdit->setText("   ");
    b->saveFilterButton->click();
    QCOMPARE(Items("saved_filter").size(), 1);
    b->savedFiltersBox->setCurrentIndex(1);
    QCOMPARE(b->filterEdit->text(), QString("foo and bar"));
    QCOMPARE(b->savedFiltersBox->currentIndex(), 0);
    QCOMPARE(b->saveFilterButton->text(), QString("Remove Filter"));
    b->saveFilterButton->click();
    QVERIFY(Items("saved_filter").isEmpty());
    QCOMPARE(a->savedFiltersBox->count() + b->savedFiltersBox->count(), 2);
    QCOMPARE(a->saveFilterButton->text(), QString("Save Filter"));

    a->filterEdit->clear();
    QTest::mouseClick(a->defaultFilterBox, Qt::LeftButton);
    QVERIFY(!a->defaultFilterBox->isChecked() && GetSetting("default_search_filter").isEmpty());
    a->filterEdit->setText("Foo");
    QTest::mouseClick(a->defaultFilterBox, Qt::LeftButton);
    QCOMPARE(GetSetting("default_search_filter"), QString("Foo"));
    b->filterEdit->setText("foo");
    QVERIFY(!b->defaultFilterBox->isChecked());
    b->filterEdit->setText("Foo");
    QVERIFY(b->defaultFilterBox->isChecked());
    SearchResultsForm* three = Answered("x song", "bob", {});
    QCOMPARE(three->filterEdit()->text(), QString("Foo"));
    QTest::mouseClick(a->defaultFilterBox, Qt::LeftButton);
    QVERIFY(GetSetting("default_search_filter").isEmpty());
}

// The 20 newest searches with repeats on top, and the wish list edited in
// place, both through a save and a load.
void TestSearchViews::historyAndWishListAcrossSaveAndLoad() {
    // Searches of one millisecond share a time: the clock is set by hand.
    for (int k = 0; k < 21; ++k) {
        form->RecordSearch(QString(" search %1 ").arg(k));
        d.GetType("search_record")
            ->HasItem(Value(QString("search %1").arg(k)))
            .Connect(d.GetType("search_time")->GetItem(Value(k + 1)));
    }
    form->RecordSearch("search 5");
    QCOMPARE(Ui()->searchEdit->count(), 20);
    QCOMPARE(Ui()->searchEdit->itemText(0), QString("search 5"));
    QCOMPARE(Ui()->searchEdit->findText("search 0"), -1);
    QCOMPARE(d.GetType("search_record")->ItemCount(), 20);

    for (const char* text : {"alpha", "beta", "gamma"})
        form->OnWishListItemAdded(d.GetType("wish_list_item")->GetItem(text));
    d.GetType("wish_list_item")->GetItem("alpha").NewItem("wish_list_item_enabled");
    QTreeWidget* wishes = Ui()->wishList;
    auto rowOf = [&](const QString& text) { return wishes->findItems(text, Qt::MatchExactly, 1); };
    auto* gammaBox = qobject_cast<QCheckBox*>(wishes->itemWidget(rowOf("gamma")[0], 0));
    gammaBox->setChecked(true);
    QCOMPARE(rowOf("gamma")[0]->text(0), QString("Y"));
    rowOf("beta")[0]->setText(1, "  delta ");  // trimmed, a new item, not enabled
    rowOf("gamma")[0]->setText(1, "alpha");    // a duplicate: the edited row goes
    QTRY_COMPARE(wishes->topLevelItemCount(), 2);
    QStringList wished = Items("wish_list_item");
    wished.sort();
    QCOMPARE(wished, QStringList({"alpha", "delta"}));
    QVERIFY(!rowOf("delta").isEmpty());
    form->OnActionBarTriggered(wishes, "enable_all_wish_list_items");
    QCOMPARE(d.GetType("wish_list_item_enabled")->GetGlobalNullItem().CountItems("wish_list_item"),
             2);
    rowOf("alpha")[0]->setText(1, "");
    QTRY_COMPARE(wishes->topLevelItemCount(), 1);
    // A filter typed on a wish's result page stays with the wish: its next
    // page has it, and so has the page after the next start.
    const auto wishPage = [&] {
        return form->CreateSearchForm(server->FileSearch("delta", true), "delta", WishListSearch);
    };
    SearchResultsForm* page = wishPage();
    QTest::keyClicks(page->filterEdit(), "live -demo");
    form->OnWishTabCloseRequested(Ui()->wishListTabControl->indexOf(page));
    page = wishPage();
    QCOMPARE(page->filterEdit()->text(), QString("live -demo"));
    form->OnWishTabCloseRequested(Ui()->wishListTabControl->indexOf(page));

    const QString prefix = home.filePath("store");
    QVERIFY(dataSaver->Save(prefix));
    form.reset();
    StopTransferServices();
    QVERIFY(StartTransferServices());
    form.reset(new SearchForm);
    form->Init();
    dataSaver->Load(prefix);
    QCOMPARE(Ui()->searchEdit->itemText(0), QString("search 5"));
    QCOMPARE(Ui()->searchEdit->itemText(19), QString("search 1"));
    QCOMPARE(Ui()->searchEdit->count(), 20);
    QCOMPARE(Ui()->wishList->topLevelItemCount(), 1);
    QTreeWidgetItem* delta = Ui()->wishList->topLevelItem(0);
    QCOMPARE(delta->text(1) + delta->text(0), QString("deltaY"));
    QVERIFY(qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(delta, 0))->isChecked());
    page = wishPage();
    QCOMPARE(page->filterEdit()->text(), QString("live -demo"));
    form->OnWishTabCloseRequested(Ui()->wishListTabControl->indexOf(page));
    // The list's menu removes the selected wish items with their rows.
    prompts::SetMenuHandler([](QMenu* menu, const QPoint&) -> QAction* {
        QAction* action = menu->actions().value(0);
        if (action && action->text() == "Remove Wish List Search")
            action->trigger();
        return action;
    });
    delta->setSelected(true);
    form->OnWishListContextMenuRequested(Ui()->wishList->visualItemRect(delta).center());
    QVERIFY(Items("wish_list_item").isEmpty() && Ui()->wishList->topLevelItemCount() == 0);
    d.GetType("search_record")->GetItems().Remove();  // the main window's clearing
    QCOMPARE(Ui()->searchEdit->count(), 0);
}

// The tool-bar actions of a result tab and of a wish-list tab.
void TestSearchViews::resultTabActions() {
    SearchResultsForm* page = Answered("song", "bob", {{"a\\song 1.mp3"}, {"b\\song 2.mp3"}});
    QTreeWidget* list = page->searchResults();
    QTreeWidgetItem* bob = list->topLevelItem(0);
    QVERIFY(bob->isExpanded() && bob->child(0)->isExpanded());
    form->OnActionBarTriggered(page, "expand_folders");
    QVERIFY(bob->isExpanded() && !bob->child(0)->isExpanded() && !bob->child(1)->isExpanded());
    QCOMPARE(page->WidgetItem().HasItem("expand_folders").AsString(), QString("no"));
    form->OnActionBarTriggered(page, "expand_folders");
    form->OnActionBarTriggered(page, "expand_users");
    QVERIFY(!bob->isExpanded() && bob->child(1)->isExpanded());
    form->OnActionBarTriggered(page, "order_by_fastest");
    QVERIFY(page->SortColumn() == 2 && page->SortOrder() == Qt::DescendingOrder);
    form->OnActionBarTriggered(page, "order_by_available");
    QCOMPARE(page->SortColumn(), 1);

    form->OnActionBarTriggered(page, "reenter_search");
    QCOMPARE(Ui()->searchEdit->currentText(), QString("song"));
    form->OnActionBarTriggered(page, "add_remove_wishlist");
    form->OnActionBarTriggered(page, "add_remove_wishlist");  // already there: no change
    QCOMPARE(Items("wish_list_item"), QStringList{"song"});
    QCOMPARE(Ui()->wishList->topLevelItemCount(), 1);
    form->OnActionBarTriggered(page, "stop_search");
    const ItemPtr request = page->WidgetItem().HasItem("search_request");
    QVERIFY(request.IsConnected("search_stopped"));
    QVERIFY(StoreSearchResults("carl", Message(quint32(request.AsUInt64()), {{"c\\song.mp3"}}))
                .IsNull());

    // A wish-list tab: the action removes the wish item; the tab stays.
    // Its token is past 2^31, as the search counter may get.
    const quint32 token = 3000000000u;
    const ItemPtr wishRequest = d.GetType("search_request")->GetItem(Value(token));
    wishRequest.Connect(d.GetType("search_request_text")->GetItem("song"));
    wishRequest.NewItem("wishlist_search");
    form->OnUserSearchResults(StoreSearchResults("bob", Message(token, {{"w\\song.mp3"}})));
    QCOMPARE(Ui()->wishListTabControl->count(), 1);
    QCOMPARE(
        Visible(
            qobject_cast<SearchResultsForm*>(Ui()->wishListTabControl->widget(0))->searchResults()),
        QStringList{"song.mp3"});
    QCOMPARE(d.GetType("search_request")->ItemCount(), 2);
    Ui()->tabWidget->setCurrentIndex(1);
    form->OnActionBarTriggered(Ui()->wishListTabControl->widget(0), "add_remove_wishlist");
    QVERIFY(Items("wish_list_item").isEmpty());
    QCOMPARE(Ui()->wishList->topLevelItemCount() + Ui()->wishListTabControl->count(), 1);
}

// Double-clicks and the result menu queue downloads with a scripted peer,
// in folder and name order, skipping excluded extensions where they should;
// "Browse Folder" opens the share at the folder.
void TestSearchViews::downloadsFromResults() {
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    Online("bob");
    d.GetType("excluded_download_extension")->NewItem(Value(".nfo"));
    const quint32 token = server->FileSearch("song", false);
    SearchResultsForm* page = Page(token);
    bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT, Wire(token, {{"m\\B\\song b.mp3"},
                                                                       {"m\\A\\song z.mp3"},
                                                                       {"m\\A\\song a.nfo"},
                                                                       {"m\\A\\Song c.mp3"},
                                                                       {"m\\B\\song a.mp3"}}));
    QVERIFY(SyncPeer(bob));
    QTreeWidget* list = page->searchResults();
    QTreeWidgetItem* user = list->topLevelItem(0);
    QCOMPARE(user->text(0), QString("bob"));
    const auto folderRow = [&](const QString& text) {
        for (int k = 0; k < user->childCount(); ++k)
            if (user->child(k)->text(3) == text)
                return user->child(k);
        return static_cast<QTreeWidgetItem*>(nullptr);
    };
    const auto fileRow = [&](QTreeWidgetItem* folder, const QString& name) {
        for (int k = 0; k < folder->childCount(); ++k)
            if (folder->child(k)->text(4) == name)
                return folder->child(k);
        return static_cast<QTreeWidgetItem*>(nullptr);
    };
    QTreeWidgetItem* folderA = folderRow("A/m");
    QVERIFY(folderA && folderRow("B/m"));

    // A single file, excluded extension or not; its row is marked.
    QTreeWidgetItem* nfo = fileRow(folderA, "song a.nfo");
    page->OnResultDoubleClicked(nfo, 0);
    QCOMPARE(Drain(bob), QStringList{"43 m\\A\\song a.nfo"});
    QVERIFY(!nfo->icon(4).isNull() && fileRow(folderA, "song z.mp3")->icon(4).isNull());
    const ItemPtr entry = tqm->GetDownloadEntry("bob", "song a.nfo", "m\\A");
    QCOMPARE(entry.HasItem("search_request_text").AsString(), QString("song"));
    // A folder: names in order, the excluded one passed over; again: nothing new.
    page->OnResultDoubleClicked(folderA, 0);
    QCOMPARE(Drain(bob), QStringList({"43 m\\A\\Song c.mp3", "43 m\\A\\song z.mp3"}));
    page->OnResultDoubleClicked(folderA, 0);
    QCOMPARE(Drain(bob), QStringList());
    QVERIFY(folderA->isExpanded());
    // A user, by a real double-click: every folder in order, and the row
    // neither opens nor closes.
    const auto clearDownloads = [&] {
        for (const ItemPtr& e : d.GetType("download_entry")->GetItems())
            tqm->RemoveDownload(e);
    };
    clearDownloads();
    const QPoint at = list->visualItemRect(user).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(Drain(bob), QStringList({"43 m\\A\\Song c.mp3", "43 m\\A\\song z.mp3",
                                      "43 m\\B\\song a.mp3", "43 m\\B\\song b.mp3"}));
    QVERIFY(user->isExpanded());

    // The menu: a user row offers no result action, a folder row two, a
    // file row three, then the user's actions below.
    clearDownloads();
    QStringList shown;
    QString choose;
    prompts::SetMenuHandler([&](QMenu* menu, const QPoint&) -> QAction* {
        shown.clear();
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            shown << action->text();
            if (action->text() == choose)
                chosen = action;
        }
        if (chosen)
            chosen->trigger();
        return chosen;
    });
    const auto rightClick = [&](QTreeWidgetItem* row, const QString& action) {
        choose = action;
        list->scrollToItem(row);
        page->OnContextMenuRequested(list->visualItemRect(row).center());
        return shown.mid(0, 3);
    };
    rightClick(user, "");
    QVERIFY(!shown.contains("Download File(s)") && !shown.contains("Download Folder(s)") &&
            !shown.contains("Browse Folder"));
    QCOMPARE(rightClick(folderA, "").mid(0, 2),
             QStringList({"Download Folder(s)", "Browse Folder"}));
    list->clearSelection();
    QTreeWidgetItem* b = fileRow(folderRow("B/m"), "song b.mp3");
    QTreeWidgetItem* z = fileRow(folderA, "song z.mp3");
    b->setSelected(true);
    z->setSelected(true);
    folderA->setSelected(true);
    QCOMPARE(rightClick(z, "Download File(s)"),
             QStringList({"Download File(s)", "Download Folder(s)", "Browse Folder"}));
    QStringList files = Drain(bob);
    files.sort();
    QCOMPARE(files, QStringList({"43 m\\A\\song z.mp3", "43 m\\B\\song b.mp3"}));
    QVERIFY(!tqm->GetDownloadEntry("bob", "song z.mp3", "m\\A").IsConnected("single_download"));
    // Folders: a selected file stands for its folder; excluded names skipped.
    clearDownloads();
    list->clearSelection();
    z->setSelected(true);
    rightClick(z, "Download Folder(s)");
    QCOMPARE(Drain(bob), QStringList({"43 m\\A\\Song c.mp3", "43 m\\A\\song z.mp3"}));
    // One file alone through the menu: its excluded extension does not matter.
    list->clearSelection();
    nfo->setSelected(true);
    clearDownloads();
    rightClick(nfo, "Download File(s)");
    QCOMPARE(Drain(bob), QStringList{"43 m\\A\\song a.nfo"});
    QVERIFY(tqm->GetDownloadEntry("bob", "song a.nfo", "m\\A").IsConnected("single_download"));

    // Browse Folder: the share opens and shows the folder once it arrives.
    list->clearSelection();
    rightClick(folderA, "Browse Folder");
    ShareForm* share = sharesForm->GetShareBrowse("bob");
    QVERIFY(share);
    quint32 code = 0;
    QByteArray payload;
    while (bob.WaitForMessage(&code, &payload) &&
           code != PeerMessenger::PM_SHARED_FILE_LIST_REQUEST)
        ;
    QCOMPARE(code, quint32(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST));
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, Compress(Payload()
                                                                     .U32(2)
                                                                     .Str("m\\A")
                                                                     .U32(1)
                                                                     .File("song z.mp3", 9)
                                                                     .Str("m\\B")
                                                                     .U32(1)
                                                                     .File("song b.mp3", 9)
                                                                     .U32(0)));
    QTRY_VERIFY(share->FolderTree()->currentItem());
    QCOMPARE(share->FolderPath(share->FolderTree()->currentItem()), QString("m\\A"));
}

// Newest on top, 500 at most, matches marked, nothing while paused.
void TestSearchViews::receivedSearches() {
    auto* received = qobject_cast<ReceivedSearchesForm*>(Ui()->tab);
    QTreeWidget* list = received->SearchList();
    for (int k = 0; k < 501; ++k)
        emit TransferServices::shares->SearchProcessed(QString("query %1").arg(k), k == 500);
    QCOMPARE(list->topLevelItemCount(), 500);
    QCOMPARE(list->topLevelItem(0)->text(0) + list->topLevelItem(0)->text(1),
             QString("query 500Match"));
    QCOMPARE(list->topLevelItem(0)->foreground(1).color(), QColor(0, 85, 0));
    QCOMPARE(list->topLevelItem(1)->text(1), QString());
    QCOMPARE(list->topLevelItem(499)->text(0), QString("query 1"));
    received->OnActionTriggered(list, "pause_unpause");  // another widget: no effect
    received->OnActionTriggered(received, "pause_unpause");
    emit TransferServices::shares->SearchProcessed("while paused", true);
    QCOMPARE(list->topLevelItem(0)->text(0), QString("query 500"));
    received->OnActionTriggered(received, "pause_unpause");
    emit TransferServices::shares->SearchProcessed("query 500", false);
    emit TransferServices::shares->SearchProcessed("query 500", false);
    QCOMPARE(list->topLevelItem(1)->text(0), QString("query 500"));
    QCOMPARE(list->topLevelItemCount(), 500);
}

// Mangled search replies from the wire into pages of both layouts, filtered,
// sorted and closed: nothing crashes and nothing stays in the store.
void TestSearchViews::searchResultsFuzz() {
    fuzz::Rng rng(29);
    const QByteArray body = Payload()
                                .Str("peer")
                                .U32(0)
                                .U32(3)
                                .File("a\\b\\song one.mp3", 5000000000, {{0, 4294967295u}, {2, 1}})
                                .File("song two", 0, {{1, 300}})
                                .File("\\\\song\\", 7, {{0, 128}, {2, 0}})
                                .U8(1)
                                .U32(4294967295u)
                                .U32(4294967295u)
                                .U32(0);
    for (int round = 0; round < 40; ++round) {
        SetSettingYes("use_old_style_search_results", round % 2 == 1);
        const quint32 token = server->FileSearch("song", false);
        SearchResultsForm* page = Page(token);
        page->filterEdit()->setText(round % 3 ? "song mbr:1" : "-two mfif:1");
        for (int k = 0; k < 10; ++k) {
            QByteArray bytes = body;
            qToLittleEndian<quint32>(token, bytes.data() + 8);
            bytes = fuzz::Mutate(rng, Compress(fuzz::Mutate(rng, bytes)));
            SearchResultMessage message;
            if (!ParseSearchResults(bytes.constData(), bytes.size(), message))
                continue;
            const ItemPtr batch = StoreSearchResults(QString("user%1").arg(k % 3), message);
            if (!batch.IsNull())
                form->OnUserSearchResults(batch);
        }
        page->filterEdit()->setText(round % 2 ? "" : "one isvbr");
        page->SetSortingParamters(round % 7, Qt::AscendingOrder);
        page->Sort();
        form->OnTabCloseRequested(Ui()->searchTabControl->indexOf(page));
        QCOMPARE(d.GetType("search_result")->ItemCount(), 0);
        QCOMPARE(d.GetType("search_result_node")->ItemCount(), 0);
    }
    // The sorts asked for by the closed pages come to nothing.
    QTRY_COMPARE_WITH_TIMEOUT(invoker->PendingCount(), 0, 5000);
}

QTEST_MAIN(TestSearchViews)
#include "test_search_views.moc"
