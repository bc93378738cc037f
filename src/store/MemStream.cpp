#include "store/MemStream.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>

#include "store/GeneralFunctions.h"

// ---- InputStream ----

template <typename T>
bool InputStream::ReadInteger(T& value) {
    uchar bytes[sizeof(T)];
    if (!ReadBuffer(bytes, sizeof(T))) {
        return false;
    }
    value = qFromLittleEndian<T>(bytes);
    return true;
}

bool InputStream::Read(quint8& value) {
    return ReadInteger(value);
}
bool InputStream::Read(qint8& value) {
    return ReadInteger(value);
}
bool InputStream::Read(quint16& value) {
    return ReadInteger(value);
}
bool InputStream::Read(qint16& value) {
    return ReadInteger(value);
}
bool InputStream::Read(quint32& value) {
    return ReadInteger(value);
}
bool InputStream::Read(qint32& value) {
    return ReadInteger(value);
}
bool InputStream::Read(quint64& value) {
    return ReadInteger(value);
}
bool InputStream::Read(qint64& value) {
    return ReadInteger(value);
}

bool InputStream::Read(bool& value) {
    quint8 byte = 0;
    if (!ReadInteger(byte)) {
        return false;
    }
    value = byte != 0;
    return true;
}

bool InputStream::ReadStringBytes(std::string& bytes) {
    // Look at the count first: a hostile count must not allocate, and a str
    // that is not all there must leave its count unread.
    uchar countBytes[4];
    if (!PeekBuffer(countBytes, sizeof(countBytes))) {
        return false;
    }
    const quint32 count = qFromLittleEndian<quint32>(countBytes);
    const qint64 total = qint64(sizeof(countBytes)) + count;
    if (count > kMaxStringLength || BytesLeft() < total) {
        return false;
    }
    // Count and bytes in one read, so that nothing is consumed if it fails.
    std::string buffer(static_cast<std::size_t>(total), '\0');
    if (!ReadBuffer(&buffer[0], total)) {
        return false;
    }
    buffer.erase(0, sizeof(countBytes));
    bytes.swap(buffer);
    return true;
}

bool InputStream::Read(std::string& value) {
    return ReadStringBytes(value);
}

bool InputStream::Read(QByteArray& value) {
    std::string bytes;
    if (!ReadStringBytes(bytes)) {
        return false;
    }
    value = QByteArray(bytes.data(), int(bytes.size()));
    return true;
}

bool InputStream::Read(QString& value) {
    std::string bytes;
    if (!ReadStringBytes(bytes)) {
        return false;
    }
    value = ToQString(bytes.data(), bytes.size());
    return true;
}

// ---- OutputStream ----

template <typename T>
bool OutputStream::WriteInteger(T value) {
    uchar bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    return WriteBuffer(bytes, sizeof(T));
}

bool OutputStream::Write(quint8 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(qint8 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(quint16 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(qint16 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(quint32 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(qint32 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(quint64 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(qint64 value) {
    return WriteInteger(value);
}
bool OutputStream::Write(bool value) {
    return WriteInteger(quint8(value ? 1 : 0));
}

bool OutputStream::WriteStringBytes(const char* data, qint64 n) {
    if (n < 0 || n > qint64(InputStream::kMaxStringLength)) {
        return false;
    }
    // Count and bytes in one write, so a stream that refuses the bytes does
    // not keep a dangling count.
    char stackBuffer[256];
    std::vector<char> heapBuffer;
    char* buffer = stackBuffer;
    if (n + 4 > qint64(sizeof(stackBuffer))) {
        heapBuffer.resize(static_cast<std::size_t>(n + 4));
        buffer = heapBuffer.data();
    }
    qToLittleEndian<quint32>(quint32(n), buffer);
    if (n > 0) {
        std::memcpy(buffer + 4, data, static_cast<std::size_t>(n));
    }
    return WriteBuffer(buffer, n + 4);
}

bool OutputStream::Write(const std::string& value) {
    if (value.size() > InputStream::kMaxStringLength) {
        return false;
    }
    return WriteStringBytes(value.data(), qint64(value.size()));
}

bool OutputStream::Write(const QByteArray& value) {
    return WriteStringBytes(value.constData(), value.size());
}

bool OutputStream::Write(const char* value) {
    if (value == nullptr) {
        return WriteStringBytes("", 0);
    }
    const std::size_t length = std::strlen(value);
    if (length > InputStream::kMaxStringLength) {
        return false;
    }
    return WriteStringBytes(value, qint64(length));
}

bool OutputStream::Write(const QString& value) {
    return Write(value.toUtf8());
}

// ---- MemStream ----

MemStream::MemStream()
    : mp_buffer(std::make_shared<std::vector<char>>(static_cast<std::size_t>(kInitialSize))) {}

MemStream::MemStream(const QByteArray& bytes)
    : mp_buffer(std::make_shared<std::vector<char>>(bytes.constBegin(), bytes.constEnd())),
      m_writeIndex(bytes.size()) {}

qint64 MemStream::BytesLeft() const {
    return m_writeIndex - m_readIndex;
}

bool MemStream::PeekBuffer(void* data, qint64 n) {
    if (n < 0 || n > BytesLeft()) {
        return false;
    }
    if (n > 0) {
        std::memcpy(data, mp_buffer->data() + m_readIndex, static_cast<std::size_t>(n));
    }
    return true;
}

bool MemStream::ReadBuffer(void* data, qint64 n) {
    if (!PeekBuffer(data, n)) {
        return false;
    }
    m_readIndex += n;
    return true;
}

bool MemStream::Reserve(qint64 needed) {
    const qint64 size = GetBufferSize();
    if (needed <= size) {
        return true;
    }
    if (needed > kMaxBufferSize) {
        return false;
    }
    // Doubling keeps a message built by many small writes linear in its size.
    const qint64 grown = std::min(std::max({needed, size * 2, kInitialSize}), kMaxBufferSize);
    mp_buffer->resize(static_cast<std::size_t>(grown));
    return true;
}

bool MemStream::WriteBuffer(const void* data, qint64 n) {
    if (n < 0 || n > kMaxBufferSize - m_writeIndex) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    if (!Reserve(m_writeIndex + n)) {
        return false;
    }
    std::memcpy(mp_buffer->data() + m_writeIndex, data, static_cast<std::size_t>(n));
    m_writeIndex += n;
    return true;
}

bool MemStream::SetReadPos(qint64 pos) {
    if (pos < 0 || pos > m_writeIndex) {
        return false;
    }
    m_readIndex = pos;
    return true;
}

bool MemStream::SetWritePos(qint64 pos) {
    if (pos < 0 || pos > GetBufferSize()) {
        return false;
    }
    m_writeIndex = pos;
    m_readIndex = std::min(m_readIndex, m_writeIndex);
    return true;
}

qint64 MemStream::GetBufferSize() const {
    return qint64(mp_buffer->size());
}

bool MemStream::ResizeBuffer(qint64 n) {
    if (n < 0 || n > kMaxBufferSize) {
        return false;
    }
    mp_buffer = std::make_shared<std::vector<char>>(static_cast<std::size_t>(n));
    m_readIndex = 0;
    m_writeIndex = 0;
    return true;
}

char* MemStream::GetBuffer() {
    return mp_buffer->data();
}

const char* MemStream::GetBuffer() const {
    return mp_buffer->data();
}

QByteArray MemStream::GetWrittenBytes() const {
    return QByteArray(mp_buffer->data(), int(m_writeIndex));
}
