#include "shell/SoundPlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>
#include <QtEndian>
#include <cstring>

#include "store/Log.h"
#include "store/PlainFile.h"

namespace {
SoundPlayer* g_installed = nullptr;

// One effect per file, never deleted: letting go of a sample that is still
// loading blocks the main thread until the loading ends. The paths are the
// user's choices of event sounds, a handful.
QHash<QString, QSoundEffect*>& Effects() {
    static auto* effects = new QHash<QString, QSoundEffect*>;
    return *effects;
}

QSet<QString>& Failed() {
    static auto* failed = new QSet<QString>;
    return *failed;
}

void Fail(const QString& path, const QString& why) {
    if (Failed().contains(path))
        return;
    Failed().insert(path);
    Log("Application", 1,
        QString("The sound %1 cannot be played%2; it is not tried again.").arg(path, why));
}

// Qt's sample loader runs on a thread of its own while any sample loads,
// and ends it after the last. (An effect's status does not tell: without a
// sound server it stays "loading" for good.) The thread's name,
// "QSampleCache::LoadingThread" cut short, is all that shows of it, and
// only once the thread has begun: until then it bears the name of the
// thread that started it, so the threads a new effect started are watched
// until they take a name of their own or end.
using Threads = QHash<QString, QByteArray>;  // id, name

Threads ProcessThreads() {
    Threads out;
    const QDir tasks("/proc/self/task");
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + "/comm"));
        if (comm.open(QIODevice::ReadOnly))
            out.insert(task, comm.readAll().trimmed());
    }
    return out;
}

// Started by new effects, with the name they were born with.
Threads& Unnamed() {
    static auto* unnamed = new Threads;
    return *unnamed;
}

void WatchNewThreads(const Threads& before) {
    QFile comm("/proc/thread-self/comm");
    if (!comm.open(QIODevice::ReadOnly))
        return;
    const QByteArray inherited = comm.readAll().trimmed();
    const Threads now = ProcessThreads();
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (!before.contains(it.key()) && it.value() == inherited)
            Unnamed().insert(it.key(), it.value());
    }
}

bool LoaderRunning() {
    const Threads now = ProcessThreads();
    for (auto it = Unnamed().begin(); it != Unnamed().end();) {
        if (now.value(it.key()) == it.value())
            return true;
        it = Unnamed().erase(it);
    }
    for (const QByteArray& name : now) {
        if (name.startsWith("QSampleCache"))
            return true;
    }
    return false;
}

// A user's choice of file: a link is followed, a FIFO is not waited on.
bool ReadsAsWave(const QString& path, QString* why) {
    QFile file;
    if (!OpenPlainFile(file, path, QIODevice::ReadOnly, why, true))
        return false;
    if (!WholeWave(file)) {
        *why = "not a whole wave file";
        return false;
    }
    return true;
}
}  // namespace

bool WholeWave(QIODevice& device) {
    const qint64 size = device.size();
    char header[12];
    if (size < 12 || !device.seek(0) || device.read(header, 12) != 12)
        return false;
    const bool big = std::memcmp(header, "RIFX", 4) == 0;
    if ((!big && std::memcmp(header, "RIFF", 4) != 0) || std::memcmp(header + 8, "WAVE", 4) != 0)
        return false;
    bool format = false;
    for (qint64 at = 12; at + 8 <= size;) {
        char chunk[8];
        if (!device.seek(at) || device.read(chunk, 8) != 8)
            return false;
        const qint64 length =
            big ? qFromBigEndian<quint32>(chunk + 4) : qFromLittleEndian<quint32>(chunk + 4);
        const qint64 rest = size - at - 8;
        if (std::memcmp(chunk, "data", 4) == 0)
            return format && length > 0 && length <= rest;
        if (length > rest)
            return false;
        // The loader takes the format from the first "fmt " chunk, whole.
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !format) {
            if (length < 16)
                return false;
            format = true;
        }
        at += 8 + length;
    }
    return false;
}

SoundPlayer::~SoundPlayer() = default;

void SoundPlayer::play(const QString& path) {
    if (path.isEmpty() || Failed().contains(path))
        return;
    QSoundEffect*& effect = Effects()[path];
    if (!effect) {
        QString why;
        if (!ReadsAsWave(path, &why)) {
            Effects().remove(path);
            Fail(path, ": " + why);
            return;
        }
        // Each new effect asks the sound server again: one per file.
        effect = new QSoundEffect;
        QSoundEffect* made = effect;
        QObject::connect(made, &QSoundEffect::statusChanged, made, [made, path] {
            if (made->status() == QSoundEffect::Error)
                Fail(path, QString());
        });
        const Threads before = ProcessThreads();
        made->setSource(QUrl::fromLocalFile(path));
        WatchNewThreads(before);
    }
    if (effect->status() != QSoundEffect::Error)
        effect->play();
}

bool SoundPlayer::WaitForLoads(int timeoutMs) {
    if (Effects().isEmpty())
        return true;
    QElapsedTimer clock;
    clock.start();
    while (LoaderRunning()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    // What the last load said (its end, or that it failed) is posted here.
    QCoreApplication::processEvents();
    return true;
}

SoundPlayer* SoundPlayer::Instance() {
    static SoundPlayer plain;
    return g_installed ? g_installed : &plain;
}

void SoundPlayer::SetInstance(SoundPlayer* player) {
    g_installed = player;
}
