#ifndef TAVENOOK_VIEWS_TRANSFERS_DOWNLOADMENUOPTIONS_H
#define TAVENOOK_VIEWS_TRANSFERS_DOWNLOADMENUOPTIONS_H

#include <QObject>
#include <QString>

#include "store/Data.h"

class QMenu;
class QWidget;

// Fills a context menu with the actions on chosen download entries and
// carries them out. Lives on the caller's stack while the menu is shown.
class DownloadMenuOptions : public QObject {
    Q_OBJECT
public:
    DownloadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent = nullptr);

signals:
    // Before the chosen entries are removed.
    void RemovingDownloads();

public slots:
    void OnOpenFile();
    void OnOpenFolder();
    void OnRetryDownloads();
    void OnRemoveDownloads();
    void OnSetFileDownloadAlert();
    void OnSetFolderDownloadAlert();
    void OnSetUserDownloadAlert();
    void OnRerunSearch();

private:
    ItemSet m_entries;
    QString m_searchText;
    ItemPtr m_user;
    ItemPtr m_folder;
};

// A path the engine holds with "\" separators, opened by the desktop.
void OpenLocalPath(QString path);
// A downloaded file, opened by the desktop; the user is told when it is gone.
void OpenDownloadedFile(QWidget* parent, QString path);

#endif
