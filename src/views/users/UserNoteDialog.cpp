#include "views/users/UserNoteDialog.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "store/Data.h"

namespace {

ItemPtr UserItem(const QString& name) {
    return d.GetType("user")->GetItem(name);
}

}  // namespace

void UserNoteDialog::Init() {
    if (d.FindType("user_note_dialog"))
        return;
    Type* dialog = d.NewType("user_note_dialog", PrimacyRoot, false, true);
    d.GetType("user")->RelateToType(dialog, One, One, false);
}

UserNoteDialog* UserNoteDialog::GetDialog(QString user) {
    Init();
    const ItemPtr item = UserItem(user);
    const ItemPtr record = item["user_note_dialog"];
    if (!record.IsNull()) {
        auto* open = reinterpret_cast<UserNoteDialog*>(record.AsUInt64());
        open->activateWindow();
        return open;
    }
    auto* dialog = new UserNoteDialog(user, nullptr);
    item.Connect(d.GetType("user_note_dialog")->GetItem(dialog));
    return dialog;
}

UserNoteDialog::UserNoteDialog(QString user, QWidget* parent)
    : QDialog(parent),
      m_user(std::move(user)),
      mp_note(new QPlainTextEdit(this)),
      mp_save(new QPushButton("Save", this)),
      mp_clear(new QPushButton("Clear", this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    resize(400, 300);
    auto* layout = new QVBoxLayout(this);
    mp_note->setObjectName("noteEdit");
    layout->addWidget(mp_note);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    mp_save->setObjectName("saveButton");
    buttons->addWidget(mp_save);
    mp_clear->setObjectName("clearButton");
    buttons->addWidget(mp_clear);
    buttons->addStretch();
    layout->addLayout(buttons);
    // Plain text both ways: a note that looks like markup stays as typed.
    const ItemPtr note = UserItem(m_user)["user_note"];
    if (!note.IsNull())
        mp_note->setPlainText(note.AsString());
    setWindowIcon(QIcon(":/icons/note_icon"));
    setWindowTitle(m_user);
    connect(mp_save, &QPushButton::clicked, this, &UserNoteDialog::OnSaveNote);
    connect(mp_clear, &QPushButton::clicked, this, &UserNoteDialog::OnClearNote);
}

UserNoteDialog::~UserNoteDialog() {
    if (Type* records = d.FindType("user_note_dialog")) {
        const ItemPtr record = records->HasItem(this);
        if (!record.IsNull())
            record.Remove();
    }
}

void UserNoteDialog::OnSaveNote() {
    const QString text = mp_note->toPlainText().trimmed();
    const ItemPtr user = UserItem(m_user);
    if (text.isEmpty())
        user.Disconnect("user_note");
    else
        user.Connect(d.GetType("user_note")->GetItem(text));
    accept();
}

void UserNoteDialog::OnClearNote() {
    mp_note->clear();
}
