// One client without a window, for end-to-end runs and benchmarks: the core
// services in start-up order, one command per stdin line, one tab-separated
// stdout line per answer or event, the log on stderr.
//   tavenook-driver --home DIR --user NAME [--password PW] [--share DIR]
//       [--downloads DIR] [--server 127.0.0.1:PORT] [--port N] [--upload-limit KBPS]
//       [--dont-split]
// Commands (arguments tab-separated, or blank-separated where unambiguous):
//   search TEXT                 -> searching TOKEN; result USER PATH SIZE per file
//   browse USER                 -> share USER PATH SIZE per file; share-end USER COUNT
//   download USER PATH SIZE     -> queued USER PATH
//   download-folder USER FOLDER -> queued-folder USER FOLDER COUNT (after browse)
//   status                      -> download USER PATH STATUS BYTES SIZE...; status-end N
//   retry USER PATH             -> retried PATH WHY (WHY empty when it was retried)
//   places                      -> place USER PATH N per download told its place; places-end N
//   tick                        -> ticked (one half-minute tick now)
//   places-due                  -> places-due (place requests due at the next tick)
//   join ROOM / leave ROOM      -> joined ROOM once the server let us in / left ROOM
//   say ROOM TEXT               -> room-chat ROOM USER TEXT when the server relays it
//   msg USER TEXT               -> sent USER
//   ticker ROOM TEXT            -> ticker-set ROOM
//   logout / login              -> logged-out; ready PORT again after the login
//   quit                        -> bye after saving the store (also at end of input);
//                                  a failed save says error first and exits with 1
// Events: room-chat ROOM USER TEXT; private USER TEXT; ready PORT; state|progress USER PATH STATUS
// BYTES SIZE (a new "downloading" state gives the start offset); complete USER LOCALPATH; error
// TEXT. User-info requests are answered with the description "Headless client NAME".
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>

#include "net/DNetManager.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"

namespace {

void Say(const QStringList& fields) {
    const QByteArray line = fields.join('\t').toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

struct StderrLog : LogSink {
    void Log(const QString& area, int level, const QString& text, const ItemPtr&) override {
        std::fprintf(stderr, "[%s %d] %s\n", qUtf8Printable(area), level, qUtf8Printable(text));
    }
};

QString PathOf(const std::string& folder, const std::string& name) {
    return QString::fromStdString(folder.empty() ? name : folder + "\\" + name);
}

// Tab-separated; with blanks only, the first word, then the rest, whose last
// word is split off when three are wanted (so paths may hold blanks).
QStringList Arguments(const QString& text, int count) {
    if (text.contains('\t'))
        return text.split('\t');
    const QString rest = text.section(' ', 1);
    if (count < 3)
        return {text.section(' ', 0, 0), rest};
    return {text.section(' ', 0, 0), rest.section(' ', 0, -2), rest.section(' ', -1)};
}

// EVENT USER PATH STATUS BYTES SIZE of a download entry.
QStringList EntryFields(const char* event, const ItemPtr& e) {
    const qint64* position = TransferQueueManager::ObjectOf<qint64>(e.HasItem("write_position"));
    return {event,
            e.HasItem("user").AsString(),
            QString::fromStdString(TransferQueueManager::RemotePath(e)),
            TransferQueueManager::DownloadStatus(e),
            QString::number(position ? *position : 0),
            e.HasItem("file_size").AsString()};
}

struct Client : DataHandler {
    QString storePrefix = QDir::homePath() + "/.tavenook/store";
    std::unique_ptr<TimerManager> timers{new TimerManager};
    std::unique_ptr<DataSaver> saver{new DataSaver};
    std::unique_ptr<Server> server;
    std::unique_ptr<PeerMessenger> messenger;
    // Declared so that they go in the shutdown order, which is not quite the
    // reverse of the start-up order.
    std::unique_ptr<DNetManager> dnet;
    std::unique_ptr<DelayedInvoker> invoker;
    std::unique_ptr<SharedFoldersManager> shares;
    std::unique_ptr<TransferQueueManager> tqm;
    QHash<QString, FileInfoMap> browsed;
    QHash<QString, std::function<void(const QString&)>> commands;
    QByteArray input;
    bool announced = false;
    bool stopped = false;
    bool saveFailed = false;

    bool Start(const QCommandLineParser& args);
    void AddCommands();
    void OnDownloadStatus(ItemPtr entry) { Say(EntryFields("state", entry)); }
    void OnRoomEntered(ConnectionInfo& info) { Say({"joined", info.from.AsString()}); }

    // The services themselves go with the client.
    void Stop() {
        if (std::exchange(stopped, true))
            return;
        DisableHandlers();
        if (!saver->Save(storePrefix)) {
            saveFailed = true;
            Say({"error", QString("Failure to save configuration data to %1: %2")
                              .arg(storePrefix, saver->LastFailure())});
        }
        server->Disconnect();
    }

    void OnInput() {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0)
            return Run("quit");
        input.append(buffer, int(got));
        for (int end; !stopped && (end = input.indexOf('\n')) >= 0; input.remove(0, end + 1))
            Run(QString::fromUtf8(input.left(end)).trimmed());
    }

    void Run(const QString& line) {
        const QString name = line.section(' ', 0, 0).section('\t', 0, 0);
        if (name.isEmpty())
            return;
        const auto command = commands.constFind(name);
        if (command == commands.constEnd())
            return Say({"error", "unknown command: " + line});
        (*command)(line.mid(name.size() + 1));
    }
};

bool Client::Start(const QCommandLineParser& args) {
    DeclareSettingsTypes(saver.get());
    server.reset(new Server);
    Server::CreateData();
    messenger.reset(new PeerMessenger);
    messenger->SetListenAddress(QHostAddress::LocalHost);
    invoker.reset(new DelayedInvoker);
    dnet.reset(new DNetManager);
    shares.reset(new SharedFoldersManager);
    tqm.reset(new TransferQueueManager);

    // Before the load for the services' own defaults, and again after it,
    // since loaded values replace whatever was set.
    const auto apply = [&] {
        SetSetting("username", args.value("user"));
        if (args.isSet("password"))
            SetSetting("password", args.value("password"));
        SetSetting("listening_port", args.value("port").toInt());
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("use_upnp", "no");
        if (args.isSet("downloads"))
            SetSetting("download_folder", QDir(args.value("downloads")).absolutePath());
        SetSetting("upload_speed_limit", args.value("upload-limit").toInt());
        SetSettingYes("upload_speed_limit_enabled", args.value("upload-limit").toInt() > 0);
        SetSettingYes("dont_split_downloads", args.isSet("dont-split"));
    };
    apply();
    QDir().mkpath(QDir::homePath() + "/.tavenook");
    try {
        saver->Load(storePrefix);
    } catch (const DataLoadFailure& failure) {
        Say({"error", "store not loaded: " + failure.Reason()});
    }
    apply();
    if (!messenger->Listen())
        return false;
    // The settings name the ports held, as a user reads them.
    SetSetting("listening_port", messenger->ListeningPort());
    SetSetting("obfuscated_listening_port", messenger->ObfuscatedListeningPort());
    tqm->DetermineUploadSpeedLimit();

    QObject::connect(server.get(), &Server::Connected, [this] {
        if (!std::exchange(announced, true))
            Say({"ready", QString::number(messenger->ListeningPort())});
    });
    QObject::connect(server.get(), &Server::ConnectionFailed, [](const QString& why) {
        Say({"error", "login failed: " + why});
    });
    QObject::connect(messenger.get(), &PeerMessenger::SearchResults, [](const ItemPtr& results) {
        for (const ItemPtr& r : results.GetItems("search_result"))
            Say({"result", results.HasItem("user").AsString(),
                 PathOf(r.HasItem("search_result_file_folder").AsStdString(),
                        r.HasItem("search_result_file_name").AsStdString()),
                 r.HasItem("file_size").AsString()});
    });
    QObject::connect(messenger.get(), &PeerMessenger::UserShare,
                     [this](const QString& user, FileInfoMap& share, AttributeTranslationTable&) {
                         int count = 0;
                         for (const auto& folder : share) {
                             count += int(folder.second.size());
                             for (const FileInfo& file : folder.second)
                                 Say({"share", user, PathOf(folder.first, file.GetName()),
                                      QString::number(file.GetSize())});
                         }
                         browsed.insert(user, share);
                         Say({"share-end", user, QString::number(count)});
                     });
    // Information pages of other clients get a plain answer, no picture.
    QObject::connect(messenger.get(), &PeerMessenger::UserInfoRequested, [this](QString user) {
        MemStream reply;
        reply.Write(quint32(PeerMessenger::PM_USER_INFO_REPLY));
        reply.Write(QString("Headless client " + GetSetting("username")).toUtf8());
        reply.Write(quint8(0));
        reply.Write(quint32(GetSettingInt("upload_slots")));
        reply.Write(quint32(tqm->QueuedUploadCount()));
        reply.Write(quint8(tqm->IsFreeToUpload() ? 1 : 0));
        messenger->SendMessage(user, reply);
    });
    QObject::connect(tqm.get(), &TransferQueueManager::DownloadProgressed,
                     [](const ItemPtr& e) { Say(EntryFields("progress", e)); });
    QObject::connect(tqm.get(), &TransferQueueManager::CompleteDownloadAdded, [](const ItemPtr& r) {
        Say({"complete", r.HasItem("user").AsString(),
             r.HasItem("complete_download_folder").AsString().replace('\\', '/') + '/' +
                 r.HasItem("complete_download_filename").AsString()});
    });
    QObject::connect(server.get(), &Server::RoomChat,
                     [](const QString& room, const QString& user, const QString& text) {
                         Say({"room-chat", room, user, text});
                     });
    QObject::connect(server.get(), &Server::PrivateChat,
                     [](const QString& user, const QString& text, time_t, bool) {
                         Say({"private", user, text});
                     });
    PathNode* entries = new PathNode(&d, "download_entry");
    new PathNode(entries, "download_entry_status", PathConnecting);
    d.AddPathEventHandler(entries, ItemHandler(this, &Client::OnDownloadStatus));
    d.AddConnectionEventHandler(d.GetType("room"), d.GetType("in_room"),
                                ConnectionHandler(this, &Client::OnRoomEntered));
    AddCommands();

    // Logs in once the shares are indexed, so that no peer meets an empty share.
    QObject::connect(
        shares.get(), &SharedFoldersManager::BackgroundMergeEnded, shares.get(), [this] {
            if (!announced && !server->IsConnecting() && !shares->IsBackgroundScanPending())
                server->Connect();
        });
    if (args.isSet("share"))
        shares->AddSharedFolder(QDir(args.value("share")).absolutePath())
            .Connect(d.GetType("shared_public")->GetGlobalNullItem());
    shares->Init();
    return true;
}

void Client::AddCommands() {
    commands.insert("search", [this](const QString& text) {
        Say({"searching", QString::number(server->FileSearch(text, false))});
    });
    commands.insert("browse", [this](const QString& user) {
        browsed.remove(user);
        messenger->GetUserSharedFiles(user);
    });
    commands.insert("download", [this](const QString& text) {
        const QStringList a = Arguments(text, 3);
        const QString path = a.value(1);
        const int cut = path.lastIndexOf('\\');
        bool ok = false;
        const qint64 size = a.value(2).toLongLong(&ok);
        if (a.size() != 3 || !ok ||
            tqm->AddDownload(a[0], path.mid(cut + 1).toStdString(),
                             path.left(qMax(cut, 0)).toStdString(), size, true, 0)
                .IsNull())
            return Say({"error", "download refused: " + text});
        Say({"queued", a[0], path});
    });
    commands.insert("download-folder", [this](const QString& text) {
        const QStringList a = Arguments(text, 2);
        const QString user = a.value(0), folder = a.value(1);
        if (!browsed.contains(user))
            return Say({"error", "no share list of " + user + ": browse first"});
        int count = 0;
        for (const auto& entry : browsed.value(user)) {
            const QString path = QString::fromStdString(entry.first);
            if (path != folder && !path.startsWith(folder + '\\'))
                continue;
            // Recreates the chosen folder and everything below it.
            const int level = path.count('\\') - folder.count('\\');
            for (const FileInfo& file : entry.second)
                count += !tqm->AddDownload(user, GetFileName(file.GetName()), entry.first,
                                           file.GetSize(), false, level)
                              .IsNull();
        }
        Say({"queued-folder", user, folder, QString::number(count)});
    });
    // The user's Retry of a download: "retried", the path and why it was
    // not, empty when it was.
    commands.insert("retry", [this](const QString& text) {
        const QStringList a = Arguments(text, 2);
        const QString path = a.value(1);
        const int cut = path.lastIndexOf('\\');
        const ItemPtr entry = tqm->GetDownloadEntry(a.value(0), path.mid(cut + 1).toStdString(),
                                                    path.left(qMax(cut, 0)).toStdString());
        Say({"retried", path, tqm->RetryDownload(entry)});
    });
    commands.insert("status", [](const QString&) {
        const ItemSet entries = d.GetType("download_entry")->GetItems();
        for (const ItemPtr& e : entries)
            Say(EntryFields("download", e));
        Say({"status-end", QString::number(entries.Size())});
    });
    commands.insert("places", [](const QString&) {
        int n = 0;
        for (const ItemPtr& e : d.GetType("download_entry")->GetItems())
            if (const ItemPtr place = e.HasItem("place_in_line"); !place.IsNull()) {
                Say({"place", e.HasItem("user").AsString(),
                     QString::fromStdString(TransferQueueManager::RemotePath(e)),
                     place.AsString()});
                ++n;
            }
        Say({"places-end", QString::number(n)});
    });
    // The place-in-line requests' due time brought to now, so that a test
    // need not wait it out on the clock.
    commands.insert("places-due", [](const QString&) {
        for (const ItemPtr& user : d.GetType("user")->GetItems())
            user.Disconnect("next_place_in_line_request_time");
        Say({"places-due"});
    });
    commands.insert("tick", [this](const QString&) {
        QMetaObject::invokeMethod(&timers->everyHalfMinute, "timeout");
        Say({"ticked"});
    });
    commands.insert("join", [this](const QString& room) { server->EnterRoom(room, false); });
    commands.insert("leave", [this](const QString& room) {
        server->LeaveRoom(room);
        Say({"left", room});
    });
    commands.insert("say", [this](const QString& text) {
        const QStringList a = Arguments(text, 2);
        server->SendRoomChat(a.value(0), a.value(1));
    });
    commands.insert("msg", [this](const QString& text) {
        const QStringList a = Arguments(text, 2);
        server->SendPrivateChat(a.value(0), a.value(1));
        Say({"sent", a.value(0)});
    });
    commands.insert("logout", [this](const QString&) {
        server->Disconnect();
        announced = false;
        Say({"logged-out"});
    });
    commands.insert("login", [this](const QString&) { server->Connect(); });
    commands.insert("ticker", [this](const QString& text) {
        const QStringList a = Arguments(text, 2);
        server->SetRoomTicker(a.value(0), a.value(1));
        Say({"ticker-set", a.value(0)});
    });
    commands.insert("quit", [this](const QString&) {
        if (stopped)
            return;
        Stop();
        Say({"bye"});
        QCoreApplication::exit(0);
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything reads them: the store and the default folders follow HOME.
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "--home") == 0)
            qputenv("HOME", argv[i + 1]);
    qputenv("TAVENOOK_NO_UPNP", "1");
    // As the window's program: a write past a file size limit fails, and says so.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCommandLineParser args;
    args.addHelpOption();
    for (const char* option :
         {"home", "user", "password", "share", "downloads", "server", "port", "upload-limit"})
        args.addOption({option, option, "value"});
    args.addOption({"dont-split", "Partials among the finished files."});
    args.process(app);
    if (!args.isSet("home") || !args.isSet("user")) {
        std::fprintf(stderr, "--home and --user are required\n");
        return 2;
    }
    if (args.isSet("server"))
        qputenv("TAVENOOK_SERVER", args.value("server").toUtf8());
    StderrLog log;
    SetLogSink(&log);
    d.Reset();
    int code = 1;
    {
        Client client;
        QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] { client.OnInput(); });
        if (client.Start(args))
            code = app.exec();
        else
            Say({"error", "cannot listen"});
        client.Stop();
        // What the run changed is lost: not a success, whatever came before.
        if (client.saveFailed && code == 0)
            code = 1;
    }
    SetLogSink(nullptr);
    return code;
}
