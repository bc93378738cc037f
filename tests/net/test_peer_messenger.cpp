// The peer messenger against scripted peers over 127.0.0.1: direct and
// connect-back connections of every kind, hand-over without stolen bytes,
// the obfuscated port, the unsent queue, every peer message handler, limits
// and time-outs. The other side is a RawPeer plus the loopback test server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>
#include <QCryptographicHash>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <functional>
#include <memory>
#include <vector>

#include "net/Obfuscation.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/CoreServices.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"

#if defined(__SANITIZE_ADDRESS__)
#define PEER_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PEER_TEST_ASAN 1
#endif
#endif

namespace {

const char* const kMe = "alice";
const int kWait = 5000;

// A zlib stream of `total` zero bytes, made without holding them.
QByteArray ZeroBomb(qint64 total) {
    z_stream z{};
    deflateInit(&z, 9);
    QByteArray zeros(1 << 20, '\0');
    QByteArray out;
    QByteArray chunk(1 << 16, '\0');
    qint64 left = total;
    int flush = Z_NO_FLUSH;
    do {
        const qint64 n = qMin<qint64>(left, zeros.size());
        z.next_in = reinterpret_cast<Bytef*>(zeros.data());
        z.avail_in = uInt(n);
        left -= n;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(chunk.data());
            z.avail_out = uInt(chunk.size());
            deflate(&z, flush);
            out.append(chunk.constData(), chunk.size() - int(z.avail_out));
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return out;
}

QByteArray Frame(quint32 code, const QByteArray& payload = QByteArray()) {
    return RawPeer::Frame(code, payload);
}

QByteArray LengthOnly(quint32 length) {
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(length, bytes.data());
    return bytes;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWait) {
    return RawPeer::WaitUntil(condition, timeoutMs);
}

quint16 ClosedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

// A loopback port whose connects never complete: its accept queue is full
// and nobody accepts, so the kernel drops further handshakes.
class HangingListener {
public:
    HangingListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(m_fd, 0) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_filler.connectToHost(QHostAddress::LocalHost, m_port);
        m_filler.waitForConnected(kWait);
    }
    ~HangingListener() {
        m_filler.abort();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    quint16 Port() const {
        return m_filler.state() == QAbstractSocket::ConnectedState ? m_port : 0;
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QTcpSocket m_filler;
};

[[maybe_unused]] long MaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A second user's session with the test server, so that it knows the user's
// ports and forwards connect-back requests to it.
class ServerSession {
public:
    bool Login(TestServer& ts, const QString& user) {
        socket.connectToHost(QHostAddress::LocalHost, ts.Port());
        if (!socket.waitForConnected(kWait))
            return false;
        const QString password = "pw";
        Send(1, Payload().Str(user).Str(password).U32(157).U32(100).Str(
                    QString::fromLatin1(QCryptographicHash::hash(user.toUtf8() + password.toUtf8(),
                                                                 QCryptographicHash::Md5)
                                            .toHex())));
        return WaitUntil([&] { return ts.IsLoggedIn(user); });
    }
    void Send(quint32 code, const QByteArray& payload) {
        socket.write(Frame(code, payload));
        socket.flush();
    }
    void ReportPorts(quint32 port, quint32 obfuscated) {
        Send(2, Payload().U32(port).U32(obfuscated));
    }
    // The next frame with this code from the server, waiting for it.
    bool WaitFor(quint32 code, QByteArray* payload, int timeoutMs = kWait) {
        bool found = false;
        WaitUntil(
            [&] {
                input += socket.readAll();
                while (input.size() >= 8) {
                    const quint32 length = qFromLittleEndian<quint32>(input.constData());
                    if (input.size() < 4 + int(length))
                        break;
                    frames.append(qMakePair(qFromLittleEndian<quint32>(input.constData() + 4),
                                            input.mid(8, int(length) - 4)));
                    input.remove(0, 4 + int(length));
                }
                for (int k = 0; k < frames.size(); ++k) {
                    if (frames[k].first == code) {
                        if (payload)
                            *payload = frames[k].second;
                        frames.removeAt(k);
                        found = true;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }
    QTcpSocket socket;
    QByteArray input;
    QList<QPair<quint32, QByteArray>> frames;
};

struct ConnectBack {
    QString user, kind;
    quint32 ip = 0, port = 0, token = 0;
    bool Read(const QByteArray& payload) {
        MemStream m(payload);
        return m.Read(user) && m.Read(kind) && m.Read(ip) && m.Read(port) && m.Read(token);
    }
};

// A server that accepts any login and then answers nothing.
class SilentServer : public QObject {
public:
    SilentServer() {
        listener.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = listener.nextPendingConnection()) {
                s->setParent(this);
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    QByteArray& in = inputs[s];
                    in += s->readAll();
                    while (in.size() >= 8) {
                        const quint32 length = qFromLittleEndian<quint32>(in.constData());
                        if (in.size() < 4 + int(length))
                            break;
                        const quint32 code = qFromLittleEndian<quint32>(in.constData() + 4);
                        in.remove(0, 4 + int(length));
                        codes.append(code);
                        if (code == 1)
                            s->write(Frame(1, Payload().U8(1)));
                    }
                });
            }
        });
    }
    QString Address() const { return QString("127.0.0.1:%1").arg(listener.serverPort()); }
    QTcpServer listener;
    QHash<QTcpSocket*, QByteArray> inputs;
    QList<quint32> codes;
};

QString N(qint64 v) {
    return QString::number(v);
}

QString S(const std::string& v) {
    return QString::fromStdString(v);
}

// Every signal of the messenger as one line of text; hand-over sockets kept.
class Recorder : public QObject {
public:
    explicit Recorder(PeerMessenger* m) {
        using P = PeerMessenger;
        connect(m, &P::FileTransferRequested, this,
                [this](QString u, int dir, uint req, std::string f, qint64 s) {
                    Add({"FileTransferRequested", u, N(dir), N(req), S(f), N(s)});
                });
        connect(m, &P::FileTransferResponse, this,
                [this](QString u, uint req, bool ok, bool hasSize, qint64 s, QString why) {
                    Add({"FileTransferResponse", u, N(req), N(ok), N(hasSize), N(s), why});
                });
        connect(m, &P::QueueUploadRequested, this, [this](QString u, QString f) {
            Add({"QueueUploadRequested", u, f});
        });
        connect(m, &P::DownloadPlaceInLine, this, [this](QString u, std::string f, int place) {
            Add({"DownloadPlaceInLine", u, S(f), N(place)});
        });
        connect(m, &P::UploadFailed, this, [this](QString u, std::string f) {
            Add({"UploadFailed", u, S(f)});
        });
        connect(m, &P::UploadDenied, this, [this](QString u, std::string f, QString why) {
            Add({"UploadDenied", u, S(f), why});
        });
        connect(m, &P::UploadPlaceInLineRequested, this, [this](QString u, QString f) {
            Add({"UploadPlaceInLineRequested", u, f});
        });
        connect(m, &P::QueueDownloadRequested, this, [this](QString u, std::string f, qint64 s) {
            Add({"QueueDownloadRequested", u, S(f), N(s)});
        });
        connect(m, &P::UserShare, this,
                [this](QString u, FileInfoMap& share, AttributeTranslationTable& table) {
                    QStringList parts{"UserShare", u};
                    for (const auto& folder : share) {
                        QStringList files;
                        for (const FileInfo& f : folder.second)
                            files << S(f.GetName()) + ":" + N(f.GetSize());
                        parts << S(folder.first) + "=" + files.join(";");
                    }
                    for (const auto& entry : table)
                        parts << N(entry.first) + "=" + entry.second;
                    Add(parts);
                });
        connect(m, &P::SharedFilesInFolderRequested, this,
                [this](QString u, quint32 req, QString f) {
                    Add({"SharedFilesInFolderRequested", u, N(req), f});
                });
        connect(m, &P::SearchResults, this, [this](ItemPtr results) {
            Add({"SearchResults", results["user"].AsString(),
                 N(results.CountItems("search_result"))});
            lastResults = results;
        });
        connect(m, &P::UserInfoRequested, this, [this](QString u) {
            Add({"UserInfoRequested", u});
        });
        connect(m, &P::UserInfoReceived, this,
                [this](QString u, QString desc, bool hasPicture, char* buffer, int length,
                       int uploadSlots, int queued, bool free) {
                    Add({"UserInfoReceived", u, desc, N(hasPicture),
                         QString::fromLatin1(QByteArray(buffer, length)), N(uploadSlots), N(queued),
                         N(free)});
                });
        connect(m, &P::SharedFileListRequested, this, [this](QString u) {
            Add({"SharedFileListRequested", u});
        });
        connect(m, &P::ConnectionToUserFailed, this, [this](QString u, QString kind) {
            Add({"ConnectionToUserFailed", u, kind});
        });
        connect(m, &P::FileConnectionRequested, this, [this](QString u, QTcpSocket* s, uint req) {
            Keep(s);
            Add({"FileConnectionRequested", u, N(req)});
        });
        connect(m, &P::FileConnectionAccepted, this, [this](QString u, QTcpSocket* s) {
            Keep(s);
            Add({"FileConnectionAccepted", u});
        });
        connect(m, &P::DNetConnectionAccepted, this, [this](QString u, QTcpSocket* s) {
            Keep(s);
            Add({"DNetConnectionAccepted", u});
        });
        connect(m, &P::DNetConnectionRequested, this, [this](QString u, QTcpSocket* s) {
            Keep(s);
            Add({"DNetConnectionRequested", u});
        });
    }

    void Add(const QStringList& parts) { events << parts.join("|"); }
    void Keep(QTcpSocket* s) {
        // What the receiver finds: a parentless socket nobody else reads.
        parentless = parentless && s->parent() == nullptr;
        sockets.emplace_back(s);
    }
    bool WaitFor(const QString& event, int timeoutMs = kWait) {
        return WaitUntil([&] { return events.contains(event); }, timeoutMs);
    }
    bool WaitForCount(int n, int timeoutMs = kWait) {
        return WaitUntil([&] { return events.size() >= n; }, timeoutMs);
    }
    QTcpSocket* LastSocket() const { return sockets.empty() ? nullptr : sockets.back().get(); }

    QStringList events;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    bool parentless = true;
    ItemPtr lastResults;
};

// Reads exactly n bytes from a handed-over socket.
QByteArray ReadExactly(QTcpSocket* s, int n) {
    QByteArray got;
    WaitUntil([&] {
        got += s->read(n - got.size());
        return got.size() >= n;
    });
    return got;
}

}  // namespace

class TestPeerMessenger : public QObject, private CoreServices {
    Q_OBJECT

private:
    std::unique_ptr<TestServer> ts;
    std::unique_ptr<Recorder> rec;

    bool LogIn() {
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        return connected.count() > 0 || connected.wait(kWait);
    }

    // An incoming "P" connection from the user on the raw peer's new connection.
    bool IncomingP(RawPeer& peer, const QString& user, bool obfuscated = false) {
        const int before = messenger->ConnectionCount();
        if (!peer.ConnectTo(
                obfuscated ? messenger->ObfuscatedListeningPort() : messenger->ListeningPort(),
                obfuscated))
            return false;
        peer.SendSetUp(user, "P");
        // Proven set up once a request gets an answer.
        peer.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        const QString event = "UserInfoRequested|" + user;
        const int seen = rec->events.count(event);
        return WaitUntil([&] { return rec->events.count(event) > seen; }) &&
               messenger->ConnectionCount() == before + 1;
    }

    void RecordAddress(const QString& user, quint16 port) {
        const ItemPtr u = d.GetType("user")->GetItem(Value(user));
        u.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        u.Connect(d.GetType("user_port")->GetItem(Value(port)));
    }

    void Tick(int n = 1) {
        for (int k = 0; k < n; ++k)
            messenger->OnHalfMinuteTick();
    }

private slots:
    void init() {
        StartCore();
        rec.reset(new Recorder(messenger.get()));
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        SetSetting("username", kMe);
        SetSetting("password", "pw");
        SetSetting("use_upnp", "no");
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        messenger->SetListenAddress(QHostAddress::LocalHost);
        messenger->DataLoaded();
        QVERIFY(messenger->ListeningPort() != 0);
        QVERIFY(messenger->ObfuscatedListeningPort() != 0);
        // What the server hands to peers that want to reach us.
        SetSetting("listening_port", messenger->ListeningPort());
        SetSetting("obfuscated_listening_port", messenger->ObfuscatedListeningPort());
    }

    void cleanup() {
        rec.reset();
        ts.reset();
        StopCore();
    }

    void portsAndSettings() {
        QVERIFY(peerMessenger == messenger.get());
        // The ports are defaults only where the store has none; a new port
        // from the port dialog wins and the obfuscated one follows it.
        ClearSetting("listening_port");
        ClearSetting("obfuscated_listening_port");
        messenger->DataLoaded();
        QCOMPARE(GetSetting("listening_port"), QString("2235"));
        QCOMPARE(GetSetting("obfuscated_listening_port"), QString("2236"));
        const quint16 free = ClosedPort();
        SetSetting("new_listening_port", free);
        messenger->DataLoaded();
        QCOMPARE(GetSettingInt("listening_port"), int(free));
        QCOMPARE(GetSettingInt("obfuscated_listening_port"), int(free) + 1);
        QCOMPARE(messenger->ListeningPort(), free);
        SetSetting("new_listening_port", 65535);
        messenger->DataLoaded();
        QCOMPARE(GetSetting("obfuscated_listening_port"), QString("0"));
        SetSetting("new_listening_port", "junk");
        SetSetting("listening_port", 0);
        messenger->DataLoaded();
        QCOMPARE(GetSetting("listening_port"), QString("0"));
        ClearSetting("new_listening_port");

        // A port in use is logged and left closed; the other opens, and the
        // messenger goes on.
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        SetSetting("listening_port", taken.serverPort());
        SetSetting("obfuscated_listening_port", 0);
        QVERIFY(!messenger->Listen());
        QCOMPARE(messenger->ListeningPort(), quint16(0));
        QVERIFY(messenger->ObfuscatedListeningPort() != 0);
        SetSetting("listening_port", 0);
        QVERIFY(messenger->Listen());
        QVERIFY(messenger->ListeningPort() != 0);
        RawPeer peer;
        QVERIFY(IncomingP(peer, "bob"));
    }

    void obfuscationTransform() {
        // The same bytes as the raw peer's independent implementation.
        for (int size : {0, 1, 3, 4, 5, 7, 8, 9, 130, 4099}) {
            QByteArray frame(size, '\0');
            for (int k = 0; k < size; ++k)
                frame[k] = char(k * 7 + 3);
            for (quint32 key : {0u, 1u, 0x80000000u, 0xDEADBEEFu, 0x12345678u}) {
                const QByteArray wire = Obfuscation::Encode(frame, key);
                QCOMPARE(wire, RawPeer::Obfuscate(frame, key));
                QCOMPARE(RawPeer::Deobfuscate(wire), frame);
            }
        }
        QCOMPARE(Obfuscation::RotateRight(0x00000001u, 1), 0x80000000u);
        QCOMPARE(Obfuscation::RotateRight(0x12345678u, 32), 0x12345678u);

        // Frames split anywhere come out whole; a bad length stops the stream.
        const QByteArray a = Frame(15), b = Frame(43, Payload().Str("x\\y.mp3"));
        const QByteArray wire = Obfuscation::Encode(a, 7) + Obfuscation::Encode(b);
        ObfuscationDecoder decoder;
        QList<QByteArray> frames;
        for (char byte : wire) {
            decoder.Feed(&byte, 1);
            QByteArray frame;
            while (decoder.Next(frame) == ObfuscationDecoder::Frame)
                frames << frame;
        }
        QCOMPARE(frames, (QList<QByteArray>{a, b}));
        quint32 code = 0;
        MemStream payload;
        decoder.Feed(Obfuscation::Encode(b));
        QCOMPARE(decoder.Next(code, payload), ObfuscationDecoder::Frame);
        QCOMPARE(code, 43u);
        QString file;
        QVERIFY(payload.Read(file));
        QCOMPARE(file, QString("x\\y.mp3"));

        ObfuscationDecoder capped(4096);
        capped.Feed(Obfuscation::Encode(LengthOnly(4097)));
        QCOMPARE(capped.Next(code, payload), ObfuscationDecoder::Error);
        QVERIFY(capped.HasError());
        ObfuscationDecoder tiny;
        tiny.Feed(Obfuscation::Encode(LengthOnly(3)));
        QCOMPARE(tiny.Next(code, payload), ObfuscationDecoder::Error);
        ObfuscationDecoder exact(4096);
        exact.Feed(Obfuscation::Encode(LengthOnly(4096) + QByteArray(4096, 'z')));
        QCOMPARE(exact.Next(code, payload), ObfuscationDecoder::Frame);
    }

    void directMessagingBothWays() {
        RawPeer bob;
        QVERIFY(bob.Listen());
        ServerSession bobSession;
        QVERIFY(bobSession.Login(*ts, "bob"));
        bobSession.ReportPorts(bob.Port(), 0);
        QVERIFY(LogIn());

        // Nothing recorded: the server is asked for the address, and at the
        // same time for a connect-back.
        messenger->GetUserInfo("bob");
        QVERIFY(bob.WaitForIncoming());
        QString user, kind;
        QVERIFY(bob.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString(kMe));
        QCOMPARE(kind, QString("P"));
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(bob.WaitForMessage(&code, &payload));
        QCOMPARE(code, 15u);
        QVERIFY(payload.isEmpty());
        QByteArray request;
        QVERIFY(bobSession.WaitFor(18, &request));
        ConnectBack cb;
        QVERIFY(cb.Read(request));
        QCOMPARE(cb.user, QString(kMe));
        QCOMPARE(cb.kind, QString("P"));
        QCOMPARE(cb.port, quint32(messenger->ListeningPort()));
        QCOMPARE(messenger->PendingRequestCount(), 0);

        // And the other way, on the same connection.
        bob.SendMessage(PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("a\\b.mp3"));
        QVERIFY(rec->WaitFor("UploadFailed|bob|a\\b.mp3"));
        messenger->GetUserSharedFiles("bob");
        QVERIFY(bob.WaitForMessage(&code, &payload));
        QCOMPARE(code, 4u);
        QCOMPARE(messenger->ConnectionCount(), 1);

        // The duplicate connect-back for a request already answered is no
        // longer ours: closed.
        RawPeer late;
        QVERIFY(late.ConnectTo(messenger->ListeningPort()));
        late.SendConnectBackAnswer(cb.token);
        QVERIFY(late.WaitForDisconnect());

        // Messages go on the newest messaging connection to the user.
        RawPeer bob2;
        QVERIFY(IncomingP(bob2, "bob"));
        messenger->GetUserInfo("bob");
        QVERIFY(bob2.WaitForMessage(&code, &payload));
        QCOMPARE(code, 15u);
        QCOMPARE(bob.BytesAvailable(), qint64(0));

        // A recorded address is used at once, without the server.
        server->Disconnect();
        RawPeer dave;
        QVERIFY(dave.Listen());
        RecordAddress("dave", dave.Port());
        messenger->DenyUpload("dave", "f.mp3", "File not shared.");
        QVERIFY(dave.WaitForIncoming());
        QVERIFY(dave.ReadSetUp(&user, &kind));
        QVERIFY(dave.WaitForMessage(&code, &payload));
        QCOMPARE(code, 50u);
        QCOMPARE(payload, Payload().Str("f.mp3").Str("File not shared.").Bytes());
    }

    void connectBackWhenDirectFails() {
        RawPeer bob;
        ServerSession bobSession;
        QVERIFY(bobSession.Login(*ts, "bob"));
        // Bob reports a port nobody listens on.
        bobSession.ReportPorts(ClosedPort(), 0);
        QVERIFY(LogIn());

        for (const char* kind : {"P", "F", "D"}) {
            if (QString(kind) == "P")
                messenger->GetUserInfo("bob");
            else if (QString(kind) == "F")
                messenger->RequestFileConnectionToUser("bob");
            else
                messenger->RequestDNetConnection("bob");
            QByteArray request;
            QVERIFY(bobSession.WaitFor(18, &request));
            ConnectBack cb;
            QVERIFY(cb.Read(request));
            QCOMPARE(cb.kind, QString(kind));
            QCOMPARE(cb.ip, 0x7F000001u);
            // The direct attempt failed at once; the connect-back keeps the
            // request alive.
            QTest::qWait(50);
            QVERIFY(!rec->events.join(",").contains("ConnectionToUserFailed"));
            QCOMPARE(messenger->PendingRequestCount(), 1);

            QVERIFY(bob.ConnectTo(quint16(cb.port)));
            if (QString(kind) == "P") {
                bob.SendConnectBackAnswer(cb.token);
                quint32 code = 0;
                QVERIFY(bob.WaitForMessage(&code, nullptr));
                QCOMPARE(code, 15u);
                bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
                QVERIFY(rec->WaitFor("SharedFileListRequested|bob"));
            } else {
                // The answer and the first bytes after it in one write: the
                // receiver of the socket gets them intact.
                const QByteArray after = QString(kind) == "F" ? RawPeer::I64(123456789)
                                                              : RawPeer::DFrame(4, RawPeer::U32(2));
                bob.SendRaw(RawPeer::ConnectBackFrame(cb.token) + after);
                const QString event = QString(kind) == "F" ? "FileConnectionAccepted|bob"
                                                           : "DNetConnectionAccepted|bob";
                QVERIFY(rec->WaitFor(event));
                QCOMPARE(ReadExactly(rec->LastSocket(), after.size()), after);
                rec->LastSocket()->write("back");
                QCOMPARE(bob.ReadRaw(4), QByteArray("back"));
            }
            QCOMPARE(messenger->PendingRequestCount(), 0);
        }
        QVERIFY(rec->parentless);
        QCOMPARE(messenger->ConnectionCount(), 1);

        // A connect-back answer nobody asked for closes the connection.
        RawPeer stranger;
        QVERIFY(stranger.ConnectTo(messenger->ListeningPort()));
        stranger.SendConnectBackAnswer(0x5EC12E7);
        QVERIFY(stranger.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), 1);
    }

    void connectingBackForPeers() {
        RawPeer bob;
        QVERIFY(bob.Listen());
        ServerSession bobSession;
        QVERIFY(bobSession.Login(*ts, "bob"));
        bobSession.ReportPorts(bob.Port(), 0);
        QVERIFY(LogIn());

        quint32 token = 100;
        auto ask = [&](const QString& kind) {
            bobSession.Send(18, Payload().U32(++token).Str(kMe).Str(kind));
        };
        // "P": we connect and answer with the token; then messages flow.
        ask("P");
        QVERIFY(bob.WaitForIncoming());
        RawPeer::SetUp setUp;
        QVERIFY(bob.ReadSetUp(&setUp));
        QCOMPARE(setUp.code, 0u);
        QCOMPARE(setUp.token, token);
        bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        QVERIFY(rec->WaitFor("UserInfoRequested|bob"));
        messenger->GetUserInfo("bob");
        quint32 code = 0;
        QVERIFY(bob.WaitForMessage(&code, nullptr));
        QCOMPARE(code, 15u);

        // "F": bob uploads; his transfer token and the first data bytes come
        // in one write with nothing taken beyond the token.
        ask("F");
        QVERIFY(bob.WaitForIncoming());
        QVERIFY(bob.ReadSetUp(&setUp));
        QCOMPARE(setUp.token, token);
        bob.SendRaw(RawPeer::U32(77) + QByteArray("file data"));
        QVERIFY(rec->WaitFor("FileConnectionRequested|bob|77"));
        QCOMPARE(ReadExactly(rec->LastSocket(), 9), QByteArray("file data"));

        // "D": handed over right after the answer.
        ask("D");
        QVERIFY(bob.WaitForIncoming());
        QVERIFY(bob.ReadSetUp(&setUp));
        QCOMPARE(setUp.token, token);
        QVERIFY(rec->WaitFor("DNetConnectionRequested|bob"));
        bob.SendRaw(RawPeer::DFrame(4, RawPeer::U32(1)));
        QCOMPARE(ReadExactly(rec->LastSocket(), 9), RawPeer::DFrame(4, RawPeer::U32(1)));

        // A peer we cannot reach hears so through the server.
        bobSession.ReportPorts(ClosedPort(), 0);
        QTest::qWait(50);
        ask("P");
        QByteArray failed;
        QVERIFY(bobSession.WaitFor(1001, &failed));
        QCOMPARE(failed, Payload().U32(token).Str(kMe).Bytes());
        QVERIFY(rec->parentless);
    }

    void unsentMessagesFlushedAndDropped() {
        RawPeer bob;
        QVERIFY(bob.Listen());
        RecordAddress("bob", bob.Port());
        // Held until the connection is up: two equal messages stay two, in order.
        const QByteArray place = Payload().Str("x\\song.mp3");
        MemStream one;
        one.Write(quint32(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE_REQUEST));
        one.WriteBuffer(place.constData(), place.size());
        messenger->SendMessage("bob", one);
        messenger->SendMessage("bob", one);
        messenger->GetUserInfo("bob");
        QCOMPARE(messenger->UnsentMessageCount("bob"), 3);
        QVERIFY(bob.WaitForIncoming());
        QVERIFY(bob.ReadSetUp(nullptr, nullptr));
        QList<quint32> codes;
        for (int k = 0; k < 3; ++k) {
            quint32 code = 0;
            QByteArray payload;
            QVERIFY(bob.WaitForMessage(&code, &payload));
            codes << code;
            if (k < 2)
                QCOMPARE(payload, place);
        }
        QCOMPARE(codes, (QList<quint32>{51, 51, 15}));
        QCOMPARE(messenger->UnsentMessageCount("bob"), 0);

        // The queue is bounded per user.
        RecordAddress("carl", ClosedPort());
        SilentServer silent;
        qputenv("TAVENOOK_SERVER", silent.Address().toUtf8());
        QVERIFY(LogIn());
        for (int k = 0; k < PeerLimits::kMaxUnsentMessagesPerUser + 5; ++k)
            messenger->GetUserInfo("carl");
        QCOMPARE(messenger->UnsentMessageCount("carl"), PeerLimits::kMaxUnsentMessagesPerUser);

        // And in bytes, per user and in total.
        MemStream big;
        big.Write(quint32(PeerMessenger::PM_UPLOAD_FAILED));
        big.WriteBuffer(QByteArray(9 * 1024 * 1024, 'b').constData(), 9 * 1024 * 1024);
        messenger->SendMessage("gil", big);
        messenger->SendMessage("gil", big);
        QCOMPARE(messenger->UnsentMessageCount("gil"), 1);
        for (int k = 0; k < 7; ++k)
            messenger->SendMessage(QString("big%1").arg(k), big);
        int held = 0;
        for (int k = 0; k < 7; ++k)
            held += messenger->UnsentMessageCount(QString("big%1").arg(k));
        QCOMPARE(held, 6);  // with gil's, 7 x 9 MiB fit in 64 MiB; the 8th does not

        // Carl cannot be reached directly and the server never answers the
        // connect-back: given up on the third tick, with his messages.
        QVERIFY(WaitUntil([&] { return silent.codes.contains(18); }));
        QTest::qWait(50);
        QVERIFY(!rec->events.contains("ConnectionToUserFailed|carl|P"));
        Tick(2);
        QVERIFY(!rec->events.contains("ConnectionToUserFailed|carl|P"));
        QCOMPARE(messenger->UnsentMessageCount("carl"), PeerLimits::kMaxUnsentMessagesPerUser);
        Tick();
        QCOMPARE(rec->events.count("ConnectionToUserFailed|carl|P"), 1);
        QCOMPARE(messenger->UnsentMessageCount("carl"), 0);
        QCOMPARE(messenger->UnsentMessageCount("gil"), 0);
        QCOMPARE(messenger->PendingRequestCount(), 0);

        // Without an address and with the server unanswering, the address
        // wait ends on the second tick and the connect-back on the third.
        messenger->RequestDNetConnection("erin");
        QCOMPARE(messenger->PendingRequestCount(), 1);
        Tick(2);
        QVERIFY(!rec->events.contains("ConnectionToUserFailed|erin|D"));
        Tick();
        QVERIFY(rec->events.contains("ConnectionToUserFailed|erin|D"));

        // Logged out and nothing recorded: nothing can be tried at all.
        server->Disconnect();
        messenger->GetUserInfo("fay");
        QVERIFY(rec->WaitFor("ConnectionToUserFailed|fay|P"));
        QCOMPARE(messenger->UnsentMessageCount("fay"), 0);
    }

    void failureReportedByServer() {
        ServerSession bobSession;
        QVERIFY(bobSession.Login(*ts, "bob"));
        bobSession.ReportPorts(ClosedPort(), 0);
        QVERIFY(LogIn());
        // Unknown to the server: no address, and the connect-back fails at once.
        messenger->GetUserInfo("nobody");
        QVERIFY(rec->WaitFor("ConnectionToUserFailed|nobody|P"));
        // Bob says he cannot connect back (server code 1001).
        messenger->RequestFileConnectionToUser("bob");
        QByteArray request;
        QVERIFY(bobSession.WaitFor(18, &request));
        ConnectBack cb;
        QVERIFY(cb.Read(request));
        bobSession.Send(1001, Payload().U32(cb.token).Str(kMe));
        QVERIFY(rec->WaitFor("ConnectionToUserFailed|bob|F"));
        QCOMPARE(messenger->PendingRequestCount(), 0);
    }

    void handOverIncomingFileAndDNet() {
        // Set-up, token and the first data bytes in ONE write.
        RawPeer peer;
        QVERIFY(peer.ConnectTo(messenger->ListeningPort()));
        peer.SendRaw(RawPeer::SetUpFrame("bob", "F") + RawPeer::U32(0xA1B2C3D4) +
                     QByteArray("offset?") + RawPeer::I64(-1));
        QVERIFY(rec->WaitFor(QString("FileConnectionRequested|bob|%1").arg(0xA1B2C3D4u)));
        QTcpSocket* s = rec->LastSocket();
        QCOMPARE(ReadExactly(s, 15), QByteArray("offset?") + RawPeer::I64(-1));
        QCOMPARE(messenger->ConnectionCount(), 0);
        // The socket is the receiver's: what it writes arrives, and the
        // messenger reads nothing more of it.
        s->write(RawPeer::I64(42));
        QCOMPARE(peer.ReadRaw(8), RawPeer::I64(42));
        peer.SendRaw("more");
        QCOMPARE(ReadExactly(s, 4), QByteArray("more"));

        // The token may trickle in.
        RawPeer slow;
        QVERIFY(slow.ConnectTo(messenger->ListeningPort()));
        slow.SendRaw(RawPeer::SetUpFrame("carl", "F") + QByteArray("\x05\x00", 2));
        QTest::qWait(50);
        QVERIFY(!rec->events.join(",").contains("carl"));
        QCOMPARE(messenger->ConnectionCount(), 1);
        slow.SendRaw(QByteArray("\x00\x00", 2) + "data");
        QVERIFY(rec->WaitFor("FileConnectionRequested|carl|5"));
        QCOMPARE(ReadExactly(rec->LastSocket(), 4), QByteArray("data"));

        RawPeer dnet;
        QVERIFY(dnet.ConnectTo(messenger->ListeningPort()));
        const QByteArray frames = RawPeer::DFrame(5, Payload().Str("leader")) + RawPeer::DFrame(7);
        dnet.SendRaw(RawPeer::SetUpFrame("dora", "D") + frames);
        QVERIFY(rec->WaitFor("DNetConnectionRequested|dora"));
        QCOMPARE(ReadExactly(rec->LastSocket(), frames.size()), frames);
        QVERIFY(rec->parentless);

        // Our own "F" and "D", directly to a recorded address.
        RawPeer bob;
        QVERIFY(bob.Listen());
        RecordAddress("bob", bob.Port());
        messenger->RequestFileConnectionToUser("bob");
        QVERIFY(bob.WaitForIncoming());
        QString user, kind;
        QVERIFY(bob.ReadSetUp(&user, &kind));
        QCOMPARE(kind, QString("F"));
        QVERIFY(rec->WaitFor("FileConnectionAccepted|bob"));
        rec->LastSocket()->write(RawPeer::U32(9));
        QCOMPARE(bob.ReadRaw(4), RawPeer::U32(9));
        messenger->RequestDNetConnection("bob");
        QVERIFY(bob.WaitForIncoming());
        QVERIFY(bob.ReadSetUp(&user, &kind));
        QCOMPARE(kind, QString("D"));
        QVERIFY(rec->WaitFor("DNetConnectionAccepted|bob"));
        QCOMPARE(messenger->ConnectionCount(), 0);

        // With nobody to take it, the socket is closed rather than leaked.
        rec.reset();
        RawPeer orphan;
        QVERIFY(orphan.ConnectTo(messenger->ListeningPort()));
        orphan.SendRaw(RawPeer::SetUpFrame("eve", "D"));
        QVERIFY(orphan.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), 0);
    }

    void obfuscatedPort() {
        RawPeer bob;
        QVERIFY(IncomingP(bob, "bob", true));
        QVERIFY(bob.IsObfuscated());
        // Our answers on that connection are obfuscated too.
        messenger->GetUserInfo("bob");
        quint32 code = 0;
        QVERIFY(bob.WaitForMessage(&code, nullptr));
        QCOMPARE(code, 15u);
        messenger->QueueUpload("bob", "dir\\f.mp3", 99);
        QByteArray payload;
        QVERIFY(bob.WaitForMessage(&code, &payload));
        QCOMPARE(code, 60u);
        QCOMPARE(payload, Payload().Str("dir\\f.mp3").I64(99).Bytes());
        bob.SendMessage(PeerMessenger::PM_QUEUE_UPLOAD, Payload().Str("q.mp3"));
        QVERIFY(rec->WaitFor("QueueUploadRequested|bob|q.mp3"));

        // File and distributed connections are read raw: not on this port.
        for (const char* kind : {"F", "D"}) {
            RawPeer other;
            QVERIFY(other.ConnectTo(messenger->ObfuscatedListeningPort(), true));
            other.SendSetUp("carl", kind);
            QVERIFY(other.WaitForDisconnect());
        }
        // Unobfuscated bytes there make no sense and close the connection.
        RawPeer plain;
        QVERIFY(plain.ConnectTo(messenger->ObfuscatedListeningPort(), false));
        plain.SendSetUp("carl", "P");
        QVERIFY(plain.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), 1);
    }

    void sendersLayout() {
        RawPeer bob;
        QVERIFY(IncomingP(bob, "bob"));
        SetSetting("transfer_req_counter", 7);
        struct Row {
            std::function<void()> send;
            quint32 code;
            QByteArray payload;
        };
        const std::vector<Row> rows = {
            {[&] { messenger->QueueDownload("bob", "d\\\xc3\xa9.mp3"); }, 43,
             Payload().Str("d\\\xc3\xa9.mp3")},
            {[&] { messenger->QueueUpload("bob", "d\\f", 5); }, 60, Payload().Str("d\\f").I64(5)},
            {[&] { QCOMPARE(messenger->RequestUpload("bob", "d\\f", 6), 7u); }, 40,
             Payload().U32(1).U32(7).Str("d\\f").I64(6)},
            {[&] { QCOMPARE(messenger->RequestUpload("bob", "d\\g", 1), 8u); }, 40,
             Payload().U32(1).U32(8).Str("d\\g").I64(1)},
            {[&] { messenger->AcceptTransferRequest("bob", 3, true, 1000); }, 41,
             Payload().U32(3).U8(1).I64(1000)},
            {[&] { messenger->AcceptTransferRequest("bob", 3, false, 1000); }, 41,
             Payload().U32(3).U8(1)},
            {[&] { messenger->DenyTransferRequest("bob", 4, "Queued"); }, 41,
             Payload().U32(4).U8(0).Str("Queued")},
            {[&] { messenger->DenyUpload("bob", "d\\f", "Too many files"); }, 50,
             Payload().Str("d\\f").Str("Too many files")},
            {[&] { messenger->SendUploadPlaceInLine("bob", "d\\f", 12); }, 44,
             Payload().Str("d\\f").U32(12)},
            {[&] { messenger->GetUserSharedFiles("bob"); }, 4, QByteArray()},
            {[&] { messenger->GetUserInfo("bob"); }, 15, QByteArray()},
        };
        for (const Row& row : rows) {
            row.send();
            quint32 code = 0;
            QByteArray payload;
            QVERIFY(bob.WaitForMessage(&code, &payload));
            QCOMPARE(code, row.code);
            QCOMPARE(payload, row.payload);
        }
        QCOMPARE(GetSetting("transfer_req_counter"), QString("9"));
        // A body without a code cannot be sent.
        MemStream tooShort;
        tooShort.Write(quint8(1));
        messenger->SendMessage("bob", tooShort);
        messenger->GetUserInfo("bob");
        quint32 code = 0;
        QVERIFY(bob.WaitForMessage(&code, nullptr));
        QCOMPARE(code, 15u);
    }

    void everyHandlerGoodAndMalformed() {
        RawPeer bob;
        QVERIFY(IncomingP(bob, "bob"));
        const QByteArray share = Compress(Payload()
                                              .U32(2)
                                              .Str("music\\a")
                                              .U32(1)
                                              .File("one.mp3", 10, {{0, 128}, {1, 60}})
                                              .Str("music\\b")
                                              .U32(0)
                                              .U32(1)
                                              .U32(0)
                                              .Str("bitrate"));
        const quint32 token = server->FileSearch("song", false);
        const QByteArray results = Compress(Payload()
                                                .Str("bob")
                                                .U32(token)
                                                .U32(1)
                                                .File("music\\song.mp3", 5)
                                                .U8(1)
                                                .U32(100)
                                                .U32(2)
                                                .U32(0));
        struct Row {
            quint32 code;
            QByteArray good;
            QString event;
            QByteArray malformed;
            bool closes;
        };
        const std::vector<Row> rows = {
            {4, {}, "SharedFileListRequested|bob", {}, false},
            {5, share, "UserShare|bob|music\\a=one.mp3:10|music\\b=|0=bitrate",
             share.left(share.size() / 2), true},
            {9, results, "SearchResults|bob|1", results.left(results.size() - 3), true},
            {15, {}, "UserInfoRequested|bob", {}, false},
            {16, Payload().Str("hi\r\nthere").U8(1).U32(3).Raw("png").U32(2).U32(5).U8(1),
             "UserInfoReceived|bob|hi\r\nthere|1|png|2|5|1",
             Payload().Str("hi").U8(1).U32(1000).Raw("png").U32(2).U32(5).U8(1), false},
            {16, Payload().Str("").U8(0).U32(1).U32(0).U8(0), "UserInfoReceived|bob||0||1|0|0",
             Payload().Str("").U8(0).U32(1), false},
            {36, Payload().U32(9).Str("music\\a"), "SharedFilesInFolderRequested|bob|9|music\\a",
             Payload().U32(9), false},
            {40, Payload().U32(1).U32(7).Str("d\\f.mp3").I64(500),
             "FileTransferRequested|bob|1|7|d\\f.mp3|500", Payload().U32(1).U32(7), false},
            {40, Payload().U32(0).U32(8).Str("d\\g.mp3"),
             "FileTransferRequested|bob|0|8|d\\g.mp3|0",
             Payload().U32(0).U32(8).Str("d\\g.mp3").I64(-5), false},
            {41, Payload().U32(3).U8(1).I64(77), "FileTransferResponse|bob|3|1|1|77|",
             Payload().U32(3), false},
            {41, Payload().U32(4).U8(1), "FileTransferResponse|bob|4|1|0|0|", Payload(), false},
            {41, Payload().U32(5).U8(0).Str("Cancelled"),
             "FileTransferResponse|bob|5|0|0|0|Cancelled", Payload().U32(5).U8(0), false},
            {43, Payload().Str("d\\q.mp3"), "QueueUploadRequested|bob|d\\q.mp3", Payload().U32(50),
             false},
            {44, Payload().Str("d\\p.mp3").U32(3), "DownloadPlaceInLine|bob|d\\p.mp3|3",
             Payload().Str("d\\p.mp3"), false},
            {46, Payload().Str("d\\x.mp3"), "UploadFailed|bob|d\\x.mp3", Payload().U32(1 << 20),
             false},
            {50, Payload().Str("d\\y.mp3").Str("File not shared."),
             "UploadDenied|bob|d\\y.mp3|File not shared.", Payload().Str("d\\y.mp3"), false},
            {51, Payload().Str("d\\z.mp3"), "UploadPlaceInLineRequested|bob|d\\z.mp3",
             Payload().U8(1), false},
            {60, Payload().Str("d\\w.mp3").I64(1234), "QueueDownloadRequested|bob|d\\w.mp3|1234",
             Payload().Str("d\\w.mp3").U32(1), false},
        };
        for (const Row& row : rows) {
            const QString what = QString("code %1").arg(row.code);
            rec->events.clear();
            bob.SendMessage(row.code, row.good);
            QVERIFY2(rec->WaitFor(row.event), qPrintable(what + ": " + rec->events.join(",")));
            QCOMPARE(rec->events.size(), 1);
            if (row.code == 4 || row.code == 15)
                continue;  // no payload to break
            rec->events.clear();
            bob.SendMessage(row.code, row.malformed);
            if (row.closes) {
                QVERIFY2(bob.WaitForDisconnect(), qPrintable(what));
                QVERIFY(rec->events.isEmpty());
                QVERIFY(IncomingP(bob, "bob"));
            } else {
                // Dropped; the connection carries on.
                bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
                QVERIFY(rec->WaitFor("UserInfoRequested|bob"));
                QVERIFY2(rec->events.size() == 1, qPrintable(what + ": " + rec->events.join(",")));
            }
        }
        // Ignored, not fatal: 37 (nobody asks for it), 49 and unknown codes.
        rec->events.clear();
        bob.SendMessage(37, Compress("whatever"));
        bob.SendMessage(49, Payload().Str("x").U32(1).Str("y"));
        bob.SendMessage(12345, "junk");
        bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        QVERIFY(rec->WaitFor("UserInfoRequested|bob"));
        QCOMPARE(rec->events.size(), 1);
    }

    void searchResultsChecked() {
        const quint32 token = server->FileSearch("blue song", false);
        auto results = [&](quint32 t, const QString& named, QList<std::string> files) {
            Payload inner;
            inner.Str(named).U32(t).U32(quint32(files.size()));
            for (const std::string& f : files)
                inner.File(f, 1000, {{0, 192}, {1, 300}, {2, 0}});
            inner.U8(0).U32(5000).U32(3).U32(0);
            MemStream m(Compress(inner));
            return m;
        };
        // Only files matching the request's text are kept; the answer is the
        // connection's user's, whatever name the message carries.
        MemStream m = results(token, "mallory",
                              {"music\\blue\\song.mp3", "music\\red song.mp3", "Blue Song.mp3"});
        messenger->HandleMessage("bob", PeerMessenger::PM_FILE_SEARCH_RESULT, m);
        QCOMPARE(rec->events, QStringList{"SearchResults|bob|2"});
        const ItemPtr r = rec->lastResults;
        QCOMPARE(r["search_request"].AsString(), QString::number(token));
        QCOMPARE(r["search_results_user_available"].AsString(), QString("no"));
        QCOMPARE(r["search_results_user_speed"].AsString(), QString("5000"));
        QCOMPARE(r["search_results_uploads_in_queue"].AsString(), QString("3"));
        QStringList names;
        for (const ItemPtr& file : r.GetItems("search_result"))
            names << file["search_result_file_folder"].AsString() + "|" +
                         file["search_result_file_name"].AsString() + "|" +
                         file["file_size"].AsString() + "|" + file["bitrate"].AsString();
        names.sort();
        QCOMPARE(names, (QStringList{"music\\blue|song.mp3|1000|192", "|Blue Song.mp3|1000|192"}));

        // Unknown tokens, stopped searches and answers filtered to nothing
        // store nothing and say nothing.
        rec->events.clear();
        const int before = d.GetType("search_results")->ItemCount();
        MemStream unknown = results(token + 1000, "bob", {"blue song.mp3"});
        messenger->HandleMessage("bob", PeerMessenger::PM_FILE_SEARCH_RESULT, unknown);
        MemStream filtered = results(token, "bob", {"red.mp3"});
        messenger->HandleMessage("bob", PeerMessenger::PM_FILE_SEARCH_RESULT, filtered);
        d.GetType("search_request")->HasItem(Value(token)).NewItem("search_stopped");
        MemStream stopped = results(token, "bob", {"blue song.mp3"});
        messenger->HandleMessage("bob", PeerMessenger::PM_FILE_SEARCH_RESULT, stopped);
        QVERIFY(rec->events.isEmpty());
        QCOMPARE(d.GetType("search_results")->ItemCount(), before);
    }

    void bombsAndOversizedFrames() {
        RawPeer bob;
        QVERIFY(IncomingP(bob, "bob"));
        // 1 GiB of zeros in about a megabyte: refused at the inflate cap,
        // without ever holding the whole.
        const QByteArray bomb = ZeroBomb(qint64(1) << 30);
        QVERIFY(bomb.size() < 2 * 1024 * 1024);
#ifndef PEER_TEST_ASAN
        const long rssBefore = MaxRssKiB();
#endif
        bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST, bomb);
        QVERIFY(bob.WaitForDisconnect(20000));
#ifndef PEER_TEST_ASAN
        QVERIFY2(MaxRssKiB() - rssBefore < 400 * 1024,
                 qPrintable(QString("grew by %1 KiB").arg(MaxRssKiB() - rssBefore)));
#endif
        QVERIFY(rec->events.filter("UserShare").isEmpty());
        QVERIFY(IncomingP(bob, "bob"));
        bob.SendMessage(PeerMessenger::PM_FILE_SEARCH_RESULT, bomb);
        QVERIFY(bob.WaitForDisconnect(20000));

        // A length over the cap closes at once, before any body arrives.
        QVERIFY(IncomingP(bob, "bob"));
        bob.SendRaw(LengthOnly(PeerLimits::kMaxFrameLength + 1));
        QVERIFY(bob.WaitForDisconnect());
        QVERIFY(IncomingP(bob, "bob"));
        bob.SendRaw(LengthOnly(3));
        QVERIFY(bob.WaitForDisconnect());
        QVERIFY(IncomingP(bob, "bob", true));
        bob.SendRaw(RawPeer::Obfuscate(LengthOnly(0xFFFFFFF0u), 99));
        QVERIFY(bob.WaitForDisconnect());

        // Exactly the cap is a frame like any other.
        QVERIFY(IncomingP(bob, "bob"));
        bob.SendMessage(999, QByteArray(int(PeerLimits::kMaxFrameLength) - 4, 'x'));
        bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        const int seen = rec->events.count("UserInfoRequested|bob");
        QVERIFY(
            WaitUntil([&] { return rec->events.count("UserInfoRequested|bob") > seen; }, 20000));

        // The set-up frame has its own, smaller cap.
        RawPeer big;
        QVERIFY(big.ConnectTo(messenger->ListeningPort()));
        big.SendRaw(LengthOnly(PeerLimits::kMaxSetUpLength + 1));
        QVERIFY(big.WaitForDisconnect());
        // 4,096 exactly: code, name, kind and token fill it.
        const QString longName(int(PeerLimits::kMaxSetUpLength) - 4 - 4 - 4 - 1 - 4, 'n');
        QCOMPARE(RawPeer::SetUpFrame(longName, "P").size(), int(PeerLimits::kMaxSetUpLength) + 4);
        RawPeer exact;
        QVERIFY(IncomingP(exact, longName));
    }

    void setUpOddities() {
        // Each of these closes the connection without identifying anyone.
        const QList<QByteArray> bad = {
            Frame(1, Payload().Str("").Str("P").U32(0)),     // no name
            Frame(1, Payload().Str("bob").Str("X").U32(0)),  // no such kind
            Frame(1, Payload().Str("bob").Str("P")),         // token missing
            Frame(7, Payload().U32(1)),                      // no such set-up
            Frame(0, Payload().U8(1)),                       // short token
            Frame(15),                                       // a message before the set-up
        };
        for (const QByteArray& frame : bad) {
            RawPeer peer;
            QVERIFY(peer.ConnectTo(messenger->ListeningPort()));
            peer.SendRaw(frame);
            QVERIFY2(peer.WaitForDisconnect(), frame.toHex().constData());
        }
        QCOMPARE(messenger->ConnectionCount(), 0);
        QVERIFY(rec->events.isEmpty());
    }

    void timeOuts() {
        // No set-up: closed on the second tick, not the first.
        RawPeer mute;
        QVERIFY(mute.ConnectTo(messenger->ListeningPort()));
        QVERIFY(WaitUntil([&] { return messenger->ConnectionCount() == 1; }));
        // Half a set-up does not count.
        mute.SendRaw(Frame(1, Payload().Str("bob")).left(9));
        RawPeer noToken;
        QVERIFY(noToken.ConnectTo(messenger->ListeningPort()));
        noToken.SendSetUp("carl", "F");
        noToken.SendRaw("\x01");
        QVERIFY(WaitUntil([&] { return messenger->ConnectionCount() == 2; }));
        RawPeer idle;
        QVERIFY(IncomingP(idle, "dora"));
        Tick();
        QCOMPARE(messenger->ConnectionCount(), 3);
        Tick();
        QVERIFY(mute.WaitForDisconnect());
        QVERIFY(noToken.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), 1);

        // An idle messaging connection lasts 10 ticks; traffic either way
        // starts the count again.
        Tick(7);
        messenger->GetUserInfo("dora");
        QVERIFY(idle.WaitForMessage(nullptr, nullptr));
        Tick(9);
        idle.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        QVERIFY(WaitUntil([&] { return rec->events.count("UserInfoRequested|dora") == 2; }));
        Tick(9);
        QCOMPARE(messenger->ConnectionCount(), 1);
        Tick();
        QVERIFY(idle.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), 0);
        QVERIFY(rec->events.filter("Connection").isEmpty());

        // A direct connect that never completes is given up on the second
        // tick; with no connect-back running, so is the request.
        HangingListener hanging;
        QVERIFY(hanging.Port() != 0);
        RecordAddress("hank", hanging.Port());
        messenger->GetUserInfo("hank");
        QTest::qWait(100);
        QCOMPARE(messenger->ConnectionCount(), 1);
        Tick();
        QVERIFY(!rec->events.contains("ConnectionToUserFailed|hank|P"));
        Tick();
        QVERIFY(rec->events.contains("ConnectionToUserFailed|hank|P"));
        QCOMPARE(messenger->ConnectionCount(), 0);

        // So is a connect-back we were asked for, and the peer hears of it.
        ServerSession bobSession;
        QVERIFY(bobSession.Login(*ts, "bob"));
        bobSession.ReportPorts(hanging.Port(), 0);
        QVERIFY(LogIn());
        bobSession.Send(18, Payload().U32(4242).Str(kMe).Str("F"));
        QVERIFY(WaitUntil([&] { return messenger->ConnectionCount() == 1; }));
        Tick();
        QByteArray failed;
        QVERIFY(!bobSession.WaitFor(1001, &failed, 100));
        Tick();
        QVERIFY(bobSession.WaitFor(1001, &failed));
        QCOMPARE(failed, Payload().U32(4242).Str(kMe).Bytes());
        QCOMPARE(messenger->ConnectionCount(), 0);
    }

    void limitsOnConnections() {
        // Unidentified connections are capped; the next is closed at once,
        // and identified ones do not count.
        RawPeer identified;
        QVERIFY(IncomingP(identified, "bob"));
        RawPeer crowd;
        // In batches, so that the listen backlog never overflows.
        for (int k = 0; k < PeerLimits::kMaxUnidentifiedConnections; ++k) {
            crowd.ConnectToAsync(messenger->ListeningPort());
            if (k % 32 == 31 || k + 1 == PeerLimits::kMaxUnidentifiedConnections)
                QVERIFY(WaitUntil([&] { return messenger->ConnectionCount() == k + 2; }));
        }
        RawPeer oneMore;
        QVERIFY(oneMore.ConnectTo(messenger->ListeningPort()));
        QVERIFY(oneMore.WaitForDisconnect());
        QCOMPARE(messenger->ConnectionCount(), PeerLimits::kMaxUnidentifiedConnections + 1);
        crowd.CloseAll();
        QVERIFY(WaitUntil([&] { return messenger->ConnectionCount() == 1; }));

        // Outgoing attempts are capped: past the cap a request fails at once.
        SilentServer silent;
        qputenv("TAVENOOK_SERVER", silent.Address().toUtf8());
        QVERIFY(LogIn());
        for (int k = 0; k < PeerLimits::kMaxOutgoingAttempts; ++k)
            messenger->GetUserInfo(QString("user%1").arg(k));
        QCOMPARE(messenger->PendingRequestCount(), PeerLimits::kMaxOutgoingAttempts);
        messenger->GetUserInfo("late");
        QVERIFY(rec->WaitFor("ConnectionToUserFailed|late|P"));
        QCOMPARE(messenger->UnsentMessageCount("late"), 0);
        QCOMPARE(messenger->PendingRequestCount(), PeerLimits::kMaxOutgoingAttempts);
        // Messages to a user already being reached join the one attempt.
        messenger->GetUserInfo("user0");
        QCOMPARE(messenger->UnsentMessageCount("user0"), 2);
        QCOMPARE(messenger->PendingRequestCount(), PeerLimits::kMaxOutgoingAttempts);
        Tick(3);
        QCOMPARE(messenger->PendingRequestCount(), 0);
        QCOMPARE(rec->events.filter("ConnectionToUserFailed").size(),
                 PeerLimits::kMaxOutgoingAttempts + 1);
    }
};

QTEST_GUILESS_MAIN(TestPeerMessenger)
#include "test_peer_messenger.moc"
