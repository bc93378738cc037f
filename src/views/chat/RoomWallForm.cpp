#include <QScrollBar>
#include <algorithm>
#include <vector>

#include "net/server.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "ui_RoomWallForm.h"
#include "views/chat/RoomWallForm.h"

RoomWallForm::RoomWallForm(QString room, QWidget* parent)
    : QWidget(parent), mp_ui(new Ui::RoomWallForm), m_room(room) {
    mp_ui->setupUi(this);
    UpdateText();
    auto* ticker = new PathNode(&d, "room_ticker");
    new PathNode(ticker, d.GetType("room")->GetItem(Value(m_room)), PathConnectedWatched);
    for (const char* type : {"user", "room_ticker_text", "room_ticker_order"})
        new PathNode(ticker, type, PathConnectedWatched);
    d.AddPathEventHandler(ticker, ItemHandler(this, &RoomWallForm::OnNewTicker));
    connect(mp_ui->lineEdit, &QLineEdit::returnPressed, this, &RoomWallForm::OnEnterPressed);
}

RoomWallForm::~RoomWallForm() {
    DisableHandlers();
    const ItemPtr item = d.GetType("room_wall_form")->HasItem(Value(this));
    if (!item.IsNull())
        item.Remove();
    delete mp_ui;
}

void RoomWallForm::UpdateText() {
    QTextBrowser* view = mp_ui->textBrowser;
    view->setUpdatesEnabled(false);
    view->clear();
    std::vector<std::pair<qint64, ItemPtr>> tickers;
    const ItemSet all = d.GetType("room")->GetItem(Value(m_room)).GetItems("room_ticker");
    for (auto it = all.Begin(); it != all.End(); ++it) {
        const ItemPtr order = (*it)["room_ticker_order"];
        if (!order.IsNull())
            tickers.emplace_back(order.AsInt64(), *it);
    }
    std::stable_sort(tickers.begin(), tickers.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    const QString nameColor = EscapeHTML(GetSetting("color_chat_username"));
    QString html = "<table>";
    for (std::size_t i = 0; i < tickers.size(); ++i) {
        const ItemPtr& ticker = tickers[i].second;
        html += QStringLiteral("<tr width=\"%100\"><td bgcolor=") +
                (i % 2 ? "#d3d3d3" : "#ffffff") + "><b><big>" +
                EscapeHTML(ticker["room_ticker_text"].AsString()) + "</big></b><font color=\"" +
                nameColor + "\"> -" + EscapeHTML(ticker["user"].AsString()) + "</font></td></tr>";
    }
    view->append(html + "</table>");
    view->moveCursor(QTextCursor::Start);
    view->setUpdatesEnabled(true);
}

void RoomWallForm::OnNewTicker(ItemPtr) {
    UpdateText();
}

void RoomWallForm::OnEnterPressed() {
    const QString text = mp_ui->lineEdit->text().trimmed();
    if (text.isEmpty())
        return;
    if (!gp_server || !gp_server->IsConnected()) {
        mp_ui->noticeLabel->setText("not connected, ticker not set");
        mp_ui->noticeLabel->show();
        return;
    }
    mp_ui->noticeLabel->hide();
    gp_server->SetRoomTicker(m_room, text);
    mp_ui->lineEdit->clear();
}
