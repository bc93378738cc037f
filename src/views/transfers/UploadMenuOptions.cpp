#include "views/transfers/UploadMenuOptions.h"

#include <QIcon>
#include <QMenu>

#include "transfers/TransferQueueManager.h"
#include "views/transfers/DownloadMenuOptions.h"

UploadMenuOptions::UploadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent)
    : QObject(parent), m_entries(entries) {
    if (m_entries.Empty())
        return;
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    const bool single = m_entries.Size() == 1;
    if (single)
        menu->addAction(QIcon(":/icons/play_icon"), "Open File", this,
                        &UploadMenuOptions::OnOpenFile);
    menu->addAction(QIcon(":/icons/folder_icon"), "Open Folder", this,
                    &UploadMenuOptions::OnOpenFolder);
    menu->addSeparator();
    menu->addAction(QIcon(":/icons/transfer_icon"), single ? "Remove upload" : "Remove uploads",
                    this, &UploadMenuOptions::OnRemoveUploads);
}

void UploadMenuOptions::OnOpenFile() {
    const ItemPtr file = m_entries.First().HasItem("shared_file");
    if (file.IsNull())
        return;
    OpenLocalPath(file["shared_file_folder"].AsString() + "/" +
                  file["shared_file_name"].AsString());
}

void UploadMenuOptions::OnOpenFolder() {
    const ItemPtr file = m_entries.First().HasItem("shared_file");
    if (!file.IsNull())
        OpenLocalPath(file["shared_file_folder"].AsString());
}

void UploadMenuOptions::OnRemoveUploads() {
    if (!transferQueueManager)
        return;
    for (const ItemPtr& entry : ItemSet(m_entries))
        if (!entry.IsRemoved())
            transferQueueManager->RemoveUpload(entry);
}
