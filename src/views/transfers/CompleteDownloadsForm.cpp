#include "views/transfers/CompleteDownloadsForm.h"

#include <QDateTime>

#include "store/DataSaver.h"
#include "transfers/TransferQueueManager.h"
#include "ui_CompleteDownloadsForm.h"

CompleteDownloadsForm* completeDownloadsForm = nullptr;

namespace {

QDateTime CompletionTime(const QTreeWidgetItem& row) {
    const ItemPtr node = d.GetType("complete_download_node")->HasItem(Value(&row));
    const ItemPtr time = node["complete_download"]["complete_download_completion_time"];
    return QDateTime::fromString(time.AsString(), Qt::TextDate);
}

}  // namespace

CompleteDownloadItem::~CompleteDownloadItem() = default;

bool CompleteDownloadItem::operator<(const QTreeWidgetItem& other) const {
    return CompletionTime(*this) < CompletionTime(other);
}

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* parent)
    : QWidget(parent), mp_ui(new Ui_CompleteDownloadsForm) {
    completeDownloadsForm = this;
    mp_ui->setupUi(this);
    QTreeWidget* list = mp_ui->downloadList;
    list->setHeaderLabels({"File", "Folder", "User", "Size", "Completion time"});
    const int widths[] = {250, 250, 100, 100, 150};
    for (int c = 0; c < 5; ++c)
        list->setColumnWidth(c, widths[c]);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
}

CompleteDownloadsForm::~CompleteDownloadsForm() {
    if (m_registered && dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
    // The rows go before their lookup items can be asked about them.
    mp_ui->downloadList->clear();
    if (Type* node = d.FindType("complete_download_node"))
        node->GetItems().Remove();
    delete mp_ui;
}

void CompleteDownloadsForm::Init() {
    if (!d.FindType("complete_download_node"))
        d.NewType("complete_download_node", PrimacyRoot, false, true)
            ->RelateToType(d.GetType("complete_download"), One, One, false);
    if (transferQueueManager)
        connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this,
                &CompleteDownloadsForm::OnCompleteDownloadAdded);
    if (dataSaver && !m_registered) {
        dataSaver->AddDataLoadedEventHandler(this);
        m_registered = true;
    }
}

void CompleteDownloadsForm::DataLoaded() {
    for (const ItemPtr& record : d.GetType("complete_download")->GetItems())
        OnCompleteDownloadAdded(record);
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(ItemPtr i_download) {
    if (i_download.IsNull() || i_download.IsRemoved())
        return;
    auto* row = new CompleteDownloadItem(mp_ui->downloadList);
    row->setText(0, i_download["complete_download_filename"].AsString());
    row->setText(1, i_download["complete_download_relative_folder"].AsString());
    row->setText(2, i_download["user"].AsString());
    row->setText(3, i_download["complete_download_file_size"].AsString());
    row->setText(4, i_download["complete_download_completion_time"].AsString());
    d.GetType("complete_download_node")
        ->GetItem(Value(static_cast<QTreeWidgetItem*>(row)))
        .Connect(i_download);
    mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}
