#ifndef TAVENOOK_TRANSFERS_RATELIMITER_H
#define TAVENOOK_TRANSFERS_RATELIMITER_H

#include <QMutex>
#include <QtGlobal>
#include <functional>

// The speed limit of one direction (uploads or downloads), shared by every
// transfer thread of that direction. Each running transfer earns its
// per-transfer limit into the spare-byte pool as time passes and pays for each
// block out of it; what the pool cannot pay is paid by sleeping, and what a slow
// transfer leaves unused the others may take.
//
// Limits are in KB/s of 1,024 bytes; 0 means unlimited. The pool never holds
// more than about one second of the limit, so a transfer that idled cannot
// burst far past it afterwards. One mutex guards all three fields; no caller
// may hold another transfer lock while calling in.
class RateLimiter {
public:
    RateLimiter() = default;
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // The per-transfer share of a total limit: total / active, the total itself
    // when nothing is active, and at least 1.
    static int PerTransferShare(int totalKBps, int activeCount);

    // Sets the direction's limits from its settings. Limited (setting above 0
    // and enabled): total = setting, per-transfer = its share, pool emptied;
    // returns true, and the caller restarts the entries' speed measurements.
    // Otherwise both limits become 0, the pool keeps its value; returns false.
    bool Determine(int settingKBps, bool enabled, int activeCount);

    // Both limits directly, pool emptied (Determine's limited branch).
    void SetLimits(int totalKBps, int perTransferKBps);

    int TotalLimit() const;
    int PerTransferLimit() const;
    qint64 Pool() const;

    // Thread side. Pays `debt` bytes out of the pool and returns what it could
    // not pay (the overdraft, to be paid by sleeping).
    qint64 Take(qint64 debt);
    // Adds earned bytes to the pool, up to one second of the larger limit.
    void Credit(qint64 bytes);

    // Both limits and the pool back to 0.
    void Reset();

private:
    mutable QMutex m_mutex;
    qint64 m_pool = 0;
    int m_totalLimit = 0;
    int m_perTransferLimit = 0;
};

// The two directions' limiters. The transfer queue manager sets their limits;
// a thread picks its direction's limiter when it is constructed. Install
// replaces the instance (tests) and returns the previous one; null restores
// the built-in instance. Install only while no transfer thread exists.
RateLimiter& UploadRateLimiter();
RateLimiter& DownloadRateLimiter();
RateLimiter* InstallUploadRateLimiter(RateLimiter* limiter);
RateLimiter* InstallDownloadRateLimiter(RateLimiter* limiter);

// One transfer's side of the rate limit: the last limit it saw, the bytes it
// moved since it last paid (the debt) and its throttle clock. Used on the
// transfer's own thread only.
class Throttle {
public:
    using Clock = std::function<qint64()>;      // monotonic milliseconds
    using Sleep = std::function<void(qint64)>;  // sleeps that many milliseconds
    using StopCheck = std::function<bool()>;

    // Empty functions mean the steady clock and a real sleep.
    explicit Throttle(RateLimiter& limiter, Clock clock = {}, Sleep sleep = {});

    // Takes the total limit as the last limit seen, starts the clock, no debt.
    void Start();

    // Before each block: reads the per-transfer limit and, when it is not 0,
    // pays the debt (sleeping for the overdraft). A changed limit restarts the
    // clock, so time spent under another limit (or none) earns nothing, and
    // coming from unlimited also drops the debt. `limitChanged` tells the
    // caller to restart its speed measurement. Returns false when `stop` turned
    // true during a sleep; it is asked at least every 100 ms while sleeping.
    bool BeforeBlock(const StopCheck& stop, bool* limitChanged = nullptr);

    // Counts a moved block towards the debt.
    void Moved(qint64 bytes) { m_debt += bytes; }

    int LastLimit() const { return m_lastLimit; }

private:
    bool Pay(int limit, const StopCheck& stop);

    RateLimiter& m_limiter;
    Clock m_clock;
    Sleep m_sleep;
    int m_lastLimit = 0;
    qint64 m_debt = 0;
    qint64 m_clockStart = 0;
};

#endif
