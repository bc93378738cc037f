#include "net/FrameReader.h"

#include <QtEndian>

FrameReader::FrameReader(quint32 maxLength) : m_maxLength(maxLength) {}

void FrameReader::Feed(const char* data, qint64 size) {
    if (m_error || data == nullptr || size <= 0)
        return;
    Compact();
    m_buffer.append(data, int(size));
}

FrameReader::Result FrameReader::Next(quint32& code, MemStream& payload) {
    if (m_error)
        return Error;
    const qint64 available = BufferedBytes();
    if (available < 4)
        return NeedMore;
    const char* head = m_buffer.constData() + m_start;
    const quint32 length = qFromLittleEndian<quint32>(head);
    // Checked before waiting for the body, so a hostile length never makes us
    // hold more than the cap.
    if (length < 4 || length > m_maxLength) {
        m_error = true;
        m_errorText = QString("bad frame length %1").arg(length);
        m_buffer.clear();
        m_start = 0;
        return Error;
    }
    if (available < 4 + qint64(length))
        return NeedMore;
    code = qFromLittleEndian<quint32>(head + 4);
    payload = MemStream(QByteArray(head + 8, int(length - 4)));
    m_start += 4 + qint64(length);
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return Frame;
}

qint64 FrameReader::NextFrameSize(const QByteArray& after) const {
    QByteArray head = m_buffer.mid(int(m_start), kHeaderBytes);
    head += after.left(kHeaderBytes - head.size());
    if (m_error || head.size() < kHeaderBytes)
        return -1;
    const quint32 length = qFromLittleEndian<quint32>(head.constData());
    return length < 4 || length > m_maxLength ? -1 : 4 + qint64(length);
}

void FrameReader::Clear() {
    m_buffer.clear();
    m_start = 0;
    m_error = false;
    m_errorText.clear();
}

void FrameReader::Compact() {
    if (m_start > 0) {
        m_buffer.remove(0, int(m_start));
        m_start = 0;
    }
}
