#include "store/QFileStreamer.h"

#include <QIODevice>
#include <algorithm>

QFileStreamer::QFileStreamer(QIODevice* device) : mp_device(device) {}

qint64 QFileStreamer::BytesLeft() const {
    if (mp_device == nullptr || !mp_device->isReadable()) {
        return 0;
    }
    if (mp_device->isSequential()) {
        return mp_device->bytesAvailable();
    }
    return std::max<qint64>(0, mp_device->size() - mp_device->pos());
}

bool QFileStreamer::ReadBuffer(void* data, qint64 n) {
    if (n < 0 || n > BytesLeft()) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    if (mp_device->isSequential()) {
        // Only what is already buffered is counted as left, so this succeeds;
        // should it not, the bytes cannot be put back.
        return mp_device->read(static_cast<char*>(data), n) == n;
    }
    const qint64 start = mp_device->pos();
    if (mp_device->read(static_cast<char*>(data), n) != n) {
        mp_device->seek(start);
        return false;
    }
    return true;
}

bool QFileStreamer::PeekBuffer(void* data, qint64 n) {
    if (n < 0 || n > BytesLeft()) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    return mp_device->peek(static_cast<char*>(data), n) == n;
}

bool QFileStreamer::WriteBuffer(const void* data, qint64 n) {
    if (mp_device == nullptr || n < 0 || !mp_device->isWritable()) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    return mp_device->write(static_cast<const char*>(data), n) == n;
}
