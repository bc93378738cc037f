#ifndef TAVENOOK_VIEWS_SHARES_CHANGELISTENINGPORTDIALOG_H
#define TAVENOOK_VIEWS_SHARES_CHANGELISTENINGPORTDIALOG_H

#include <QDialog>
#include <memory>

namespace Ui {
class ChangeListeningPortDialog;
}

// Sets the listening port for the next start.
class ChangeListeningPortDialog : public QDialog {
    Q_OBJECT
public:
    // The obfuscated port is the port + 1, so the port stops one short of the top.
    static constexpr int kMaxPort = 65534;

    explicit ChangeListeningPortDialog(QWidget* parent);
    ~ChangeListeningPortDialog() override;
    Ui::ChangeListeningPortDialog* Form() const { return mp_ui.get(); }

public slots:
    void accept() override;

private:
    std::unique_ptr<Ui::ChangeListeningPortDialog> mp_ui;
};

#endif
