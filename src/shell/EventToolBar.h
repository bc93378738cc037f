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
// plays the event's sound and, for a hidden page, adds a button that brings
// the page to the front.
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

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* widget);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* oldWidget, QWidget* nowWidget);

private:
    void AddPlaceholder();
    void RemoveEventsByKey(const Value& key);
    void RemoveButton(QAction* action);

    bool m_placeholder = false;
    std::set<QString> m_alertIcons;
    int m_alertPosition = 0;
    QTimer m_alertTimer;
    QHash<QAction*, QPointer<QWidget>> m_pages;
};

extern EventToolBar* eventToolBar;

#endif
