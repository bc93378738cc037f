#ifndef TAVENOOK_SHELL_SOUNDPLAYER_H
#define TAVENOOK_SHELL_SOUNDPLAYER_H

#include <QString>

// The one place that plays event sounds. A machine without an audio device
// is not an error: the sound is simply not heard. Tests install their own
// player to see what would have been played.
class SoundPlayer {
public:
    virtual ~SoundPlayer();
    // Each file gets one player object for all its sounds, kept for good,
    // so a sound that is never heard (no sound server) leaves nothing
    // behind; a file that failed once is not tried again.
    virtual void play(const QString& path);

    // The player in use; a plain one until SetInstance installs another.
    static SoundPlayer* Instance();
    // Not owned; null puts the plain player back.
    static void SetInstance(SoundPlayer* player);
};

#endif
