#ifndef TAVENOOK_TESTS_SUPPORT_WAVE_H
#define TAVENOOK_TESTS_SUPPORT_WAVE_H

#include <QByteArray>
#include <QDataStream>

// A wave file of a quarter second: 8 kHz, 16-bit mono, a plain tone; a sound
// the player can load, whether or not the machine can play it.
inline QByteArray Wave() {
    constexpr int kSamples = 2000;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + 2 * kSamples);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(2 * kSamples);
    for (int i = 0; i < kSamples; ++i)
        out << qint16((i % 16 < 8) ? 8000 : -8000);
    return bytes;
}

#endif
