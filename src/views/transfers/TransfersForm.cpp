#include "views/transfers/TransfersForm.h"

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "shell/ActionSetToolBar.h"
#include "shell/ColumnWidths.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/SizeManager.h"
#include "shell/TreeWidget.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui_TransfersForm.h"
#include "views/transfers/CompleteDownloadsForm.h"
#include "views/transfers/DownloadMenuOptions.h"
#include "views/transfers/UploadMenuOptions.h"
#include "views/users/UserMenuOptions.h"

TransfersForm* transfersForm = nullptr;

// The names that differ between the two lists.
struct TransfersForm::ListKind {
    bool upload;
    const char* entryType;
    const char* statusType;
    const char* userNode;
    const char* folderNode;
    const char* fileNode;
    const char* folderType;
    const char* positionType;
    const char* activeStatus;
};

const TransfersForm::ListKind TransfersForm::kDownloads = {false,
                                                           "download_entry",
                                                           "download_entry_status",
                                                           "download_list_user_node",
                                                           "download_list_folder_node",
                                                           "download_list_node",
                                                           "remote_folder",
                                                           "write_position",
                                                           "downloading"};
const TransfersForm::ListKind TransfersForm::kUploads = {true,
                                                         "upload_entry",
                                                         "upload_entry_status",
                                                         "upload_list_user_node",
                                                         "upload_list_folder_node",
                                                         "upload_list_node",
                                                         "shared_file_folder",
                                                         "read_position",
                                                         "uploading"};

namespace {

// What an entry's status counts as in the combined figures.
enum Kind { kOther, kActive, kQueued, kComplete, kDenied, kAborted };

Kind KindOf(const QString& status, const char* activeStatus) {
    if (status == QLatin1String(activeStatus))
        return kActive;
    if (status == QLatin1String(TransferQueueManager::kQueued))
        return kQueued;
    if (status == QLatin1String(TransferQueueManager::kComplete))
        return kComplete;
    if (status == QLatin1String(TransferQueueManager::kDenied))
        return kDenied;
    if (status == QLatin1String(TransferQueueManager::kAborted))
        return kAborted;
    return kOther;
}

// Complete entries count whole; running, queued and aborted ones by their
// position; the others not at all.
bool CountsForProgress(int kind) {
    return kind == kActive || kind == kQueued || kind == kComplete || kind == kAborted;
}

QTreeWidgetItem* RowOf(const ItemPtr& node) {
    return TransferQueueManager::ObjectOf<QTreeWidgetItem>(node);
}

ItemPtr NodeOfRow(const char* nodeType, const QTreeWidgetItem* row) {
    return row ? d.GetType(nodeType)->HasItem(Value(row)) : ItemPtr();
}

QString StatusOf(const ItemPtr& entry, const char* statusType) {
    return entry[statusType].AsString();
}

qint64 EntrySize(const ItemPtr& entry, bool upload) {
    return upload ? entry["shared_file"]["shared_file_size"].AsInt64()
                  : entry["file_size"].AsInt64();
}

qint64 EntryPosition(const ItemPtr& entry, const char* positionType) {
    const qint64* position = TransferQueueManager::ObjectOf<qint64>(entry.HasItem(positionType));
    return position ? *position : 0;
}

qint64 EntrySpeed(const ItemPtr& entry) {
    const qint32* speed = TransferQueueManager::ObjectOf<qint32>(entry.HasItem("bytes_per_second"));
    return speed ? *speed : 0;
}

QString AggregateOf(const ItemSet& entries, const char* statusType, const char* activeStatus) {
    int counts[kAborted + 1] = {};
    for (const ItemPtr& entry : entries)
        ++counts[KindOf(StatusOf(entry, statusType), activeStatus)];
    if (counts[kActive])
        return activeStatus;
    if (counts[kQueued])
        return TransferQueueManager::kQueued;
    if (counts[kComplete] == entries.Size())
        return TransferQueueManager::kComplete;
    if (counts[kDenied])
        return TransferQueueManager::kDenied;
    if (counts[kAborted])
        return TransferQueueManager::kAborted;
    return QString();
}

void StatsOf(const ItemSet& entries, bool upload, long long& done, long long& remaining,
             long long& total) {
    done = remaining = total = 0;
    const char* statusType = upload ? "upload_entry_status" : "download_entry_status";
    const char* activeStatus = upload ? "uploading" : "downloading";
    const char* positionType = upload ? "read_position" : "write_position";
    for (const ItemPtr& entry : entries) {
        const Kind kind = KindOf(StatusOf(entry, statusType), activeStatus);
        if (!CountsForProgress(kind))
            continue;
        const qint64 size = EntrySize(entry, upload);
        const qint64 position = kind == kComplete ? size : EntryPosition(entry, positionType);
        done += position;
        remaining += size - position;
        total += size;
    }
}

const char* ColorKey(const QString& status) {
    if (status == QLatin1String("complete"))
        return "color_transfer_complete";
    if (status == QLatin1String("downloading") || status == QLatin1String("uploading") ||
        status == QLatin1String("connecting"))
        return "color_transfer_in_progress";
    if (status == QLatin1String("queued"))
        return "color_transfer_queued";
    if (status == QLatin1String("denied") || status == QLatin1String("aborted") ||
        status == QLatin1String("local error"))
        return "color_transfer_failed";
    return "color_transfer_other";
}

// A date-time the store holds as text; invalid when absent or unreadable.
QDateTime StoredTime(const ItemPtr& item) {
    return item.IsNull() ? QDateTime() : QDateTime::fromString(item.AsString(), Qt::TextDate);
}

// A set of many items at once: merging them in one by one would cost the
// whole set each time.
ItemSet SetOf(std::vector<ItemPtr>& items) {
    std::sort(items.begin(), items.end(),
              [](const ItemPtr& a, const ItemPtr& b) { return a.GetId() < b.GetId(); });
    items.erase(std::unique(items.begin(), items.end()), items.end());
    ItemSet set;
    for (const ItemPtr& item : items)
        set.AppendOrdered(item);
    return set;
}

QIcon OnlineIcon(const ItemPtr& user) {
    return QIcon(user.IsConnected("is_online") ? ":/icons/online_icon" : ":/icons/offline_icon");
}

// The Progress column's bars, painted from the rows' data: a bar widget per
// row would make every change of the list move every widget.
class BarDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QVariant value = index.data(TransfersForm::kBarValueRole);
        if (!value.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        cell.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        QStyleOptionProgressBar bar;
        bar.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
        bar.direction = option.direction;
        bar.palette = option.palette;
        bar.fontMetrics = option.fontMetrics;
        // As tall as its text needs, within the row.
        const int height = std::max(kBarHeight, option.rect.height() - 2);
        bar.rect = QRect(option.rect.x(), option.rect.y() + (option.rect.height() - height) / 2,
                         option.rect.width(), height);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = value.toInt();
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        bar.text = TransfersForm::FittedBarText(index.data(TransfersForm::kBarTextRole).toString(),
                                                option.font, bar.rect.width());
        painter->save();
        painter->setFont(option.font);
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
        painter->restore();
    }

    static constexpr int kBarHeight = 14;
};

// A failure reason can be longer than the Status column is wide: the cell's
// tooltip keeps the whole text.
void ShowStatusText(QTreeWidgetItem* row, const QString& text) {
    row->setText(3, text);
    row->setToolTip(3, text);
}

// Speeds and sizes read in full in the list's font; the width a column has
// is the least, so a wider saved width stays.
void FitNumberColumns(QTreeWidget* list) {
    list->setColumnWidth(6,
                         FittingColumnWidth(list, 6, list->columnWidth(6), {LargestSpeedText()}));
    list->setColumnWidth(7, FittingColumnWidth(list, 7, list->columnWidth(7), {LargestSizeText()}));
}

void DeclareNodeType(const char* name, bool isNull) {
    if (!d.FindType(name))
        d.NewType(name, PrimacyRoot, isNull, true);
}

}  // namespace

TransfersForm::TransfersForm(QWidget* parent) : QWidget(parent), mp_ui(new Ui_TransfersForm) {
    transfersForm = this;
    mp_ui->setupUi(this);
    const QStringList headers = {"User",   "Folder", "File", "Status", "Progress",
                                 "   ETA", "Kbs",    "Size", "Place"};
    const int widths[] = {100, 125, 125, 100, 140, 80, 40, 90, 40};
    mp_ui->downloadsList->setHeaderLabels(headers);
    mp_ui->uploadsList->setHeaderLabels(headers.mid(0, 8));
    for (int c = 0; c < 9; ++c) {
        mp_ui->downloadsList->setColumnWidth(c, widths[c]);
        if (c < 8)
            mp_ui->uploadsList->setColumnWidth(c, widths[c]);
    }
    FitNumberColumns(mp_ui->downloadsList);
    FitNumberColumns(mp_ui->uploadsList);
    mp_ui->uploadsList->header()->setStretchLastSection(false);
    // Rows of one height and painted bars: a row's place and a change to it
    // then cost the same however many rows stand above it.
    for (QTreeWidget* list : {mp_ui->downloadsList, mp_ui->uploadsList}) {
        list->setUniformRowHeights(true);
        list->setItemDelegateForColumn(4, new BarDelegate(list));
    }
    mp_ui->downloadsList->header()->setSectionsMovable(false);
    mp_ui->uploadsList->header()->setSectionsMovable(false);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &TransfersForm::FlushRows);
    connect(mp_ui->downloadsList, &QTreeWidget::itemDoubleClicked, this,
            &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(mp_ui->downloadsList, &TreeWidget::KeyPressed, this,
            &TransfersForm::OnKeyPressedInDownloadList);
    connect(mp_ui->uploadsList, &TreeWidget::KeyPressed, this,
            &TransfersForm::OnKeyPressedInUploadList);
    layout()->setContentsMargins(0, 0, 0, 0);
}

TransfersForm::~TransfersForm() {
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    // Lookup items must not outlive their rows: a later list would take the
    // stale addresses for rows of its own. At shutdown the store is done with.
    if (!g_showIsOver)
        for (const ListKind* k : {&kDownloads, &kUploads})
            for (const char* node : {k->fileNode, k->folderNode, k->userNode})
                if (Type* type = d.FindType(node))
                    type->GetItems().Remove();
    if (transfersForm == this)
        transfersForm = nullptr;
    // Rows waiting to go in belong to no list yet.
    qDeleteAll(m_waitingParent.keys());
    for (const QList<QTreeWidgetItem*>& users : m_waitingUsers)
        qDeleteAll(users);
    delete mp_ui;
}

QTreeWidget* TransfersForm::DownloadsList() const {
    return mp_ui->downloadsList;
}

QTreeWidget* TransfersForm::UploadsList() const {
    return mp_ui->uploadsList;
}

CompleteDownloadsForm* TransfersForm::CompleteDownloads() const {
    return mp_completeDownloads.data();
}

QTreeWidget* TransfersForm::ListOf(const ListKind& k) const {
    return k.upload ? mp_ui->uploadsList : mp_ui->downloadsList;
}

bool& TransfersForm::ExpandUsers(const ListKind& k) {
    return k.upload ? m_expandUploadUsers : m_expandDownloadUsers;
}

bool& TransfersForm::ExpandFolders(const ListKind& k) {
    return k.upload ? m_expandUploadFolders : m_expandDownloadFolders;
}

void TransfersForm::Init() {
    {
        auto* root = new PathNode(&d, "download_entry");
        for (const char* child : {"user", "file_name", "file_size", "remote_folder"})
            new PathNode(root, child, PathConnectedWatched);
        d.AddPathEventHandler(root, ItemHandler(this, &TransfersForm::OnDownloadEntryAdded));
    }
    for (const ListKind* k : {&kDownloads, &kUploads}) {
        const bool fresh = !d.FindType(k->userNode);
        DeclareNodeType(k->userNode, false);
        DeclareNodeType(k->folderNode, false);
        DeclareNodeType(k->fileNode, false);
        if (fresh) {
            d.GetType(k->userNode)->RelateToType(d.GetType("user"), One, One, false);
            Type* folder = d.GetType(k->folderNode);
            folder->RelateToType(d.GetType(k->userNode), Many, One, false);
            folder->RelateToType(d.GetType(k->folderType), Many, One, false);
            folder->RelateToType(d.GetType(k->fileNode), One, Many, false);
            d.GetType(k->fileNode)->RelateToType(d.GetType(k->entryType), One, One, false);
        }
        if (!k->upload) {
            d.AddConnectionEventHandler(
                d.GetType("download_entry"), d.GetType("download_entry_status"),
                ConnectionHandler(this, &TransfersForm::OnDownloadEntryStatusChange));
            d.AddConnectionEventHandler(
                d.GetType("upload_entry"), d.GetType("upload_entry_status"),
                ConnectionHandler(this, &TransfersForm::OnUploadEntryStatusChange));
            // The uploader may announce another size than the search result.
            d.AddConnectionEventHandler(
                d.GetType("download_entry"), d.GetType("file_size"),
                ConnectionHandler(this, &TransfersForm::OnDownloadEntrySizeChange));
            if (transferQueueManager) {
                connect(transferQueueManager, &TransferQueueManager::DownloadProgressed, this,
                        &TransfersForm::OnDownloadProgress);
                connect(transferQueueManager, &TransferQueueManager::UploadProgressed, this,
                        &TransfersForm::OnUploadProgress);
            }
            auto* root = new PathNode(&d, "upload_entry");
            for (const char* child : {"user", "shared_file"})
                new PathNode(root, child, PathConnectedWatched);
            d.AddPathEventHandler(root, ItemHandler(this, &TransfersForm::OnUploadEntryAdded));
        }
    }
    m_transfersLoaded = false;
    if (transferQueueManager)
        connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this,
                &TransfersForm::OnTransfersLoaded);
    d.GetType("download_entry")
        ->ItemRemovedEvent()
        .Insert(ItemHandler(this, &TransfersForm::OnDownloadEntryRemoved));
    d.GetType("upload_entry")
        ->ItemRemovedEvent()
        .Insert(ItemHandler(this, &TransfersForm::OnUploadEntryRemoved));
    if (actionBar) {
        actionBar->AddSetAction("downloads", "expand_download_folders", "Expand Folders",
                                ":/icons/folder_icon", false);
        actionBar->AddSetAction("downloads", "expand_download_users", "Expand Users",
                                ":/icons/users_icon", false);
        actionBar->AddSetAction("downloads", "clear_complete_downloads", "Clear Complete",
                                ":/icons/wipe_icon", false);
        actionBar->RegisterWidget(mp_ui->downloadsList, "downloads");
        actionBar->SetWidgetActionText(mp_ui->downloadsList, "expand_download_folders",
                                       "Expand Folders [on]");
        actionBar->SetWidgetActionText(mp_ui->downloadsList, "expand_download_users",
                                       "Expand Users [on]");
        actionBar->AddSetAction("uploads", "expand_upload_folders", "Expand Folders",
                                ":/icons/folder_icon", false);
        actionBar->AddSetAction("uploads", "expand_upload_users", "Expand Users",
                                ":/icons/users_icon", false);
        actionBar->AddSetAction("uploads", "clear_complete_and_aborted_uploads",
                                "Clear Complete and Aborted", ":/icons/wipe_icon", false);
        actionBar->AddSetAction("uploads", "finish_uploads_and_quit",
                                "Finish Uploads and Quit [off]", ":/icons/shutdown_icon", false);
        actionBar->RegisterWidget(mp_ui->uploadsList, "uploads");
        actionBar->SetWidgetActionText(mp_ui->uploadsList, "expand_upload_folders",
                                       "Expand Folders [on]");
        actionBar->SetWidgetActionText(mp_ui->uploadsList, "expand_upload_users",
                                       "Expand Users [on]");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &TransfersForm::OnActionBarTriggered);
    }
    const std::pair<PathNodeRelation, void (TransfersForm::*)(ItemPtr)> online[] = {
        {PathConnecting, &TransfersForm::OnUserOnline},
        {PathDisconnecting, &TransfersForm::OnUserOffline}};
    for (const auto& [relation, member] : online) {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", relation);
        d.AddPathEventHandler(root, ItemHandler(this, member));
    }
    {
        auto* root = new PathNode(&d, "download_entry");
        new PathNode(root, "place_in_line", PathConnectedWatched);
        d.AddPathEventHandler(root, ItemHandler(this, &TransfersForm::OnDownloadPlaceInLine));
    }
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    for (QTreeWidget* list : {mp_ui->downloadsList, mp_ui->uploadsList}) {
        connect(list, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(list, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    mp_ui->downloadsList->setFocus();
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &TransfersForm::EveryHalfMinute);
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete,
            Qt::QueuedConnection);
    RegisterWidgetForTabFocus(mp_ui->downloadsList, 1);
    RegisterWidgetForTabFocus(mp_ui->uploadsList, 1);
    if (!d.FindType("complete_download_alert")) {
        DeclareNodeType("complete_download_alert", true);
        Type* alert = d.GetType("complete_download_alert");
        alert->RelateToType(d.GetType("download_entry"), One, One, false);
        alert->RelateToType(d.GetType("user"), Many, One, false);
        alert->RelateToType(d.GetType("remote_folder"), Many, One, false);
    }
    UpdateActiveTransferCounts();
}

// ---------------------------------------------------------------------------
// Controls

void TransfersForm::DataLoaded() {
    Ui_TransfersForm& ui = *mp_ui;
    ui.uploadLimitSpinBox->setValue(GetSettingInt("upload_speed_limit"));
    ui.uploadSlotsSpinBox->setValue(GetSettingInt("upload_slots"));
    ui.uploadLimitCheckBox->setChecked(IsSettingYes("upload_speed_limit_enabled"));
    ui.downloadLimitSpinBox->setValue(GetSettingInt("download_speed_limit"));
    ui.downloadLimitCheckBox->setChecked(IsSettingYes("download_speed_limit_enabled"));
    ui.clearDownloadsCheckBox->setChecked(IsSettingYes("clear_complete_downloads"));
    ui.clearUploadsCheckBox->setChecked(IsSettingYes("clear_complete_aborted_uploads"));
    const auto spinChanged = QOverload<int>::of(&QSpinBox::valueChanged);
    connect(ui.uploadLimitSpinBox, spinChanged, this,
            &TransfersForm::OnUploadSpeedLimitSpinValueChanged, Qt::UniqueConnection);
    connect(ui.uploadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged, Qt::UniqueConnection);
    connect(ui.downloadLimitSpinBox, spinChanged, this,
            &TransfersForm::OnDownloadSpeedLimitSpinValueChanged, Qt::UniqueConnection);
    connect(ui.downloadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnDownloadSpeedLimitCheckStateChanged, Qt::UniqueConnection);
    connect(ui.clearDownloadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged, Qt::UniqueConnection);
    connect(ui.clearUploadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearUploadsCheckStateChanged, Qt::UniqueConnection);
    connect(ui.uploadSlotsSpinBox, spinChanged, this, &TransfersForm::OnUploadSlotsSpinValueChanged,
            Qt::UniqueConnection);
    if (sizeManager) {
        sizeManager->RegisterTreeWidget("download_list", ui.downloadsList);
        sizeManager->RegisterTreeWidget("upload_list", ui.uploadsList);
        FitNumberColumns(ui.downloadsList);
        FitNumberColumns(ui.uploadsList);
    }
}

void TransfersForm::OnCurrentTabChanged(int) {}

void TransfersForm::OnUploadSlotsSpinValueChanged(int value) {
    if (transferQueueManager)
        transferQueueManager->SetUploadSlots(value);
}

void TransfersForm::OnDownloadSpeedLimitSpinValueChanged(int value) {
    mp_ui->downloadLimitCheckBox->setChecked(value != 0);
    SetSetting("download_speed_limit", value);
    if (transferQueueManager)
        transferQueueManager->DetermineDownloadSpeedLimit();
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int value) {
    mp_ui->uploadLimitCheckBox->setChecked(value != 0);
    SetSetting("upload_speed_limit", value);
    if (transferQueueManager)
        transferQueueManager->DetermineUploadSpeedLimit();
}

void TransfersForm::OnDownloadSpeedLimitCheckStateChanged(int state) {
    if (state != Qt::PartiallyChecked && transferQueueManager)
        transferQueueManager->EnableDownloadSpeedLimit(state == Qt::Checked);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int state) {
    if (state != Qt::PartiallyChecked && transferQueueManager)
        transferQueueManager->EnableUploadSpeedLimit(state == Qt::Checked);
}

void TransfersForm::OnClearDownloadsCheckStateChanged(int state) {
    if (state == Qt::Checked)
        SetSetting("clear_complete_downloads", "yes");
    else if (state == Qt::Unchecked)
        ClearSetting("clear_complete_downloads");
}

void TransfersForm::OnClearUploadsCheckStateChanged(int state) {
    if (state == Qt::Checked)
        SetSetting("clear_complete_aborted_uploads", "yes");
    else if (state == Qt::Unchecked)
        ClearSetting("clear_complete_aborted_uploads");
}

void TransfersForm::UpdateActiveTransferCounts() {
    int index = 0;
    QTabWidget* tabs = GetWidgetTabWidget(this, index);
    if (!tabs || !transferQueueManager)
        return;
    const int uploads = transferQueueManager->ActiveUploadCount();
    const int downloads = transferQueueManager->ActiveDownloadCount();
    tabs->setTabText(index, QString("Transfers [%1/%2]").arg(downloads).arg(uploads));
}

// A burst of removals asks once: the count is read after the last of them.
void TransfersForm::QueueActiveTransferCounts() {
    if (m_countsQueued)
        return;
    m_countsQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_countsQueued = false;
            UpdateActiveTransferCounts();
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// Rows

QTreeWidgetItem* TransfersForm::ParentOf(const QTreeWidgetItem* row) const {
    if (QTreeWidgetItem* parent = row->parent())
        return parent;
    return m_waitingParent.value(const_cast<QTreeWidgetItem*>(row));
}

int TransfersForm::ChildCount(QTreeWidgetItem* row) const {
    const auto waiting = m_waitingChildren.constFind(row);
    return row->childCount() - m_leavingUnder.value(row) +
           (waiting == m_waitingChildren.constEnd() ? 0 : waiting->size());
}

bool TransfersForm::Expanded(const ListKind& k, const QTreeWidgetItem* row) {
    if (row->treeWidget())
        return row->isExpanded();
    // One waiting to go in opens as the list's switches say.
    return ParentOf(row) ? ExpandFolders(k) : ExpandUsers(k);
}

void TransfersForm::Adopt(QTreeWidgetItem* parent, QTreeWidgetItem* row) {
    if (!parent->treeWidget()) {
        parent->addChild(row);  // outside the lists: costs nothing
        return;
    }
    m_waitingParent.insert(row, parent);
    m_waitingChildren[parent].append(row);
    ScheduleFlush();
}

void TransfersForm::DropRow(QTreeWidgetItem* row) {
    if (row->treeWidget()) {
        if (QTreeWidgetItem* parent = row->parent())
            ++m_leavingUnder[parent];
        m_leaving.append(row);
        ScheduleFlush();
        return;
    }
    if (QTreeWidgetItem* parent = m_waitingParent.take(row)) {
        QList<QTreeWidgetItem*>& siblings = m_waitingChildren[parent];
        siblings.removeOne(row);
        if (siblings.isEmpty())
            m_waitingChildren.remove(parent);
    } else if (!row->parent()) {
        for (QList<QTreeWidgetItem*>& users : m_waitingUsers)
            users.removeOne(row);
    }
    delete row;  // with its parent, if any, outside the lists as well
}

qint64 TransfersForm::FlushWait() const {
    return m_sinceFlush.isValid() ? std::max<qint64>(m_flushGapMs - m_sinceFlush.elapsed(), 0) : 0;
}

void TransfersForm::ScheduleFlush() {
    if (!m_flushTimer.isActive())
        m_flushTimer.start(int(FlushWait()));
}

void TransfersForm::FlushRows() {
    m_flushTimer.stop();
    QElapsedTimer clock;
    clock.start();
    // Children go before their parents: none is left with a parent gone.
    for (QTreeWidgetItem* row : std::exchange(m_leaving, {}))
        delete row;
    m_leavingUnder.clear();
    m_waitingParent.clear();
    // New rows were kept as they show opened: opening them clears nothing.
    const QScopedValueRollback<bool> opening(m_openingNewRows, true);
    const auto waiting = std::exchange(m_waitingChildren, {});
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        QTreeWidgetItem* parent = it.key();
        const ListKind& k = parent->treeWidget() == mp_ui->uploadsList ? kUploads : kDownloads;
        parent->addChildren(it.value());
        // New folder rows under a user row already shown.
        if (ExpandFolders(k))
            for (QTreeWidgetItem* row : it.value())
                if (row->childCount() > 0)
                    row->setExpanded(true);
    }
    for (const ListKind* k : {&kDownloads, &kUploads}) {
        const QList<QTreeWidgetItem*> users = std::exchange(m_waitingUsers[k->upload], {});
        if (users.isEmpty())
            continue;
        ListOf(*k)->addTopLevelItems(users);
        for (QTreeWidgetItem* userRow : users) {
            if (ExpandUsers(*k))
                userRow->setExpanded(true);
            if (ExpandFolders(*k))
                for (int i = 0; i < userRow->childCount(); ++i)
                    userRow->child(i)->setExpanded(true);
        }
    }
    // A shown list lays its rows out at once, so that the pass is measured:
    // the next flush waits a hundred times as long, between a quarter of a
    // second and one, so that rows coming steadily cost little however many
    // there are, and still show promptly.
    for (TreeWidget* list : {mp_ui->downloadsList, mp_ui->uploadsList})
        if (list->isVisible())
            list->LayOutNow();
    m_flushGapMs = qBound<qint64>(kMinFlushGapMs, clock.elapsed() * 100, kMaxFlushGapMs);
    m_sinceFlush.start();
}

void TransfersForm::OnTransfersLoaded() {
    m_transfersLoaded = true;
    std::vector<std::pair<qint64, ItemPtr>> ordered;
    for (const ItemPtr& entry : d.GetType("download_entry")->GetItems()) {
        const ItemPtr order = entry.HasItem("download_order");
        if (!order.IsNull())
            ordered.emplace_back(order.AsInt64(), entry);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& pair : ordered)
        AddEntryRow(kDownloads, pair.second);
    FlushRows();
}

void TransfersForm::OnDownloadEntryAdded(ItemPtr entry) {
    if (m_transfersLoaded)
        AddEntryRow(kDownloads, entry);
}

void TransfersForm::OnUploadEntryAdded(ItemPtr entry) {
    AddEntryRow(kUploads, entry);
}

void TransfersForm::AddEntryRow(const ListKind& k, const ItemPtr& entry) {
    // The pattern can fire again for one entry: it keeps its one row.
    if (entry.IsRemoved() || !entry.HasItem(k.fileNode).IsNull())
        return;
    const ItemPtr user = entry["user"];
    const ItemPtr file = k.upload ? entry["shared_file"] : entry;
    const ItemPtr folder = file[k.folderType];
    if (user.IsNull() || folder.IsNull())
        return;
    ItemPtr userNode = user.HasItem(k.userNode);
    QTreeWidgetItem* userRow = RowOf(userNode);
    if (!userRow) {
        userRow = new QTreeWidgetItem;
        m_waitingUsers[k.upload].append(userRow);
        ScheduleFlush();
        userNode = d.GetType(k.userNode)->GetItem(Value(userRow));
        userNode.Connect(user);
        userRow->setText(0, user.AsString());
        userRow->setIcon(0, OnlineIcon(user));
        m_tallies.insert(userRow, Tally());
    }

    ItemPtr folderNode = userNode.GetItems(k.folderNode).Connected(folder).First();
    QTreeWidgetItem* folderRow = RowOf(folderNode);
    if (!folderRow) {
        folderRow = new QTreeWidgetItem;
        Adopt(userRow, folderRow);
        folderNode = d.GetType(k.folderNode)->GetItem(Value(folderRow));
        folderNode.Connect(userNode);
        folderNode.Connect(folder);
        folderRow->setText(1, ReversePathname(folder.AsString()));
        m_tallies.insert(folderRow, Tally());
    }

    auto* fileRow = new QTreeWidgetItem;
    Adopt(folderRow, fileRow);
    const qint64 size = EntrySize(entry, k.upload);
    fileRow->setText(2, k.upload ? ToQString(GetFileName(file["shared_file_name"].AsStdString()))
                                 : entry["file_name"].AsString());
    fileRow->setText(7, CommafyNumber(size));
    const ItemPtr fileNode = d.GetType(k.fileNode)->GetItem(Value(fileRow));
    entry.Connect(fileNode);
    fileNode.Connect(folderNode);

    const ItemPtr status = entry.HasItem(k.statusType);
    Mark mark;
    mark.row = fileRow;
    mark.kind = KindOf(status.AsString(), k.activeStatus);
    mark.size = size;
    mark.position = EntryPosition(entry, k.positionType);
    ApplyMark(mark, +1);
    MarksOf(k).insert(entry.GetId(), mark);
    // A row made after the status was set shows it at once.
    if (!status.IsNull())
        OnStatusChange(k, entry, status);
}

void TransfersForm::OnDownloadEntryRemoved(ItemPtr entry) {
    RemoveEntryRow(kDownloads, entry);
}

void TransfersForm::OnUploadEntryRemoved(ItemPtr entry) {
    RemoveEntryRow(kUploads, entry);
}

void TransfersForm::RemoveEntryRow(const ListKind& k, const ItemPtr& entry) {
    QHash<quint64, Mark>& marks = MarksOf(k);
    const ItemPtr fileNode = entry.HasItem(k.fileNode);
    QTreeWidgetItem* fileRow = RowOf(fileNode);
    if (fileRow) {
        const auto mark = marks.find(entry.GetId());
        if (mark != marks.end())
            ApplyMark(*mark, -1);
        QTreeWidgetItem* folderRow = ParentOf(fileRow);
        QTreeWidgetItem* userRow = ParentOf(folderRow);
        DropRow(fileRow);
        fileNode.Remove();
        bool userGone = false;
        const bool folderGone = ChildCount(folderRow) == 0;
        if (folderGone) {
            const ItemPtr folderNode = NodeOfRow(k.folderNode, folderRow);
            m_tallies.remove(folderRow);
            DropRow(folderRow);
            folderNode.Remove();
            if (ChildCount(userRow) == 0) {
                const ItemPtr userNode = NodeOfRow(k.userNode, userRow);
                m_tallies.remove(userRow);
                DropRow(userRow);
                userNode.Remove();
                userGone = true;
            }
        }
        // An expanded user row shows its own progress only over two folders.
        if (!userGone && ChildCount(userRow) == 1) {
            DropRowProgress(userRow);
            userRow->setText(5, QString());
        }
        if (!folderGone)
            RefreshGroupRow(k, folderRow);
        if (!userGone)
            RefreshGroupRow(k, userRow);
    }
    marks.remove(entry.GetId());
    QueueActiveTransferCounts();
}

void TransfersForm::ApplyMark(const Mark& mark, int sign) {
    QTreeWidgetItem* folderRow = ParentOf(mark.row);
    for (QTreeWidgetItem* row : {folderRow, ParentOf(folderRow)}) {
        Tally& t = m_tallies[row];
        t.count += sign;
        switch (mark.kind) {
            case kActive:
                t.active += sign;
                break;
            case kQueued:
                t.queued += sign;
                break;
            case kComplete:
                t.complete += sign;
                break;
            case kDenied:
                t.denied += sign;
                break;
            case kAborted:
                t.aborted += sign;
                break;
            default:
                break;
        }
        if (CountsForProgress(mark.kind)) {
            const qint64 position = mark.kind == kComplete ? mark.size : mark.position;
            t.done += sign * position;
            t.remaining += sign * (mark.size - position);
            t.total += sign * mark.size;
        }
    }
}

void TransfersForm::UpdateMark(const ListKind& k, const ItemPtr& entry) {
    QHash<quint64, Mark>& marks = MarksOf(k);
    const auto it = marks.find(entry.GetId());
    if (it == marks.end())
        return;
    Mark fresh = *it;
    fresh.kind = KindOf(StatusOf(entry, k.statusType), k.activeStatus);
    fresh.position = EntryPosition(entry, k.positionType);
    fresh.size = EntrySize(entry, k.upload);
    if (fresh.kind == it->kind && fresh.position == it->position && fresh.size == it->size)
        return;
    ApplyMark(*it, -1);
    ApplyMark(fresh, +1);
    *it = fresh;
}

void TransfersForm::ShowGroupStatus(const ListKind& k, QTreeWidgetItem* row) {
    const QString aggregate = TallyStatus(k, row);
    if (!Expanded(k, row))
        ShowStatusText(row, aggregate);
    SetItemColorByStatus(row, aggregate);
}

void TransfersForm::RefreshGroupRow(const ListKind& k, QTreeWidgetItem* row) {
    ShowGroupStatus(k, row);
    const Tally t = m_tallies.value(row);
    // Time left and speed come with the reports of running entries only.
    if (t.active == 0) {
        row->setText(5, QString());
        row->setText(6, QString());
    }
    if (!HasBar(row))
        return;
    if (t.total > 0)
        ShowBar(row, t.done, double(t.done) * 100 / t.total);
    else
        DropRowProgress(row);
}

QString TransfersForm::TallyStatus(const ListKind& k, QTreeWidgetItem* row) const {
    const Tally t = m_tallies.value(row);
    if (t.active)
        return k.activeStatus;
    if (t.queued)
        return TransferQueueManager::kQueued;
    if (t.complete == t.count)
        return TransferQueueManager::kComplete;
    if (t.denied)
        return TransferQueueManager::kDenied;
    if (t.aborted)
        return TransferQueueManager::kAborted;
    return QString();
}

void TransfersForm::OnItemExpanded(QTreeWidgetItem* row) {
    if (g_showIsOver || m_openingNewRows)
        return;
    const ListKind& k = row->treeWidget() == mp_ui->uploadsList ? kUploads : kDownloads;
    if (NodeOfRow(k.userNode, row).IsNull() && NodeOfRow(k.folderNode, row).IsNull())
        return;
    ShowStatusText(row, QString());
    row->setText(5, QString());
    row->setText(6, QString());
    DropRowProgress(row);
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* row) {
    if (g_showIsOver)
        return;
    const ListKind& k = row->treeWidget() == mp_ui->uploadsList ? kUploads : kDownloads;
    if (NodeOfRow(k.userNode, row).IsNull() && NodeOfRow(k.folderNode, row).IsNull())
        return;
    ShowStatusText(row, TallyStatus(k, row));
}

void TransfersForm::OnUserOnline(ItemPtr user) {
    for (const char* node : {kDownloads.userNode, kUploads.userNode})
        if (QTreeWidgetItem* row = RowOf(user.HasItem(node)))
            row->setIcon(0, QIcon(":/icons/online_icon"));
}

void TransfersForm::OnUserOffline(ItemPtr user) {
    for (const char* node : {kDownloads.userNode, kUploads.userNode})
        if (QTreeWidgetItem* row = RowOf(user.HasItem(node)))
            row->setIcon(0, QIcon(":/icons/offline_icon"));
}

void TransfersForm::OnDownloadPlaceInLine(ItemPtr entry) {
    if (QTreeWidgetItem* row = RowOf(entry.HasItem(kDownloads.fileNode)))
        row->setText(8, entry["place_in_line"].AsString());
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* row) {
    if (!NodeOfRow(kDownloads.userNode, row).IsNull())
        return row;
    if (!NodeOfRow(kDownloads.folderNode, row).IsNull())
        return ParentOf(row);
    return ParentOf(row) ? ParentOf(ParentOf(row)) : nullptr;
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* row) {
    if (!NodeOfRow(kUploads.userNode, row).IsNull())
        return row;
    if (!NodeOfRow(kUploads.folderNode, row).IsNull())
        return ParentOf(row);
    return ParentOf(row) ? ParentOf(ParentOf(row)) : nullptr;
}

ItemSet TransfersForm::EntriesUnder(const ListKind& k, QTreeWidgetItem* row) const {
    if (!row)
        return ItemSet();
    const ItemPtr userNode = NodeOfRow(k.userNode, row);
    ItemSet folders;
    if (!userNode.IsNull())
        folders = userNode.GetItems(k.folderNode);
    else {
        const ItemPtr folderNode = NodeOfRow(k.folderNode, row);
        if (!folderNode.IsNull())
            folders.Insert(folderNode);
        else
            return NodeOfRow(k.fileNode, row).GetItems(k.entryType);
    }
    // One sorted gathering: adding entry by entry merges the whole set each
    // time, which a user of many thousand files cannot afford.
    return folders.GetItems(k.fileNode).GetItems(k.entryType);
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* row) {
    return EntriesUnder(kDownloads, row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* row) {
    return EntriesUnder(kUploads, row);
}

// ---------------------------------------------------------------------------
// Status, progress and colours

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* item, const QString& status) {
    QColor color;
    color.setNamedColor(GetSetting(ColorKey(status)));
    const QBrush brush(color);
    // A row waiting to go in has only the cells it was given yet: every
    // column of the lists is coloured.
    const int columns = std::max(item->treeWidget() ? item->treeWidget()->columnCount()
                                                    : mp_ui->downloadsList->columnCount(),
                                 item->columnCount());
    // Rewriting an unchanged colour would still cost a model update per cell.
    for (int c = 0; c < columns; ++c)
        if (item->foreground(c) != brush)
            item->setForeground(c, brush);
}

QString TransfersForm::GetDownloadEntriesAggregateStatus(ItemSet& entries) {
    return AggregateOf(entries, kDownloads.statusType, kDownloads.activeStatus);
}

QString TransfersForm::GetUploadEntriesAggregateStatus(ItemSet& entries) {
    return AggregateOf(entries, kUploads.statusType, kUploads.activeStatus);
}

void TransfersForm::GetDownloadsProgressStats(ItemSet& entries, long long& done,
                                              long long& remaining, long long& total) {
    StatsOf(entries, false, done, remaining, total);
}

void TransfersForm::GetUploadsProgressStats(ItemSet& entries, long long& done, long long& remaining,
                                            long long& total) {
    StatsOf(entries, true, done, remaining, total);
}

QString TransfersForm::EtaText(qint64 seconds) {
    const qint64 s = std::max<qint64>(seconds, 0);
    QString text = QString("%1s").arg(s % 60);
    if (s >= 60)
        text = QString("%1m:").arg((s / 60) % 60) + text;
    if (s >= 3600)
        text = QString("%1h:").arg(s / 3600) + text;
    return "   " + text;
}

QString TransfersForm::ProgressText(qint64 bytes, double percent) {
    return CommafyNumber(bytes) + " (" + QString::number(percent, 'f', 1) + "%)";
}

QString TransfersForm::KbsText(qint64 bytesPerSecond) {
    return QString::number(double(bytesPerSecond) / 1024, 'f', 1);
}

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& info) {
    OnStatusChange(kDownloads, info.from, info.to);
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& info) {
    OnStatusChange(kUploads, info.from, info.to);
}

void TransfersForm::OnStatusChange(const ListKind& k, const ItemPtr& entry, const ItemPtr& status) {
    QTreeWidgetItem* fileRow = RowOf(entry.HasItem(k.fileNode));
    if (!fileRow)
        return;
    QTreeWidgetItem* folderRow = ParentOf(fileRow);
    QTreeWidgetItem* userRow = ParentOf(folderRow);
    UpdateMark(k, entry);
    // Time left and speed come with the reports of running entries only.
    if (MarksOf(k).value(entry.GetId()).kind != kActive) {
        fileRow->setText(5, QString());
        fileRow->setText(6, QString());
    }
    const QString value = status.AsString();
    const bool complete = value == QLatin1String(TransferQueueManager::kComplete);
    // The last report may predate the last bytes, and an empty file has none:
    // a finished transfer's bar reads 100 %.
    const qint64 size = MarksOf(k).value(entry.GetId()).size;
    if (complete && (size == 0 || HasBar(fileRow)))
        ShowBar(fileRow, size, 100);
    if (k.upload && complete)
        fileRow->setText(4, QString());
    SetItemColorByStatus(fileRow, value);
    if (!k.upload) {
        if (complete) {
            emit DownloadComplete(entry);
            fileRow->setText(4, QString());
        }
        fileRow->setText(8, QString());
    }
    QString text = value;
    QString detail;
    if (value == QLatin1String(TransferQueueManager::kDenied)) {
        const ItemPtr reason = entry.HasItem("denial_reason");
        if (!reason.IsNull())
            text = reason.AsString();
    } else if (!k.upload && (value == QLatin1String(TransferQueueManager::kLocalError) ||
                             value == QLatin1String(TransferQueueManager::kAborted))) {
        // What failed on our side, in the system's words.
        const ItemPtr reason = entry.HasItem("denial_reason");
        if (!reason.IsNull())
            detail = QStringLiteral(": ") + reason.AsString();
    }
    ShowStatusText(fileRow, text.toLower() + detail);
    for (QTreeWidgetItem* row : {folderRow, userRow})
        RefreshGroupRow(k, row);
    UpdateActiveTransferCounts();
}

void TransfersForm::OnDownloadEntrySizeChange(ConnectionInfo& info) {
    const ItemPtr& entry = info.from;
    QTreeWidgetItem* fileRow = RowOf(entry.HasItem(kDownloads.fileNode));
    if (!fileRow)
        return;
    UpdateMark(kDownloads, entry);
    const Mark mark = m_downloadMarks.value(entry.GetId());
    fileRow->setText(7, CommafyNumber(mark.size));
    if (mark.kind == kActive) {
        OnProgress(kDownloads, entry);
        return;
    }
    if (HasBar(fileRow)) {
        const qint64 done = mark.kind == kComplete ? mark.size : mark.position;
        ShowBar(fileRow, done, mark.size > 0 ? double(done) * 100 / mark.size : 0);
    }
    for (QTreeWidgetItem* row : {ParentOf(fileRow), ParentOf(ParentOf(fileRow))})
        RefreshGroupRow(kDownloads, row);
}

bool TransfersForm::HasBar(const QTreeWidgetItem* row) {
    return row->data(4, kBarValueRole).isValid();
}

void TransfersForm::DropRowProgress(QTreeWidgetItem* row) {
    row->setData(4, kBarValueRole, QVariant());
    row->setData(4, kBarTextRole, QVariant());
}

QString TransfersForm::FittedBarText(const QString& text, const QFont& font, int width) {
    // Where the byte count and the percentage do not fit together, the
    // percentage alone is shown: it is what a user reads first. Where not
    // even that fits, the bar alone speaks: a cut figure would misread.
    QFont bold = font;  // some styles draw the text bold
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    if (metrics.horizontalAdvance(text) <= width - 8)
        return text;
    const int open = text.lastIndexOf(QLatin1String(" ("));
    if (open < 0 || !text.endsWith(QLatin1Char(')')))
        return QString();
    const QString percent = text.mid(open + 2, text.size() - open - 3);
    return metrics.horizontalAdvance(percent) <= width - 8 ? percent : QString();
}

void TransfersForm::ShowRowProgress(QTreeWidgetItem* row, qint64 remaining, qint64 speed,
                                    qint64 done, double percent) {
    row->setText(5, EtaText(speed > 0 ? remaining / speed : 0));
    ShowBar(row, done, percent);
}

void TransfersForm::ShowBar(QTreeWidgetItem* row, qint64 done, double percent) {
    row->setData(4, kBarTextRole, ProgressText(done, percent));
    row->setData(4, kBarValueRole, int(std::min(std::max(percent, 0.0), 100.0)));
}

void TransfersForm::OnDownloadProgress(ItemPtr download) {
    OnProgress(kDownloads, download);
}

void TransfersForm::OnUploadProgress(ItemPtr upload) {
    OnProgress(kUploads, upload);
}

void TransfersForm::OnProgress(const ListKind& k, const ItemPtr& entry) {
    QTreeWidgetItem* fileRow = RowOf(entry.HasItem(k.fileNode));
    if (!fileRow)
        return;
    QTreeWidgetItem* folderRow = ParentOf(fileRow);
    QTreeWidgetItem* userRow = ParentOf(folderRow);
    UpdateMark(k, entry);
    const Mark mark = MarksOf(k).value(entry.GetId());
    const qint64 position = EntryPosition(entry, k.positionType);
    const qint64 size = mark.size;
    const qint64 speed = EntrySpeed(entry);
    // A file of size 0 is done or not started: it never divides.
    const double percent =
        size > 0 ? double(position) * 100 / double(size) : (mark.kind == kComplete ? 100 : 0);
    ShowRowProgress(fileRow, std::max<qint64>(size - position, 0), speed, position, percent);

    QTreeWidgetItem* kbsRow = !Expanded(k, userRow)     ? userRow
                              : !Expanded(k, folderRow) ? folderRow
                                                        : fileRow;
    kbsRow->setText(6, KbsText(speed));

    if (!Expanded(k, userRow) || ChildCount(userRow) >= 2) {
        const Tally t = m_tallies.value(userRow);
        if (t.total <= 0)
            return;
        ShowRowProgress(userRow, t.remaining, speed, t.done, double(t.done) * 100 / t.total);
    }
    const Tally t = m_tallies.value(folderRow);
    if (t.total <= 0)
        return;
    ShowRowProgress(folderRow, t.remaining, speed, t.done, double(t.done) * 100 / t.total);
}

void TransfersForm::RecolorEntries() {
    // Every cell changes: the lists repaint once instead of once per cell.
    const QSignalBlocker blockDownloads(mp_ui->downloadsList->model());
    const QSignalBlocker blockUploads(mp_ui->uploadsList->model());
    for (const ListKind* k : {&kDownloads, &kUploads})
        for (const ItemPtr& node : d.GetType(k->fileNode)->GetItems())
            if (QTreeWidgetItem* row = RowOf(node))
                SetItemColorByStatus(row, StatusOf(node[k->entryType], k->statusType));
    const std::pair<const ListKind*, const char*> groups[] = {{&kDownloads, kDownloads.folderNode},
                                                              {&kDownloads, kDownloads.userNode},
                                                              {&kUploads, kUploads.folderNode},
                                                              {&kUploads, kUploads.userNode}};
    for (const auto& [k, nodeType] : groups)
        for (const ItemPtr& node : d.GetType(nodeType)->GetItems())
            if (QTreeWidgetItem* row = RowOf(node))
                ShowGroupStatus(*k, row);
    mp_ui->downloadsList->viewport()->update();
    mp_ui->uploadsList->viewport()->update();
}

// ---------------------------------------------------------------------------
// Actions, menus, keys, alerts and the sweep

void TransfersForm::OnActionBarTriggered(QWidget*, QString i_action) {
    if (g_showIsOver)
        return;
    if (i_action == "expand_download_folders")
        SwitchExpand(kDownloads, false);
    else if (i_action == "expand_download_users")
        SwitchExpand(kDownloads, true);
    else if (i_action == "clear_complete_downloads")
        ClearCompleteDownloads();
    else if (i_action == "expand_upload_folders")
        SwitchExpand(kUploads, false);
    else if (i_action == "expand_upload_users")
        SwitchExpand(kUploads, true);
    else if (i_action == "clear_complete_and_aborted_uploads")
        ClearCompleteAndAbortedUploads();
    else if (i_action == "finish_uploads_and_quit")
        SwitchFinishUploadsAndQuit();
    else if (i_action == "remove_download")
        DeleteSelectedDownloads();
    else if (i_action == "dl_add_user") {
        for (QTreeWidgetItem* row : mp_ui->downloadsList->selectedItems()) {
            const ItemPtr user =
                NodeOfRow(kDownloads.userNode, GetDownloadNodeUserNode(row))["user"];
            const Type* inList = d.FindType("in_user_list");
            if (!user.IsNull() && inList && user.GetType()->IsRelatedTo(inList))
                user.NewItem("in_user_list");
        }
    } else if (i_action == "complete_downloads")
        ShowCompleteDownloads();
}

void TransfersForm::SwitchExpand(const ListKind& k, bool users) {
    bool& flag = users ? ExpandUsers(k) : ExpandFolders(k);
    flag = !flag;
    const QString id =
        QString(k.upload ? "expand_upload_" : "expand_download_") + (users ? "users" : "folders");
    const QString text =
        QString(users ? "Expand Users" : "Expand Folders") + (flag ? " [on]" : " [off]");
    QTreeWidget* list = ListOf(k);
    if (actionBar)
        actionBar->SetWidgetActionText(list, id, text);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* userRow = list->topLevelItem(i);
        if (users)
            userRow->setExpanded(flag);
        else
            for (int j = 0; j < userRow->childCount(); ++j)
                userRow->child(j)->setExpanded(flag);
    }
}

void TransfersForm::ClearCompleteDownloads() {
    const ItemPtr complete =
        d.GetType("download_entry_status")->HasItem(TransferQueueManager::kComplete);
    if (complete.IsNull() || !transferQueueManager)
        return;
    for (const ItemPtr& entry : complete.GetItems("download_entry"))
        if (!entry.IsRemoved())
            transferQueueManager->RemoveDownload(entry);
}

namespace {

// The queued upload's user has been offline for at least five minutes.
bool OfflineLongEnough(const ItemPtr& entry, const QDateTime& now) {
    const ItemPtr user = entry["user"];
    if (user.IsNull() || user.IsConnected("is_online"))
        return false;
    const QDateTime change = StoredTime(user.HasItem("last_online_status_change"));
    return change.isValid() && change.secsTo(now) > 299;
}

}  // namespace

void TransfersForm::ClearCompleteAndAbortedUploads() {
    if (!transferQueueManager)
        return;
    ItemSet finished;
    for (const ItemPtr& status : d.GetType("upload_entry_status")->GetItems())
        if (!status.IsConnected("is_active") &&
            status.AsString() != QLatin1String(TransferQueueManager::kQueued))
            finished.Add(status.GetItems("upload_entry"));
    for (const ItemPtr& entry : finished)
        if (!entry.IsRemoved())
            transferQueueManager->RemoveUpload(entry);
    const QDateTime now = QDateTime::currentDateTime();
    const ItemPtr queued = d.GetType("upload_entry_status")->HasItem(TransferQueueManager::kQueued);
    for (const ItemPtr& entry : queued.GetItems("upload_entry"))
        if (!entry.IsRemoved() && OfflineLongEnough(entry, now))
            transferQueueManager->RemoveUpload(entry);
}

void TransfersForm::SwitchFinishUploadsAndQuit() {
    const bool on = GetRuntimeSetting("finish_uploads_and_quit") != "yes";
    SetRuntimeSetting("finish_uploads_and_quit", on ? "yes" : "no");
    if (actionBar)
        actionBar->SetWidgetActionText(
            mp_ui->uploadsList, "finish_uploads_and_quit",
            on ? "Finish Uploads and Quit [on]" : "Finish Uploads and Quit [off]");
}

void TransfersForm::ShowCompleteDownloads() {
    if (!mp_completeDownloads) {
        mp_completeDownloads = new CompleteDownloadsForm(this);
        mp_ui->transfersTabControl->addTab(mp_completeDownloads, "Complete");
        mp_completeDownloads->Init();
    }
    mp_ui->transfersTabControl->setCurrentWidget(mp_completeDownloads);
    mp_completeDownloads->show();
}

void TransfersForm::OnDownloadsContextMenuRequested(QPoint i_point) {
    ContextMenu(kDownloads, i_point);
}

void TransfersForm::OnUploadsContextMenuRequested(QPoint i_point) {
    ContextMenu(kUploads, i_point);
}

void TransfersForm::ContextMenu(const ListKind& k, const QPoint& point) {
    if (g_showIsOver)
        return;
    QTreeWidget* list = ListOf(k);
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty())
        return;
    QStringList users;
    std::vector<ItemPtr> gathered;
    QList<QTreeWidgetItem*> chosenRows;
    for (QTreeWidgetItem* row : selected) {
        QTreeWidgetItem* userRow =
            k.upload ? GetUploadNodeUserNode(row) : GetDownloadNodeUserNode(row);
        const ItemPtr userNode = NodeOfRow(k.userNode, userRow);
        // A row whose entries are gone waits for the flush that takes it.
        if (userNode.IsNull())
            continue;
        const QString user = userNode["user"].AsString();
        if (!users.contains(user))
            users << user;
        const ItemSet entries = EntriesUnder(k, row);
        if (selected.size() == 1 || entries.Size() <= 1) {
            gathered.insert(gathered.end(), entries.Items().begin(), entries.Items().end());
            chosenRows << row;
        }
    }
    const ItemSet chosen = SetOf(gathered);
    QMenu menu;
    std::unique_ptr<QObject> listOptions;
    if (k.upload) {
        listOptions.reset(new UploadMenuOptions(&menu, chosen));
    } else {
        auto* options = new DownloadMenuOptions(&menu, chosen);
        listOptions.reset(options);
        connect(options, &DownloadMenuOptions::RemovingDownloads, this,
                [groups = GroupsOf(chosenRows)] { DropWaitingDownloads(groups); });
    }
    std::unique_ptr<UserMenuOptions> userOptions;
    if (users.size() == 1)
        userOptions.reset(new UserMenuOptions(&menu, users.first()));
    prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(point));
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* ip_event) {
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::OnKeyPressedInUploadList(QKeyEvent* ip_event) {
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedUploads();
}

void TransfersForm::DeleteSelectedDownloads() {
    DeleteSelected(kDownloads);
}

void TransfersForm::DeleteSelectedUploads() {
    DeleteSelected(kUploads);
}

void TransfersForm::DeleteSelected(const ListKind& k) {
    if (!transferQueueManager)
        return;
    if (!k.upload)
        DropWaitingDownloads(GroupsOf(ListOf(k)->selectedItems()));
    // Every entry is gathered before the first removal deletes rows.
    std::vector<ItemPtr> gathered;
    for (QTreeWidgetItem* row : ListOf(k)->selectedItems())
        for (const ItemPtr& entry : EntriesUnder(k, row))
            gathered.push_back(entry);
    const ItemSet entries = SetOf(gathered);
    for (const ItemPtr& entry : entries) {
        if (entry.IsRemoved())
            continue;
        if (k.upload)
            transferQueueManager->RemoveUpload(entry);
        else
            transferQueueManager->RemoveDownload(entry);
    }
}

std::vector<TransfersForm::Group> TransfersForm::GroupsOf(const QList<QTreeWidgetItem*>& rows) {
    std::vector<Group> groups;
    for (QTreeWidgetItem* row : rows) {
        const ItemPtr userNode = NodeOfRow(kDownloads.userNode, row);
        const ItemPtr folderNode = NodeOfRow(kDownloads.folderNode, row);
        if (!userNode.IsNull())
            groups.emplace_back(userNode["user"].AsString(), std::nullopt);
        else if (!folderNode.IsNull())
            groups.emplace_back(folderNode[kDownloads.userNode]["user"].AsString(),
                                folderNode["remote_folder"].AsStdString());
    }
    return groups;
}

void TransfersForm::DropWaitingDownloads(const std::vector<Group>& groups) {
    if (!transferQueueManager)
        return;
    for (const auto& [user, folder] : groups)
        transferQueueManager->DropWaitingDownloads(user, folder ? &*folder : nullptr);
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int) {
    if (g_showIsOver)
        return;
    const ItemPtr node = NodeOfRow(kDownloads.fileNode, ip_item);
    if (node.IsNull() || !transferQueueManager)
        return;
    const ItemPtr entry = node["download_entry"];
    const QString path = transferQueueManager->GetDownloadTargetPath(entry, true);
    if (TransferQueueManager::DownloadStatus(entry) == TransferQueueManager::kComplete)
        OpenDownloadedFile(this, path);
    else
        OpenLocalPath(path);
}

namespace {

bool AllComplete(const ItemSet& entries) {
    for (const ItemPtr& entry : entries)
        if (TransferQueueManager::DownloadStatus(entry) != TransferQueueManager::kComplete)
            return false;
    return true;
}

void RaiseDownloadEvent(QWidget* list, const QString& text, const QString& popup) {
    if (eventToolBar)
        eventToolBar->AddEvent(text, ":/icons/download_icon", list, popup, "download", false);
}

}  // namespace

void TransfersForm::OnDownloadComplete(ItemPtr i_download) {
    // The entry may have gone while the signal waited in the queue.
    if (i_download.IsNull() || i_download.IsRemoved())
        return;
    QTreeWidget* list = mp_ui->downloadsList;
    const ItemPtr fileNode = i_download.HasItem(kDownloads.fileNode);
    const ItemPtr fileAlert = i_download.HasItem("complete_download_alert");
    if (!fileAlert.IsNull()) {
        const QString name = i_download["file_name"].AsString();
        RaiseDownloadEvent(list, name, QString("Download of file %1 complete").arg(name));
        if (QTreeWidgetItem* row = RowOf(fileNode))
            row->setIcon(2, QIcon());
        fileAlert.Remove();
    }
    const ItemPtr user = i_download["user"];
    const ItemPtr folder = i_download["remote_folder"];
    // Only a user with alerts needs the walks over that user's downloads.
    if (!user.IsNull() && user.IsConnected("complete_download_alert")) {
        const ItemPtr folderAlert = d.GetItem(user, folder, "complete_download_alert");
        const std::string folderName = folder.AsStdString();
        if (!folderAlert.IsNull() &&
            AllComplete(folder.GetItems("download_entry").Connected(user)) &&
            !(transferQueueManager &&
              transferQueueManager->DownloadsWaitFor(user.AsString(), &folderName))) {
            const QString name = ToQString(GetFileName(folder.AsStdString()));
            RaiseDownloadEvent(list, name, QString("Download of folder %1 complete").arg(name));
            if (QTreeWidgetItem* row = RowOf(fileNode[kDownloads.folderNode]))
                row->setIcon(1, QIcon());
            folderAlert.Remove();
        }
        const ItemSet userAlerts =
            user.GetItems("complete_download_alert").NotConnected("remote_folder");
        if (!userAlerts.Empty() && AllComplete(user.GetItems("download_entry")) &&
            !(transferQueueManager && transferQueueManager->DownloadsWaitFor(user.AsString()))) {
            const QString name = user.AsString();
            RaiseDownloadEvent(list, name, QString("All download from user %1 complete").arg(name));
            // The alert mark stood in for the online mark; that comes back.
            if (QTreeWidgetItem* row = RowOf(user.HasItem(kDownloads.userNode)))
                row->setIcon(0, OnlineIcon(user));
            userAlerts.Remove();
        }
    }
    if (IsSettingYes("clear_complete_downloads") && transferQueueManager)
        transferQueueManager->RemoveDownload(i_download);
}

void TransfersForm::EveryHalfMinute() {
    const QDateTime now = QDateTime::currentDateTime();
    if (!IsSettingYes("clear_complete_aborted_uploads") || !transferQueueManager)
        return;
    const ItemPtr queued = d.GetType("upload_entry_status")->HasItem(TransferQueueManager::kQueued);
    for (const ItemPtr& entry : queued.GetItems("upload_entry")) {
        if (entry.IsRemoved() || !OfflineLongEnough(entry, now))
            continue;
        QDateTime last = StoredTime(entry.HasItem("last_status_change_time"));
        if (const QDateTime* receipt =
                TransferQueueManager::ObjectOf<QDateTime>(entry.HasItem("last_receipt_time")))
            if (receipt->isValid() && (!last.isValid() || *receipt > last))
                last = *receipt;
        if (last.isValid() && last.secsTo(now) > 299)
            transferQueueManager->RemoveUpload(entry);
    }
}
