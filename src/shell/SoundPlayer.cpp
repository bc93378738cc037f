#include "shell/SoundPlayer.h"

#include <QSound>

namespace {
SoundPlayer* g_installed = nullptr;
}

SoundPlayer::~SoundPlayer() = default;

void SoundPlayer::play(const QString& path) {
    QSound::play(path);
}

SoundPlayer* SoundPlayer::Instance() {
    static SoundPlayer plain;
    return g_installed ? g_installed : &plain;
}

void SoundPlayer::SetInstance(SoundPlayer* player) {
    g_installed = player;
}
