#include "transfers/RateLimiter.h"

#include <QMutexLocker>
#include <QThread>
#include <algorithm>
#include <chrono>

namespace {

// The longest sleep between two stop checks.
constexpr qint64 kSleepSliceMs = 100;
// Elapsed time beyond this earns nothing more: the pool is capped at one
// second anyway, and it keeps L * 1024 * E far from 64-bit overflow.
constexpr qint64 kMaxEarningMs = 600000;

RateLimiter g_uploadLimiter;
RateLimiter g_downloadLimiter;
RateLimiter* g_upload = &g_uploadLimiter;
RateLimiter* g_download = &g_downloadLimiter;

qint64 SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int RateLimiter::PerTransferShare(int totalKBps, int activeCount) {
    if (activeCount <= 0)
        return totalKBps;
    return std::max(1, totalKBps / activeCount);
}

bool RateLimiter::Determine(int settingKBps, bool enabled, int activeCount) {
    if (settingKBps > 0 && enabled) {
        SetLimits(settingKBps, PerTransferShare(settingKBps, activeCount));
        return true;
    }
    QMutexLocker lock(&m_mutex);
    m_totalLimit = 0;
    m_perTransferLimit = 0;
    return false;
}

void RateLimiter::SetLimits(int totalKBps, int perTransferKBps) {
    QMutexLocker lock(&m_mutex);
    m_totalLimit = std::max(0, totalKBps);
    m_perTransferLimit = std::max(0, perTransferKBps);
    // Every start and end of a transfer comes through here: forgiving what is
    // owed would let each new transfer start with its first bytes free.
    m_pool = std::clamp<qint64>(m_pool, -OwedCapLocked(), 0);
}

qint64 RateLimiter::CapLocked() const {
    return qint64(std::max(m_totalLimit, m_perTransferLimit)) * 1024;
}

// A transfer pays what is owed at its own share of the limit: more than a
// second of it would hold a new transfer's first block up for long.
qint64 RateLimiter::OwedCapLocked() const {
    return qint64(m_perTransferLimit) * 1024;
}

int RateLimiter::TotalLimit() const {
    QMutexLocker lock(&m_mutex);
    return m_totalLimit;
}

int RateLimiter::PerTransferLimit() const {
    QMutexLocker lock(&m_mutex);
    return m_perTransferLimit;
}

qint64 RateLimiter::Pool() const {
    QMutexLocker lock(&m_mutex);
    return m_pool;
}

qint64 RateLimiter::Take(qint64 debt) {
    QMutexLocker lock(&m_mutex);
    if (m_pool > debt) {
        m_pool -= debt;
        return 0;
    }
    const qint64 overdraft = debt - m_pool;
    m_pool = 0;
    return overdraft;
}

void RateLimiter::Credit(qint64 bytes) {
    if (bytes <= 0)
        return;
    QMutexLocker lock(&m_mutex);
    const qint64 cap = CapLocked();
    m_pool = std::min(cap, m_pool + std::min(bytes, cap));
}

void RateLimiter::Owe(qint64 bytes) {
    if (bytes <= 0)
        return;
    QMutexLocker lock(&m_mutex);
    const qint64 cap = OwedCapLocked();
    m_pool = std::max(-cap, m_pool - std::min(bytes, cap));
}

void RateLimiter::Reset() {
    QMutexLocker lock(&m_mutex);
    m_pool = 0;
    m_totalLimit = 0;
    m_perTransferLimit = 0;
}

void RateLimiter::SetClock(Clock clock, Sleep sleep) {
    QMutexLocker lock(&m_mutex);
    m_clock = std::move(clock);
    m_sleep = std::move(sleep);
}

RateLimiter::Clock RateLimiter::GetClock() const {
    QMutexLocker lock(&m_mutex);
    return m_clock;
}

RateLimiter::Sleep RateLimiter::GetSleep() const {
    QMutexLocker lock(&m_mutex);
    return m_sleep;
}

RateLimiter& UploadRateLimiter() {
    return *g_upload;
}

RateLimiter& DownloadRateLimiter() {
    return *g_download;
}

RateLimiter* InstallUploadRateLimiter(RateLimiter* limiter) {
    RateLimiter* previous = g_upload;
    g_upload = limiter ? limiter : &g_uploadLimiter;
    return previous;
}

RateLimiter* InstallDownloadRateLimiter(RateLimiter* limiter) {
    RateLimiter* previous = g_download;
    g_download = limiter ? limiter : &g_downloadLimiter;
    return previous;
}

Throttle::Throttle(RateLimiter& limiter, Clock clock, Sleep sleep)
    : m_limiter(limiter), m_clock(std::move(clock)), m_sleep(std::move(sleep)) {
    if (!m_clock)
        m_clock = m_limiter.GetClock();
    if (!m_clock)
        m_clock = SteadyMs;
    if (!m_sleep)
        m_sleep = m_limiter.GetSleep();
    if (!m_sleep)
        m_sleep = [](qint64 ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
}

void Throttle::Start() {
    m_lastLimit = m_limiter.TotalLimit();
    m_clockStart = m_clock();
    m_debt = 0;
}

bool Throttle::BeforeBlock(qint64 bytes, const StopCheck& stop, bool* limitChanged) {
    bool changed = false;
    Paid paid = Paid::Yes;
    for (;;) {
        const int limit = m_limiter.PerTransferLimit();
        if (limit != m_lastLimit) {
            // Bytes moved while unlimited are not owed, and time spent under
            // another limit (or none) earns nothing under this one.
            if (m_lastLimit == 0)
                m_debt = 0;
            m_clockStart = m_clock();
            m_lastLimit = limit;
            changed = true;
        }
        if (limit == 0)
            break;
        m_debt += bytes;
        bytes = 0;
        paid = Pay(limit, stop);
        if (paid != Paid::LimitChanged)
            break;
    }
    if (limitChanged)
        *limitChanged = changed;
    return paid != Paid::Stopped;
}

void Throttle::Finish() {
    if (m_lastLimit != 0)
        m_limiter.Owe(m_debt);
    m_debt = 0;
}

Throttle::Paid Throttle::Pay(int limit, const StopCheck& stop) {
    const qint64 overdraft = m_limiter.Take(m_debt);

    // A limit changed meanwhile ends the sleep: what is left of it is owed
    // under the new limit, or not at all without one.
    bool limitChanged = false;
    const qint64 target = m_clock() + overdraft / limit;
    for (qint64 now = m_clock(); now < target; now = m_clock()) {
        if (stop && stop())
            return Paid::Stopped;
        m_sleep(std::min(target - now, kSleepSliceMs));
        if (m_limiter.PerTransferLimit() != limit) {
            limitChanged = true;
            break;
        }
    }

    const qint64 now = m_clock();
    const qint64 elapsed = std::clamp<qint64>(now - m_clockStart, 0, kMaxEarningMs);
    m_clockStart = now;

    // What the time earned did not cover is still owed: sleeps are whole
    // milliseconds, and a block smaller than a millisecond's worth would
    // otherwise never be paid for at all.
    const qint64 allowance = qint64(limit) * 1024 * elapsed / 1000 - overdraft;
    m_debt = allowance < 0 ? -allowance : 0;
    if (allowance > 0)
        m_limiter.Credit(allowance);
    return limitChanged ? Paid::LimitChanged : Paid::Yes;
}
