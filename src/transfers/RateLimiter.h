#ifndef TAVENOOK_TRANSFERS_RATELIMITER_H
#define TAVENOOK_TRANSFERS_RATELIMITER_H

#include <QMutex>
#include <QtGlobal>
#include <functional>

// The speed limit of one direction (uploads or downloads), shared by every
// transfer thread of that direction. Each running transfer earns its
// per-transfer limit into the spare-byte pool as time passes and pays for each
// block out of it, before the block moves; what the pool cannot pay is paid by
// sleeping, and what a slow transfer leaves unused the others may take. The
// pool goes below 0 by what finished transfers still owe, so that the next
// transfer of the direction pays it: many short transfers are held to the
// limit as one long one is.
//
// Limits are in KB/s of 1,024 bytes; 0 means unlimited. The pool never holds
// more than about one second of the limit, nor owes more than a second of a
// transfer's share of it, so a transfer that idled cannot burst far past it
// afterwards, nor does an old debt hold a new limit up for long. One mutex guards the fields; no
// caller may hold another transfer lock while calling in.
class RateLimiter {
public:
    using Clock = std::function<qint64()>;      // monotonic milliseconds
    using Sleep = std::function<void(qint64)>;  // sleeps that many milliseconds

    RateLimiter() = default;
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // The per-transfer share of a total limit: total / active, the total itself
    // when nothing is active, and at least 1.
    static int PerTransferShare(int totalKBps, int activeCount);

    // Sets the direction's limits from its settings. Limited (setting above 0
    // and enabled): total = setting, per-transfer = its share, pool emptied of
    // what it held to spare; returns true, and the caller restarts the entries'
    // speed measurements. Otherwise both limits become 0, the pool keeps its
    // value; returns false.
    bool Determine(int settingKBps, bool enabled, int activeCount);

    // Both limits directly (Determine's limited branch). Bytes spared under
    // the old limits are dropped; bytes owed stay owed, up to a second of the
    // new per-transfer limit.
    void SetLimits(int totalKBps, int perTransferKBps);

    int TotalLimit() const;
    int PerTransferLimit() const;
    qint64 Pool() const;

    // Thread side. Pays `debt` bytes out of the pool and returns what it could
    // not pay (the overdraft, to be paid by sleeping).
    qint64 Take(qint64 debt);
    // Adds earned bytes to the pool, up to one second of the larger limit.
    void Credit(qint64 bytes);
    // What a finished transfer still owes, for the next one to pay; at most a
    // second of the per-transfer limit, nothing while unlimited.
    void Owe(qint64 bytes);

    // Both limits and the pool back to 0.
    void Reset();

    // Test hook, while no throttle uses this limiter: the clock and the sleep
    // of the throttles made on it from now on. Empty means the steady clock
    // and a real sleep.
    void SetClock(Clock clock, Sleep sleep);
    Clock GetClock() const;
    Sleep GetSleep() const;

private:
    qint64 CapLocked() const;
    qint64 OwedCapLocked() const;

    mutable QMutex m_mutex;
    Clock m_clock;
    Sleep m_sleep;
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

// One transfer's side of the rate limit: the last limit it saw, what it still
// owes and its throttle clock. Used on the transfer's own thread only.
class Throttle {
public:
    using Clock = RateLimiter::Clock;
    using Sleep = RateLimiter::Sleep;
    using StopCheck = std::function<bool()>;

    // Empty functions mean the limiter's clock and sleep.
    explicit Throttle(RateLimiter& limiter, Clock clock = {}, Sleep sleep = {});

    // Takes the total limit as the last limit seen, starts the clock, no debt.
    void Start();

    // Before each block of `bytes`: reads the per-transfer limit and, when it
    // is not 0, pays for the block and what is still owed (sleeping for the
    // overdraft) before it moves. A changed limit restarts the clock, so time
    // spent under another limit (or none) earns nothing, and coming from
    // unlimited also drops the debt. A limit changed during the sleep applies
    // to what is left of it at once; none ends it. `limitChanged` tells the
    // caller to restart its speed measurement. Returns false when `stop` turned
    // true during a sleep; it is asked at least every 100 ms while sleeping.
    bool BeforeBlock(qint64 bytes, const StopCheck& stop, bool* limitChanged = nullptr);

    // After the last block: what is still owed goes to the limiter, for the
    // direction's next transfer to pay.
    void Finish();

    int LastLimit() const { return m_lastLimit; }

private:
    enum class Paid { Yes, Stopped, LimitChanged };
    Paid Pay(int limit, const StopCheck& stop);

    RateLimiter& m_limiter;
    Clock m_clock;
    Sleep m_sleep;
    int m_lastLimit = 0;
    qint64 m_debt = 0;
    qint64 m_clockStart = 0;
};

#endif
