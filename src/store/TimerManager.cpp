#include "store/TimerManager.h"

TimerManager* timerManager = nullptr;

namespace {

void StartRepeating(QTimer& timer, int ms) {
    timer.setSingleShot(false);
    timer.setInterval(ms);
    timer.start();
}

}  // namespace

TimerManager::TimerManager(QObject* parent)
    : QObject(parent), everyHalfMinute(this), everyFiveMinutes(this), everyHour(this) {
    StartRepeating(everyHalfMinute, 30000);
    StartRepeating(everyFiveMinutes, 300000);
    StartRepeating(everyHour, 3600000);
    timerManager = this;
}

TimerManager::~TimerManager() {
    everyHalfMinute.stop();
    everyFiveMinutes.stop();
    everyHour.stop();
    if (timerManager == this)
        timerManager = nullptr;
}
