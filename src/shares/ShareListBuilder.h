#ifndef TAVENOOK_SHARES_SHARELISTBUILDER_H
#define TAVENOOK_SHARES_SHARELISTBUILDER_H

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "store/Data.h"
#include "store/FileInfo.h"

// What the index says about the audio of a file whose name (or path) is
// given: for a name whose text after the last "." is "mp3" in any case, the
// extension "mp3", then (0, bitrate) and (2, 1 for "vbr" else 0) when known.
struct AudioFacts {
    bool mp3 = false;
    bool hasBitrate = false;
    bool hasMode = false;
    bool vbr = false;
    quint32 bitrate = 0;

    // The types Of reads, looked up once for many files.
    struct Types {
        const Type* bitrate;
        const Type* mode;
        static Types Get();
    };

    // Reads the file's links: main thread.
    static AudioFacts Of(const ItemPtr& file, const char* name, std::size_t size);
    static AudioFacts Of(const ItemPtr& file, const char* name, std::size_t size,
                         const Types& types);
    // Any thread.
    AttributeMap Attributes() const;
};

// The answers' wire form: the u32 code, then the zlib stream of the payload,
// within one peer frame.
enum class Packing { Packed, Failed, TooLarge, Stopped };
// Any thread; logs nothing.
Packing PackAnswer(quint32 code, const QByteArray& payload, QByteArray& message,
                   const std::atomic<bool>* stop = nullptr);
// Main thread: logs why an answer could not be made.
void LogPackingFailure(quint32 code, Packing result);

// Makes the compressed share list (code 5) of a set of folders without
// holding up the main thread: the index is copied in short steps between
// events, and the copy is written out and compressed on a thread of its own.
// The bytes are those Build makes at once.
//
// A copy stays consistent: StartOver (safe inside store events) makes a copy
// under way begin again at its next step, after a short pause, so that a list
// never mixes which files the folders held before and after a change. Changes
// to a file's own attributes do not start it over.
//
// Main thread; one list at a time. Destruction calls off a list being made
// and waits only for the compression step under way.
class ShareListBuilder : public QObject {
    Q_OBJECT

public:
    // The folders to list; asked again each time copying begins.
    using FolderSource = std::function<ItemSet()>;

    explicit ShareListBuilder(QObject* parent = nullptr);
    ~ShareListBuilder() override;

    // The list made at once on this thread; empty when it cannot be made.
    static QByteArray Build(const ItemSet& folders);

    // Starts a list unless one is being made; Finished follows from the
    // event loop.
    void Start(FolderSource source);
    bool IsBusy() const { return m_copying != nullptr || m_job != nullptr; }
    // Which files the folders hold, or their names, changed.
    void StartOver() { m_startOver = true; }

signals:
    // The code-5 message; empty when it could not be made (logged).
    void Finished(QByteArray message);

private:
    struct Copying;
    struct Job;

    void CopyStep();
    void OnCompressed();

    std::unique_ptr<Copying> m_copying;
    std::unique_ptr<Job> m_job;
    bool m_startOver = false;
    QTimer m_step;
};

#endif
