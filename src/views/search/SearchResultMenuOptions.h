#ifndef TAVENOOK_VIEWS_SEARCH_SEARCHRESULTMENUOPTIONS_H
#define TAVENOOK_VIEWS_SEARCH_SEARCHRESULTMENUOPTIONS_H

#include <QObject>
#include <QString>

#include "store/Data.h"

class QMenu;
class QTreeWidgetItem;
class SearchResultsForm;

// The result actions of a result list's context menu, for the row the menu
// was opened on: download the chosen files or their whole folders, or open
// the owner's share at the folder. Lives on the menu handler's stack.
class SearchResultMenuOptions : public QObject {
    Q_OBJECT
public:
    SearchResultMenuOptions(QMenu* menu, QTreeWidgetItem* row, QObject* parent = nullptr);
    ~SearchResultMenuOptions() override;

    const QString& SearchText() const { return m_searchText; }
    const QString& User() const { return m_user; }
    const QString& Folder() const { return m_folder; }

public slots:
    void OnDownloadFile();
    void OnDownloadFolder();
    void OnBrowseFolder();

private:
    QTreeWidgetItem* mp_row;
    QString m_searchText;
    QString m_user;
    QString m_folder;
    SearchResultsForm* mp_page;
};

#endif
