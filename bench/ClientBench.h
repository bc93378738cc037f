#ifndef TAVENOOK_BENCH_CLIENTBENCH_H
#define TAVENOOK_BENCH_CLIENTBENCH_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// For benchmarks that run the whole client: nothing leaves the machine (the
// server and the release check point at a closed loopback port) and the
// first-run questions are answered.
inline void UseLoopbackOnly() {
    qputenv("TAVENOOK_NO_UPNP", "1");
    qputenv("TAVENOOK_SERVER", "127.0.0.1:9");
    qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");
    qputenv("TAVENOOK_USERNAME", "bench");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// `files` empty files below root; `path(i)` names the i-th, relative to root.
template <class Path>
bool WriteFiles(const QString& root, int files, Path path) {
    QString lastFolder;
    for (int i = 0; i < files; ++i) {
        const QString file = root + '/' + path(i);
        const QString folder = file.left(file.lastIndexOf('/'));
        if (folder != lastFolder && !QDir().mkpath(folder))
            return false;
        lastFolder = folder;
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly))
            return false;
    }
    return true;
}

// `files` empty music files, 500 to a folder.
inline bool WriteShareFiles(const QString& root, int files) {
    return WriteFiles(root, files, [](int i) {
        return QString("album%1/track %2 of the long playing record.mp3").arg(i / 500).arg(i);
    });
}

// Runs this program again with `arguments`, so that a measurement starts
// from a fresh process; its output goes straight to ours.
inline int RunMeasuredChild(const QStringList& arguments) {
    QProcess measure;
    measure.setProcessChannelMode(QProcess::ForwardedChannels);
    measure.start(QCoreApplication::applicationFilePath(), arguments);
    return measure.waitForFinished(-1) && measure.exitCode() == 0 ? 0 : 1;
}

#endif
