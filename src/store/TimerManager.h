#ifndef TAVENOOK_STORE_TIMERMANAGER_H
#define TAVENOOK_STORE_TIMERMANAGER_H

#include <QObject>
#include <QTimer>

// The program's shared clock. Services connect to the timers' timeout().
class TimerManager : public QObject {
    Q_OBJECT

public:
    explicit TimerManager(QObject* parent = nullptr);
    ~TimerManager() override;

    QTimer everyHalfMinute;
    QTimer everyFiveMinutes;
    QTimer everyHour;
};

extern TimerManager* timerManager;

#endif
