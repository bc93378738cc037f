#include "views/shares/DiagnosticsForm.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QSet>
#include <QTabWidget>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>

#include "shell/ActionSetToolBar.h"
#include "shell/Prompts.h"
#include "store/DataSaver.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "views/chat/ChatLog.h"
#include "views/shares/DataDialog.h"
#include "views/shares/TypeNavigatorDialog.h"

DiagnosticsForm* diagnosticsForm = nullptr;

namespace {

constexpr std::size_t kMaxOpenFiles = 32;

bool SettingYes(const char* key) {
    return d.FindType("global") && IsSettingYes(key);
}

// A log that cannot be written is said once per area and run, in its view.
QSet<QString>& FailedAreas() {
    static QSet<QString> failed;
    return failed;
}

}  // namespace

// Deep levels are not in use; a wild one must not cost a huge indent.
QString IndentedLogText(int level, const QString& text) {
    return level > 1 ? QString(3 * (std::min(level, 10) - 1), QLatin1Char(' ')) + text : text;
}

DiagnosticsForm::DiagnosticsForm(QWidget* parent)
    : QWidget(parent), mp_logTabs(new QTabWidget), mp_trackedUsers(new QTreeWidget) {
    setObjectName("Form");
    resize(437, 331);
    auto* layout = new QHBoxLayout(this);
    auto* outer = new QTabWidget(this);
    layout->addWidget(outer);
    mp_trackedUsers->setObjectName("trackedUsersTree");
    mp_trackedUsers->setHeaderLabels({"User", ""});
    mp_trackedUsers->setColumnWidth(0, 300);
    mp_trackedUsers->setColumnWidth(1, 100);
    mp_trackedUsers->setRootIsDecorated(false);
    mp_logTabs->setObjectName("logTabWidget");
    outer->addTab(mp_trackedUsers, "Tracked Users");
    outer->addTab(mp_logTabs, "Logs");
    outer->setCurrentWidget(mp_logTabs);
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(kShowIntervalMs);
    connect(&m_showTimer, &QTimer::timeout, this, &DiagnosticsForm::ShowPendingLines);
    diagnosticsForm = this;
    if (!d.FindType("log")) {
        Type* log = d.NewType("log", PrimacyRoot, false, true);
        log->RelateToType(d.NewType("log_widget", PrimacyRoot, false, true), One, One, false);
    }
}

DiagnosticsForm::~DiagnosticsForm() {
    DisableHandlers();
    if (GetLogSink() == this)
        SetLogSink(nullptr);
    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
    // Nowhere left to show it but the terminal.
    for (auto& [area, file] : m_files) {
        QString why;
        if (!CloseOut(*file, &why))
            qWarning("Cannot write the log file %s: %s", qPrintable(LogFilePath(area)),
                     qPrintable(why));
    }
    // Items holding the addresses of this form's widgets go with them.
    if (Type* log = d.FindType("log")) {
        for (auto it = m_views.cbegin(); it != m_views.cend(); ++it) {
            const ItemPtr area = log->HasItem(it.key());
            area["log_widget"].Remove();
            area.Remove();
        }
    }
    if (Type* nodes = d.FindType("track_user_node"))
        nodes->GetItems().Remove();
}

void DiagnosticsForm::Init() {
    m_logOrder = 0;
    Type* user = d.GetType("user");
    if (!d.FindType("track_user_node")) {
        user->RelateToType(d.NewType("track_user_node", PrimacyRoot, false, true), One, One, false);
        Type* entry = d.NewType("item_log", PrimacyRoot, true, true);
        for (const char* name : {"log_time", "log_area", "log_level", "log_text"})
            entry->RelateToType(d.NewType(name, PrimacyLeaf, false, true), Many, One, false);
        entry->RelateToType(d.NewType("log_order", PrimacyLeaf, false, true), One, One, false);
    }
    const struct {
        const char* flag;
        PathNodeRelation relation;
        void (DiagnosticsForm::*member)(ItemPtr);
    } handlers[] = {{"is_tracked", PathConnecting, &DiagnosticsForm::OnUserTracked},
                    {"is_tracked", PathDisconnecting, &DiagnosticsForm::OnUserUntracked},
                    {"is_online", PathConnecting, &DiagnosticsForm::OnUserOnline},
                    {"is_online", PathDisconnecting, &DiagnosticsForm::OnUserOffline}};
    for (const auto& handler : handlers) {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, handler.flag, handler.relation);
        d.AddPathEventHandler(root, ItemHandler(this, handler.member));
    }
    // A user removed from the store takes its row along.
    user->ItemRemovedEvent().Insert(ItemHandler(this, &DiagnosticsForm::OnUserUntracked));
    if (actionBar) {
        actionBar->AddSetAction("diagnostics", "dump_data", "Dump Data", ":/icons/info_icon",
                                false);
        actionBar->RegisterWidget(this, "diagnostics");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &DiagnosticsForm::OnActionTriggered);
    }
    SetLogSink(this);
}

void DiagnosticsForm::RegisterLoggableItemType(const std::string& type) {
    Type* loggable = d.GetType(type);
    loggable->RelateToType(d.GetType("item_log"), One, Many, true);
    m_loggable.insert(loggable);
}

const QString& DiagnosticsForm::Stamp() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != m_stampSecond) {
        m_stampSecond = now / 1000;
        m_stamp = QDateTime::fromMSecsSinceEpoch(now).toString(Qt::TextDate);
    }
    return m_stamp;
}

void DiagnosticsForm::Log(const QString& area, int level, const QString& text,
                          const ItemPtr& item) {
    const QString stamp = Stamp();
    const QString line = "[" + stamp + "] " + IndentedLogText(level, text);
    m_recent.push_back(area + ": " + line);
    if (int(m_recent.size()) > kMaxRecentLines)
        m_recent.pop_front();
    if (m_holding) {
        m_held.push_back({area, level, text, item, stamp});
        if (int(m_held.size()) > kMaxViewLines)
            m_held.pop_front();
        return;
    }
    Show(area, level, text, item, stamp);
}

void DiagnosticsForm::ReleaseLines() {
    m_holding = false;
    std::deque<Held> held;
    held.swap(m_held);
    for (const Held& line : held)
        Show(line.area, line.level, line.text, line.item, line.stamp);
}

void DiagnosticsForm::Show(const QString& area, int level, const QString& text, const ItemPtr& item,
                           const QString& stamp) {
    if (!SettingYes("show_diagnostics"))
        return;
    const QString line = "[" + stamp + "] " + IndentedLogText(level, text);
    QPlainTextEdit* view = m_views.value(area);
    const bool first = !view;
    if (first)
        view = CreateView(area);
    std::deque<QString>& pending = m_pending[view];
    pending.push_back(line);
    if (int(pending.size()) > kMaxViewLines)
        pending.pop_front();
    if (!m_showTimer.isActive())
        m_showTimer.start();
    if (!SettingYes("user_level_logging"))
        return;
    if (!item.IsNull() && !item.IsRemoved() && m_loggable.count(item.GetType()))
        AddItemEntry(area, level, text, item, stamp);
    WriteFile(area, line, stamp, first);
}

void DiagnosticsForm::ShowPendingLines() {
    m_showTimer.stop();
    for (auto& [view, lines] : m_pending) {
        QString text;
        for (const QString& line : lines)
            text += (text.isEmpty() ? "" : "\n") + line;
        // Lines carry user names, search texts and file names: never markup.
        view->appendPlainText(text);
    }
    m_pending.clear();
}

QPlainTextEdit* DiagnosticsForm::CreateView(const QString& area) {
    auto* view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    view->setMaximumBlockCount(kMaxViewLines);
    view->setUndoRedoEnabled(false);
    mp_logTabs->addTab(view, area);
    m_views.insert(area, view);
    d.GetType("log")->GetItem(area).Connect(d.GetType("log_widget")->GetItem(view));
    return view;
}

void DiagnosticsForm::AddItemEntry(const QString& area, int level, const QString& text,
                                   const ItemPtr& item, const QString& stamp) {
    if (item.CountItems("item_log") >= kMaxItemEntries) {
        // Identity order is creation order: the first is the oldest.
        const ItemPtr oldest = item["item_log"];
        const ItemPtr values[] = {oldest["log_order"], oldest["log_text"], oldest["log_time"]};
        oldest.Remove();
        // Texts and times serve many entries; each goes with its last one.
        for (const ItemPtr& value : values)
            if (!value.IsConnected("item_log"))
                value.Remove();
    }
    const ItemPtr entry = d.GetType("item_log")->NewItem();
    entry.Connect(d.GetType("log_time")->GetItem(stamp));
    entry.Connect(d.GetType("log_area")->GetItem(area));
    entry.Connect(d.GetType("log_level")->GetItem(level));
    entry.Connect(d.GetType("log_text")->GetItem(text));
    entry.Connect(d.GetType("log_order")->GetItem(m_logOrder++));
    // Last: the item log viewer listens to this link and reads the rest.
    item.Connect(entry);
}

// The file stays open, unbuffered: every line reaches the system at once, so
// a crash loses none, without an open and close per line.
QFile* DiagnosticsForm::OpenFile(const QString& area, QString* why) {
    const QString path = LogFilePath(area);
    auto found = m_files.find(area);
    if (found != m_files.end() && QFileInfo::exists(path))
        return found->second.get();
    if (found != m_files.end())
        CloseLog(found->first);
    if (m_files.size() >= kMaxOpenFiles)
        while (!m_files.empty())
            CloseLog(m_files.begin()->first);
    // Only right inside the folder, and only a plain file: never through a
    // link into a user's file, never waiting on a FIFO.
    if (QDir::cleanPath(QFileInfo(path).absolutePath()) != QDir::cleanPath(LogFolder())) {
        *why = "outside the log folder";
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    const auto mode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    if (!OpenPlainFile(*file, path, mode, why) &&
        (errno != ENOENT || !QDir().mkpath(LogFolder()) || !OpenPlainFile(*file, path, mode, why)))
        return nullptr;
    return (m_files[area] = std::move(file)).get();
}

void DiagnosticsForm::WriteFile(const QString& area, const QString& line, const QString& stamp,
                                bool first) {
    QString why;
    QFile* file = OpenFile(area, &why);
    QByteArray bytes;
    if (first)
        bytes += QString("* Logging started at %1").arg(stamp).toLatin1() + '\n';
    bytes += line.toLatin1() + '\n';
    if (!file || !WriteOut(*file, bytes.constData(), bytes.size(), &why))
        ReportFileFailure(area, why);
}

void DiagnosticsForm::ReportFileFailure(const QString& area, const QString& why) {
    if (FailedAreas().contains(area))
        return;
    FailedAreas().insert(area);
    if (QPlainTextEdit* view = m_views.value(area))
        m_pending[view].push_back(
            QString("* Cannot write the log file %1: %2").arg(LogFilePath(area), why));
}

// Some disks say only at the close that lines were lost: a failure there is
// one of the file's writes.
void DiagnosticsForm::CloseLog(QString area) {
    const auto found = m_files.find(area);
    if (found == m_files.end())
        return;
    const std::unique_ptr<QFile> file = std::move(found->second);
    m_files.erase(found);
    QString why;
    if (!CloseOut(*file, &why))
        ReportFileFailure(area, why);
}

QString DiagnosticsForm::LogFolder() {
    return QDir::homePath() + "/Tavenook Logs";
}

QString DiagnosticsForm::LogFilePath(const QString& area) {
    return LogFolder() + "/" + chatlog::SafeFileName(area);
}

QStringList DiagnosticsForm::Lines() const {
    return QStringList(m_recent.begin(), m_recent.end());
}

QTreeWidgetItem* DiagnosticsForm::TrackedRow(const ItemPtr& user) const {
    const ItemPtr node = user["track_user_node"];
    if (node.IsNull())
        return nullptr;
    // Compared as an address only; a row that is not in the list is never
    // dereferenced.
    auto* row = reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64());
    return mp_trackedUsers->indexOfTopLevelItem(row) >= 0 ? row : nullptr;
}

void DiagnosticsForm::OnUserTracked(ItemPtr user) {
    QTreeWidgetItem* row = TrackedRow(user);
    if (!row) {
        user["track_user_node"].Remove();  // a stale one, if any
        row = new QTreeWidgetItem(mp_trackedUsers, {user.AsString()});
        user.Connect(d.GetType("track_user_node")->GetItem(row));
    }
    row->setText(1, user.IsConnected("is_online") ? "Online" : "Offline");
}

void DiagnosticsForm::OnUserUntracked(ItemPtr user) {
    const ItemPtr node = user["track_user_node"];
    if (node.IsNull())
        return;
    delete TrackedRow(user);
    node.Remove();
}

void DiagnosticsForm::OnUserOnline(ItemPtr user) {
    if (QTreeWidgetItem* row = TrackedRow(user))
        row->setText(1, "Online");
}

void DiagnosticsForm::OnUserOffline(ItemPtr user) {
    if (QTreeWidgetItem* row = TrackedRow(user))
        row->setText(1, "Offline");
}

void DiagnosticsForm::OnActionTriggered(QWidget* widget, QString actionId) {
    if (widget != this)
        return;
    if (actionId == "show_data") {
        if (!dataDialog)
            new DataDialog(&d, this);
        dataDialog->show();
        dataDialog->raise();
    } else if (actionId == "type_navigator") {
        if (!typeNavigatorDialog)
            (new TypeNavigatorDialog(this))->Init();
        typeNavigatorDialog->show();
        typeNavigatorDialog->raise();
    } else if (actionId == "dump_data") {
        const QString file = prompts::ChooseSaveFile(this, QString());
        if (file.isEmpty())
            return;
        if (dataSaver && dataSaver->SaveAll(file))
            prompts::Inform(this, "Data Dump Succeeded",
                            "Client data successfully dumped to file.");
        else
            prompts::Inform(this, "Data Dump Failed",
                            QString("Error dumping client data to file: %1")
                                .arg(dataSaver ? dataSaver->LastFailure() : QString()));
    } else if (actionId == "renew_data") {
        d.Renew();
    }
}
