#ifndef TAVENOOK_NET_PEERPAYLOADS_H
#define TAVENOOK_NET_PEERPAYLOADS_H

// The compressed peer message bodies (share list, search results) and the
// user-info reply: bounded inflate and deflate, parsing, and the storage of
// search results as items. Everything read here comes from an untrusted peer:
// counts are checked against the bytes left and never used to size memory.

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/Data.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"

// Folder path bytes exactly as received → the files in that folder.
using FileInfoMap = std::map<std::string, std::set<FileInfo>>;
// Attribute key → its display name, as a share list may carry.
using AttributeTranslationTable = std::map<quint32, QString>;

// Inflates a zlib (RFC 1950) stream into out (replacing its contents). False
// on a malformed or truncated stream, on bytes after the end of the stream,
// or as soon as the output would exceed cap; out is then empty. Output grows
// chunk by chunk, so no more than cap plus one chunk is ever held. A cap above
// 1 GiB counts as 1 GiB.
bool InflateBounded(const char* data, qint64 size, qint64 cap, QByteArray& out);

// Compresses in at level 9 into out (a zlib stream, the bytes compress2
// makes). False on failure, or once `stop` is set: any thread may compress,
// and a long compression can be called off.
bool DeflatePayload(const QByteArray& in, QByteArray& out, const std::atomic<bool>* stop = nullptr);

// The body of a share-list reply (after the code): a zlib stream of at most
// PeerLimits::kMaxInflatedSize bytes once inflated. The stream is inflated
// once to learn its size and then parsed as it inflates again, so that only
// the parsed result takes memory. On failure both outputs are left empty.
bool ParseSharedFileList(const char* zlibData, qint64 size, FileInfoMap& share,
                         AttributeTranslationTable& table);

struct SearchResultMessage {
    QString user;
    quint32 token = 0;
    std::vector<FileInfo> files;
    bool freeSlot = false;
    quint32 uploadSpeed = 0;
    quint32 queueLength = 0;
};

// The body of a search reply (after the code), read as the share list is.
// A free-slot byte other than 1 means no free slot; the trailing extra list
// is optional and ignored. On failure out is reset to a default-constructed
// message.
bool ParseSearchResults(const char* zlibData, qint64 size, SearchResultMessage& out);
// The request number of a search reply, from the start of its stream alone
// (the user's name and the number): a reply for a search that is not ours
// is known without inflating the rest. False when the start does not read.
bool PeekSearchToken(const char* zlibData, qint64 size, quint32& token);
// Whether the token names one of our searches that takes results still.
bool SearchAwaitsResults(quint32 token);

// Stores a search reply under the request it answers and returns the new
// "search_results" item; a null handle, and nothing stored, when the token
// names no request (none is created), the search was stopped, or no file
// passes the request's text (each one filtered out is logged). fromUser is
// the peer of the connection the reply came on, not the name inside the
// message. Names and folders are stored as the bytes that came; a name
// without a separator gets an empty folder.
ItemPtr StoreSearchResults(const QString& fromUser, const SearchResultMessage& message);

struct UserInfoReply {
    QString description;
    bool hasPicture = false;
    QByteArray picture;
    int uploadSlots = 0;
    int queuedUploads = 0;
    bool freeSlot = false;
};

// The body of a user-info reply (after the code), read from the payload's
// read position. A picture length beyond the bytes left is malformed; counts
// above INT_MAX are clamped to it. On failure out is reset to a
// default-constructed reply and the read position is left where it was.
bool ParseUserInfoReply(MemStream& payload, UserInfoReply& out);

#endif
