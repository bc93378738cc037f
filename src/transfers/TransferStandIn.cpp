#include "transfers/TransferStandIn.h"

#include "store/Data.h"
#include "store/Log.h"

bool IsFreeToUpload() {
    return true;
}

int QueuedUploadCount() {
    return 0;
}

void UnshareUser(const QString& user) {
    const ItemPtr item = d.GetType("user")->GetItem(user);
    if (item.IsNull())
        return;
    item.Connect(d.GetType("unshared")->GetGlobalNullItem());
    Log("Transfers", 1, QStringLiteral("Unshared user %1").arg(user));
}
