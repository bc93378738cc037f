#include "shell/SizeManager.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QSplitter>

#include "shell/ColumnWidths.h"
#include "shell/ResizableWindow.h"
#include "shell/ShellGlobals.h"
#include "store/DataSaver.h"

SizeManager* sizeManager = nullptr;

namespace {
Type* T(const char* name) {
    return d.GetType(name);
}

QByteArray KeyBytes(const QObject* object) {
    const Value key = ObjectKey(object);
    return QByteArray(key.Bytes().data(), int(key.Bytes().size()));
}

// Points `part` at the shared value item of `value`; the old value item goes
// when nothing else uses it.
void SetShared(const ItemPtr& part, const char* valueType, int value) {
    const ItemPtr old = part[valueType];
    const ItemPtr now = T(valueType)->GetItem(Value(value));
    part.Connect(now);
    if (!old.IsNull() && old != now && !old.IsRemoved() && old.IsDisconnectedFromAll())
        old.Remove();
}

// The part (column or pane) of a record for one index, made when missing.
ItemPtr PartOf(const ItemPtr& record, const char* partType, const char* numberType, int index) {
    const ItemPtr number = T(numberType)->GetItem(Value(index));
    const ItemSet parts = record.GetItems(partType).Connected(number);
    if (!parts.Empty())
        return parts.First();
    const ItemPtr part = T(partType)->NewItem();
    part.Connect(record);
    part.Connect(number);
    return part;
}

// The sections a list records: all but a stretched last one.
int RecordedSections(const QHeaderView* header) {
    const int count = header->count();
    return header->stretchLastSection() && count > 0 ? count - 1 : count;
}
}  // namespace

SizeManager::SizeManager(QObject* parent) : QObject(parent) {
    const char* const valueTypes[] = {"sizer_x", "sizer_y", "sizer_width", "sizer_height",
                                      "sizer_size"};
    DeclareShellType("sizer_window", PrimacyRoot, false, true);
    DeclareShellType("sizer_window_widget", PrimacyRoot, false, true);
    for (const char* type : valueTypes)
        DeclareShellType(type, PrimacyLeaf, false, true);
    DeclareShellType("sizer_tree", PrimacyRoot, false, true);
    DeclareShellType("sizer_tree_widget", PrimacyRoot, false, true);
    DeclareShellType("sizer_tree_column_number", PrimacyLeaf, false, true);
    DeclareShellType("sizer_tree_column", PrimacyIntermediate, true, true);
    DeclareShellType("sizer_splitter", PrimacyRoot, false, true);
    DeclareShellType("sizer_splitter_widget", PrimacyRoot, false, true);
    DeclareShellType("sizer_splitter_index_number", PrimacyLeaf, false, true);
    DeclareShellType("sizer_splitter_index", PrimacyIntermediate, true, true);

    RelateShellTypes("sizer_window", "sizer_window_widget", One, One);
    for (const char* type : {"sizer_x", "sizer_y", "sizer_width", "sizer_height"})
        RelateShellTypes("sizer_window", type, Many, One);
    RelateShellTypes("sizer_tree", "sizer_tree_widget", One, Many);
    RelateShellTypes("sizer_tree_column", "sizer_tree", Many, One);
    RelateShellTypes("sizer_tree_column", "sizer_tree_column_number", Many, One);
    RelateShellTypes("sizer_tree_column", "sizer_size", Many, One);
    RelateShellTypes("sizer_splitter", "sizer_splitter_widget", One, Many);
    RelateShellTypes("sizer_splitter_index", "sizer_splitter", Many, One);
    RelateShellTypes("sizer_splitter_index", "sizer_splitter_index_number", Many, One);
    RelateShellTypes("sizer_splitter_index", "sizer_size", Many, One);

    if (dataSaver) {
        for (const char* type :
             {"sizer_window", "sizer_tree", "sizer_tree_column_number", "sizer_tree_column",
              "sizer_splitter", "sizer_splitter_index_number", "sizer_splitter_index", "sizer_x",
              "sizer_y", "sizer_width", "sizer_height", "sizer_size"})
            dataSaver->AddSavedType(type);
    }
    sizeManager = this;
}

SizeManager::~SizeManager() {
    if (sizeManager == this)
        sizeManager = nullptr;
}

void SizeManager::RegisterResizableWindow(const QString& name, ResizableWindow* window) {
    if (!window)
        return;
    ItemPtr record = T("sizer_window")->HasItem(Value(name));
    if (!record.IsNull()) {
        window->SetPosition(record["sizer_x"].AsInt(), record["sizer_y"].AsInt());
        window->SetSize(record["sizer_width"].AsInt(), record["sizer_height"].AsInt());
    } else {
        record = T("sizer_window")->GetItem(Value(name));
        record.Connect(T("sizer_x")->GetItem(Value(window->GetX())));
        record.Connect(T("sizer_y")->GetItem(Value(window->GetY())));
        record.Connect(T("sizer_width")->GetItem(Value(window->GetWidth())));
        record.Connect(T("sizer_height")->GetItem(Value(window->GetHeight())));
    }
    record.Connect(T("sizer_window_widget")->GetItem(ObjectKey(window)));
    connect(window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved,
            Qt::UniqueConnection);
    connect(window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized,
            Qt::UniqueConnection);
}

void SizeManager::OnWindowMoved(int x, int y) {
    StoreWindowPair("sizer_x", "sizer_y", x, y);
}

void SizeManager::OnWindowResized(int width, int height) {
    StoreWindowPair("sizer_width", "sizer_height", width, height);
}

void SizeManager::StoreWindowPair(const char* firstType, const char* secondType, int first,
                                  int second) {
    const ItemPtr record = T("sizer_window_widget")->HasItem(ObjectKey(sender()))["sizer_window"];
    if (!record)
        return;
    SetShared(record, firstType, first);
    SetShared(record, secondType, second);
}

void SizeManager::RegisterTreeWidget(const QString& name, QAbstractItemView* tree) {
    QHeaderView* header = tree ? ColumnHeader(tree) : nullptr;
    if (!header)
        return;
    const int sections = RecordedSections(header);
    ItemPtr record = T("sizer_tree")->HasItem(Value(name));
    if (!record) {
        record = T("sizer_tree")->GetItem(Value(name));
        for (int i = 0; i < sections; ++i)
            SetShared(PartOf(record, "sizer_tree_column", "sizer_tree_column_number", i),
                      "sizer_size", header->sectionSize(i));
    } else {
        for (const ItemPtr& column :
             record.GetItems("sizer_tree_column").SortNumericBy("sizer_tree_column_number", true)) {
            const int index = column["sizer_tree_column_number"].AsInt();
            const int size = column["sizer_size"].AsInt();
            // A stored record may not fit this list: skip what Qt would refuse.
            if (index >= 0 && index < sections && size >= 0)
                header->resizeSection(index, size);
        }
    }
    T("sizer_tree_widget")->GetItem(ObjectKey(tree)).Connect(record);
    m_widgets.insert(KeyBytes(tree), tree);
    connect(header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved,
            Qt::UniqueConnection);
    connect(tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed, Qt::UniqueConnection);
}

template <class W>
QList<W*> SizeManager::Siblings(const char* widgetType, const char* recordType, QObject* self) {
    QList<W*> out;
    const ItemPtr record = T(widgetType)->HasItem(ObjectKey(self))[recordType];
    for (const ItemPtr& item : record.GetItems(widgetType)) {
        const QByteArray key = item.AsByteArray();
        if (key == KeyBytes(self))
            continue;
        if (W* widget = qobject_cast<W*>(m_widgets.value(key).data()))
            out.append(widget);
    }
    return out;
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int) {
    if (m_propagating)
        return;
    auto* header = qobject_cast<QHeaderView*>(sender());
    auto* tree = header ? qobject_cast<QAbstractItemView*>(header->parentWidget()) : nullptr;
    if (!tree || ColumnHeader(tree) != header)
        return;
    // A forgotten name has no record left: its lists stop recording.
    const ItemPtr record = T("sizer_tree_widget")->HasItem(ObjectKey(tree))["sizer_tree"];
    if (!record)
        return;
    m_propagating = true;
    const QList<QAbstractItemView*> siblings =
        Siblings<QAbstractItemView>("sizer_tree_widget", "sizer_tree", tree);
    const int sections = RecordedSections(header);
    for (int i = 0; i < sections; ++i) {
        const int width = header->sectionSize(i);
        SetShared(PartOf(record, "sizer_tree_column", "sizer_tree_column_number", i), "sizer_size",
                  width);
        for (QAbstractItemView* sibling : siblings)
            if (QHeaderView* other = ColumnHeader(sibling))
                other->resizeSection(i, width);
    }
    m_propagating = false;
}

void SizeManager::OnTreeDestroyed(QObject* tree) {
    T("sizer_tree_widget")->HasItem(ObjectKey(tree)).Remove();
    m_widgets.remove(KeyBytes(tree));
}

void SizeManager::ForgetTreeWidget(const QString& name) {
    T("sizer_tree")->HasItem(Value(name)).Remove();
}

void SizeManager::RegisterSplitter(const QString& name, QSplitter* splitter,
                                   const QList<int>& sizes) {
    if (!splitter)
        return;
    ItemPtr record = T("sizer_splitter")->HasItem(Value(name));
    if (!record) {
        record = T("sizer_splitter")->GetItem(Value(name));
        const QList<int> initial = sizes.isEmpty() ? splitter->sizes() : sizes;
        for (int i = 0; i < initial.size(); ++i)
            SetShared(PartOf(record, "sizer_splitter_index", "sizer_splitter_index_number", i),
                      "sizer_size", initial[i]);
    } else {
        QList<int> stored;
        for (const ItemPtr& pane : record.GetItems("sizer_splitter_index")
                                       .SortNumericBy("sizer_splitter_index_number", true))
            stored.append(qMax(0, pane["sizer_size"].AsInt()));
        splitter->setSizes(stored);
    }
    T("sizer_splitter_widget")->GetItem(ObjectKey(splitter)).Connect(record);
    m_widgets.insert(KeyBytes(splitter), splitter);
    connect(splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved,
            Qt::UniqueConnection);
    connect(splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed,
            Qt::UniqueConnection);
}

void SizeManager::OnSplitterMoved(int, int) {
    if (m_propagating)
        return;
    auto* splitter = qobject_cast<QSplitter*>(sender());
    if (!splitter)
        return;
    const ItemPtr record =
        T("sizer_splitter_widget")->HasItem(ObjectKey(splitter))["sizer_splitter"];
    if (!record)
        return;
    const QList<int> sizes = splitter->sizes();
    for (int i = 0; i < sizes.size(); ++i)
        SetShared(PartOf(record, "sizer_splitter_index", "sizer_splitter_index_number", i),
                  "sizer_size", sizes[i]);
    m_propagating = true;
    for (QSplitter* sibling :
         Siblings<QSplitter>("sizer_splitter_widget", "sizer_splitter", splitter))
        sibling->setSizes(sizes);
    m_propagating = false;
}

void SizeManager::OnSplitterDestroyed(QObject* splitter) {
    T("sizer_splitter_widget")->HasItem(ObjectKey(splitter)).Remove();
    m_widgets.remove(KeyBytes(splitter));
}
