#ifndef TAVENOOK_TESTS_SUPPORT_PAYLOAD_H
#define TAVENOOK_TESTS_SUPPORT_PAYLOAD_H

#include <QByteArray>
#include <QString>
#include <string>
#include <utility>
#include <vector>

#include "net/PeerPayloads.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

// Builds message payloads field by field, the way the protocol lays them out.
class Payload {
public:
    Payload& U8(quint8 v) { return Put(v); }
    Payload& U32(quint32 v) { return Put(v); }
    Payload& I32(qint32 v) { return Put(v); }
    Payload& I64(qint64 v) { return Put(v); }
    Payload& U64(quint64 v) { return Put(v); }
    Payload& Str(const QString& v) { return Put(v); }
    Payload& Raw(const QByteArray& v) {
        m.WriteBuffer(v.constData(), v.size());
        return *this;
    }
    Payload& Stats(const UserStats& s) {
        s.Write(m);
        return *this;
    }
    // One file record: u8 1, name, size, extension "mp3", attribute pairs.
    Payload& File(const std::string& name, quint64 size,
                  std::vector<std::pair<quint32, quint32>> attrs = {}) {
        m.Write(quint8(1));
        m.Write(name);
        m.Write(size);
        m.Write(std::string("mp3"));
        m.Write(quint32(attrs.size()));
        for (const auto& a : attrs) {
            m.Write(a.first);
            m.Write(a.second);
        }
        return *this;
    }
    QByteArray Bytes() const { return m.GetWrittenBytes(); }
    operator QByteArray() const { return Bytes(); }

private:
    template <typename T>
    Payload& Put(const T& v) {
        m.Write(v);
        return *this;
    }
    MemStream m;
};

// A body deflated the way the network's senders do it (zlib, level 9).
inline QByteArray Compress(const QByteArray& body) {
    QByteArray out;
    if (!DeflatePayload(body, out))
        qFatal("DeflatePayload failed");
    return out;
}

#endif
