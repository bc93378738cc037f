#ifndef TAVENOOK_SHELL_SOUNDPLAYER_H
#define TAVENOOK_SHELL_SOUNDPLAYER_H

#include <QString>

class QIODevice;

// The one place that plays event sounds. A machine without an audio device
// is not an error: the sound is simply not heard. Tests install their own
// player to see what would have been played.
class SoundPlayer {
public:
    virtual ~SoundPlayer();
    // Each file gets one player object for all its sounds, kept for good,
    // so a sound that is never heard (no sound server) leaves nothing
    // behind; a file that failed once is not tried again. A file is handed
    // to the player only when it reads as a whole wave (WholeWave).
    virtual void play(const QString& path);

    // Runs events until no sound is still loading its file, for at most
    // `timeoutMs`; false when one still is. The program calls it before it
    // ends: a load cut off at exit leaves the loader's objects behind. A
    // whole wave loads in moments.
    static bool WaitForLoads(int timeoutMs);

    // The player in use; a plain one until SetInstance installs another.
    static SoundPlayer* Instance();
    // Not owned; null puts the plain player back.
    static void SetInstance(SoundPlayer* player);
};

// Whether the device, read from its start, holds a RIFF (or big-endian
// RIFX) WAVE header, a whole "fmt " chunk and then a "data" chunk whose
// length the device holds. The sample loader waits for ever for bytes that
// a shorter file lacks, and sets aside the memory that "data" claims.
// Reads at most the chunk headers; the device must be seekable.
bool WholeWave(QIODevice& device);

#endif
