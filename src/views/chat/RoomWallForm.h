#ifndef TAVENOOK_VIEWS_CHAT_ROOMWALLFORM_H
#define TAVENOOK_VIEWS_CHAT_ROOMWALLFORM_H

#include <QString>
#include <QWidget>

#include "store/Data.h"

namespace Ui {
class RoomWallForm;
}

// A room's wall: every user's ticker, newest first, and an entry for our own.
class RoomWallForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    RoomWallForm(QString room, QWidget* parent = nullptr);
    ~RoomWallForm() override;

    void UpdateText();
    Ui::RoomWallForm* Form() const { return mp_ui; }

public slots:
    void OnEnterPressed();

private:
    void OnNewTicker(ItemPtr ticker);

    Ui::RoomWallForm* mp_ui;
    QString m_room;
};

#endif
