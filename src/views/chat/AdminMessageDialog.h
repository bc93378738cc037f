#ifndef TAVENOOK_VIEWS_CHAT_ADMINMESSAGEDIALOG_H
#define TAVENOOK_VIEWS_CHAT_ADMINMESSAGEDIALOG_H

#include <QDialog>

namespace Ui {
class AdminMessageDialog;
}

// One message from the server's administrators with its arrival time; deletes
// itself when closed.
class AdminMessageDialog : public QDialog {
    Q_OBJECT
public:
    AdminMessageDialog(QString text, QWidget* parent = nullptr);
    ~AdminMessageDialog() override;
    Ui::AdminMessageDialog* Form() const { return mp_ui; }

private:
    Ui::AdminMessageDialog* mp_ui;
};

#endif
