#ifndef TAVENOOK_VIEWS_SEARCH_RECEIVEDSEARCHESFORM_H
#define TAVENOOK_VIEWS_SEARCH_RECEIVEDSEARCHESFORM_H

#include <QWidget>

class QTreeWidget;
class Ui_ReceivedSearchesForm;

// The searches other users sent to this client, newest on top, with those
// answered with files marked. Display only: nothing is kept in the store.
class ReceivedSearchesForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 500;

    explicit ReceivedSearchesForm(QWidget* parent = nullptr);
    ~ReceivedSearchesForm() override;
    void Init();

    QTreeWidget* SearchList() const;
    bool IsPaused() const { return m_paused; }

public slots:
    void OnSearchProcessed(QString i_search, bool i_match);
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

private:
    Ui_ReceivedSearchesForm* mp_ui;
    bool m_paused = false;
};

extern ReceivedSearchesForm* receivedSearchesForm;

#endif
