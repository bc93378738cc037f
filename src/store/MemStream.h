#ifndef TAVENOOK_STORE_MEMSTREAM_H
#define TAVENOOK_STORE_MEMSTREAM_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <string>
#include <vector>

// Byte streams for wire messages and saved files. Integers are little-endian;
// a string ("str") is a u32 byte count followed by that many bytes.
//
// Reads are all-or-nothing: a read that fails leaves its output untouched and
// consumes nothing, so a caller can drop a short or malformed message without
// having half-parsed state.
class InputStream {
public:
    // Strings longer than this are refused by the readers (and by the writers,
    // so that nothing we write is unreadable by us).
    static constexpr quint32 kMaxStringLength = 131072;

    virtual ~InputStream() = default;

    // Bytes that a read can still take.
    virtual qint64 BytesLeft() const = 0;
    // Copies exactly n bytes and consumes them, or fails consuming nothing.
    virtual bool ReadBuffer(void* data, qint64 n) = 0;
    // Copies exactly n bytes without consuming them.
    virtual bool PeekBuffer(void* data, qint64 n) = 0;

    bool Read(quint8& value);
    bool Read(qint8& value);
    bool Read(quint16& value);
    bool Read(qint16& value);
    bool Read(quint32& value);
    bool Read(qint32& value);
    bool Read(quint64& value);
    bool Read(qint64& value);
    // One byte; any value other than 0 is true.
    bool Read(bool& value);
    // The raw bytes of a str.
    bool Read(std::string& value);
    bool Read(QByteArray& value);
    // A str decoded by ToQString (UTF-8, else the chosen code page, else Latin-1).
    bool Read(QString& value);

private:
    template <typename T>
    bool ReadInteger(T& value);
    bool ReadStringBytes(std::string& bytes);
};

class OutputStream {
public:
    virtual ~OutputStream() = default;

    // Writes all n bytes; false when they could not all be written.
    virtual bool WriteBuffer(const void* data, qint64 n) = 0;

    bool Write(quint8 value);
    bool Write(qint8 value);
    bool Write(quint16 value);
    bool Write(qint16 value);
    bool Write(quint32 value);
    bool Write(qint32 value);
    bool Write(quint64 value);
    bool Write(qint64 value);
    bool Write(bool value);
    // Strings are written as str; those the readers would refuse are not written.
    bool Write(const std::string& value);
    bool Write(const QByteArray& value);
    bool Write(const char* value);
    bool Write(char* value) { return Write(static_cast<const char*>(value)); }
    // UTF-8 bytes as str.
    bool Write(const QString& value);

    // Anything else (char, enums, long, size_t, double, other pointers) would
    // convert silently to one of the above and change the wire format: cast
    // explicitly instead.
    template <typename T>
    bool Write(T value) = delete;

private:
    template <typename T>
    bool WriteInteger(T value);
    bool WriteStringBytes(const char* data, qint64 n);
};

class Stream : public InputStream, public OutputStream {};

// A growable memory buffer in which messages are built and parsed.
//
// Copies share the buffer object (a message handed on by value is the same
// bytes); each copy has its own read and write positions. ResizeBuffer gives
// the calling copy a fresh buffer and leaves the others on the old one.
// Invariant: 0 <= read position <= write position <= buffer size.
// Not thread-safe, and neither are copies sharing one buffer.
class MemStream : public Stream {
public:
    static constexpr qint64 kInitialSize = 256;
    // No buffer grows or is resized beyond this; writes that would need more fail.
    static constexpr qint64 kMaxBufferSize = 64 * 1024 * 1024;

    MemStream();
    // The buffer holds exactly these bytes; read position 0, write position at the end.
    explicit MemStream(const QByteArray& bytes);
    // Declared so that no move is generated: a moved-from stream would have no
    // buffer, whereas a "moved" one here shares it like a copy and stays usable.
    MemStream(const MemStream&) = default;
    MemStream& operator=(const MemStream&) = default;

    // The bytes between the read and the write position.
    qint64 BytesLeft() const override;
    bool ReadBuffer(void* data, qint64 n) override;
    bool PeekBuffer(void* data, qint64 n) override;
    // Writes at the write position, growing the buffer (doubling) as needed.
    bool WriteBuffer(const void* data, qint64 n) override;

    qint64 GetReadPos() const { return m_readIndex; }
    // Refuses positions outside 0..write position.
    bool SetReadPos(qint64 pos);
    qint64 GetWritePos() const { return m_writeIndex; }
    // Refuses positions outside 0..buffer size; a read position beyond the new
    // write position is moved back to it.
    bool SetWritePos(qint64 pos);

    qint64 GetBufferSize() const;
    // Replaces this copy's buffer by a new zeroed one of exactly n bytes and
    // sets both positions to 0. Refuses n < 0 and n > kMaxBufferSize.
    bool ResizeBuffer(qint64 n);
    // The start of the buffer, for filling it directly (GetBufferSize() bytes;
    // then set the write position). Invalidated when any sharing copy grows it.
    char* GetBuffer();
    const char* GetBuffer() const;

    // The bytes from the start of the buffer to the write position, whatever
    // the read position.
    QByteArray GetWrittenBytes() const;

private:
    bool Reserve(qint64 needed);

    std::shared_ptr<std::vector<char>> mp_buffer;
    qint64 m_readIndex = 0;
    qint64 m_writeIndex = 0;
};

#endif
