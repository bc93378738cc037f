#ifndef TAVENOOK_BENCH_RESULTANSWERS_H
#define TAVENOOK_BENCH_RESULTANSWERS_H

#include <QString>
#include <string>

#include "net/PeerPayloads.h"
#include "store/FileInfo.h"

// One user's answer of `files` results, stored by the peer messaging's own
// writer, as a reply from the network would be; every file name holds "song".
inline ItemPtr ResultAnswer(quint32 token, int user, int files, int serial) {
    SearchResultMessage message;
    message.token = token;
    message.freeSlot = user % 3 == 0;
    message.uploadSpeed = quint32(1000 + (user * 7919) % 900000);
    message.queueLength = quint32(user % 17);
    for (int k = 0; k < files; ++k) {
        const int n = serial + k;
        AttributeMap attributes;
        attributes.Set(AttributeMap::kBitrate, quint32(128 + n % 193));
        message.files.emplace_back("Music\\Artist " + std::to_string(user % 400) + "\\Album " +
                                       std::to_string((n / 20) % 50) + "\\track " +
                                       std::to_string(n) + " song.mp3",
                                   qint64(1000000 + (n * 104729LL) % 90000000), attributes);
    }
    return StoreSearchResults(QString("user%1").arg(user), message);
}

#endif
