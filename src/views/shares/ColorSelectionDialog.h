#ifndef TAVENOOK_VIEWS_SHARES_COLORSELECTIONDIALOG_H
#define TAVENOOK_VIEWS_SHARES_COLORSELECTIONDIALOG_H

#include <QColor>
#include <QDialog>
#include <functional>
#include <memory>

class QLineEdit;

namespace Ui {
class ColorSelectionDialog;
}

// Edits the fourteen colours of the interface, the chat and the transfer
// lists; nothing is stored or applied before "Save Colors".
class ColorSelectionDialog : public QDialog {
    Q_OBJECT
public:
    // Answers the colour chooser in place of the platform's (null restores it);
    // an invalid colour means cancelled.
    using Chooser = std::function<QColor(QWidget* parent, const QColor& initial)>;
    static void SetChooser(Chooser chooser);

    explicit ColorSelectionDialog(QWidget* parent);
    ~ColorSelectionDialog() override;
    Ui::ColorSelectionDialog* Form() const { return mp_ui.get(); }
    static QColor SwatchColor(const QLineEdit* swatch);

public slots:
    void OnChangeWindowBackground();
    void OnChangeWindowText();
    void OnChangeInputBackground();
    void OnChangeInputText();
    void OnChangeButtonBackground();
    void OnChangeButtonText();
    void OnChangeChatUsername();
    void OnChangeChatTimestamp();
    void OnChangeChatStatus();
    void OnChangeTransferQueued();
    void OnChangeTransferInProgress();
    void OnChangeTransferComplete();
    void OnChangeTransferFailed();
    void OnChangeTransferOther();
    void OnResetToDefaults();
    void OnSaveColors();

private:
    void Change(QLineEdit* swatch);

    std::unique_ptr<Ui::ColorSelectionDialog> mp_ui;
};

// The last dialog created while it is open, or null.
extern ColorSelectionDialog* colorSelectionDialog;

#endif
