#ifndef TAVENOOK_VIEWS_SHARES_SHARETREEFORM_H
#define TAVENOOK_VIEWS_SHARES_SHARETREEFORM_H

#include <QString>
#include <QWidget>
#include <list>
#include <unordered_map>

#include "shell/TreeWidgetItem.h"
#include "store/Data.h"

class FilterParser;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;

// What the share browser and the upload browser have in common: a share
// graph ("user_share") shown as a folder tree, the current folder's files
// and a filter line. Rows and store items know each other through node
// items whose value is the row's address, so the graph stays the one copy
// of the share.
class ShareTreeForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    ~ShareTreeForm() override;

    const QString& User() const { return m_user; }
    // The "user_share" item on display; null when none is.
    ItemPtr Share() const { return m_share; }
    int DeepestLevel() const { return m_deepest; }
    int ExpandLevelCount() const { return m_expandLevel; }

    void ExpandLevel();
    void ExpandAll();
    void CollapseAll();
    // Hides the row when neither it nor a row below it passes the filter;
    // returns whether it stays visible.
    bool FilterFolderNode(QTreeWidgetItem* row, FilterParser& filter);

    QTreeWidget* FolderTree() const { return mp_folderTree; }
    QTreeWidget* FileList() const { return mp_fileList; }
    QLineEdit* FilterEdit() const { return mp_filterEdit; }

    // The store item a row shows; null for none or for a row whose item went.
    static ItemPtr FolderOfRow(QTreeWidgetItem* row);
    static ItemPtr FileOfRow(QTreeWidgetItem* row);
    // The row that shows a folder or file of the graph; null when none does.
    static QTreeWidgetItem* RowOf(const ItemPtr& item, const char* nodeType);
    // The folder's files in name order (case-sensitive), and its direct
    // subfolders in the order of their paths.
    static std::list<ItemPtr> FilesInNameOrder(const ItemPtr& folder);
    static std::list<ItemPtr> SubFolders(const ItemPtr& folder);
    // The form of a "user_share_tab" or "upload_share_tab" item.
    static QWidget* TabWidgetOf(const ItemPtr& tab);

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void OnFilterTextChanged(const QString& text);
    void OnFilterHelpClicked();
    void OnFolderContextMenuRequested(const QPoint& pos);
    void OnFileContextMenuRequested(const QPoint& pos);
    void OnFolderDoubleClicked(QTreeWidgetItem* row, int column);
    void OnFileDoubleClicked(QTreeWidgetItem* row, int column);

protected:
    // tabType names the item that ties the form to the user's "user" item.
    ShareTreeForm(const QString& user, QWidget* parent, bool withMessages, const char* actionSet,
                  const char* tabType);

    // Builds the rows of the share's folders, parents before children, in
    // path order (ignoring case or by bytes).
    void BuildTree(const ItemPtr& share, bool caseSensitiveOrder);
    // Removes every row and the node items that lead to them.
    void ClearTree();
    // Empties the file list and removes the node items of its rows only,
    // never those of other tabs.
    void ClearFileList();
    void ShowLists(bool show);
    // False once the store this form was made in has been reset (tests).
    bool StoreIsOurs() const;
    void SetExpandLevelText();
    // The folder or file action on every selected row.
    void ActOnSelectedFolders();
    void ActOnSelectedFiles();
    // Runs a context menu with this form's own action over the user menu.
    void RunMenu(QMenu& menu, QWidget* list, const QPoint& pos);

    // The download or upload of one folder row's folder and of one file row.
    virtual void ActOnFolder(const ItemPtr& folder) = 0;
    virtual void ActOnFileRow(QTreeWidgetItem* row) = 0;
    virtual QString FolderActionText() const = 0;
    virtual QString FileActionText() const = 0;
    virtual void OnActionBarTriggered(QWidget* widget, QString action);

    QString m_user;
    ItemPtr m_share;
    int m_deepest = 0;
    int m_expandLevel = 0;
    bool m_actionsConnected = false;
    ColumnSortingModel m_sorting;
    Type* mp_folderNodeType;
    Type* mp_fileNodeType;
    const char* mp_tabType;
    QTextBrowser* mp_messageBrowser = nullptr;
    QTreeWidget* mp_folderTree;
    QTreeWidget* mp_fileList;
    QPushButton* mp_filterHelpButton;
    QLineEdit* mp_filterEdit;
};

#endif
