#include <QtTest>
#include <QtWidgets>
#include <thread>

#include "net/server.h"
#include "store/Settings.h"
#include "views/shares/DataDialog.h"
#include "views/shares/DiagnosticsForm.h"
#include "views/shares/ItemLogDialog.h"
#include "views/shares/TypeNavigatorDialog.h"

namespace {
QString Text(QPlainTextEdit* view) {
    return view ? view->toPlainText() : QString();
}
}  // namespace

class TestDiagnostics : public QObject {
    Q_OBJECT

private slots:
    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Server::CreateData();
    }
    void logLinesReachTheirViewsItemsAndFiles_data();
    void logLinesReachTheirViewsItemsAndFiles();
    void viewsFollowTheStore();
    void eachCallShownAndKeptOnce();
};

void TestDiagnostics::logLinesReachTheirViewsItemsAndFiles_data() {
    QTest::addColumn<QString>("area");
    // Names that climb out, are absolute, hidden, empty, odd or too long.
    const QStringList areas =
        QString("Peer Messenger|../../out|/tmp/x|..\\..\\x|.profile||a\nb\x01c").split('|')
        << QString(400, QChar(0xe9));
    for (const QString& area : areas)
        QTest::addRow("%s", qPrintable(area.left(16))) << area;
}

// Peer text stays literal text; each view, item log and file gets the lines
// of its own area or item only; the file stays inside the log folder.
void TestDiagnostics::logLinesReachTheirViewsItemsAndFiles() {
    QFETCH(QString, area);
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    DiagnosticsForm form;
    form.Init();
    form.RegisterLoggableItemType("user");
    const ItemPtr alice = d.GetType("user")->GetItem("alice");
    const ItemPtr bob = d.GetType("user")->GetItem("bob");
    const QString peerText = "<b>alice</b> &amp; <img src=x>";

    Log(area, 1, "hidden while off", alice);  // leaves no trace
    QVERIFY(!form.AreaView(area) && form.LogTabs()->count() == 0 && !alice["item_log"]);
    QVERIFY(!QDir(DiagnosticsForm::LogFolder()).exists());

    SetSetting("show_diagnostics", "yes");
    SetSetting("user_level_logging", "yes");
    Log(area, 1, "first", alice);
    Log("Other", 1, "not yours", bob);
    auto* dialog = new ItemLogDialog(alice);
    Log(area, 2, peerText, alice);
    std::thread([] { Log("Worker", 3, "from a thread"); }).join();
    QTRY_VERIFY(Text(form.AreaView("Worker")).endsWith("]       from a thread"));

    QCOMPARE(form.LogTabs()->tabText(0) + form.LogTabs()->tabText(2), area + "Worker");
    const QString shown = Text(form.AreaView(area));
    QVERIFY2(shown.contains("] first\n[") && shown.endsWith("]    " + peerText), qPrintable(shown));
    QVERIFY(!shown.contains("not yours") && !Text(form.AreaView("Other")).contains("first"));

    // The item log: what existed first, then what came while open, by area.
    QVERIFY(dialog->Tabs()->count() == 2 && dialog->Tabs()->tabText(1) == area);
    const QStringList all = Text(dialog->Page("All")).split('\n');
    QCOMPARE(all.size(), 2);
    QVERIFY(all[0].endsWith("] first") && all[1].endsWith("]    " + peerText));
    QCOMPARE(Text(dialog->Page(area)), Text(dialog->Page("All")));
    QVERIFY(!dialog->Page("Other"));
    const ItemPtr entry = bob["item_log"];  // the second entry of the run, without stamp
    QCOMPARE(bob.CountItems("item_log"), 1);
    QCOMPARE(entry["log_order"].AsString() + entry["log_text"].AsString(), QString("1not yours"));
    dialog->close();

    // One file per area, right inside the folder, nothing anywhere else.
    const QString path = DiagnosticsForm::LogFilePath(area);
    QCOMPARE(QFileInfo(path).absolutePath(), QDir(DiagnosticsForm::LogFolder()).absolutePath());
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Tavenook Logs"});
    QCOMPARE(QDir(DiagnosticsForm::LogFolder()).entryList(QDir::Files | QDir::Hidden).size(), 3);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.size() == 4 && lines[0].startsWith("* Logging started at "));
    QVERIFY(lines[1].endsWith("] first") && lines[2].endsWith(peerText.toLatin1()));
}

// The tracked users, the store browser and the type navigator follow items
// made and removed; a removed item takes every row that shows it along.
void TestDiagnostics::viewsFollowTheStore() {
    DiagnosticsForm form;
    form.Init();
    const ItemPtr carol = d.GetType("user")->GetItem("carol");
    carol.NewItem("is_tracked");
    carol.NewItem("is_online");
    QCOMPARE(form.TrackedUsers()->topLevelItem(0)->text(1), QString("Online"));
    carol.Disconnect("is_tracked");
    QVERIFY(form.TrackedUsers()->topLevelItemCount() == 0 && carol["track_user_node"].IsNull());
    carol.Disconnect("is_online");  // no row left to touch
    // Tracked while already online, then going offline.
    const ItemPtr dave = d.GetType("user")->GetItem("dave");
    dave.NewItem("is_online");
    dave.NewItem("is_tracked");
    QCOMPARE(form.TrackedUsers()->topLevelItem(0)->text(1), QString("Online"));
    dave.Disconnect("is_online");
    QCOMPARE(form.TrackedUsers()->topLevelItem(0)->text(1), QString("Offline"));
    dave.Disconnect("is_tracked");

    Type* album = d.NewType("album", PrimacyRoot, false, true);
    Type* track = d.NewType("track", PrimacyLeaf, true, false);
    album->RelateToType(track, Many, Many, false);
    const ItemPtr a = album->GetItem("a");
    const ItemPtr t1 = a.Connect(track->NewItem());
    const ItemPtr t2 = a.Connect(track->NewItem());
    album->GetItem("b").Connect(t1);

    form.OnActionTriggered(&form, "show_data");
    QPointer<DataDialog> data = dataDialog;
    QList<QTreeWidgetItem*> rows = data->TypeList()->findItems("track", Qt::MatchExactly);
    QCOMPARE(rows[0]->text(1) + rows[0]->text(2), QString("null   2"));
    rows = data->TypeList()->findItems("album", Qt::MatchExactly);
    rows[0]->setSelected(true);
    album->GetItem("c");
    QCOMPARE(rows[0]->text(2), QString("3"));
    QCOMPARE(data->ItemList()->count(), 3);
    data->OnItemClicked(data->ItemList()->findItems("a", Qt::MatchExactly)[0]);
    QTreeWidgetItem* top = data->ItemTree()->topLevelItem(0);
    QCOMPARE(top->child(0)->text(0) + top->child(1)->text(0), QString("[track, null]").repeated(2));
    top->child(0)->setExpanded(true);            // t1: its albums a and b
    top->child(0)->child(1)->setExpanded(true);  // b: t1 again
    QCOMPARE(top->child(0)->child(0)->text(0) + top->child(0)->child(1)->text(0),
             QString("[album] a[album] b"));
    QCOMPARE(data->TreeRowCount(), std::size_t(6));

    // t1's rows go with their sub-rows; b's row went with them.
    t1.Remove();
    QCOMPARE(top->childCount(), 1);
    QCOMPARE(data->TreeRowCount(), std::size_t(2));
    album->GetItem("b").Remove();
    QCOMPARE(data->ItemList()->count(), 2);
    QCOMPARE(rows[0]->text(2), QString("2"));
    a.Remove();
    QCOMPARE(data->ItemTree()->topLevelItemCount(), 0);
    t2.Remove();
    QCOMPARE(data->TreeRowCount(), std::size_t(0));

    form.OnActionTriggered(&form, "type_navigator");
    TypeNavigatorDialog* navigator = typeNavigatorDialog;
    navigator->FromBox()->setCurrentText("album");
    navigator->ToBox()->setCurrentText("track");
    QVERIFY(navigator->Chart()->toPlainText().startsWith("[2] album => track [null]"));
    data->close();
    navigator->close();
    QTRY_VERIFY(!data);
}

// Around the switch of "show_diagnostics": each call is kept once, and shown
// once when the views are on (when held, at release), in a new view as in an
// existing one.
void TestDiagnostics::eachCallShownAndKeptOnce() {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    DiagnosticsForm form;
    form.Init();
    const auto shown = [&form](const QString& area) {
        form.ShowPendingLines();
        QStringList lines = Text(form.AreaView(area)).split('\n', Qt::SkipEmptyParts);
        for (QString& line : lines)
            line = line.section("] ", 1);
        return lines;
    };
    Log("A", 1, "while off");
    SetSetting("show_diagnostics", "yes");
    Log("A", 1, "right after");
    Log("B", 1, "other");
    QCOMPARE(shown("A"), QStringList{"right after"});
    SetSetting("show_diagnostics", "no");
    Log("A", 1, "off again");
    SetSetting("show_diagnostics", "yes");
    Log("A", 1, "on again");
    QCOMPARE(shown("A"), (QStringList{"right after", "on again"}));
    QCOMPARE(shown("B"), QStringList{"other"});
    // Held lines, as while the store loads, go by the settings at release.
    SetSetting("show_diagnostics", "no");
    form.HoldLines();
    Log("A", 1, "held");
    SetSetting("show_diagnostics", "yes");
    QCOMPARE(shown("A"), (QStringList{"right after", "on again"}));
    form.ReleaseLines();
    QCOMPARE(shown("A"), (QStringList{"right after", "on again", "held"}));
    QStringList kept = form.Lines();
    for (QString& line : kept)
        line = line.section(": ", 0, 0) + line.section("] ", 1);
    QCOMPARE(kept, (QStringList{"Awhile off", "Aright after", "Bother", "Aoff again", "Aon again",
                                "Aheld"}));
}

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
