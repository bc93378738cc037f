#include "views/shares/ItemLogDialog.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "views/shares/DiagnosticsForm.h"

namespace {
QPlainTextEdit* NewView(QWidget* parent) {
    auto* view = new QPlainTextEdit(parent);
    view->setReadOnly(true);
    view->setUndoRedoEnabled(false);
    view->setMaximumBlockCount(ItemLogDialog::kMaxLines);
    return view;
}
}  // namespace

ItemLogDialog::ItemLogDialog(const ItemPtr& item, QWidget* parent)
    : QDialog(parent), m_item(item), mp_tabs(new QTabWidget(this)), mp_all(NewView(this)) {
    setWindowTitle("Item Log");
    resize(721, 425);
    setAttribute(Qt::WA_DeleteOnClose);
    mp_tabs->setObjectName("logTabWidget");
    (new QHBoxLayout(this))->addWidget(mp_tabs);
    if (!item.IsNull()) {
        auto* root = new PathNode(&d, "item_log");
        new PathNode(root, item, PathConnecting);
        d.AddPathEventHandler(root, ItemHandler(this, &ItemLogDialog::OnItemLog));
    }
    mp_tabs->addTab(mp_all, "All");
    for (const ItemPtr& entry : item.GetItems("item_log").SortNumericBy("log_order", true))
        OnItemLog(entry);
}

ItemLogDialog::~ItemLogDialog() {
    DisableHandlers();
}

QPlainTextEdit* ItemLogDialog::Page(const QString& area) const {
    return area == "All" ? mp_all : m_pages.value(area);
}

void ItemLogDialog::OnItemLog(ItemPtr entry) {
    const QString area = entry["log_area"].AsString();
    QPlainTextEdit* page = m_pages.value(area);
    if (!page) {
        page = NewView(this);
        mp_tabs->addTab(page, area);
        m_pages.insert(area, page);
    }
    const QString line = "[" + entry["log_time"].AsString() + "] " +
                         IndentedLogText(entry["log_level"].AsInt(), entry["log_text"].AsString());
    // Plain text: the lines hold what other users chose to send.
    page->appendPlainText(line);
    mp_all->appendPlainText(line);
}
