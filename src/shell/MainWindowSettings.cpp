// The main window's settings: defaults before the load, the stored look
// after it, and the option widgets that show the stored values.

#include <QApplication>
#include <QColor>
#include <QFont>

#include "shell/mainwindow.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_mainwindow.h"

namespace {
struct PaletteSetting {
    const char* key;
    QPalette::ColorRole role;
};
const PaletteSetting kInterfaceColours[] = {
    {"color_window_background", QPalette::Window}, {"color_window_text", QPalette::WindowText},
    {"color_input_background", QPalette::Base},    {"color_input_text", QPalette::Text},
    {"color_button_background", QPalette::Button}, {"color_button_text", QPalette::ButtonText}};
const std::pair<const char*, const char*> kFixedColours[] = {
    {"color_transfer_queued", "#3366ff"},      {"color_transfer_complete", "#006400"},
    {"color_transfer_in_progress", "#0000ff"}, {"color_transfer_failed", "#ff0a47"},
    {"color_transfer_other", "#000000"},       {"color_chat_username", "#0033ff"},
    {"color_chat_timestamp", "#0066ff"},       {"color_chat_status", "#339933"}};
const char* const kFirstTabs[] = {"transfers", "rooms", "search", "users"};
const int kFirstTabPages[] = {0, 1, 3, 4};
const char* const kTimestamps[] = {"activity_based", "per_message_short", "per_message_long"};
}  // namespace

void MainWindow::WriteDefaults() {
    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");
    SetSetting("chat_timestamps", "activity_based");
    SetSetting("first_open_tab", "rooms");
    defaultPalette = QApplication::palette();
    for (const PaletteSetting& colour : kInterfaceColours)
        SetSetting(colour.key, defaultPalette.color(colour.role).name());
    for (const auto& [key, value] : kFixedColours)
        SetSetting(key, value);
    const QString font = QApplication::font().toString();
    SetSetting("application_font", font);
    SetRuntimeSetting("default_application_font", font);
    SetSetting("log_room_chat", "yes");
    SetSetting("log_private_chat", "yes");
}

void MainWindow::ApplyLook() {
    const QString codePage = GetSetting("extended_ascii_codepage");
    if (!codePage.isEmpty()) {
        const int index =
            mp_ui->codePageBox->findText(codePage, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0)
            mp_ui->codePageBox->setCurrentIndex(index);
    }
    QPalette palette = defaultPalette;
    for (const PaletteSetting& colour : kInterfaceColours) {
        const QColor stored(GetSetting(colour.key));
        if (!stored.isValid()) {
            // Keep the look readable: an invalid colour would paint black on black.
            Log("Configuration Data", 1,
                QString("Ignoring the invalid colour \"%1\" of %2")
                    .arg(GetSetting(colour.key), colour.key));
            SetSetting(colour.key, palette.color(colour.role).name());
            continue;
        }
        palette.setBrush(QPalette::All, colour.role, QBrush(stored));
    }
    QApplication::setPalette(palette);
    QFont font;
    if (font.fromString(GetSetting("application_font")))
        QApplication::setFont(font);
    FitFixedButtons();
}

// The Extras page places its button by hand at a width made for a smaller
// font; it grows to show its whole text in the font in use.
void MainWindow::FitFixedButtons() {
    QPushButton* button = mp_ui->importUserListButton;
    button->ensurePolished();
    const int wanted = button->sizeHint().width();
    if (wanted > button->width())
        button->resize(wanted, button->height());
}

void MainWindow::ShowSettings() {
    mp_ui->downloadFolderEdit->setText(GetSetting("download_folder"));
    mp_ui->uPnPCheckBox->setChecked(IsSettingYes("use_upnp"));
    mp_ui->autoExpandSharesCheckBox->setChecked(IsSettingYes("expand_new_shares"));
    mp_ui->useOldStyleSearchResultsCheckBox->setChecked(
        IsSettingYes("use_old_style_search_results"));
    mp_ui->showDiagnosticsCheckBox->setChecked(IsSettingYes("show_diagnostics"));
    mp_ui->dontDownloadSingleFilesIntoSubfolders->setChecked(
        IsSettingYes("dont_create_subfolders_for_single_downloads"));
    mp_ui->dontSplitDownloadsCheckBox->setChecked(GetSetting("dont_split_downloads") == "yes");

    connect(mp_ui->useOldStyleSearchResultsCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnUseOldStyleSearchResultsCheckboxToggled);
    connect(mp_ui->showDiagnosticsCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnShowDiagnosticsCheckboxToggled);
    connect(mp_ui->dontDownloadSingleFilesIntoSubfolders, &QCheckBox::clicked, this,
            &MainWindow::OnDontCreateSubfoldersForSingleDownloads);
    connect(mp_ui->minimizeToTrayCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnMinimizeToTrayCheckboxToggled);
    connect(mp_ui->autoExpandSharesCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnExpandNewSharesCheckboxToggled);
    connect(mp_ui->chatTimestampsBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnChatTimestampsBoxIndexChanged);
    connect(mp_ui->showAwayStatusCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnShowAwayStatusClicked);
    connect(mp_ui->selectColorsButton, &QPushButton::clicked, this, &MainWindow::OnSelectColors);
    connect(mp_ui->dontSplitDownloadsCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnDontSplitDownloads);

    if (IsSettingYes("minimize_to_tray")) {
        mp_ui->minimizeToTrayCheckBox->setChecked(true);
        if (QSystemTrayIcon::isSystemTrayAvailable())
            m_trayIcon.show();
    }
    mp_ui->listeningPortEdit->setText(GetSetting("listening_port"));
}

// After the port handler is in place, as the start-up order has it.
void MainWindow::ShowStartChoices() {
    const QString timestamps = GetSetting("chat_timestamps");
    int timestampIndex = 3;
    for (int i = 0; i < 3; ++i) {
        if (timestamps == kTimestamps[i])
            timestampIndex = i;
    }
    mp_ui->chatTimestampsBox->setCurrentIndex(timestampIndex);

    const QString firstTab = GetSetting("first_open_tab");
    for (int i = 0; i < 4; ++i) {
        if (firstTab == kFirstTabs[i]) {
            mp_ui->firstOpenTabBox->setCurrentIndex(i);
            mp_ui->tabControl->setCurrentIndex(kFirstTabPages[i]);
        }
    }
    connect(mp_ui->firstOpenTabBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnFirstOpenTabBoxIndexChanged);
}

void MainWindow::ConnectOptionButtons() {
    const std::pair<QPushButton*, void (MainWindow::*)()> buttons[] = {
        {mp_ui->defaultSoundSelectFileButton, &MainWindow::OnSelectDefaultSoundFile},
        {mp_ui->defaultSoundClearButton, &MainWindow::OnClearDefaultSoundFile},
        {mp_ui->privateChatSoundSelectFileButton, &MainWindow::OnSelectPrivateChatSoundFile},
        {mp_ui->privateChatSoundClearButton, &MainWindow::OnClearPrivateChatSoundFile},
        {mp_ui->roomChatSoundSelectFileButton, &MainWindow::OnSelectRoomChatSoundFile},
        {mp_ui->roomChatSoundClearButton, &MainWindow::OnClearRoomChatSoundFile},
        {mp_ui->wishlistResultsSoundSelectFileButton, &MainWindow::OnSelectWishlistSoundFile},
        {mp_ui->wishlistResultsSoundClearButton, &MainWindow::OnClearWishlistSoundFile},
        {mp_ui->shareBrowseSoundSelectFileButton, &MainWindow::OnSelectShareBrowseSoundFile},
        {mp_ui->shareBrowseSoundClearButton, &MainWindow::OnClearShareBrowseSoundFile},
        {mp_ui->downloadAlertSoundSelectFileButton, &MainWindow::OnSelectDownloadAlertSoundFile},
        {mp_ui->downloadAlertSoundClearButton, &MainWindow::OnClearDownloadAlertSoundFile},
        {mp_ui->userOnlineAlertSoundSelectFileButton,
         &MainWindow::OnSelectUserOnlineAlertSoundFile},
        {mp_ui->userOnlineAlertSoundClearButton, &MainWindow::OnClearUserOnlineAlertSoundFile},
        {mp_ui->userInfoSoundSelectFileButton, &MainWindow::OnSelectUserInfoSoundFile},
        {mp_ui->userInfoSoundClearButton, &MainWindow::OnClearUserInfoSoundFile},
        {mp_ui->selectApplicationFontButton, &MainWindow::OnSelectApplicationFontClicked},
        {mp_ui->defaultFontButton, &MainWindow::OnDefaultFontClicked},
        {mp_ui->clearSearchHistoryButton, &MainWindow::OnClearSearchHistoryClicked}};
    for (const auto& [button, slot] : buttons)
        connect(button, &QPushButton::clicked, this, slot);
}
