#include "views/shares/UploadForm.h"

#include <QIcon>
#include <QTreeWidget>

#include "shares/SharedFoldersManager.h"
#include "transfers/TransferQueueManager.h"

UploadForm::UploadForm(const QString& user, QWidget* parent)
    : ShareTreeForm(user, parent, false, "upload_folders", "upload_share_tab") {
    resize(559, 316);
    mp_fileList->setSelectionMode(QAbstractItemView::SingleSelection);
}

UploadForm::~UploadForm() {
    DisableHandlers();
    // The graph was made for this tab alone.
    if (!m_share.IsNull() && StoreIsOurs()) {
        ClearTree();
        SharedFoldersManager::RemoveShare(m_share);
    }
}

void UploadForm::SetShare(ItemPtr share) {
    if (share.IsNull() || share == m_share)
        return;
    ClearTree();
    SharedFoldersManager::RemoveShare(m_share);
    m_share = share;
    BuildTree(share, true);
    ShowLists(true);
}

void UploadForm::Delete() {
    const ItemPtr tab = d.GetType("upload_share_tab")->HasItem(Value(static_cast<QWidget*>(this)));
    if (!tab.IsNull())
        tab.Remove();
    ClearTree();
    SharedFoldersManager::RemoveShare(m_share);
    m_share = ItemPtr();
    deleteLater();
}

void UploadForm::Upload(const ItemPtr& file, QTreeWidgetItem* row) {
    if (!transferQueueManager || file.IsNull())
        return;
    transferQueueManager->AddUpload(
        m_user, file["user_share_folder"]["user_share_folder_name"].AsString() + "\\" +
                    file["user_share_file_name"].AsString());
    if (row)
        row->setIcon(0, QIcon(":/icons/upload_icon"));
}

void UploadForm::UploadFolder(ItemPtr folder) {
    for (const ItemPtr& file : FilesInNameOrder(folder))
        Upload(file, RowOf(file, "user_share_file_node"));
    for (const ItemPtr& child : SubFolders(folder))
        UploadFolder(child);
}

void UploadForm::ActOnFileRow(QTreeWidgetItem* row) {
    Upload(FileOfRow(row), row);
}
