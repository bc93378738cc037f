#ifndef TAVENOOK_SHELL_EVENTTOOLBAR_H
#define TAVENOOK_SHELL_EVENTTOOLBAR_H

#include <QHash>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QToolBar>
#include <set>

#include "store/Data.h"

// The tool bar of pending events: marks the page's tabs, cycles the
// application icon while the main window is inactive, shows a balloon,
// plays the event's sound (balloons and sounds paced, so that a flood of
// events costs one of each a second) and, for a hidden page, adds a button
// that brings the page to the front.
class EventToolBar : public QToolBar, public DataLoadedEventHandler {
    Q_OBJECT

public:
    explicit EventToolBar(QWidget* parent = nullptr);
    ~EventToolBar() override;

    void AddEvent(const QString& text, const QString& icon, QWidget* widget,
                  const QString& popupText, const QString& soundKey, bool repeat);
    void RemoveEvents(QWidget* widget);

    void DataLoaded() override;

    // Tests stop it and tick the alert by hand.
    QTimer* AlertTimer() { return &m_alertTimer; }
    // Balloons and sounds: at most one of each per interval. Tests stop it
    // and end the interval by hand.
    static constexpr int kAlertPaceMs = 1000;
    QTimer* AlertPaceTimer() { return &m_alertPace; }

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* widget);
    void OnIconAlertTimeout();
    void OnAlertPaceTimeout();
    void OnApplicationFocusChanged(QWidget* oldWidget, QWidget* nowWidget);

private:
    void AddPlaceholder();
    void RemoveEventsByKey(const Value& key);
    void RemoveButton(QAction* action);
    void Alert(const QString& popupText, const QString& soundKey);
    void ShowAlert(const QString& popupText, const QString& soundKey);

    bool m_placeholder = false;
    std::set<QString> m_alertIcons;
    int m_alertPosition = 0;
    QTimer m_alertTimer;
    QTimer m_alertPace;
    // The latest balloon text and sound key held back by the pace.
    QString m_pendingPopup;
    QString m_pendingSound;
    QHash<QAction*, QPointer<QWidget>> m_pages;
};

extern EventToolBar* eventToolBar;

#endif
