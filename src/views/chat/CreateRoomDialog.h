#ifndef TAVENOOK_VIEWS_CHAT_CREATEROOMDIALOG_H
#define TAVENOOK_VIEWS_CHAT_CREATEROOMDIALOG_H

#include <QDialog>

namespace Ui {
class CreateRoomDialog;
}

// Asks for a room to create or enter; at most one exists (createRoomDialog).
// Closing it only hides it, so it keeps what was typed.
class CreateRoomDialog : public QDialog {
    Q_OBJECT
public:
    explicit CreateRoomDialog(QWidget* parent = nullptr);
    ~CreateRoomDialog() override;
    Ui::CreateRoomDialog* Form() const { return mp_ui; }

public slots:
    void OnButtonClicked();

private:
    Ui::CreateRoomDialog* mp_ui;
};

extern CreateRoomDialog* createRoomDialog;

#endif
