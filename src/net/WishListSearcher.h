#ifndef TAVENOOK_NET_WISHLISTSEARCHER_H
#define TAVENOOK_NET_WISHLISTSEARCHER_H

#include <QObject>
#include <QTimer>

// Sends one wish-list search per interval the server allows, cycling through
// the enabled entries in case-sensitive alphabetical order. Idle until the
// server sends the interval. Main thread only.
class WishListSearcher : public QObject {
    Q_OBJECT

public:
    // Bounds on the server's interval: 0 would search on every pass of the
    // event loop, huge values overflow the timer.
    static constexpr uint kMinWaitSeconds = 60;
    static constexpr uint kMaxWaitSeconds = 86400;

    // Declares "wish_list_item" and "wish_list_item_enabled" unless they
    // already are; follows the server connection's WishListWait when there
    // is one.
    explicit WishListSearcher(QObject* parent = nullptr);
    ~WishListSearcher() override;

    const QTimer& SearchTimer() const { return m_timer; }

public slots:
    // The server's interval in seconds; restarts the wait.
    void OnWishListWait(uint waitPeriod);
    // Sends the next search.
    void OnSearchTimerTimeout();

private:
    QTimer m_timer;
};

extern WishListSearcher* wishListSearcher;

#endif
