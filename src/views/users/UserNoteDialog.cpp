#include "views/users/UserNoteDialog.h"

#include "store/Data.h"

void UserNoteDialog::Init() {
    Type* dialog = d.NewType("user_note_dialog", PrimacyRoot, false, true);
    d.GetType("user")->RelateToType(dialog, One, One, false);
}
