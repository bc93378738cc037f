#include "views/search/ReceivedSearchesForm.h"

#include <QBrush>
#include <QColor>

#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "ui_ReceivedSearchesForm.h"

ReceivedSearchesForm* receivedSearchesForm = nullptr;

ReceivedSearchesForm::ReceivedSearchesForm(QWidget* parent)
    : QWidget(parent), mp_ui(new Ui_ReceivedSearchesForm) {
    mp_ui->setupUi(this);
    mp_ui->searchList->setHeaderLabels({"Search", "Match"});
    mp_ui->searchList->setColumnWidth(0, 320);
    mp_ui->searchList->setColumnWidth(1, 50);
    receivedSearchesForm = this;
}

ReceivedSearchesForm::~ReceivedSearchesForm() {
    if (receivedSearchesForm == this)
        receivedSearchesForm = nullptr;
    delete mp_ui;
}

QTreeWidget* ReceivedSearchesForm::SearchList() const {
    return mp_ui->searchList;
}

void ReceivedSearchesForm::Init() {
    if (sharedFoldersManager)
        connect(sharedFoldersManager, &SharedFoldersManager::SearchProcessed, this,
                &ReceivedSearchesForm::OnSearchProcessed, Qt::UniqueConnection);
    if (actionBar) {
        actionBar->AddSetAction("received_searches", "pause_unpause", "Pause", ":/icons/pause_icon",
                                false);
        actionBar->RegisterWidget(this, "received_searches");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &ReceivedSearchesForm::OnActionTriggered, Qt::UniqueConnection);
    }
}

void ReceivedSearchesForm::OnSearchProcessed(QString i_search, bool i_match) {
    if (m_paused)
        return;
    QTreeWidget* list = mp_ui->searchList;
    list->setCurrentItem(nullptr);
    auto* row = new QTreeWidgetItem;
    row->setText(0, i_search);
    if (i_match) {
        row->setForeground(1, QBrush(QColor(0, 85, 0)));
        row->setText(1, "Match");
    }
    list->insertTopLevelItem(0, row);
    while (list->topLevelItemCount() > kMaxRows)
        delete list->takeTopLevelItem(kMaxRows);
}

void ReceivedSearchesForm::OnActionTriggered(QWidget* ip_widget, QString i_action) {
    if (ip_widget != this || i_action != "pause_unpause")
        return;
    m_paused = !m_paused;
    if (actionBar)
        actionBar->SetWidgetActionText(this, "pause_unpause", m_paused ? "Resume" : "Pause");
}
