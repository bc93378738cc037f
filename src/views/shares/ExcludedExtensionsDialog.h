#ifndef TAVENOOK_VIEWS_SHARES_EXCLUDEDEXTENSIONSDIALOG_H
#define TAVENOOK_VIEWS_SHARES_EXCLUDEDEXTENSIONSDIALOG_H

#include <QDialog>
#include <QPoint>
#include <memory>

#include "store/Data.h"

namespace Ui {
class ExcludedExtensionsDialog;
}

// Edits the file-name endings that folder downloads skip; every change
// applies at once.
class ExcludedExtensionsDialog : public QDialog, public DataHandler {
    Q_OBJECT
public:
    explicit ExcludedExtensionsDialog(QWidget* parent);
    ~ExcludedExtensionsDialog() override;
    Ui::ExcludedExtensionsDialog* Form() const { return mp_ui.get(); }

public slots:
    void OnNewExtensionButtonClicked();
    void OnExtensionListContextMenuRequested(QPoint position);
    void OnRemoveExcludedExtension();

private:
    void OnExtensionAdded(ItemPtr extension);

    std::unique_ptr<Ui::ExcludedExtensionsDialog> mp_ui;
};

// The one open editor, or null.
extern ExcludedExtensionsDialog* excludedExtensionsDialog;

#endif
