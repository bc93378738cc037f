#include "views/shares/ShareForm.h"

#include <QAction>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QXmlStreamWriter>
#include <unordered_map>

#include "net/PeerMessenger.h"
#include "shell/ActionSetToolBar.h"
#include "shell/Prompts.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "views/search/FilterHelpDialog.h"
#include "views/search/FilterParser.h"

namespace {

constexpr int kFileIndexRole = Qt::UserRole + 1;

// XML 1.0 has no way to carry control characters, lone surrogates or
// U+FFFE/U+FFFF; a peer's names may hold any of them.
QString XmlSafe(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        const ushort u = c.unicode();
        const bool ok = (u >= 0x20 && !c.isSurrogate() && u != 0xFFFE && u != 0xFFFF) || u == 0x9 ||
                        u == 0xA || u == 0xD;
        out += ok ? c : QChar(0xFFFD);
    }
    return out;
}

}  // namespace

ShareForm::ShareForm(const QString& user, QWidget* parent, bool upload)
    : QWidget(parent),
      m_user(user),
      m_upload(upload),
      mp_messageBrowser(new QTextBrowser(this)),
      mp_folderTree(new QTreeWidget),
      mp_fileList(new QTreeWidget),
      mp_filterHelpButton(new QPushButton("Filter Help", this)),
      mp_filterEdit(new QLineEdit(this)) {
    setWindowTitle("Form");
    resize(563, 371);
    auto* outer = new QHBoxLayout(this);
    outer->setObjectName("horizontalLayout_2");
    auto* column = new QVBoxLayout;
    column->setObjectName("verticalLayout");
    outer->addLayout(column);

    mp_messageBrowser->setObjectName("messageBrowser");
    mp_messageBrowser->setMaximumHeight(60);
    mp_messageBrowser->setOpenExternalLinks(true);
    column->addWidget(mp_messageBrowser);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName("splitter");
    mp_folderTree->setObjectName("folderTree");
    mp_fileList->setObjectName("fileList");
    splitter->addWidget(mp_folderTree);
    splitter->addWidget(mp_fileList);
    column->addWidget(splitter);

    auto* filterRow = new QHBoxLayout;
    filterRow->setObjectName("horizontalLayout");
    filterRow->setSizeConstraint(QLayout::SetMinimumSize);
    auto* spacer = new QLabel(this);
    spacer->setObjectName("SearchFilterSpacer");
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    mp_filterHelpButton->setObjectName("filterHelpButton");
    mp_filterEdit->setObjectName("filterEdit");
    mp_filterEdit->setMinimumWidth(200);
    filterRow->addWidget(spacer);
    filterRow->addWidget(mp_filterHelpButton);
    filterRow->addWidget(mp_filterEdit);
    column->addLayout(filterRow);

    mp_folderTree->setHeaderLabels({"Folder"});
    mp_folderTree->setSelectionMode(QAbstractItemView::SingleSelection);
    mp_fileList->setHeaderLabels({"File", "Size", "Attributes"});
    mp_fileList->setColumnWidth(0, 200);
    mp_fileList->setColumnWidth(1, 70);
    mp_fileList->header()->setStretchLastSection(true);
    mp_fileList->setRootIsDecorated(false);
    mp_fileList->setSelectionMode(upload ? QAbstractItemView::SingleSelection
                                         : QAbstractItemView::ExtendedSelection);
    mp_fileList->setSortingEnabled(true);
    mp_fileList->sortByColumn(0, Qt::AscendingOrder);
    mp_folderTree->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_fileList->setContextMenuPolicy(Qt::CustomContextMenu);

    connect(mp_folderTree, &QTreeWidget::currentItemChanged, this,
            &ShareForm::OnCurrentItemChanged);
    connect(mp_filterEdit, &QLineEdit::textChanged, this, &ShareForm::OnFilterTextChanged);
    connect(mp_filterHelpButton, &QPushButton::clicked, this,
            [this] { FilterHelpDialog::ShowHelp(this); });
    connect(mp_folderTree, &QWidget::customContextMenuRequested, this, &ShareForm::OnFolderMenu);
    connect(mp_fileList, &QWidget::customContextMenuRequested, this, &ShareForm::OnFileMenu);
    connect(mp_folderTree, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* row, int) { DownloadFolder(row); });
    connect(mp_fileList, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* row, int) { DownloadFile(row); });
    if (peerMessenger && !upload)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &ShareForm::OnConnectionToUserFailed);

    if (actionBar) {
        actionBar->RegisterWidget(this, upload ? "upload_folders" : "share_folders");
        actionBar->RegisterWidget(mp_fileList, upload ? "upload_folders" : "share_files");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &ShareForm::OnActionBarTriggered);
    }
    ShowLists(false);
    if (!upload)
        ShowMessage("Requesting file list...");
}

ShareForm::~ShareForm() = default;

void ShareForm::ShowLists(bool show) {
    mp_messageBrowser->setVisible(!show);
    mp_folderTree->setVisible(show);
    mp_fileList->setVisible(show);
    mp_filterEdit->setVisible(show);
    mp_filterHelpButton->setVisible(show);
}

void ShareForm::ShowMessage(const QString& text) {
    mp_messageBrowser->append(text.toHtmlEscaped());
}

void ShareForm::OnConnectionToUserFailed(QString user, QString connectionType) {
    if (user != m_user || m_answered || connectionType != "P")
        return;
    m_answered = true;
    ShowMessage(QString("Could not connect to %1 to get the file list. If this keeps happening, "
                        "check that port %2 is open to incoming connections.")
                    .arg(user, GetSetting("listening_port")));
}

void ShareForm::SetShare(const FileInfoMap& share) {
    m_answered = true;
    mp_fileList->clear();
    mp_folderTree->clear();
    m_folderOfRow.clear();
    m_folders.clear();
    m_share = share;
    m_deepest = 0;
    m_expandLevel = 0;

    if (m_share.empty() && !m_upload) {
        ShowMessage(
            "No files returned. The user is either not sharing any files, or is "
            "sharing all of their files privately.");
        ShowLists(false);
        return;
    }

    // The list is ordered by the path's bytes, so a parent always comes
    // before its children.
    m_folders.reserve(m_share.size());
    std::unordered_map<std::string, int> byPath;
    byPath.reserve(m_share.size());
    mp_folderTree->setUpdatesEnabled(false);
    for (const auto& entry : m_share) {
        Folder folder;
        folder.path = entry.first;
        const std::string parent = GetParentFolder(folder.path);
        QTreeWidgetItem* parentRow = nullptr;
        if (parent != folder.path) {
            const auto found = byPath.find(parent);
            if (found != byPath.end())
                parentRow = m_folders[size_t(found->second)].row;
        }
        folder.row = parentRow ? new QTreeWidgetItem(parentRow) : new QTreeWidgetItem;
        if (!parentRow)
            mp_folderTree->addTopLevelItem(folder.row);
        folder.row->setText(0, ToQString(GetFileName(folder.path)));
        int depth = 0;
        for (QTreeWidgetItem* up = parentRow; up; up = up->parent())
            ++depth;
        m_deepest = qMax(m_deepest, depth);
        folder.files.reserve(entry.second.size());
        folder.names.reserve(entry.second.size());
        for (const FileInfo& file : entry.second) {
            folder.files.push_back(&file);
            folder.names.push_back(ToQString(file.GetName()));
        }
        const int index = int(m_folders.size());
        byPath.emplace(folder.path, index);
        m_folderOfRow.insert(folder.row, index);
        m_folders.push_back(std::move(folder));
    }
    if (GetSetting("expand_new_shares") == "yes")
        mp_folderTree->expandAll();
    mp_folderTree->setUpdatesEnabled(true);
    ShowLists(true);
    if (!mp_filterEdit->text().isEmpty())
        OnFilterTextChanged(mp_filterEdit->text());
    if (!m_pendingFolder.isEmpty()) {
        const QString pending = m_pendingFolder;
        m_pendingFolder.clear();
        BrowseToFolder(pending);
    }
}

const ShareForm::Folder* ShareForm::FolderOf(QTreeWidgetItem* row) const {
    const auto found = m_folderOfRow.constFind(row);
    return found == m_folderOfRow.constEnd() ? nullptr : &m_folders[size_t(*found)];
}

QString ShareForm::FolderPath(QTreeWidgetItem* row) const {
    const Folder* folder = FolderOf(row);
    return folder ? ToQString(folder->path) : QString();
}

void ShareForm::BrowseToFolder(const QString& folder) {
    if (!m_answered || m_folders.empty()) {
        m_pendingFolder = folder;
        return;
    }
    for (const Folder& f : m_folders) {
        if (ToQString(f.path).compare(folder, Qt::CaseInsensitive) == 0) {
            for (QTreeWidgetItem* up = f.row->parent(); up; up = up->parent())
                up->setExpanded(true);
            mp_folderTree->setCurrentItem(f.row);
            mp_folderTree->scrollToItem(f.row);
            return;
        }
    }
}

// Words are matched by the parser; the attribute limits are checked here
// against the received record, as these files have no store items.
bool ShareForm::FileMatches(const FilterParser& filter, const Folder& folder, size_t k) const {
    if (filter.IsMatching(folder.names[k], nullptr, ItemPtr()) != 0)
        return false;
    if (!filter.HasAttributes())
        return true;
    const FileInfo& file = *folder.files[k];
    const AttributeMap& attributes = file.GetAttributes();
    if (filter.MinFileSize() != 0 && file.GetSize() < filter.MinFileSize())
        return false;
    if (filter.MinBitrate() != 0 &&
        qint64(attributes.Get(AttributeMap::kBitrate)) < filter.MinBitrate())
        return false;
    const bool hasMode = attributes.Has(AttributeMap::kVariableBitrate);
    const bool vbr = attributes.Get(AttributeMap::kVariableBitrate) != 0;
    if (filter.IsVbr() && !(hasMode && vbr))
        return false;
    if (filter.IsCbr() && !(hasMode && !vbr))
        return false;
    return true;
}

void ShareForm::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem*) {
    mp_fileList->clear();
    const Folder* folder = FolderOf(current);
    if (!folder)
        return;
    FilterParser parsed;
    parsed.Parse(mp_filterEdit->text());
    // Words found in the folder's own path need not appear in its files.
    FilterParser filter = parsed;
    for (QTreeWidgetItem* up = current; up; up = up->parent()) {
        FilterParser rest;
        filter.IsMatching(up->text(0), &rest, ItemPtr());
        filter = rest;
    }
    mp_fileList->setSortingEnabled(false);
    QList<QTreeWidgetItem*> rows;
    for (size_t k = 0; k < folder->files.size(); ++k) {
        if (!FileMatches(filter, *folder, k))
            continue;
        const FileInfo& file = *folder->files[k];
        auto* row = new QTreeWidgetItem;
        row->setText(0, folder->names[k]);
        row->setText(1, file.GetSize() == 0 ? QString() : CommafyNumber(file.GetSize()));
        row->setData(1, Qt::UserRole, file.GetSize());
        const AttributeMap& a = file.GetAttributes();
        QString attributes;
        if (a.Has(AttributeMap::kBitrate)) {
            attributes = QString::number(a.Get(AttributeMap::kBitrate));
            if (a.Has(AttributeMap::kVariableBitrate))
                attributes += a.Get(AttributeMap::kVariableBitrate) ? " VBR" : " CBR";
        }
        if (a.Has(AttributeMap::kLength)) {
            const quint32 s = a.Get(AttributeMap::kLength);
            attributes +=
                (attributes.isEmpty() ? "" : ", ") + QString("%1m%2s").arg(s / 60).arg(s % 60);
        }
        row->setText(2, attributes);
        row->setData(0, kFileIndexRole, qulonglong(k));
        rows << row;
    }
    mp_fileList->addTopLevelItems(rows);
    mp_fileList->setSortingEnabled(true);
}

bool ShareForm::FilterFolderNode(QTreeWidgetItem* row, const FilterParser& filter) {
    FilterParser rest;
    const int r = filter.IsMatching(row->text(0), &rest, ItemPtr());
    if (r == 2) {
        row->setHidden(true);
        return false;
    }
    bool visible = true;
    if (r == 1 || rest.HasAttributes() || rest.MinFilesInFolder() != 0) {
        visible = false;
        const Folder* folder = FolderOf(row);
        const int needed = qMax(rest.MinFilesInFolder(), 1);
        int found = 0;
        for (size_t k = 0; folder && k < folder->files.size() && found < needed; ++k)
            if (FileMatches(rest, *folder, k))
                ++found;
        visible = found >= needed;
    }
    for (int i = 0; i < row->childCount(); ++i)
        visible = FilterFolderNode(row->child(i), rest) || visible;
    row->setHidden(!visible);
    return visible;
}

void ShareForm::ApplyFilter(const QString& text) {
    mp_filterEdit->setText(text);
}

void ShareForm::OnFilterTextChanged(const QString& text) {
    FilterParser filter;
    filter.Parse(text);
    mp_folderTree->setUpdatesEnabled(false);
    for (int i = 0; i < mp_folderTree->topLevelItemCount(); ++i)
        FilterFolderNode(mp_folderTree->topLevelItem(i), filter);
    mp_folderTree->setUpdatesEnabled(true);
    QTreeWidgetItem* current = mp_folderTree->currentItem();
    if (!current)
        return;
    for (QTreeWidgetItem* up = current; up; up = up->parent()) {
        if (up->isHidden()) {
            mp_fileList->clear();
            return;
        }
    }
    OnCurrentItemChanged(current, current);
}

void ShareForm::QueueOne(const Folder& folder, const FileInfo& file, int depth, bool single) {
    if (!transferQueueManager)
        return;
    if (m_upload) {
        transferQueueManager->AddUpload(m_user,
                                        ToQString(folder.path) + "\\" + ToQString(file.GetName()));
        return;
    }
    transferQueueManager->AddDownload(m_user, file.GetName(), folder.path, file.GetSize(), single,
                                      depth);
}

void ShareForm::QueueFolder(QTreeWidgetItem* row, int depth) {
    const Folder* folder = FolderOf(row);
    if (!folder)
        return;
    for (const FileInfo* file : folder->files)
        QueueOne(*folder, *file, depth, false);
    for (int i = 0; i < row->childCount(); ++i)
        QueueFolder(row->child(i), depth + 1);
}

void ShareForm::DownloadFolder(QTreeWidgetItem* row) {
    QueueFolder(row, 0);
}

void ShareForm::DownloadFile(QTreeWidgetItem* fileRow) {
    const Folder* folder = FolderOf(mp_folderTree->currentItem());
    if (!folder || !fileRow)
        return;
    const size_t k = size_t(fileRow->data(0, kFileIndexRole).toULongLong());
    if (k < folder->files.size())
        QueueOne(*folder, *folder->files[k], 0, true);
}

void ShareForm::ExpandLevel() {
    if (m_expandLevel > m_deepest)
        m_expandLevel = 0;
    std::vector<QTreeWidgetItem*> level;
    for (int i = 0; i < mp_folderTree->topLevelItemCount(); ++i)
        level.push_back(mp_folderTree->topLevelItem(i));
    for (int depth = 0; depth <= m_expandLevel && !level.empty(); ++depth) {
        std::vector<QTreeWidgetItem*> next;
        for (QTreeWidgetItem* row : level) {
            row->setExpanded(true);
            for (int i = 0; i < row->childCount(); ++i)
                next.push_back(row->child(i));
        }
        level.swap(next);
    }
    ++m_expandLevel;
    ShowExpandLevel();
}

void ShareForm::ShowExpandLevel() {
    if (actionBar)
        actionBar->SetWidgetActionText(this, "expand_level",
                                       m_expandLevel
                                           ? QString("Expand Level [%1]").arg(m_expandLevel)
                                           : QString("Expand Level"));
}

void ShareForm::ExpandAll() {
    mp_folderTree->expandAll();
    m_expandLevel = 0;
    ShowExpandLevel();
}

void ShareForm::CollapseAll() {
    mp_folderTree->collapseAll();
    m_expandLevel = 0;
    ShowExpandLevel();
}

void ShareForm::WriteFolder(QXmlStreamWriter& writer, QTreeWidgetItem* row) {
    const Folder* folder = FolderOf(row);
    if (!folder)
        return;
    writer.writeStartElement("folder");
    writer.writeAttribute("name", XmlSafe(ToQString(folder->path)));
    for (size_t k = 0; k < folder->files.size(); ++k) {
        writer.writeStartElement("file");
        writer.writeAttribute("name", XmlSafe(folder->names[k]));
        writer.writeAttribute("size", QString::number(folder->files[k]->GetSize()));
        writer.writeEndElement();
    }
    for (int i = 0; i < row->childCount(); ++i)
        WriteFolder(writer, row->child(i));
    writer.writeEndElement();
}

bool ShareForm::ExportToFile(const QString& fileName) {
    QSaveFile file(fileName);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok) {
        QXmlStreamWriter writer(&file);
        writer.setAutoFormatting(true);
        writer.writeStartDocument();
        writer.writeStartElement("share");
        writer.writeAttribute("user", XmlSafe(m_user));
        for (int i = 0; i < mp_folderTree->topLevelItemCount(); ++i)
            WriteFolder(writer, mp_folderTree->topLevelItem(i));
        writer.writeEndElement();
        writer.writeEndDocument();
        ok = !writer.hasError() && file.commit();
    }
    if (!ok) {
        Log("shares", 1, QString("Could not write the share of %1 to %2").arg(m_user, fileName));
        prompts::Inform(this, "Save To File",
                        QString("Could not write to %1: %2").arg(fileName, file.errorString()));
    }
    return ok;
}

void ShareForm::OnSaveToFile() {
    const QString name = prompts::ChooseSaveFile(this, "Save " + m_user + "'s share");
    if (!name.isEmpty())
        ExportToFile(name);
}

void ShareForm::OnActionBarTriggered(QWidget* widget, QString action) {
    if (widget != this && widget != mp_fileList)
        return;
    if (action == "expand_level")
        ExpandLevel();
    else if (action == "collapse_all")
        CollapseAll();
    else if (action == "expand_all")
        ExpandAll();
    else if (action == "save_to_file" && !m_upload)
        OnSaveToFile();
}

void ShareForm::OnFolderMenu(const QPoint& pos) {
    QMenu menu(this);
    QTreeWidgetItem* row = mp_folderTree->itemAt(pos);
    if (row)
        menu.addAction(m_upload ? "Upload Folder" : "Download Folder", this,
                       [this, row] { DownloadFolder(row); });
    menu.addAction("Expand Level", this, &ShareForm::ExpandLevel);
    menu.addAction("Expand All", this, &ShareForm::ExpandAll);
    menu.addAction("Collapse All", this, &ShareForm::CollapseAll);
    if (!m_upload)
        menu.addAction("Save To File", this, &ShareForm::OnSaveToFile);
    menu.exec(mp_folderTree->viewport()->mapToGlobal(pos));
}

void ShareForm::OnFileMenu(const QPoint& pos) {
    if (!mp_fileList->itemAt(pos))
        return;
    QMenu menu(this);
    menu.addAction(m_upload ? "Upload File(s)" : "Download File(s)", this, [this] {
        for (QTreeWidgetItem* row : mp_fileList->selectedItems())
            DownloadFile(row);
    });
    menu.exec(mp_fileList->viewport()->mapToGlobal(pos));
}
