#ifndef TAVENOOK_VIEWS_SHARES_ADDSHAREDFOLDERDIALOG_H
#define TAVENOOK_VIEWS_SHARES_ADDSHAREDFOLDERDIALOG_H

#include <QDialog>
#include <memory>

#include "store/Data.h"

namespace Ui {
class AddSharedFolderDialog;
class SharedFilesRescannedDialog;
}  // namespace Ui

// Shares a new folder, or changes who may see a shared one: everyone, the
// user list, or chosen user-list groups.
class AddSharedFolderDialog : public QDialog {
    Q_OBJECT
public:
    AddSharedFolderDialog(ItemPtr folder, QWidget* parent);
    ~AddSharedFolderDialog() override;
    Ui::AddSharedFolderDialog* Form() const { return mp_ui.get(); }

public slots:
    void OnSelectFolderClicked();
    void OnAccessibleToEveryoneCheckStateChanged(int state);
    void OnAccessibleToUserListCheckStateChanged(int state);
    void accept() override;

private:
    std::unique_ptr<Ui::AddSharedFolderDialog> mp_ui;
    ItemPtr m_folder;
};

// The plain-text report of a rescan of the shared folders.
class SharedFilesRescannedDialog : public QDialog {
    Q_OBJECT
public:
    explicit SharedFilesRescannedDialog(QWidget* parent);
    ~SharedFilesRescannedDialog() override;
    void Append(const QString& line);
    QString Text() const;

private:
    std::unique_ptr<Ui::SharedFilesRescannedDialog> mp_ui;
};

#endif
