#ifndef TAVENOOK_VIEWS_SEARCH_SEARCHFORM_H
#define TAVENOOK_VIEWS_SEARCH_SEARCHFORM_H

#include <QPoint>
#include <QSet>
#include <QWidget>

#include "store/Data.h"

class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class SearchResultsForm;
class Ui_SearchForm;

// The kind of a search, which decides its tab control and tab icon.
enum SearchType { GlobalSearch = 0, WishListSearch = 1, UserListSearch = 2, RoomSearch = 3 };

// The search page: the search entry with its history and target, the tabs
// of manual and wish-list results, the wish list and the received searches.
class SearchForm : public QWidget, public DataHandler, public DataLoadedEventHandler {
    Q_OBJECT
public:
    static constexpr int kHistorySize = 20;

    explicit SearchForm(QWidget* parent = nullptr);
    ~SearchForm() override;

    void Init();
    void DataLoaded() override;
    // The types, relations and saved types of the page; a second call
    // finds them declared.
    static void DeclareTypes();

    SearchResultsForm* CreateSearchForm(quint32 token, QString text, int type);
    void RecordSearch(QString text);
    void OnWishListItemAdded(ItemPtr item);
    SearchResultsForm* GetCurrentSearchResultsForm();
    Ui_SearchForm* Ui() const { return mp_ui; }

public slots:
    void OnSearchEntered();
    void OnUserSearchResults(ItemPtr i_searchResults);
    void OnTabCloseRequested(int i_tabIndex);
    void OnWishTabCloseRequested(int i_tabIndex);
    void OnCorrelationClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnWishListItemCheckStateChanged(int i_state);
    void OnWishListItemChanged(QTreeWidgetItem* ip_item, int i_column);
    void DeleteNode(QTreeWidgetItem* ip_item);
    void OnWishListContextMenuRequested(QPoint i_point);
    void OnRemoveWishListItemRequested();
    void OnAddToWishListClicked();
    void OnWishListItemEnabled(ItemPtr i_item);
    void OnWishListItemDisabled(ItemPtr i_item);

private:
    void OnEnteredRoom(ItemPtr room);
    void OnLeftRoom(ItemPtr room);
    void FitTargetList();
    void OnWishListItemRemoved(ItemPtr item);
    void OnSearchRecordItemRemoved(ItemPtr record);
    void CloseTab(QTabWidget* tabs, int index);
    void AddEnabledWishItem(const QString& text);
    void SetWishRowsChecked(bool checked);
    void RemoveSelectedWishItems();
    SearchResultsForm* PageOf(const ItemPtr& widgetItem) const;
    QTreeWidgetItem* WishRowOf(const ItemPtr& node) const;
    void RemoveWishNode(const ItemPtr& node);
    void SendGlobalSearch(const QString& text);

    Ui_SearchForm* mp_ui;
    bool m_addingWishRow = false;
    // The open result pages; a widget item's address is trusted only when
    // it names one of them.
    QSet<SearchResultsForm*> m_pages;
};

extern SearchForm* searchForm;

#endif
