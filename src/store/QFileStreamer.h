#ifndef TAVENOOK_STORE_QFILESTREAMER_H
#define TAVENOOK_STORE_QFILESTREAMER_H

#include "store/MemStream.h"

class QIODevice;

// A stream over an open file (or any open QIODevice), which it does not own.
// Reads and writes share the device's position. Reads are all-or-nothing like
// those of MemStream: a read asks for no more than is left and, should the
// device still deliver less, the position is put back.
class QFileStreamer : public Stream {
public:
    explicit QFileStreamer(QIODevice* device);

    QIODevice* GetDevice() const { return mp_device; }

    // For a file: its size less the position; for a sequential device: the
    // bytes already available. 0 when the device is not open for reading.
    qint64 BytesLeft() const override;
    // On a failed read the position is unchanged; the destination may hold
    // part of the bytes only after a device error.
    bool ReadBuffer(void* data, qint64 n) override;
    bool PeekBuffer(void* data, qint64 n) override;
    bool WriteBuffer(const void* data, qint64 n) override;

private:
    QIODevice* mp_device;
};

#endif
