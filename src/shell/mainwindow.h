#ifndef TAVENOOK_SHELL_MAINWINDOW_H
#define TAVENOOK_SHELL_MAINWINDOW_H

#include <QMainWindow>
#include <QPalette>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <ctime>

#include "net/UpdateChecker.h"
#include "shell/ResizableWindow.h"
#include "store/Data.h"

class QTreeWidgetItem;
class Server;
class Ui_MainWindow;

// The built-in program version, as YYYYMMDD.
extern qint64 g_currentVersion;
// The application palette before any stored colour was applied.
extern QPalette defaultPalette;

// The program's one window: creates every service in a fixed order, loads
// the saved store, shows the settings and owns the orderly shutdown.
class MainWindow : public QMainWindow, public DataHandler {
    Q_OBJECT
public:
    // Reads and sets the window's geometry for the size memory.
    class SizeProxy : public ResizableWindow {
    public:
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int x, int y) override;
        void SetSize(int width, int height) override;
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void Init();
    // Shows the window and lets it paint, then initialises: the first-run
    // questions and a report of an unreadable store come over it, and a
    // long store's load leaves it painted rather than black. What the load
    // leaves to do comes in slices once the event loop runs.
    void Start();
    // How long the start waits for the window system to put the window on
    // screen (a window started minimized never is).
    static constexpr int kPaintWaitMs = 1500;
    // Sweeps and saves, unless shutdown has begun.
    void SaveData();
    void PopupAlert(const QString& text);
    void SetApplicationIcon(const QString& icon);
    void ResetApplicationIcon();

    Ui_MainWindow* Form() const { return mp_ui; }
    QSystemTrayIcon& TrayIcon() { return m_trayIcon; }
    UpdateChecker& ReleaseChecker() { return m_updateChecker; }
    SizeProxy& Proxy() { return m_sizeProxy; }
    static QString StorePath();
    static QString BuildTitle();

public slots:
    void OnConnected();
    void OnConnecting();
    void OnDisconnected();
    void OnConnectionFailed(QString reason);
    void OnToolBarActionTriggered(QWidget* widget, QString action);
    void OnPrivateChat(QString user, QString text, time_t time, bool spontaneous);
    void OnAdminMessage(QString text);
    void OnDisconnectClicked();
    void OnChangeUsernamePasswordClicked();
    void OnDataShortcutActivated();
    void OnNewVersion(qint64 version, QString downloadLink, QStringList description);
    void OnSharedFilesRescanned(int filesAdded, int filesRemoved);
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void EveryHalfMinute();
    void EveryFiveMinutes();
    void EveryHour();
    // A later start of the program handed over its arguments, one a line.
    void OnMessageReceived(QString message);

    // Option pages.
    void OnOptionsTabSelectionChanged(int index);
    void OnUPnPCheckboxToggled(bool checked);
    void OnAcceptUserlistUploadsCheckboxToggled(bool checked);
    void OnSelectPictureClicked();
    void OnUserInfoTextChanged();
    void OnClearPictureClicked();
    void OnCheckPortsClicked();
    void OnUserLevelLoggingClicked(bool checked);
    void OnEditExcludedDownloadExtensionsClicked();
    void OnImportUserListClicked();
    void OnLogRoomChatCheckBoxClicked(bool checked);
    void OnLogPrivateChatCheckBoxClicked(bool checked);
    void OnEmptyShareWarningMessageCheckBoxClicked(bool checked);
    void OnMaxUploadsPerUserSpinBoxValueChanged(int value);
    void OnCodePageSelected(int index);
    void OnUseOldStyleSearchResultsCheckboxToggled(bool checked);
    void OnShowDiagnosticsCheckboxToggled(bool checked);
    void OnDontCreateSubfoldersForSingleDownloads(bool checked);
    void OnMinimizeToTrayCheckboxToggled(bool checked);
    void OnExpandNewSharesCheckboxToggled(bool checked);
    void OnChatTimestampsBoxIndexChanged(int index);
    void OnShowAwayStatusClicked(bool checked);
    void OnSelectColors();
    void OnDontSplitDownloads(bool checked);
    void OnFirstOpenTabBoxIndexChanged(int index);
    void OnEmptyShareWarningEditEdited(QString text);
    void OnSaveEmptyShareWarningMessageButtonClicked();
    void OnSharedFoldersListContextMenuRequested(QPoint position);
    void OnSetFolderPermissions();
    void OnUnshareFolder();
    void OnShowEventButtonsClicked(bool checked);
    void OnOpenGroupsOnUserAddClicked(bool checked);
    void OnSelectApplicationFontClicked();
    void OnDefaultFontClicked();
    void OnClearSearchHistoryClicked();
    void OnSelectDefaultSoundFile();
    void OnClearDefaultSoundFile();
    void OnSelectPrivateChatSoundFile();
    void OnClearPrivateChatSoundFile();
    void OnSelectRoomChatSoundFile();
    void OnClearRoomChatSoundFile();
    void OnSelectWishlistSoundFile();
    void OnClearWishlistSoundFile();
    void OnSelectShareBrowseSoundFile();
    void OnClearShareBrowseSoundFile();
    void OnSelectDownloadAlertSoundFile();
    void OnClearDownloadAlertSoundFile();
    void OnSelectUserOnlineAlertSoundFile();
    void OnClearUserOnlineAlertSoundFile();
    void OnSelectUserInfoSoundFile();
    void OnClearUserInfoSoundFile();

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Store handlers.
    void OnSharedFolderAdded(ItemPtr folder);
    void OnSharedFolderRemoved(ItemPtr folder);
    void OnSharedFolderChange(ConnectionInfo& info);
    void OnUsernameChanged(ItemPtr setting);
    void OnObfuscatedPortSet(ItemPtr setting);
    void OnNewListeningPortChanged(ItemPtr setting);
    void OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr extension);
    void OnShowDiagnosticsSetting(ItemPtr setting);

    void SetConnectActionText(const QString& text);
    void DeclareTypes();
    void RegisterActionSets();
    void WriteDefaults();
    void LoadStore();
    void ApplyLook();
    void FirstRun();
    void ShowSettings();
    void ShowStartChoices();
    void ShowLaterSettings();
    void ConnectOptionButtons();
    void ReportClosedPorts();
    void FitFixedButtons();
    bool Save(bool atExit);

    Ui_MainWindow* mp_ui;
    Server* mp_server = nullptr;
    SizeProxy m_sizeProxy;
    // The hourly save came during an import or while a folder's downloads
    // were being added, and waits for their end.
    bool m_saveWaits = false;
    QSystemTrayIcon m_trayIcon;
    UpdateChecker m_updateChecker;
    bool m_restoreMaximized = false;
};

#endif
