#include "views/shares/AddSharedFolderDialog.h"

#include <QDir>

#include "shares/SharedFoldersManager.h"
#include "shell/Prompts.h"
#include "ui_AddSharedFolderDialog.h"
#include "ui_SharedFilesRescannedDialog.h"

namespace {
ItemPtr Marker(const char* type) {
    return d.GetType(type)->GetGlobalNullItem();
}
}  // namespace

AddSharedFolderDialog::AddSharedFolderDialog(ItemPtr folder, QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::AddSharedFolderDialog), m_folder(folder) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->selectFolderButton, &QPushButton::clicked, this,
            &AddSharedFolderDialog::OnSelectFolderClicked);
    connect(mp_ui->everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(mp_ui->userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);
    if (!m_folder.IsNull()) {
        mp_ui->selectFolderButton->setEnabled(false);
        mp_ui->selectedFolderEdit->setEnabled(false);
        mp_ui->selectedFolderEdit->setText(m_folder.AsString());
        const bool everyone = m_folder.IsConnected("shared_public");
        const bool userList = everyone || m_folder.IsConnected("shared_userlist");
        mp_ui->everyoneCheckBox->setChecked(everyone);
        mp_ui->userListCheckBox->setChecked(userList);
    }
    for (const ItemPtr& group : d.GetType("user_list_group")->GetItems()) {
        auto* row = new QListWidgetItem(group.AsString(), mp_ui->groupsListWidget);
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        const bool member = !m_folder.IsNull() && m_folder.IsConnected(group);
        row->setCheckState(member ? Qt::Checked : Qt::Unchecked);
    }
}

AddSharedFolderDialog::~AddSharedFolderDialog() = default;

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int state) {
    if (state == Qt::Checked) {
        mp_ui->userListCheckBox->setEnabled(false);
        mp_ui->userListCheckBox->setChecked(true);
        mp_ui->groupsListWidget->setEnabled(false);
    } else if (state == Qt::Unchecked) {
        mp_ui->userListCheckBox->setEnabled(true);
        mp_ui->groupsListWidget->setEnabled(!mp_ui->userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int state) {
    if (state == Qt::Checked)
        mp_ui->groupsListWidget->setEnabled(false);
    else if (state == Qt::Unchecked)
        mp_ui->groupsListWidget->setEnabled(true);
}

void AddSharedFolderDialog::OnSelectFolderClicked() {
    const QString path =
        QDir::fromNativeSeparators(prompts::ChooseFolder(this, "Select Folder to Share"));
    if (!path.isEmpty())
        mp_ui->selectedFolderEdit->setText(path);
}

void AddSharedFolderDialog::accept() {
    const QString path = mp_ui->selectedFolderEdit->text();
    if (path.isEmpty())
        return;
    ItemPtr folder = m_folder;
    if (folder.IsNull()) {
        if (!sharedFoldersManager)
            return;
        folder = sharedFoldersManager->AddSharedFolder(path);
    }
    if (mp_ui->everyoneCheckBox->isChecked()) {
        folder.Connect(Marker("shared_public"));
    } else {
        folder.Disconnect("shared_public");
        if (mp_ui->userListCheckBox->isChecked()) {
            folder.Connect(Marker("shared_userlist"));
        } else {
            folder.Disconnect("shared_userlist");
            Type* groups = d.GetType("user_list_group");
            for (int i = 0; i < mp_ui->groupsListWidget->count(); ++i) {
                const QListWidgetItem* row = mp_ui->groupsListWidget->item(i);
                const ItemPtr group = groups->HasItem(row->text());
                if (group.IsNull())
                    continue;
                if (row->checkState() == Qt::Checked)
                    folder.Connect(group);
                else
                    folder.Disconnect(group);
            }
        }
    }
    QDialog::accept();
}

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::SharedFilesRescannedDialog) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
}

SharedFilesRescannedDialog::~SharedFilesRescannedDialog() = default;

void SharedFilesRescannedDialog::Append(const QString& line) {
    mp_ui->plainTextEdit->appendPlainText(line);
}

QString SharedFilesRescannedDialog::Text() const {
    return mp_ui->plainTextEdit->toPlainText();
}
