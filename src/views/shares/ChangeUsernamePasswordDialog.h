#ifndef TAVENOOK_VIEWS_SHARES_CHANGEUSERNAMEPASSWORDDIALOG_H
#define TAVENOOK_VIEWS_SHARES_CHANGEUSERNAMEPASSWORDDIALOG_H

#include <QDialog>
#include <memory>

namespace Ui {
class ChangeUsernamePasswordDialog;
}

// Edits the login name and password used at the next login.
class ChangeUsernamePasswordDialog : public QDialog {
    Q_OBJECT
public:
    ChangeUsernamePasswordDialog(bool firstRun, QWidget* parent);
    ~ChangeUsernamePasswordDialog() override;
    Ui::ChangeUsernamePasswordDialog* Form() const { return mp_ui.get(); }

public slots:
    void accept() override;

private:
    std::unique_ptr<Ui::ChangeUsernamePasswordDialog> mp_ui;
    bool m_firstRun;
};

#endif
