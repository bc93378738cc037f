#ifndef TAVENOOK_VIEWS_SHARES_SHAREFORM_H
#define TAVENOOK_VIEWS_SHARES_SHAREFORM_H

#include <QHash>
#include <QString>
#include <QWidget>
#include <string>
#include <vector>

#include "net/PeerPayloads.h"

class FilterParser;
class QLineEdit;
class QPushButton;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class QXmlStreamWriter;

// One tab of the share page: another user's share list as a folder tree,
// the current folder's files and a filter line. The upload browser is the
// same view over the own share, queuing uploads instead of downloads.
class ShareForm : public QWidget {
    Q_OBJECT
public:
    ShareForm(const QString& user, QWidget* parent = nullptr, bool upload = false);
    ~ShareForm() override;

    const QString& User() const { return m_user; }
    bool IsUpload() const { return m_upload; }

    // Replaces whatever is shown by this list; the list is copied.
    void SetShare(const FileInfoMap& share);
    // Selects a folder by its full path, now or once the list arrives.
    void BrowseToFolder(const QString& folder);
    // Queues the files of a row (all subfolders, each file with its depth
    // below the row so the structure is kept), or one file.
    void DownloadFolder(QTreeWidgetItem* row);
    void DownloadFile(QTreeWidgetItem* fileRow);
    void ExpandLevel();
    void ExpandAll();
    void CollapseAll();
    // False, with a line in the message area, when the file cannot be written.
    bool ExportToFile(const QString& fileName);
    void ApplyFilter(const QString& text);
    // Shows a status line (connection failure, empty share).
    void ShowMessage(const QString& text);

    QTreeWidget* FolderTree() const { return mp_folderTree; }
    QTreeWidget* FileList() const { return mp_fileList; }
    QLineEdit* FilterEdit() const { return mp_filterEdit; }
    QTextBrowser* MessageBrowser() const { return mp_messageBrowser; }
    // The full path of a folder row; empty for none.
    QString FolderPath(QTreeWidgetItem* row) const;

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void OnFilterTextChanged(const QString& text);
    void OnConnectionToUserFailed(QString user, QString connectionType);
    void OnSaveToFile();
    void OnActionBarTriggered(QWidget* widget, QString action);

private:
    struct Folder {
        std::string path;
        QTreeWidgetItem* row = nullptr;
        std::vector<const FileInfo*> files;
        std::vector<QString> names;
    };

    void ShowLists(bool show);
    void ShowExpandLevel();
    bool FileMatches(const FilterParser& filter, const Folder& folder, size_t k) const;
    bool FilterFolderNode(QTreeWidgetItem* row, const FilterParser& filter);
    void QueueFolder(QTreeWidgetItem* row, int depth);
    void QueueOne(const Folder& folder, const FileInfo& file, int depth, bool single);
    void WriteFolder(QXmlStreamWriter& writer, QTreeWidgetItem* row);
    void OnFolderMenu(const QPoint& pos);
    void OnFileMenu(const QPoint& pos);
    const Folder* FolderOf(QTreeWidgetItem* row) const;

    QString m_user;
    bool m_upload;
    bool m_answered = false;
    QString m_pendingFolder;
    int m_deepest = 0;
    int m_expandLevel = 0;
    FileInfoMap m_share;
    std::vector<Folder> m_folders;
    QHash<QTreeWidgetItem*, int> m_folderOfRow;
    QTextBrowser* mp_messageBrowser;
    QTreeWidget* mp_folderTree;
    QTreeWidget* mp_fileList;
    QPushButton* mp_filterHelpButton;
    QLineEdit* mp_filterEdit;
};

// The upload browser: the own share as the user sees it.
class UploadForm : public ShareForm {
    Q_OBJECT
public:
    explicit UploadForm(const QString& user, QWidget* parent = nullptr)
        : ShareForm(user, parent, true) {}
};

#endif
