#include "views/shares/ColorSelectionDialog.h"

#include <QApplication>
#include <QColorDialog>

#include "shell/mainwindow.h"
#include "store/Settings.h"
#include "ui_ColorSelectionDialog.h"
#include "views/transfers/TransfersForm.h"

ColorSelectionDialog* colorSelectionDialog = nullptr;

namespace {
ColorSelectionDialog::Chooser& ChooserHook() {
    static ColorSelectionDialog::Chooser chooser;
    return chooser;
}

void SetSwatch(QLineEdit* swatch, const QColor& colour) {
    QPalette palette = swatch->palette();
    palette.setColor(QPalette::Base, colour);
    swatch->setPalette(palette);
}

struct PaletteSwatch {
    QLineEdit* Ui::ColorSelectionDialog::*swatch;
    QPalette::ColorRole role;
    const char* key;
};
const PaletteSwatch kPaletteSwatches[] = {
    {&Ui::ColorSelectionDialog::windowBackgroundColor, QPalette::Window, "color_window_background"},
    {&Ui::ColorSelectionDialog::windowTextColor, QPalette::WindowText, "color_window_text"},
    {&Ui::ColorSelectionDialog::inputBackgroundColor, QPalette::Base, "color_input_background"},
    {&Ui::ColorSelectionDialog::inputTextColor, QPalette::Text, "color_input_text"},
    {&Ui::ColorSelectionDialog::buttonBackgroundColor, QPalette::Button, "color_button_background"},
    {&Ui::ColorSelectionDialog::buttonTextColor, QPalette::ButtonText, "color_button_text"}};

struct FixedSwatch {
    QLineEdit* Ui::ColorSelectionDialog::*swatch;
    const char* key;
    QRgb defaultColour;
};
// In the order they are stored.
const FixedSwatch kFixedSwatches[] = {
    {&Ui::ColorSelectionDialog::transferQueuedColor, "color_transfer_queued", qRgb(51, 102, 255)},
    {&Ui::ColorSelectionDialog::transferCompleteColor, "color_transfer_complete", qRgb(0, 100, 0)},
    {&Ui::ColorSelectionDialog::transferInProgressColor, "color_transfer_in_progress",
     qRgb(0, 0, 255)},
    {&Ui::ColorSelectionDialog::transferFailedColor, "color_transfer_failed", qRgb(255, 10, 71)},
    {&Ui::ColorSelectionDialog::transferOtherColor, "color_transfer_other", qRgb(0, 0, 0)},
    {&Ui::ColorSelectionDialog::chatUsernameColor, "color_chat_username", qRgb(0, 51, 255)},
    {&Ui::ColorSelectionDialog::chatTimestampColor, "color_chat_timestamp", qRgb(0, 102, 255)},
    {&Ui::ColorSelectionDialog::chatStatusColor, "color_chat_status", qRgb(51, 153, 51)}};
}  // namespace

void ColorSelectionDialog::SetChooser(Chooser chooser) {
    ChooserHook() = std::move(chooser);
}

ColorSelectionDialog::ColorSelectionDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::ColorSelectionDialog) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    colorSelectionDialog = this;
    const QPalette current = QApplication::palette();
    for (const PaletteSwatch& entry : kPaletteSwatches)
        SetSwatch(mp_ui.get()->*entry.swatch, current.color(entry.role));
    // A stored text that names no colour shows as it parses (invalid: black);
    // the setting itself changes only on saving.
    for (const FixedSwatch& entry : kFixedSwatches)
        SetSwatch(mp_ui.get()->*entry.swatch, QColor(GetSetting(entry.key)));

    const std::pair<QPushButton*, void (ColorSelectionDialog::*)()> buttons[] = {
        {mp_ui->windowBackgroundButton, &ColorSelectionDialog::OnChangeWindowBackground},
        {mp_ui->windowTextButton, &ColorSelectionDialog::OnChangeWindowText},
        {mp_ui->inputBackgroundButton, &ColorSelectionDialog::OnChangeInputBackground},
        {mp_ui->inputTextButton, &ColorSelectionDialog::OnChangeInputText},
        {mp_ui->buttonBackgroundButton, &ColorSelectionDialog::OnChangeButtonBackground},
        {mp_ui->buttonTextButton, &ColorSelectionDialog::OnChangeButtonText},
        {mp_ui->chatUsernameButton, &ColorSelectionDialog::OnChangeChatUsername},
        {mp_ui->chatTimestampButton, &ColorSelectionDialog::OnChangeChatTimestamp},
        {mp_ui->chatStatusButton, &ColorSelectionDialog::OnChangeChatStatus},
        {mp_ui->transferQueuedButton, &ColorSelectionDialog::OnChangeTransferQueued},
        {mp_ui->transferInProgressButton, &ColorSelectionDialog::OnChangeTransferInProgress},
        {mp_ui->transferCompleteButton, &ColorSelectionDialog::OnChangeTransferComplete},
        {mp_ui->transferFailedButton, &ColorSelectionDialog::OnChangeTransferFailed},
        {mp_ui->transferOtherButton, &ColorSelectionDialog::OnChangeTransferOther},
        {mp_ui->saveColorsButton, &ColorSelectionDialog::OnSaveColors},
        {mp_ui->resetToDefaultsButton, &ColorSelectionDialog::OnResetToDefaults}};
    for (const auto& [button, slot] : buttons)
        connect(button, &QPushButton::clicked, this, slot);
}

ColorSelectionDialog::~ColorSelectionDialog() {
    if (colorSelectionDialog == this)
        colorSelectionDialog = nullptr;
}

QColor ColorSelectionDialog::SwatchColor(const QLineEdit* swatch) {
    return swatch->palette().color(QPalette::Base);
}

void ColorSelectionDialog::Change(QLineEdit* swatch) {
    const QColor initial = SwatchColor(swatch);
    const QColor chosen =
        ChooserHook() ? ChooserHook()(this, initial) : QColorDialog::getColor(initial, this);
    if (chosen.isValid())
        SetSwatch(swatch, chosen);
}

void ColorSelectionDialog::OnChangeWindowBackground() {
    Change(mp_ui->windowBackgroundColor);
}
void ColorSelectionDialog::OnChangeWindowText() {
    Change(mp_ui->windowTextColor);
}
void ColorSelectionDialog::OnChangeInputBackground() {
    Change(mp_ui->inputBackgroundColor);
}
void ColorSelectionDialog::OnChangeInputText() {
    Change(mp_ui->inputTextColor);
}
void ColorSelectionDialog::OnChangeButtonBackground() {
    Change(mp_ui->buttonBackgroundColor);
}
void ColorSelectionDialog::OnChangeButtonText() {
    Change(mp_ui->buttonTextColor);
}
void ColorSelectionDialog::OnChangeChatUsername() {
    Change(mp_ui->chatUsernameColor);
}
void ColorSelectionDialog::OnChangeChatTimestamp() {
    Change(mp_ui->chatTimestampColor);
}
void ColorSelectionDialog::OnChangeChatStatus() {
    Change(mp_ui->chatStatusColor);
}
void ColorSelectionDialog::OnChangeTransferQueued() {
    Change(mp_ui->transferQueuedColor);
}
void ColorSelectionDialog::OnChangeTransferInProgress() {
    Change(mp_ui->transferInProgressColor);
}
void ColorSelectionDialog::OnChangeTransferComplete() {
    Change(mp_ui->transferCompleteColor);
}
void ColorSelectionDialog::OnChangeTransferFailed() {
    Change(mp_ui->transferFailedColor);
}
void ColorSelectionDialog::OnChangeTransferOther() {
    Change(mp_ui->transferOtherColor);
}

void ColorSelectionDialog::OnResetToDefaults() {
    for (const PaletteSwatch& entry : kPaletteSwatches)
        SetSwatch(mp_ui.get()->*entry.swatch, defaultPalette.color(entry.role));
    for (const FixedSwatch& entry : kFixedSwatches)
        SetSwatch(mp_ui.get()->*entry.swatch, QColor(entry.defaultColour));
}

void ColorSelectionDialog::OnSaveColors() {
    QPalette palette = QApplication::palette();
    for (const PaletteSwatch& entry : kPaletteSwatches)
        palette.setBrush(QPalette::All, entry.role,
                         QBrush(SwatchColor(mp_ui.get()->*entry.swatch)));
    QApplication::setPalette(palette);
    for (const PaletteSwatch& entry : kPaletteSwatches)
        SetSetting(entry.key, palette.color(entry.role).name());
    for (const FixedSwatch& entry : kFixedSwatches)
        SetSetting(entry.key, SwatchColor(mp_ui.get()->*entry.swatch).name());
    if (transfersForm)
        transfersForm->RecolorEntries();
    accept();
}
