#ifndef TAVENOOK_NET_OBFUSCATION_H
#define TAVENOOK_NET_OBFUSCATION_H

// The transform of the obfuscated listening port (docs/protocol.md,
// "Obfuscation"). Each frame, length field included, travels as a fresh u32
// key K followed by the frame bytes, the i-th 4-byte block (from 0) XORed with
// K rotated right by i + 1 bits; a short last block uses the low-order bytes.
// The key and every XOR value are little-endian like every integer.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "net/PeerLimits.h"
#include "store/MemStream.h"

namespace Obfuscation {

quint32 RotateRight(quint32 value, unsigned bits);

// XORs bytes in place as they stand at `offset` bytes into a frame.
void Apply(char* data, qint64 size, quint32 key, qint64 offset = 0);

// The key followed by the transformed frame.
QByteArray Encode(const QByteArray& frame, quint32 key);
// The same with a fresh random key.
QByteArray Encode(const QByteArray& frame);

}  // namespace Obfuscation

// Splits an obfuscated byte stream back into plain frames. Bytes may arrive
// split anywhere; a frame comes out only when it is whole. The length is
// checked as soon as its 4 bytes are there, so a hostile one never makes the
// decoder hold more than the cap plus the bytes of one Feed call.
class ObfuscationDecoder {
public:
    enum Result { NeedMore, Frame, Error };

    explicit ObfuscationDecoder(quint32 maxLength = PeerLimits::kMaxFrameLength);

    // Applies to frames not yet taken out (the set-up has a lower cap than
    // the messages after it).
    void SetMaxLength(quint32 maxLength) { m_maxLength = maxLength; }
    quint32 MaxLength() const { return m_maxLength; }

    void Feed(const char* data, qint64 size);
    void Feed(const QByteArray& bytes) { Feed(bytes.constData(), bytes.size()); }

    // The next whole plain frame, length field included.
    Result Next(QByteArray& frame);
    // The next frame as its code and a stream of its payload.
    Result Next(quint32& code, MemStream& payload);

    void Clear();
    bool HasError() const { return m_error; }
    QString ErrorText() const { return m_errorText; }
    qint64 BufferedBytes() const { return qint64(m_buffer.size()) - m_start; }
    // As FrameReader::NextFrameSize, the key counted.
    qint64 NextFrameSize(const QByteArray& after = QByteArray()) const;
    static constexpr int kHeaderBytes = 8;

private:
    void Compact();
    void Fail(const QString& why);

    QByteArray m_buffer;
    qint64 m_start = 0;
    quint32 m_maxLength;
    bool m_error = false;
    QString m_errorText;
};

#endif
