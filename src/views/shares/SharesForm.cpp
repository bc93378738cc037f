#include "views/shares/SharesForm.h"

#include <QVBoxLayout>
#include <unordered_map>

#include "net/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/TabWidget.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"

SharesForm* sharesForm = nullptr;

namespace {

template <class Form>
Form* TabOf(const QString& user, const char* tabType) {
    const ItemPtr tab = d.GetType("user")->HasItem(Value(user))[tabType];
    return qobject_cast<Form*>(ShareTreeForm::TabWidgetOf(tab));
}

}  // namespace

SharesForm::SharesForm(QWidget* parent) : QWidget(parent), mp_tabs(new TabWidget(this)) {
    setWindowTitle("Form");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_tabs->setObjectName("tabControl");
    mp_tabs->setTabsClosable(true);
    mp_tabs->setMovable(true);
    layout->addWidget(mp_tabs);
    sharesForm = this;
}

SharesForm::~SharesForm() {
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init() {
    // Row and tab links: values are addresses, one item at each end.
    const auto declare = [](const char* name, Primacy primacy, const char* partner) {
        if (d.FindType(name))
            return;
        d.NewType(name, primacy, false, true)->RelateToType(d.GetType(partner), One, One, false);
    };
    declare("user_share_tab", PrimacyRoot, "user");
    declare("upload_share_tab", PrimacyRoot, "user");
    declare("user_share_folder_node", PrimacyIntermediate, "user_share_folder");
    declare("user_share_file_node", PrimacyIntermediate, "user_share_file");

    connect(mp_tabs, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);
    if (actionBar) {
        for (const char* set : {"share_folders", "upload_folders"}) {
            actionBar->AddSetAction(set, "expand_level", "Expand Level", ":/icons/browse_icon",
                                    false);
            actionBar->AddSetAction(set, "collapse_all", "Collapse All", ":/icons/browse_icon",
                                    false);
            actionBar->AddSetAction(set, "expand_all", "Expand All", ":/icons/browse_icon", false);
            if (set == std::string("share_folders"))
                actionBar->AddSetAction(set, "save_to_file", "Save To File", ":/icons/save_icon",
                                        false);
        }
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &SharesForm::OnToolBarActionTriggered, Qt::DirectConnection);
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharesForm::OnUserShare,
                Qt::DirectConnection);
}

ShareForm* SharesForm::GetShareBrowse(const QString& user) {
    return TabOf<ShareForm>(user, "user_share_tab");
}

UploadForm* SharesForm::GetUploadBrowse(const QString& user) {
    return TabOf<UploadForm>(user, "upload_share_tab");
}

ShareForm* SharesForm::OpenShareBrowse(const QString& user) {
    ShareForm* form = GetShareBrowse(user);
    if (!form) {
        form = new ShareForm(user, this);
        mp_tabs->addTab(form, LiteralLabel(user));
        if (peerMessenger)
            peerMessenger->GetUserSharedFiles(user);
        else
            form->OnConnectionToUserFailed(user, "P");
    }
    FocusWidgetAndParents(form);
    return form;
}

ShareForm* SharesForm::BrowseUser(const QString& user) {
    const bool open = GetShareBrowse(user) != nullptr;
    ShareForm* form = OpenShareBrowse(user);
    if (open && peerMessenger)
        peerMessenger->GetUserSharedFiles(user);
    return form;
}

UploadForm* SharesForm::OpenUploadBrowse(const QString& user) {
    UploadForm* form = GetUploadBrowse(user);
    if (!form) {
        form = new UploadForm(user, this);
        mp_tabs->addTab(form, "Upload to " + LiteralLabel(user));
        FileInfoMap share;
        AttributeTranslationTable table;
        if (sharedFoldersManager)
            sharedFoldersManager->GetSharedFilesAsUserShare(user, share, table);
        form->SetShare(CreateUserShareData(share, table));
    }
    FocusWidgetAndParents(form);
    return form;
}

void SharesForm::OnUserShare(QString user, FileInfoMap& share, AttributeTranslationTable& table) {
    ShareForm* form = GetShareBrowse(user);
    if (!form) {
        Log("shares", 2, QString("Share list from %1 without an open tab dropped").arg(user));
        return;
    }
    // A later list replaces the one shown: the tab shows what the user
    // shares now, and no row is left leading to a removed item.
    const ItemPtr userItem = d.GetType("user")->GetItem(Value(user));
    if (!userItem["user_share"].IsNull()) {
        form->ClearShare();
        SharedFoldersManager::RemoveUserShare(user);
    }
    const ItemPtr graph = CreateUserShareData(share, table);
    userItem.Connect(graph);
    form->SetShare(graph);
}

ItemPtr SharesForm::CreateUserShareData(const FileInfoMap& share,
                                        const AttributeTranslationTable&) {
    Type* folderType = d.GetType("user_share_folder");
    Type* nameType = d.GetType("user_share_folder_name");
    Type* parentType = d.GetType("user_share_folder_parent");
    Type* childType = d.GetType("user_share_folder_child");
    Type* fileType = d.GetType("user_share_file");
    Type* fileNameType = d.GetType("user_share_file_name");
    Type* sizeType = d.GetType("file_size");
    Type* bitrateType = d.GetType("bitrate");
    Type* lengthType = d.GetType("length_seconds");
    Type* modeType = d.GetType("bitrate_mode");

    const ItemPtr userShare = d.GetType("user_share")->NewItem();
    // The list is ordered by path, so a parent always comes before its
    // children; its folder is found here rather than through the store.
    std::unordered_map<std::string, ItemPtr> byPath;
    byPath.reserve(share.size());
    for (const auto& entry : share) {
        const std::string& path = entry.first;
        const ItemPtr folder = userShare.Connect(folderType->NewItem());
        folder.Connect(nameType->NewItem(Value(path)));
        const std::string parentPath = GetParentFolder(path);
        if (parentPath != path) {
            const auto parent = byPath.find(parentPath);
            if (parent != byPath.end())
                folder.Connect(parentType->NewItem())
                    .Connect(parent->second.Connect(childType->NewItem()));
        }
        byPath.emplace(path, folder);
        for (const FileInfo& info : entry.second) {
            const ItemPtr file = folder.Connect(fileType->NewItem());
            file.Connect(fileNameType->NewItem(Value(info.GetName())));
            file.Connect(sizeType->NewItem(Value(info.GetSize())));
            for (const auto& attribute : info.GetAttributes().GetPairs()) {
                if (attribute.first == AttributeMap::kBitrate)
                    file.Connect(bitrateType->NewItem(Value(attribute.second)));
                else if (attribute.first == AttributeMap::kLength)
                    file.Connect(lengthType->NewItem(Value(attribute.second)));
                else if (attribute.first == AttributeMap::kVariableBitrate)
                    file.Connect(modeType->NewItem(Value(attribute.second ? "vbr" : "cbr")));
            }
        }
    }
    return userShare;
}

void SharesForm::OnTabCloseRequested(int index) {
    QWidget* page = mp_tabs->widget(index);
    if (auto* browse = qobject_cast<ShareForm*>(page)) {
        mp_tabs->removeTab(index);
        browse->Delete();
    } else if (auto* upload = qobject_cast<UploadForm*>(page)) {
        mp_tabs->removeTab(index);
        upload->Delete();
    }
}
