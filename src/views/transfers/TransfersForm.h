#ifndef TAVENOOK_VIEWS_TRANSFERS_TRANSFERSFORM_H
#define TAVENOOK_VIEWS_TRANSFERS_TRANSFERSFORM_H

#include <QElapsedTimer>
#include <QHash>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/Data.h"

class QFont;
class QKeyEvent;
class QTreeWidget;
class QTreeWidgetItem;
class CompleteDownloadsForm;
class Ui_TransfersForm;

// The downloads and uploads page: both queues as trees of user, folder and
// file rows tied to the engine's entries through "*_list_*node" items, with
// status, progress, speed and time left coloured by status, the limit and
// clean-up controls, the tool-bar actions and the completion alerts.
class TransfersForm : public QWidget, public DataHandler, public DataLoadedEventHandler {
    Q_OBJECT
public:
    explicit TransfersForm(QWidget* parent = nullptr);
    ~TransfersForm() override;
    void Init();
    void DataLoaded() override;

    // The Progress column's bar: its value, 0 to 100 (none: no bar), and its
    // text, "1,048,576 (50.0%)".
    static constexpr int kBarValueRole = Qt::UserRole + 1;
    static constexpr int kBarTextRole = Qt::UserRole + 2;
    // What a bar of that width shows of its text: all of it, or the
    // percentage alone where the whole does not fit, or nothing where
    // neither does.
    static QString FittedBarText(const QString& text, const QFont& font, int width);
    static bool HasBar(const QTreeWidgetItem* row);

    Ui_TransfersForm* Ui() const { return mp_ui; }
    QTreeWidget* DownloadsList() const;
    QTreeWidget* UploadsList() const;
    CompleteDownloadsForm* CompleteDownloads() const;

    // Store handlers.
    void OnDownloadEntryAdded(ItemPtr entry);
    void OnUploadEntryAdded(ItemPtr entry);
    void OnDownloadEntryRemoved(ItemPtr entry);
    void OnUploadEntryRemoved(ItemPtr entry);
    void OnDownloadPlaceInLine(ItemPtr entry);
    void OnDownloadEntryStatusChange(ConnectionInfo& info);
    void OnUploadEntryStatusChange(ConnectionInfo& info);
    void OnDownloadEntrySizeChange(ConnectionInfo& info);

    // Row lookups.
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* row);
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* row);
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* row);
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* row);

    // Status, progress and colours.
    void SetItemColorByStatus(QTreeWidgetItem* item, const QString& status);
    static QString GetDownloadEntriesAggregateStatus(ItemSet& entries);
    static QString GetUploadEntriesAggregateStatus(ItemSet& entries);
    static void GetDownloadsProgressStats(ItemSet& entries, long long& done, long long& remaining,
                                          long long& total);
    static void GetUploadsProgressStats(ItemSet& entries, long long& done, long long& remaining,
                                        long long& total);
    // Column texts: "   1h:2m:5s", "1,048,576 (50.0%)", "12.5".
    static QString EtaText(qint64 seconds);
    static QString ProgressText(qint64 bytes, double percent);
    static QString KbsText(qint64 bytesPerSecond);

    void DeleteSelectedDownloads();
    void DeleteSelectedUploads();

    // Rows made since the last flush wait outside the lists and go in
    // together, and rows removed leave together: the lists pay a pass over
    // all their rows for each change of rows, once per flush. A flush comes
    // by itself soon after a change.
    void FlushRows();
    bool RowsWaiting() const { return m_flushTimer.isActive(); }
    // How long a change made now waits for its flush: none after a quiet
    // spell, the rest of the gap the last flush asked for after a busy one.
    qint64 FlushWait() const;

signals:
    void DownloadComplete(ItemPtr download);

public slots:
    void OnTransfersLoaded();
    void OnUserOnline(ItemPtr user);
    void OnUserOffline(ItemPtr user);
    void OnItemExpanded(QTreeWidgetItem* row);
    void OnItemCollapsed(QTreeWidgetItem* row);

    void OnCurrentTabChanged(int index);
    void OnUploadSlotsSpinValueChanged(int value);
    void OnDownloadSpeedLimitSpinValueChanged(int value);
    void OnDownloadSpeedLimitCheckStateChanged(int state);
    void OnUploadSpeedLimitSpinValueChanged(int value);
    void OnUploadSpeedLimitCheckStateChanged(int state);
    void OnClearDownloadsCheckStateChanged(int state);
    void OnClearUploadsCheckStateChanged(int state);
    void UpdateActiveTransferCounts();

    void OnDownloadProgress(ItemPtr download);
    void OnUploadProgress(ItemPtr upload);
    void RecolorEntries();

    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnDownloadsContextMenuRequested(QPoint i_point);
    void OnUploadsContextMenuRequested(QPoint i_point);
    void OnKeyPressedInDownloadList(QKeyEvent* ip_event);
    void OnKeyPressedInUploadList(QKeyEvent* ip_event);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnDownloadComplete(ItemPtr i_download);
    void EveryHalfMinute();

private:
    // The figures of a folder or user row, kept up to date from the changes
    // of its entries so that a report never walks a large subtree.
    struct Tally {
        int count = 0;
        int active = 0;
        int queued = 0;
        int complete = 0;
        int denied = 0;
        int aborted = 0;
        qint64 done = 0;
        qint64 remaining = 0;
        qint64 total = 0;
    };
    // What one entry adds to the tallies of its folder and user rows.
    struct Mark {
        QTreeWidgetItem* row = nullptr;
        int kind = 0;
        qint64 size = 0;
        qint64 position = 0;
    };
    struct ListKind;
    static const ListKind kDownloads;
    static const ListKind kUploads;

    QTreeWidget* ListOf(const ListKind& k) const;
    bool& ExpandUsers(const ListKind& k);
    bool& ExpandFolders(const ListKind& k);
    QHash<quint64, Mark>& MarksOf(const ListKind& k) {
        return &k == &kDownloads ? m_downloadMarks : m_uploadMarks;
    }
    ItemSet EntriesUnder(const ListKind& k, QTreeWidgetItem* row) const;
    void AddEntryRow(const ListKind& k, const ItemPtr& entry);
    void RemoveEntryRow(const ListKind& k, const ItemPtr& entry);
    void OnStatusChange(const ListKind& k, const ItemPtr& entry, const ItemPtr& status);
    void OnProgress(const ListKind& k, const ItemPtr& entry);
    void UpdateMark(const ListKind& k, const ItemPtr& entry);
    void ApplyMark(const Mark& mark, int sign);
    // A row's parent and its children, counting rows waiting to go in and
    // not those waiting to leave.
    QTreeWidgetItem* ParentOf(const QTreeWidgetItem* row) const;
    int ChildCount(QTreeWidgetItem* row) const;
    bool Expanded(const ListKind& k, const QTreeWidgetItem* row);
    // Puts a new row under its parent, at the next flush when that is shown.
    void Adopt(QTreeWidgetItem* parent, QTreeWidgetItem* row);
    // Deletes a row not in a list, or lets a listed one leave at the next flush.
    void DropRow(QTreeWidgetItem* row);
    void ScheduleFlush();
    QString TallyStatus(const ListKind& k, QTreeWidgetItem* row) const;
    // A folder or user row's combined status and colour from its tally.
    void ShowGroupStatus(const ListKind& k, QTreeWidgetItem* row);
    // The above, and the figures of a row that shows them, once an entry
    // below it changed otherwise than by a progress report.
    void RefreshGroupRow(const ListKind& k, QTreeWidgetItem* row);
    void ShowRowProgress(QTreeWidgetItem* row, qint64 remaining, qint64 speed, qint64 done,
                         double percent);
    void ShowBar(QTreeWidgetItem* row, qint64 done, double percent);
    void DropRowProgress(QTreeWidgetItem* row);
    void ContextMenu(const ListKind& k, const QPoint& point);
    void DeleteSelected(const ListKind& k);
    // The users and remote folders (none: all of the user's) of the user and
    // folder rows among these.
    using Group = std::pair<QString, std::optional<std::string>>;
    static std::vector<Group> GroupsOf(const QList<QTreeWidgetItem*>& rows);
    // The user removes the rows of these: what her folder downloads there
    // still have waiting to be added goes with them.
    static void DropWaitingDownloads(const std::vector<Group>& groups);
    void SwitchExpand(const ListKind& k, bool users);
    void ClearCompleteDownloads();
    void ClearCompleteAndAbortedUploads();
    void SwitchFinishUploadsAndQuit();
    void ShowCompleteDownloads();
    void QueueActiveTransferCounts();
    void RegisterHandlers();

    Ui_TransfersForm* mp_ui;
    bool m_transfersLoaded = false;
    bool m_expandDownloadFolders = true;
    bool m_expandDownloadUsers = true;
    bool m_expandUploadFolders = true;
    bool m_expandUploadUsers = true;
    // Rows waiting for the flush: new user rows (downloads, uploads), new
    // rows under listed parents, and listed rows leaving, counted per parent.
    QList<QTreeWidgetItem*> m_waitingUsers[2];
    QHash<QTreeWidgetItem*, QTreeWidgetItem*> m_waitingParent;
    QHash<QTreeWidgetItem*, QList<QTreeWidgetItem*>> m_waitingChildren;
    QList<QTreeWidgetItem*> m_leaving;
    QHash<QTreeWidgetItem*, int> m_leavingUnder;
    QTimer m_flushTimer;
    bool m_openingNewRows = false;
    QElapsedTimer m_sinceFlush;
    qint64 m_flushGapMs = 0;
    static constexpr qint64 kMinFlushGapMs = 250;
    static constexpr qint64 kMaxFlushGapMs = 1000;
    bool m_countsQueued = false;
    QHash<QTreeWidgetItem*, Tally> m_tallies;
    QHash<quint64, Mark> m_downloadMarks;
    QHash<quint64, Mark> m_uploadMarks;
    QPointer<CompleteDownloadsForm> mp_completeDownloads;
};

extern TransfersForm* transfersForm;

#endif
