#ifndef TAVENOOK_VIEWS_SHARES_UPLOADFORM_H
#define TAVENOOK_VIEWS_SHARES_UPLOADFORM_H

#include "views/shares/ShareTreeForm.h"

// The upload browser: the own shared folders as one user may see them, from
// which files or whole folders are offered to that user as uploads.
class UploadForm : public ShareTreeForm {
    Q_OBJECT
public:
    explicit UploadForm(const QString& user, QWidget* parent = nullptr);
    ~UploadForm() override;

    // Shows a share graph made for this tab; the tab owns it from then on.
    void SetShare(ItemPtr share);
    // Ends the tab: its share graph, the tab link, then the form itself.
    void Delete();
    // Queues the folder's files, then its subfolders'.
    void UploadFolder(ItemPtr folder);

public slots:
    void OnUploadFolder() { ActOnSelectedFolders(); }
    void OnUploadFile() { ActOnSelectedFiles(); }

protected:
    void ActOnFolder(const ItemPtr& folder) override { UploadFolder(folder); }
    void ActOnFileRow(QTreeWidgetItem* row) override;
    QString FolderActionText() const override { return "Upload Folder"; }
    QString FileActionText() const override { return "Upload File(s)"; }

private:
    void Upload(const ItemPtr& file, QTreeWidgetItem* row);
};

#endif
