#include "shares/MP3Scanner.h"

#include <QFile>
#include <QtAlgorithms>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "store/PlainFile.h"

namespace {

constexpr qint64 kChunkSize = 65536;

// Bytes a header needs after its first, inside the same chunk: three of its
// own and one more. So a header ending exactly at the end of a chunk (or of
// the file) is not counted, nor is one cut by a chunk boundary: every client
// built from the same rules then reports the same bitrate for the same file.
constexpr qint64 kTail = 4;

// Every header candidate is counted under a 13-bit key made of the header
// bits that matter: version (12-11), layer (10-9), protection (8), bitrate
// index (7-4), sample-rate index (3-2) and channel mode (1-0). The votes and
// the frame records are derived from these counts once the file is read, so
// the scan loop does one increment per candidate and memory stays constant.
constexpr int kKeyCount = 1 << 13;

constexpr int kVersion1 = 3;   // bits 11
constexpr int kVersion2 = 2;   // bits 10
constexpr int kVersion25 = 0;  // bits 00; 01 is reserved
constexpr int kLayer3 = 1;     // bits 01

constexpr int kKbpsMpeg1Layer3[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                      112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kKbpsMpeg2Layer3[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                      64, 80, 96, 112, 128, 144, 160, 0};

int MakeKey(int version, int layer, int protection, int bitrateIndex, int rateIndex, int mode) {
    return version << 11 | layer << 9 | protection << 8 | bitrateIndex << 4 | rateIndex << 2 | mode;
}

inline void CountCandidate(const uchar* p, quint64* counts) {
    ++counts[(p[1] & 0x1F) << 8 | (p[2] & 0xFC) | p[3] >> 6];
}

// Counts the header candidates starting at data[0, starts); data must hold
// kTail readable bytes beyond the last start.
void CountCandidates(const uchar* data, qint64 starts, quint64* counts) {
    qint64 i = 0;
#if defined(__SSE2__)
    // Sync candidates are rare in audio data, so 64 offsets are tested at
    // once. An offset is one when min(byte, next byte | 0x1F) is 0xFF: a
    // sync byte followed by the three set bits.
    const __m128i ff = _mm_set1_epi8(char(0xFF));
    const __m128i low = _mm_set1_epi8(0x1F);
    auto sync = [&](const uchar* p) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        return _mm_cmpeq_epi8(_mm_min_epu8(first, _mm_or_si128(second, low)), ff);
    };
    for (; i + 64 <= starts; i += 64) {
        const uchar* p = data + i;
        const __m128i s0 = sync(p);
        const __m128i s1 = sync(p + 16);
        const __m128i s2 = sync(p + 32);
        const __m128i s3 = sync(p + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(s0, s1), _mm_or_si128(s2, s3))) == 0) {
            continue;
        }
        auto bits = [](__m128i v) { return quint64(quint32(_mm_movemask_epi8(v))); };
        quint64 mask = bits(s0) | bits(s1) << 16 | bits(s2) << 32 | bits(s3) << 48;
        while (mask != 0) {
            CountCandidate(p + qCountTrailingZeroBits(mask), counts);
            mask &= mask - 1;
        }
    }
#endif
    // The rest, or everything where no vector code is built: the C library's
    // memchr is vectorised on most platforms.
    const uchar* p = data + i;
    const uchar* const end = data + starts;
    while (p < end) {
        p = static_cast<const uchar*>(std::memchr(p, 0xFF, size_t(end - p)));
        if (p == nullptr) {
            return;
        }
        if ((p[1] & 0xE0) == 0xE0) {
            CountCandidate(p, counts);
        }
        ++p;
    }
}

}  // namespace

bool ScanMP3File(const QString& path, int& mpegVersion, QString& channelMode, int& frequency,
                 bool& isVBR, int& bitrate, const std::function<bool()>& stopRequested) {
    if (stopRequested && stopRequested()) {
        return false;
    }
    bitrate = -1;

    QFile file;
    if (!OpenPlainFile(file, path, QIODevice::ReadOnly | QIODevice::Unbuffered, nullptr, true)) {
        return false;
    }
    const qint64 size = file.size();
    if (size < 1) {
        return false;
    }

    std::unique_ptr<uchar[]> buffer(new uchar[kChunkSize]);
    std::unique_ptr<quint64[]> counts(new quint64[kKeyCount]());
    // Reading stops at the size seen at open: a file that keeps growing
    // cannot keep the scanner busy, and no header beyond it would count.
    qint64 remaining = size;
    while (remaining > 0) {
        if (stopRequested && stopRequested()) {
            return false;
        }
        // A short read must not move the chunk boundaries: fill the chunk.
        const qint64 want = qMin(kChunkSize, remaining);
        qint64 got = 0;
        while (got < want) {
            const qint64 n = file.read(reinterpret_cast<char*>(buffer.get()) + got, want - got);
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                break;  // shrunk while being read: its end is where reading ends
            }
            got += n;
        }
        if (got > kTail) {
            CountCandidates(buffer.get(), got - kTail, counts.get());
        }
        if (got < want) {
            break;
        }
        remaining -= got;
    }

    quint64 versionVotes[4] = {};
    quint64 protectionVotes[2] = {};
    quint64 rateVotes[4] = {};
    quint64 modeVotes[4] = {};
    quint64 records = 0;
    for (int key = 0; key < kKeyCount; ++key) {
        const quint64 n = counts[key];
        const int version = key >> 11 & 3;
        if (n == 0 || version == 1) {
            continue;
        }
        versionVotes[version] += n;
        if ((key >> 9 & 3) != kLayer3) {
            continue;
        }
        protectionVotes[key >> 8 & 1] += n;
        const int rateIndex = key >> 2 & 3;
        if (rateIndex == 3) {
            continue;
        }
        rateVotes[rateIndex] += n;
        modeVotes[key & 3] += n;
        const int bitrateIndex = key >> 4 & 15;
        if (bitrateIndex != 0 && bitrateIndex != 15) {
            records += n;
        }
    }

    // Ties go to MPEG-2, to the higher sample-rate index and to the later
    // channel mode.
    const int version = versionVotes[kVersion1] > versionVotes[kVersion2] ? kVersion1 : kVersion2;
    if (versionVotes[version] <= versionVotes[kVersion25]) {
        return false;
    }
    const int protection = protectionVotes[1] > protectionVotes[0] ? 1 : 0;
    int rateIndex;
    if (rateVotes[1] >= rateVotes[0]) {
        rateIndex = rateVotes[2] >= rateVotes[1] ? 2 : 1;
    } else {
        rateIndex = rateVotes[2] >= rateVotes[0] ? 2 : 0;
    }
    int mode = modeVotes[1] >= modeVotes[0] ? 1 : 0;
    if (modeVotes[2] >= modeVotes[mode]) {
        mode = 2;
    }
    if (modeVotes[3] >= modeVotes[mode]) {
        mode = 3;
    }
    if (records == 0) {
        return false;
    }

    const int* kbpsTable = version == kVersion1 ? kKbpsMpeg1Layer3 : kKbpsMpeg2Layer3;
    quint64 histogram[321] = {};
    quint64 sum = 0;
    quint64 agreeing = 0;
    for (int bitrateIndex = 1; bitrateIndex <= 14; ++bitrateIndex) {
        const quint64 n =
            counts[MakeKey(version, kLayer3, protection, bitrateIndex, rateIndex, mode)];
        const int kbps = kbpsTable[bitrateIndex];
        histogram[kbps] += n;
        sum += n * quint64(kbps);
        agreeing += n;
    }
    if (agreeing == 0) {
        return false;
    }

    static const char* const kModeNames[4] = {"stereo", "joint stereo", "dual mono", "mono"};
    mpegVersion = version == kVersion1 ? 1 : 2;
    channelMode = QString::fromLatin1(kModeNames[mode]);
    frequency = rateIndex;
    bitrate = int(sum / agreeing);
    isVBR = true;
    for (int kbps = 1; kbps <= 320; ++kbps) {
        if (histogram[kbps] * 100 / agreeing > 98) {
            isVBR = false;
            bitrate = kbps;
        }
    }
    return true;
}
