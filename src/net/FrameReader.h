#ifndef TAVENOOK_NET_FRAMEREADER_H
#define TAVENOOK_NET_FRAMEREADER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "store/MemStream.h"

// Splits a byte stream into frames of the form [u32 length][u32 code][payload],
// the length counting the code and the payload. Bytes may arrive split at
// any point; a frame is given out only once it is all there.
//
// Memory stays bounded: the reader never holds more than one incomplete frame
// (at most the cap) plus the bytes of one Feed call. Callers feed bounded
// chunks and take every complete frame before feeding again.
class FrameReader {
public:
    static constexpr quint32 kDefaultMaxLength = 10485760;

    enum Result {
        NeedMore,  // no complete frame buffered
        Frame,     // one frame taken out
        Error      // the stream is broken (bad length); nothing more comes out
    };

    explicit FrameReader(quint32 maxLength = kDefaultMaxLength);

    void Feed(const char* data, qint64 size);
    void Feed(const QByteArray& bytes) { Feed(bytes.constData(), bytes.size()); }

    // Takes out the next complete frame: its code, and its payload as a
    // stream of its own whose buffer starts at the first payload byte.
    Result Next(quint32& code, MemStream& payload);

    // Forgets every buffered byte and any error.
    void Clear();

    bool HasError() const { return m_error; }
    QString ErrorText() const { return m_errorText; }
    // Bytes held and not yet given out.
    qint64 BufferedBytes() const { return qint64(m_buffer.size()) - m_start; }
    quint32 MaxLength() const { return m_maxLength; }
    // The next frame's size with its header, that header read from the
    // buffered bytes and then `after`, the bytes that follow them; -1 while
    // it is not all there, or when the length is one never taken.
    qint64 NextFrameSize(const QByteArray& after = QByteArray()) const;
    static constexpr int kHeaderBytes = 4;

private:
    void Compact();

    QByteArray m_buffer;
    qint64 m_start = 0;  // first byte not yet given out
    quint32 m_maxLength;
    bool m_error = false;
    QString m_errorText;
};

#endif
