#ifndef TAVENOOK_VIEWS_SHARES_ITEMLOGDIALOG_H
#define TAVENOOK_VIEWS_SHARES_ITEMLOGDIALOG_H

#include <QDialog>
#include <QHash>
#include <QString>

#include "store/Data.h"

class QPlainTextEdit;
class QTabWidget;

// The per-item log of one item: every entry the diagnostic log attached to
// it, oldest first, all together and by area; grows while open. Deletes
// itself when closed.
class ItemLogDialog : public QDialog, public DataHandler {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 5000;

    explicit ItemLogDialog(const ItemPtr& item, QWidget* parent = nullptr);
    ~ItemLogDialog() override;
    void OnItemLog(ItemPtr entry);

    QTabWidget* Tabs() const { return mp_tabs; }
    // "All" for every line, else the area's page; null when there is none.
    QPlainTextEdit* Page(const QString& area) const;

private:
    ItemPtr m_item;
    QTabWidget* mp_tabs;
    QPlainTextEdit* mp_all;
    QHash<QString, QPlainTextEdit*> m_pages;
};

#endif
