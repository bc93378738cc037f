#include "net/WishListSearcher.h"

#include <QtGlobal>
#include <list>

#include "net/server.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"

WishListSearcher* wishListSearcher = nullptr;

namespace {
const char* const kArea = "Wish List";
const char* const kItem = "wish_list_item";
const char* const kEnabled = "wish_list_item_enabled";
const char* const kIndex = "wish_list_search_index";
const char* const kWait = "wish_list_wait";

// The main window normally declares these; the searcher must also work
// without it.
void DeclareTypes() {
    if (d.FindType(kItem) && d.FindType(kEnabled))
        return;
    Type* item = d.FindType(kItem) ? d.GetType(kItem) : d.NewType(kItem, PrimacyRoot, false, true);
    Type* enabled =
        d.FindType(kEnabled) ? d.GetType(kEnabled) : d.NewType(kEnabled, PrimacyLeaf, true, false);
    if (!item->IsRelatedTo(enabled))
        item->RelateToType(enabled, Many, One, false);
    if (dataSaver) {
        dataSaver->AddSavedType(kItem);
        dataSaver->AddSavedType(kEnabled);
    }
}
}  // namespace

WishListSearcher::WishListSearcher(QObject* parent) : QObject(parent) {
    wishListSearcher = this;
    DeclareTypes();
    if (gp_server)
        connect(gp_server, &Server::WishListWait, this, &WishListSearcher::OnWishListWait);
    SetRuntimeSetting(kIndex, 0);
    connect(&m_timer, &QTimer::timeout, this, &WishListSearcher::OnSearchTimerTimeout);
}

WishListSearcher::~WishListSearcher() {
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

void WishListSearcher::OnWishListWait(uint waitPeriod) {
    SetRuntimeSetting(kWait, waitPeriod);
    m_timer.stop();
    const uint seconds = qBound(kMinWaitSeconds, waitPeriod, kMaxWaitSeconds);
    if (seconds != waitPeriod)
        Log(kArea, 1,
            QString("Wish list wait period of %1 seconds from the server is out of range, "
                    "using %2 seconds")
                .arg(waitPeriod)
                .arg(seconds));
    const int interval = int(qint64(seconds) * 1000);
    Log(kArea, 1, QString("Wish list wait period set to %1 milliseconds").arg(interval));
    m_timer.setInterval(interval);
    m_timer.setSingleShot(false);
    m_timer.start();
}

void WishListSearcher::OnSearchTimerTimeout() {
    const int index = GetRuntimeSettingInt(kIndex);
    const ItemSet enabled = d.GetType(kItem)->GetItems().Connected(kEnabled);
    if (enabled.Empty())
        return;
    const std::list<ItemPtr> sorted = enabled.SortAlphabetic(true, true);
    const int count = int(sorted.size());
    auto it = sorted.begin();
    std::advance(it, index > 0 ? index % count : 0);
    const QString text = it->AsString();
    if (gp_server)
        gp_server->FileSearch(text, true);
    Log(kArea, 1, QString("Sent wish list search: %1").arg(text));
    SetRuntimeSetting(kIndex, index >= 0 && index + 1 < count ? index + 1 : 0);
}
