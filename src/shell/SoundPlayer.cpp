#include "shell/SoundPlayer.h"

#include <QHash>
#include <QSet>
#include <QSoundEffect>
#include <QUrl>

#include "store/Log.h"

namespace {
SoundPlayer* g_installed = nullptr;

// One effect per file, never deleted: letting go of a sample that is still
// loading (one that is no sound may load for ever) blocks the main thread
// until the loading ends. The paths are the user's choices of event sounds,
// a handful.
QHash<QString, QSoundEffect*>& Effects() {
    static auto* effects = new QHash<QString, QSoundEffect*>;
    return *effects;
}

QSet<QString>& Failed() {
    static auto* failed = new QSet<QString>;
    return *failed;
}
}  // namespace

SoundPlayer::~SoundPlayer() = default;

void SoundPlayer::play(const QString& path) {
    if (path.isEmpty() || Failed().contains(path))
        return;
    QSoundEffect*& effect = Effects()[path];
    if (!effect) {
        // Each new effect asks the sound server again: one per file.
        effect = new QSoundEffect;
        QSoundEffect* made = effect;
        QObject::connect(made, &QSoundEffect::statusChanged, made, [made, path] {
            if (made->status() != QSoundEffect::Error || Failed().contains(path))
                return;
            Failed().insert(path);
            Log("Application", 1,
                QString("The sound %1 cannot be played; it is not tried again.").arg(path));
        });
        made->setSource(QUrl::fromLocalFile(path));
    }
    if (effect->status() != QSoundEffect::Error)
        effect->play();
}

SoundPlayer* SoundPlayer::Instance() {
    static SoundPlayer plain;
    return g_installed ? g_installed : &plain;
}

void SoundPlayer::SetInstance(SoundPlayer* player) {
    g_installed = player;
}
