#ifndef TAVENOOK_VIEWS_SHARES_DIAGNOSTICSFORM_H
#define TAVENOOK_VIEWS_SHARES_DIAGNOSTICSFORM_H

#include <QHash>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "store/Data.h"
#include "store/Log.h"

class QFile;
class QPlainTextEdit;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

// The diagnostics page and the program's log sink: one read-only view per
// log area, the list of tracked users, per-item log entries in the store and
// one log file per area while user-level logging is on.
class DiagnosticsForm : public QWidget, public DataHandler, public LogSink {
    Q_OBJECT
public:
    // A view keeps this many of its newest lines, so that a flood of relayed
    // searches cannot grow it without end.
    static constexpr int kMaxViewLines = 5000;
    // Per-item entries kept for one item; the oldest go first.
    static constexpr int kMaxItemEntries = 1000;
    // Recent lines kept whatever the settings say (see Lines).
    static constexpr int kMaxRecentLines = 200;
    // Lines reach the views in batches this often: one append per line
    // costs a layout each, too slow for a flood of relayed searches.
    static constexpr int kShowIntervalMs = 100;

    explicit DiagnosticsForm(QWidget* parent = nullptr);
    ~DiagnosticsForm() override;
    // Declares the entry types, follows tracked users and becomes the log sink.
    void Init();
    // Lets the items of an existing type carry per-item log entries.
    void RegisterLoggableItemType(const std::string& type);
    void Log(const QString& area, int level, const QString& text, const ItemPtr& item) override;
    // Lines logged from HoldLines on wait for ReleaseLines, which shows them
    // as the settings then say: while the store loads, the settings that
    // show lines are only defaults.
    void HoldLines() { m_holding = true; }
    void ReleaseLines();

    // The newest lines of every area, kept in memory even while diagnostics
    // are off, so that lines from before the settings were loaded can still
    // be read when something went wrong.
    QStringList Lines() const;
    QTabWidget* LogTabs() const { return mp_logTabs; }
    QTreeWidget* TrackedUsers() const { return mp_trackedUsers; }
    // The area's view, or null before its first shown line.
    QPlainTextEdit* AreaView(const QString& area) const { return m_views.value(area); }

    // "Tavenook Logs" in the home folder.
    static QString LogFolder();
    // The area's file inside LogFolder(); the area name is mapped to a safe
    // file name first.
    static QString LogFilePath(const QString& area);

public slots:
    void OnActionTriggered(QWidget* widget, QString actionId);
    // Appends the lines waiting for their views.
    void ShowPendingLines();

private:
    void OnUserTracked(ItemPtr user);
    void OnUserUntracked(ItemPtr user);
    void OnUserOnline(ItemPtr user);
    void OnUserOffline(ItemPtr user);
    QTreeWidgetItem* TrackedRow(const ItemPtr& user) const;
    void Show(const QString& area, int level, const QString& text, const ItemPtr& item,
              const QString& stamp);
    QPlainTextEdit* CreateView(const QString& area);
    void AddItemEntry(const QString& area, int level, const QString& text, const ItemPtr& item,
                      const QString& stamp);
    void WriteFile(const QString& area, const QString& line, const QString& stamp, bool first);
    QFile* OpenFile(const QString& area, QString* why);
    void CloseLog(QString area);
    void ReportFileFailure(const QString& area, const QString& why);
    const QString& Stamp();

    QTabWidget* mp_logTabs;
    QTreeWidget* mp_trackedUsers;
    QHash<QString, QPlainTextEdit*> m_views;
    std::map<QPlainTextEdit*, std::deque<QString>> m_pending;
    QTimer m_showTimer;
    std::map<QString, std::unique_ptr<QFile>> m_files;
    std::set<Type*> m_loggable;
    std::deque<QString> m_recent;
    struct Held {
        QString area;
        int level;
        QString text;
        ItemPtr item;
        QString stamp;
    };
    bool m_holding = false;
    std::deque<Held> m_held;
    qint64 m_logOrder = 0;
    qint64 m_stampSecond = -1;
    QString m_stamp;
};

extern DiagnosticsForm* diagnosticsForm;

// The text of a log line: three blanks for every level above 1.
QString IndentedLogText(int level, const QString& text);

#endif
