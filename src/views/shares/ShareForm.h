#ifndef TAVENOOK_VIEWS_SHARES_SHAREFORM_H
#define TAVENOOK_VIEWS_SHARES_SHAREFORM_H

#include <QString>

#include <vector>

#include "transfers/TransferQueueManager.h"
#include "views/shares/ShareTreeForm.h"

class QShowEvent;
class QTextBrowser;
class QXmlStreamWriter;

// One tab of the share page: another user's share as that user's list
// delivered it, from which the user downloads files or whole folders and
// which can be exported as XML.
class ShareForm : public ShareTreeForm {
    Q_OBJECT
public:
    explicit ShareForm(const QString& user, QWidget* parent = nullptr);
    ~ShareForm() override;

    // Shows a "user_share" item. A form that shows another share already
    // drops its rows first and shows the new one.
    void SetShare(ItemPtr share);
    // Drops the rows and links of the shown share, leaving the form waiting
    // for a new one; the graph itself is the caller's.
    void ClearShare();
    // Selects a folder by its full path, now or once the share arrives.
    void BrowseToFolder(QString folder);
    // Ends the tab: the share graph, the tab link, then the form itself.
    void Delete();
    // Queues the folder's files, then its subfolders'. Each file carries its
    // depth below the chosen folder, so that the structure is kept.
    void DownloadFolder(ItemPtr folder, int level = 0);
    // False, after saying so, when the file cannot be written.
    bool ExportToFile(QString fileName);
    void WriteSharedFolderToXML(QXmlStreamWriter& writer, QTreeWidgetItem* row);

    QTextBrowser* MessageBrowser() const { return mp_messageBrowser; }
    // The full path of a folder row; empty for none.
    static QString FolderPath(QTreeWidgetItem* row);

    void OnUserShareItemRemoved(ItemPtr item);

public slots:
    void OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*) {}
    void OnDownloadFolder() { ActOnSelectedFolders(); }
    void OnDownloadFile() { ActOnSelectedFiles(); }
    void OnConnectionToUserFailed(QString user, QString connectionType);
    // A share list that could not be read: said once, like a failed connection.
    void OnShareListMalformed(QString user);

protected:
    void showEvent(QShowEvent* event) override;
    void ActOnFolder(const ItemPtr& folder) override { DownloadFolder(folder, 0); }
    void ActOnFileRow(QTreeWidgetItem* row) override;
    QString FolderActionText() const override { return "Download Folder"; }
    QString FileActionText() const override { return "Download File(s)"; }
    void OnActionBarTriggered(QWidget* widget, QString action) override;

private:
    void GatherDownloads(const ItemPtr& folder, int level,
                         std::vector<TransferQueueManager::DownloadRequest>& requests);
    void Report(const QString& html, QWidget* widget);

    bool m_answered = false;
    bool m_watchingRemovals = false;
    QString m_pendingFolder;
};

#endif
