#ifndef TAVENOOK_TESTS_SUPPORT_FUZZ_H
#define TAVENOOK_TESTS_SUPPORT_FUZZ_H

#include <QByteArray>
#include <cstdint>
#include <random>

// Seeded random inputs and mutations shared by every fuzz test. Runs are
// fixed counts from fixed seeds, so a failure repeats exactly and a slow
// machine only takes longer.
namespace fuzz {

using Rng = std::mt19937;

inline int Below(Rng& rng, int bound) {
    return bound <= 0 ? 0 : int(rng() % unsigned(bound));
}

inline QByteArray RandomBytes(Rng& rng, int maxSize) {
    QByteArray bytes(Below(rng, maxSize + 1), '\0');
    for (char& c : bytes)
        c = char(rng());
    return bytes;
}

// One of the ways a peer's bytes go wrong: cut short, flipped bytes, a
// length field made huge, bytes left over, a slice repeated, or plain noise.
inline QByteArray Mutate(Rng& rng, QByteArray bytes) {
    switch (rng() % 7) {
        case 0:  // as built
            break;
        case 1:  // cut short
            bytes.truncate(Below(rng, bytes.size()));
            break;
        case 2:  // a few bytes changed
            for (int k = 0, n = 1 + Below(rng, 4); k < n && !bytes.isEmpty(); ++k)
                bytes[Below(rng, bytes.size())] = char(rng());
            break;
        case 3:  // a 32-bit count made huge
            if (bytes.size() >= 4) {
                const int at = Below(rng, bytes.size() - 3);
                const quint32 huge = rng() % 2 ? 0xFFFFFFFFu : 0x7FFFFFF0u + (rng() % 16);
                for (int k = 0; k < 4; ++k)
                    bytes[at + k] = char((huge >> (8 * k)) & 0xff);
            }
            break;
        case 4:  // bytes left over
            bytes.append(RandomBytes(rng, 16));
            break;
        case 5:  // a slice repeated
            if (!bytes.isEmpty()) {
                const int at = Below(rng, bytes.size());
                bytes.insert(at, bytes.mid(at, 1 + Below(rng, 32)));
            }
            break;
        default:  // noise
            bytes = RandomBytes(rng, 64);
            break;
    }
    return bytes;
}

}  // namespace fuzz

#endif
