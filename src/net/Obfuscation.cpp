#include "net/Obfuscation.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <cstring>

namespace Obfuscation {

quint32 RotateRight(quint32 value, unsigned bits) {
    bits &= 31u;
    if (bits == 0)
        return value;
    return (value >> bits) | (value << (32u - bits));
}

void Apply(char* data, qint64 size, quint32 key, qint64 offset) {
    if (data == nullptr || size <= 0 || offset < 0)
        return;
    qint64 pos = offset;
    qint64 k = 0;
    while (k < size) {
        const qint64 block = pos / 4;
        uchar mask[4];
        qToLittleEndian<quint32>(RotateRight(key, unsigned((block + 1) % 32)), mask);
        // The rest of this block, or what is left of the data.
        const int inBlock = int(pos % 4);
        const qint64 n = qMin<qint64>(4 - inBlock, size - k);
        for (qint64 j = 0; j < n; ++j)
            data[k + j] = char(uchar(data[k + j]) ^ mask[inBlock + j]);
        k += n;
        pos += n;
    }
}

QByteArray Encode(const QByteArray& frame, quint32 key) {
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(key, out.data());
    out += frame;
    Apply(out.data() + 4, frame.size(), key);
    return out;
}

QByteArray Encode(const QByteArray& frame) {
    return Encode(frame, QRandomGenerator::global()->generate());
}

}  // namespace Obfuscation

ObfuscationDecoder::ObfuscationDecoder(quint32 maxLength) : m_maxLength(maxLength) {}

void ObfuscationDecoder::Feed(const char* data, qint64 size) {
    if (m_error || data == nullptr || size <= 0)
        return;
    Compact();
    m_buffer.append(data, int(size));
}

void ObfuscationDecoder::Fail(const QString& why) {
    m_error = true;
    m_errorText = why;
    m_buffer.clear();
    m_start = 0;
}

ObfuscationDecoder::Result ObfuscationDecoder::Next(QByteArray& frame) {
    if (m_error)
        return Error;
    const qint64 available = BufferedBytes();
    if (available < 8)
        return NeedMore;
    const char* head = m_buffer.constData() + m_start;
    const quint32 key = qFromLittleEndian<quint32>(head);
    char lengthBytes[4];
    std::memcpy(lengthBytes, head + 4, 4);
    Obfuscation::Apply(lengthBytes, 4, key);
    const quint32 length = qFromLittleEndian<quint32>(lengthBytes);
    if (length < PeerLimits::kMinFrameLength || length > m_maxLength) {
        Fail(QString("bad frame length %1").arg(length));
        return Error;
    }
    if (available < 8 + qint64(length))
        return NeedMore;
    frame = QByteArray(head + 4, int(4 + length));
    Obfuscation::Apply(frame.data(), frame.size(), key);
    m_start += 8 + qint64(length);
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return Frame;
}

ObfuscationDecoder::Result ObfuscationDecoder::Next(quint32& code, MemStream& payload) {
    QByteArray frame;
    const Result result = Next(frame);
    if (result != Frame)
        return result;
    code = qFromLittleEndian<quint32>(frame.constData() + 4);
    payload = MemStream(frame.mid(8));
    return Frame;
}

qint64 ObfuscationDecoder::NextFrameSize(const QByteArray& after) const {
    QByteArray head = m_buffer.mid(int(m_start), kHeaderBytes);
    head += after.left(kHeaderBytes - head.size());
    if (m_error || head.size() < kHeaderBytes)
        return -1;
    const quint32 key = qFromLittleEndian<quint32>(head.constData());
    Obfuscation::Apply(head.data() + 4, 4, key);
    const quint32 length = qFromLittleEndian<quint32>(head.constData() + 4);
    return length < PeerLimits::kMinFrameLength || length > m_maxLength ? -1 : 8 + qint64(length);
}

void ObfuscationDecoder::Clear() {
    m_buffer.clear();
    m_start = 0;
    m_error = false;
    m_errorText.clear();
}

void ObfuscationDecoder::Compact() {
    if (m_start > 0) {
        m_buffer.remove(0, int(m_start));
        m_start = 0;
    }
}
