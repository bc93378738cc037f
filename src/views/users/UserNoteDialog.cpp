#include "views/users/UserNoteDialog.h"

#include <QIcon>

#include "store/Data.h"

void UserNoteDialog::Init() {
    Type* dialog = d.NewType("user_note_dialog", PrimacyRoot, false, true);
    d.GetType("user")->RelateToType(dialog, One, One, false);
}

UserNoteDialog* UserNoteDialog::GetDialog(QString user) {
    const ItemPtr item = d.GetType("user")->GetItem(Value(user));
    const ItemPtr open = item["user_note_dialog"];
    if (!open.IsNull() && open.AsUInt64() != 0) {
        auto* dialog = reinterpret_cast<UserNoteDialog*>(open.AsUInt64());
        dialog->activateWindow();
        return dialog;
    }
    auto* dialog = new UserNoteDialog(user);
    item.Connect(d.GetType("user_note_dialog")->GetItem(Value(dialog)));
    return dialog;
}

UserNoteDialog::UserNoteDialog(QString user, QWidget* parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(QIcon(":/icons/note_icon"));
    setWindowTitle(user);
}

UserNoteDialog::~UserNoteDialog() {
    const ItemPtr item = d.GetType("user_note_dialog")->HasItem(Value(this));
    if (!item.IsNull())
        item.Remove();
}
