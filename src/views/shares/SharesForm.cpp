#include "views/shares/SharesForm.h"

#include <QVBoxLayout>

#include "net/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/TabWidget.h"
#include "store/Log.h"
#include "views/shares/ShareForm.h"

SharesForm* sharesForm = nullptr;

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
    connect(mp_tabs, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);
    if (actionBar) {
        for (const char* set : {"share_folders", "upload_folders"}) {
            actionBar->AddSetAction(set, "expand_level", "Expand Level", ":/icons/browse_icon",
                                    false);
            actionBar->AddSetAction(set, "collapse_all", "Collapse All", ":/icons/browse_icon",
                                    false);
            actionBar->AddSetAction(set, "expand_all", "Expand All", ":/icons/browse_icon", false);
        }
        actionBar->AddSetAction("share_folders", "save_to_file", "Save To File",
                                ":/icons/save_icon", false);
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharesForm::OnUserShare,
                Qt::DirectConnection);
}

ShareForm* SharesForm::OpenShareBrowse(const QString& user) {
    ShareForm* form = m_browse.value(user);
    if (!form) {
        form = new ShareForm(user, this);
        m_browse.insert(user, form);
        mp_tabs->addTab(form, user);
        if (peerMessenger)
            peerMessenger->GetUserSharedFiles(user);
        else
            form->OnConnectionToUserFailed(user, "P");
    }
    FocusWidgetAndParents(form);
    return form;
}

UploadForm* SharesForm::OpenUploadBrowse(const QString& user) {
    auto* form = static_cast<UploadForm*>(m_upload.value(user).data());
    if (!form) {
        form = new UploadForm(user, this);
        m_upload.insert(user, form);
        mp_tabs->addTab(form, "Upload to " + user);
        FileInfoMap share;
        AttributeTranslationTable table;
        if (sharedFoldersManager)
            sharedFoldersManager->GetSharedFilesAsUserShare(user, share, table);
        form->SetShare(share);
    }
    FocusWidgetAndParents(form);
    return form;
}

void SharesForm::OnUserShare(QString user, FileInfoMap& share, AttributeTranslationTable&) {
    ShareForm* form = m_browse.value(user);
    if (!form) {
        Log("shares", 2, QString("Share list from %1 without an open tab dropped").arg(user));
        return;
    }
    form->SetShare(share);
}

void SharesForm::OnTabCloseRequested(int index) {
    auto* form = qobject_cast<ShareForm*>(mp_tabs->widget(index));
    if (!form)
        return;
    mp_tabs->removeTab(index);
    if (form->IsUpload())
        m_upload.remove(form->User());
    else
        m_browse.remove(form->User());
    form->deleteLater();
}
