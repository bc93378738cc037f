#include "views/users/UserGroupsDialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "shell/Prompts.h"
#include "store/GeneralFunctions.h"

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

namespace {

ItemPtr Listed(const QString& user) {
    ItemPtr item = d.GetType("user")->HasItem(user);
    return item.IsNull() ? ItemPtr() : item["in_user_list"];
}

void RemoveRowNamed(QListWidget* list, const QString& name) {
    const QList<QListWidgetItem*> rows = list->findItems(name, Qt::MatchExactly);
    if (!rows.isEmpty())
        delete rows.first();
}

}  // namespace

UserGroupsDialog::UserGroupsDialog(QString user, QWidget* parent)
    : QDialog(parent),
      m_user(user),
      mp_groups(new QListWidget(this)),
      mp_newGroup(new QLineEdit(this)),
      mp_newGroupButton(new QPushButton("Create New Group", this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    resize(335, 300);
    mp_groups->setObjectName("groupListWidget");
    mp_groups->setGeometry(10, 10, 311, 221);
    mp_groups->setSortingEnabled(true);
    mp_newGroup->setObjectName("newGroupEdit");
    mp_newGroup->setGeometry(10, 240, 311, 20);
    mp_newGroupButton->setObjectName("newGroupButton");
    mp_newGroupButton->setGeometry(160, 270, 161, 23);
    Type* groups = d.GetType("user_list_group");
    groups->NewItemEvent().Insert(ItemHandler(this, &UserGroupsDialog::OnUserGroupAdded));
    groups->ItemRemovedEvent().Insert(ItemHandler(this, &UserGroupsDialog::OnUserGroupRemoved));
    setWindowTitle("User Groups for [" + user + "]");
    const ItemPtr listed = Listed(user);
    for (ItemPtr group : groups->GetItems()) {
        auto* row = new QListWidgetItem(group.AsString(), mp_groups);
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(!listed.IsNull() && listed.IsConnected(group) ? Qt::Checked
                                                                         : Qt::Unchecked);
    }
    connect(mp_groups, &QListWidget::itemChanged, this, &UserGroupsDialog::OnGroupItemChanged);
    connect(mp_newGroupButton, &QPushButton::clicked, this,
            &UserGroupsDialog::OnNewGroupButtonClicked);
}

UserGroupsDialog::~UserGroupsDialog() {
    DisableHandlers();
}

// A user who left the list has no entry to link: the change is ignored.
void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* item) {
    const Qt::CheckState state = item->checkState();
    if (state == Qt::PartiallyChecked || item->text().isEmpty())
        return;
    const ItemPtr listed = Listed(m_user);
    if (listed.IsNull())
        return;
    const ItemPtr group = d.GetType("user_list_group")->GetItem(item->text());
    if (state == Qt::Checked && !listed.IsConnected(group))
        listed.Connect(group);
    else if (state == Qt::Unchecked && listed.IsConnected(group))
        listed.Disconnect(group);
}

void UserGroupsDialog::OnNewGroupButtonClicked() {
    const QString name = mp_newGroup->text().trimmed();
    mp_newGroup->clear();
    if (!name.isEmpty())
        d.GetType("user_list_group")->GetItem(name);
}

void UserGroupsDialog::OnUserGroupAdded(ItemPtr group) {
    auto* row = new QListWidgetItem(group.AsString());
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(Qt::Unchecked);
    // Not a user's edit: the store must not hear of it.
    const QSignalBlocker block(mp_groups);
    mp_groups->addItem(row);
}

void UserGroupsDialog::OnUserGroupRemoved(ItemPtr group) {
    RemoveRowNamed(mp_groups, group.AsString());
}

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* parent)
    : QDialog(parent),
      mp_groups(new QListWidget(this)),
      mp_groupBox(new QGroupBox(this)),
      mp_priority(new QSpinBox(mp_groupBox)),
      mp_acceptUploads(new QCheckBox("Accept uploads from users in this group", mp_groupBox)),
      mp_delete(new QPushButton("Delete Group", mp_groupBox)) {
    setWindowTitle("Configure User Groups");
    resize(595, 300);
    auto* layout = new QHBoxLayout(this);
    mp_groups->setObjectName("groupList");
    mp_groups->setSortingEnabled(true);
    layout->addWidget(mp_groups, 1);
    mp_groupBox->setObjectName("groupBox");
    layout->addWidget(mp_groupBox, 1);
    // A layout, not fixed places: the controls keep their room at any size
    // and font, and the dialog cannot shrink below them.
    auto* boxLayout = new QVBoxLayout(mp_groupBox);
    boxLayout->setContentsMargins(20, 11, 20, 11);
    boxLayout->setSpacing(16);
    auto* priorityRow = new QHBoxLayout;
    priorityRow->addWidget(new QLabel("Download Priority", mp_groupBox));
    priorityRow->addWidget(mp_priority);
    priorityRow->addStretch();
    boxLayout->addLayout(priorityRow);
    boxLayout->addWidget(mp_acceptUploads);
    auto* deleteRow = new QHBoxLayout;
    deleteRow->addWidget(mp_delete);
    deleteRow->addStretch();
    boxLayout->addLayout(deleteRow);
    boxLayout->addStretch();
    mp_priority->setObjectName("prioritySpinBox");
    mp_priority->setRange(0, 99);
    mp_priority->setWhatsThis(
        "Defines the download priority of users belonging to this group. Users who belong to "
        "more than one group will be prioritized by their highest-ranked group.<br><br>A "
        "priority of 0 will not affect the order of downloads by users of this group relative "
        "to other downloads. A priority of 1 or more will order downloads by users of this group "
        "ahead of all other downloads, except for ones with a higher priority.");
    mp_acceptUploads->setObjectName("acceptUploadsCheckBox");
    mp_delete->setObjectName("deleteButton");
    connect(mp_groups, &QListWidget::currentItemChanged, this,
            &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(mp_priority, qOverload<int>(&QSpinBox::valueChanged), this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
    connect(mp_acceptUploads, &QCheckBox::toggled, this,
            &UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled);
    connect(mp_delete, &QPushButton::clicked, this, &UserGroupConfigDialog::OnDeleteClicked);
    setAttribute(Qt::WA_DeleteOnClose);
    userGroupConfigDialog = this;
    Type* groups = d.GetType("user_list_group");
    groups->NewItemEvent().Insert(ItemHandler(this, &UserGroupConfigDialog::OnUserGroupAdded));
    groups->ItemRemovedEvent().Insert(
        ItemHandler(this, &UserGroupConfigDialog::OnUserGroupRemoved));
    for (ItemPtr group : groups->GetItems())
        OnUserGroupAdded(group);
    OnCurrentGroupItemChanged(nullptr, nullptr);
}

UserGroupConfigDialog::~UserGroupConfigDialog() {
    DisableHandlers();
    if (userGroupConfigDialog == this)
        userGroupConfigDialog = nullptr;
}

ItemPtr UserGroupConfigDialog::CurrentGroup() const {
    QListWidgetItem* row = mp_groups->currentItem();
    return row ? d.GetType("user_list_group")->GetItem(row->text()) : ItemPtr();
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* currentItem,
                                                      QListWidgetItem*) {
    const bool selected = currentItem != nullptr;
    mp_priority->setEnabled(selected);
    mp_acceptUploads->setEnabled(selected);
    mp_delete->setEnabled(selected);
    if (!selected) {
        mp_groupBox->setTitle(QString());
        return;
    }
    mp_groupBox->setTitle(LiteralLabel(currentItem->text()));
    const ItemPtr group = d.GetType("user_list_group")->GetItem(currentItem->text());
    const ItemPtr priority = group["group_download_priority"];
    const bool accepts = group.IsConnected("accept_uploads");
    mp_priority->setValue(priority.IsNull() ? 0 : priority.AsInt());
    mp_acceptUploads->setChecked(accepts);
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int value) {
    const ItemPtr group = CurrentGroup();
    if (group.IsNull())
        return;
    if (value <= 0)
        group.Disconnect("group_download_priority");
    else
        group.Connect(d.GetType("group_download_priority")->GetItem(value));
}

void UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled(bool toggled) {
    const ItemPtr group = CurrentGroup();
    if (group.IsNull())
        return;
    const ItemPtr flag = d.GetType("accept_uploads")->GetGlobalNullItem();
    if (toggled)
        group.Connect(flag);
    else
        group.Disconnect(flag);
}

void UserGroupConfigDialog::OnDeleteClicked() {
    QListWidgetItem* row = mp_groups->currentItem();
    if (!row)
        return;
    if (!prompts::AskYesNo(nullptr, "Delete group?",
                           "Are you sure you want to delete this user group?"))
        return;
    const ItemPtr group = d.GetType("user_list_group")->HasItem(row->text());
    if (!group.IsNull())
        group.Remove();
}

void UserGroupConfigDialog::OnUserGroupAdded(ItemPtr group) {
    mp_groups->addItem(group.AsString());
}

void UserGroupConfigDialog::OnUserGroupRemoved(ItemPtr group) {
    RemoveRowNamed(mp_groups, group.AsString());
}
