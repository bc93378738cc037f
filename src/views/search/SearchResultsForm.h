#ifndef TAVENOOK_VIEWS_SEARCH_SEARCHRESULTSFORM_H
#define TAVENOOK_VIEWS_SEARCH_SEARCHRESULTSFORM_H

#include <QHash>
#include <QPair>
#include <QSet>
#include <QTreeWidgetItem>
#include <QWidget>

#include "store/Data.h"

class FilterParser;
class QLineEdit;
class QTreeWidget;
class Ui_SearchResultsForm;

// One row of a result list. The sort keys are kept beside the texts so that
// a comparison neither parses texts nor asks the store.
class SearchResultListItem : public QTreeWidgetItem {
public:
    enum Kind { UserRow, FolderRow, FileRow };

    SearchResultListItem(QTreeWidget* parent, Kind kind);
    SearchResultListItem(QTreeWidgetItem* parent, Kind kind);

    bool operator<(const QTreeWidgetItem& other) const override;

    static void* operator new(std::size_t size);
    static void operator delete(void* row);

    Kind RowKind() const { return m_kind; }
    // The result a file row shows; null for user and folder rows.
    const ItemPtr& Result() const { return m_result; }
    // Fills the user columns (0 to 2) from one user's answer.
    void SetUserColumns(const QString& user, const ItemPtr& batch);
    // Fills the file columns (4 to 6) and keeps the result.
    void SetFileColumns(const ItemPtr& result);
    // Hides or shows the row, touching the view only on a change. The row's
    // place under its parent spares the view a search for the row, which
    // after a sort costs as much as the list is long.
    void SetRowHidden(bool hidden, int row, const QModelIndex& parent);
    bool RowHidden() const { return m_hidden; }

    // Makes the lower-cased text of a text column the row's sort key.
    void PrepareSortKey(int column);

    // The folder as the peer sent it (flat rows), for filtering.
    QString m_folderPath;

private:
    Kind m_kind;
    bool m_hidden = false;
    // Column 1: 0 empty, 1 "Y", 2 a queue length.
    quint8 m_freeKind = 0;
    qint64 m_queue = 0;
    double m_speed = 0;
    qint64 m_size = 0;
    qint64 m_bitrate = 0;
    ItemPtr m_result;
    QString m_sortKey;
    int m_sortKeyColumn = -1;
};

// The page of one search's results, as a flat list or as a tree of user,
// folder and file rows, with the filter bar under it.
class SearchResultsForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    SearchResultsForm(QString text, bool isWishList, QWidget* parent = nullptr);
    ~SearchResultsForm() override;

    void Init();

    QTreeWidget* searchResults() const;
    QLineEdit* filterEdit() const;
    QTreeWidget* CorrelationsWidget() const;
    Ui_SearchResultsForm* Ui() const { return mp_ui; }

    void SetSortingParamters(int column, Qt::SortOrder order);
    int SortColumn() const { return m_sortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }
    const QString& SearchText() const { return m_text; }
    bool IsWishList() const { return m_isWishList; }
    bool IsFlat() const { return m_flat; }

    void AddUserSearchResults(const ItemPtr& batch);
    QTreeWidgetItem* AddSearchResult(const ItemPtr& result);
    static bool CompareSearchResults(const ItemPtr& a, const ItemPtr& b);
    static QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* row);

    // The page's "search_results_widget" item; null before the search form
    // made it.
    ItemPtr WidgetItem();
    // Removes the page's node items and the results it shows from the store;
    // the search form calls it when the tab closes.
    void RemoveStoreItems();
    void PopulateCorrelations();

    // The page whose result list holds the row; null for any other row.
    static SearchResultsForm* PageOf(QTreeWidgetItem* row);
    // The "search_request_text" item of a search text; null when none exists.
    static ItemPtr SearchTextItem(const QString& text);
    // Queues the download of one result, ties the entry to the search text
    // that found it and marks the result's row. Returns the entry.
    ItemPtr QueueDownload(const ItemPtr& result, bool single, const ItemPtr& searchText);
    // The file row of a result on this page, or null.
    SearchResultListItem* FileRowOf(const ItemPtr& result) const;

public slots:
    void OnClearFilterClicked();
    void OnContextMenuRequested(QPoint i_point);
    void OnDefaultFilterBoxToggled(bool i_checked);
    void OnFilterHelpClicked();
    void OnFilterTextChanged(QString i_text);
    void OnResultDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int i_index);
    void OnSearchCorrelations(QString i_text);
    void OnSectionClicked(int i_column);
    void Sort();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnSavedFilterAdded(ItemPtr filter);
    void OnSavedFilterRemoved(ItemPtr filter);
    // The one matching rule of the tree layout: the folder's text first, then
    // what it left open against each file. Returns whether the user row shows.
    bool FilterUserRow(QTreeWidgetItem* userRow, int index, const FilterParser& filter);
    void FilterFlatRow(SearchResultListItem* row, int index, const FilterParser& filter);
    void Refilter(const QString& text);
    void UpdateFilterButtons();

    Ui_SearchResultsForm* mp_ui;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    QString m_text;
    bool m_isWishList;
    bool m_flat;
    ItemPtr m_widgetItem;
    // The filter of the batch being added, parsed once for all its rows.
    const FilterParser* mp_batchFilter = nullptr;
    // Row look-ups of the tree layout; the store's node items mirror them.
    QHash<QString, SearchResultListItem*> m_userRows;
    QHash<QPair<QTreeWidgetItem*, quint64>, SearchResultListItem*> m_folderRows;
    QHash<QTreeWidgetItem*, ItemPtr> m_userNodes;
    QHash<QTreeWidgetItem*, ItemPtr> m_folderNodes;
    // File rows by their result's identity, for the download marks.
    QHash<quint64, SearchResultListItem*> m_fileRows;
    // What the last sort left ordered: the rows under other parents keep
    // their order until the column or the order changes.
    int m_sortedColumn = -1;
    Qt::SortOrder m_sortedOrder = Qt::AscendingOrder;
    QSet<QTreeWidgetItem*> m_unsortedParents;
};

#endif
