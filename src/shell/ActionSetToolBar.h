#ifndef TAVENOOK_SHELL_ACTIONSETTOOLBAR_H
#define TAVENOOK_SHELL_ACTIONSETTOOLBAR_H

#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QToolBar>
#include <QUrl>
#include <functional>

#include "store/Data.h"

class QAbstractItemView;

// The tool bar whose actions follow the keyboard focus: views declare named
// action sets, register widgets for a set and receive ActionTriggered with
// the registered widget and the action's identifier. The state lives in
// run-time store items.
class ActionSetToolBar : public QToolBar {
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* parent = nullptr);
    ~ActionSetToolBar() override;

    // Follows the server's privileges replies and starts following the focus.
    void Init();

    void AddSetAction(const QString& set, const QString& actionId, const QString& text,
                      const QString& icon, bool needsListSelection);
    void RegisterWidget(QWidget* widget, const QString& set);
    void AddWidgetKey(QWidget* widget, const QString& key, const QString& value);
    void AddWidgetColumnKey(QWidget* widget, const QString& key, int column);
    void SetWidgetActionText(QWidget* widget, const QString& actionId, const QString& text);
    void SetWidgetActionHidden(QWidget* widget, const QString& actionId, bool hidden);
    QString GetKey(const QString& key);

    void ChangeSet(QWidget* widget, const QString& set);
    void Clear();
    void ClearAndDeleteActions();
    void AddSupportTavenookButton();

    // The address of the support page for the stored user name.
    static QUrl SupportPageUrl();

    QString ShownSet() const { return m_shownSet; }
    QWidget* ShownWidget() const { return mp_shownWidget; }
    QPushButton* StatusButton() const { return mp_statusButton; }
    QPushButton* SupportButton() const { return mp_supportButton; }

signals:
    void ActionTriggered(QWidget* widget, QString action);

protected:
    void resizeEvent(QResizeEvent* event) override;

public slots:
    void OnActionTriggered(bool checked);
    void OnApplicationFocusChanged(QWidget* oldWidget, QWidget* widget);
    void OnReceivedOwnPrivilegesStatus(int seconds);
    void OnStatusButtonClicked();
    void OnSupportTavenookButtonClicked();
    void OnWidgetDestroyed(QObject* widget);

private:
    void AddStatusWidgets();
    void UpdateSupportButton();
    void SetLiveActions(const ItemPtr& actionId, const std::function<void(QAction*)>& change);
    void ForgetWidget(QObject* widget);
    QAction* PooledAction(int n);
    void FitWidth();
    void RestoreIcons();

    QString m_shownSet;
    ItemPtr m_focusedWidgetItem;
    QPointer<QAbstractItemView> mp_list;  // a tree's or a table's rows
    QPointer<QWidget> mp_shownWidget;
    quint64 m_orderCounter = 0;
    bool m_busy = false;
    QPointer<QPushButton> mp_supportButton;
    QPointer<QPushButton> mp_statusButton;
    QList<QAction*> m_pool;
    QAction* mp_supportAnchor = nullptr;
    // The set's buttons show their texts only, for want of room.
    bool m_compact = false;
    Qt::ToolButtonStyle m_fullStyle = Qt::ToolButtonTextBesideIcon;
    bool m_initialised = false;
};

extern ActionSetToolBar* actionBar;

#endif
