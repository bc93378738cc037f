#include "support/RawPeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>
#include <QtEndian>
#include <algorithm>

#include "store/MemStream.h"
#include "support/Payload.h"

namespace {

quint32 RotateRight(quint32 value, unsigned bits) {
    bits %= 32;
    return bits == 0 ? value : (value >> bits) | (value << (32 - bits));
}

}  // namespace

RawPeer::RawPeer(QObject* parent) : QObject(parent) {}

RawPeer::~RawPeer() {
    // Sockets die with us; none of their last signals may reach a half-gone peer.
    for (const auto& connection : m_connections) {
        connection->socket->disconnect(this);
        connection->socket->abort();
    }
}

bool RawPeer::ListenOn(QTcpServer*& listener, bool obfuscated) {
    if (!listener) {
        listener = new QTcpServer(this);
        QTcpServer* server = listener;
        connect(server, &QTcpServer::newConnection, this,
                [this, server, obfuscated] { OnNewConnection(server, obfuscated); });
    }
    return listener->isListening() || listener->listen(QHostAddress::LocalHost, 0);
}

void RawPeer::OnNewConnection(QTcpServer* listener, bool obfuscated) {
    while (QTcpSocket* socket = listener->nextPendingConnection()) {
        socket->setParent(this);
        m_untakenIncoming.append(Add(socket, obfuscated, true));
    }
    emit Activity();
}

int RawPeer::Add(QTcpSocket* socket, bool obfuscated, bool incoming) {
    auto connection = std::make_unique<Connection>();
    Connection* c = connection.get();
    c->socket = socket;
    c->obfuscated = obfuscated;
    c->incoming = incoming;
    connect(socket, &QTcpSocket::readyRead, this, [this, c] {
        // Drops what was read once it is all of the input or most of a big one.
        if (c->start == c->input.size() || (c->start > 65536 && c->start > c->input.size() / 2)) {
            c->input.remove(0, c->start);
            c->start = 0;
        }
        c->input += c->socket->readAll();
        emit Activity();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, c] {
        c->closed = true;
        emit Activity();
    });
    connect(socket, &QTcpSocket::connected, this, &RawPeer::Activity);
    connect(socket, &QTcpSocket::bytesWritten, this, &RawPeer::Activity);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] { emit Activity(); });
    m_connections.push_back(std::move(connection));
    return int(m_connections.size()) - 1;
}

RawPeer::Connection* RawPeer::At(int index) const {
    return index >= 0 && index < int(m_connections.size()) ? m_connections[size_t(index)].get()
                                                           : nullptr;
}

bool RawPeer::ConnectTo(quint16 port, bool obfuscated) {
    const int index = ConnectToAsync(port, obfuscated);
    QTcpSocket* socket = At(index)->socket;
    WaitUntil(
        [socket] {
            const auto state = socket->state();
            return state != QAbstractSocket::HostLookupState &&
                   state != QAbstractSocket::ConnectingState;
        },
        kDefaultWait);
    return socket->state() == QAbstractSocket::ConnectedState;
}

int RawPeer::ConnectToAsync(quint16 port, bool obfuscated) {
    auto* socket = new QTcpSocket(this);
    m_current = Add(socket, obfuscated, false);
    if (!m_source.isNull())
        socket->bind(m_source);
    socket->connectToHost(QHostAddress::LocalHost, port);
    return m_current;
}

bool RawPeer::WaitForIncoming(int timeoutMs) {
    if (!WaitUntil([this] { return !m_untakenIncoming.isEmpty(); }, timeoutMs))
        return false;
    m_current = m_untakenIncoming.takeFirst();
    return true;
}

void RawPeer::Write(Connection* c, const QByteArray& frame) {
    if (c)
        c->socket->write(c->obfuscated ? Obfuscate(frame, QRandomGenerator::global()->generate())
                                       : frame);
}

void RawPeer::SendSetUpOn(int index, const QString& user, const QString& kind) {
    Write(At(index), SetUpFrame(user, kind));
}

void RawPeer::SendMessageOn(int index, quint32 code, const QByteArray& payload) {
    Write(At(index), Frame(code, payload));
}

void RawPeer::SendRawOn(int index, const QByteArray& bytes) {
    if (Connection* c = At(index))
        c->socket->write(bytes);
}

bool RawPeer::WaitForWritten(int timeoutMs) {
    return WaitUntil(
        [this] {
            return std::none_of(m_connections.begin(), m_connections.end(), [](const auto& c) {
                return c->socket->state() == QAbstractSocket::ConnectedState &&
                       c->socket->bytesToWrite() > 0;
            });
        },
        timeoutMs);
}

bool RawPeer::TakeFrame(Connection* c, quint32 maxLength, QByteArray* frame, int timeoutMs) {
    if (!c)
        return false;
    const int header = c->obfuscated ? 8 : 4;
    quint32 length = 0;
    bool bad = false;
    const auto complete = [&] {
        const qint64 available = c->input.size() - c->start;
        if (available < header)
            return false;
        const char* at = c->input.constData() + c->start;
        length = qFromLittleEndian<quint32>(at + header - 4);
        if (c->obfuscated)
            length ^= RotateRight(qFromLittleEndian<quint32>(at), 1);
        if (length < 4 || length > maxLength) {
            bad = true;
            return true;
        }
        return available >= header + qint64(length);
    };
    if (!WaitUntil(complete, timeoutMs) || bad)
        return false;
    const int total = header + int(length);
    const QByteArray wire = c->input.mid(c->start, total);
    c->start += total;
    *frame = c->obfuscated ? Deobfuscate(wire) : wire;
    return true;
}

bool RawPeer::ReadSetUp(SetUp* out, int timeoutMs) {
    QByteArray frame;
    if (!TakeFrame(At(m_current), kMaxSetUpLength, &frame, timeoutMs))
        return false;
    MemStream stream(frame.mid(4));
    SetUp setUp;
    const bool ok = stream.Read(setUp.code) && setUp.code <= 1 &&
                    (setUp.code == 0 || (stream.Read(setUp.user) && stream.Read(setUp.kind))) &&
                    stream.Read(setUp.token);
    if (!ok)
        return false;
    if (out)
        *out = setUp;
    return true;
}

bool RawPeer::ReadSetUp(QString* user, QString* kind, int timeoutMs) {
    SetUp setUp;
    if (!ReadSetUp(&setUp, timeoutMs) || setUp.code != 1)
        return false;
    if (user)
        *user = setUp.user;
    if (kind)
        *kind = setUp.kind;
    return true;
}

bool RawPeer::WaitForMessageOn(int index, quint32* code, QByteArray* payload, int timeoutMs) {
    QByteArray frame;
    if (!TakeFrame(At(index), kMaxFrameLength, &frame, timeoutMs))
        return false;
    if (code)
        *code = qFromLittleEndian<quint32>(frame.constData() + 4);
    if (payload)
        *payload = frame.mid(8);
    return true;
}

QByteArray RawPeer::ReadRawOn(int index, int n, int timeoutMs) {
    Connection* c = At(index);
    if (!c || n < 0)
        return QByteArray();
    if (!WaitUntil([c, n] { return c->input.size() - c->start >= n; }, timeoutMs))
        return QByteArray();
    const QByteArray bytes = c->input.mid(c->start, n);
    c->start += n;
    return bytes;
}

bool RawPeer::WaitForDisconnectOn(int index, int timeoutMs) {
    Connection* c = At(index);
    return c &&
           WaitUntil(
               [c] { return c->closed || c->socket->state() == QAbstractSocket::UnconnectedState; },
               timeoutMs);
}

void RawPeer::CloseOn(int index) {
    if (Connection* c = At(index))
        c->socket->disconnectFromHost();
}

void RawPeer::Abort() {
    if (Connection* c = At(m_current))
        c->socket->abort();
}

void RawPeer::CloseAll() {
    for (const auto& c : m_connections)
        c->socket->disconnectFromHost();
}

QByteArray RawPeer::Frame(quint32 code, const QByteArray& payload) {
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    return frame + payload;
}

QByteArray RawPeer::SetUpFrame(const QString& user, const QString& kind) {
    return Frame(1, Payload().Str(user).Str(kind).U32(0));
}

QByteArray RawPeer::ConnectBackFrame(quint32 token) {
    return Frame(0, Payload().U32(token));
}

QByteArray RawPeer::DFrame(quint8 code, const QByteArray& payload) {
    QByteArray frame(5, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 1), frame.data());
    frame[4] = char(code);
    return frame + payload;
}

QByteArray RawPeer::U32(quint32 value) {
    return Payload().U32(value);
}

QByteArray RawPeer::I64(qint64 value) {
    return Payload().I64(value);
}

QByteArray RawPeer::Transform(const QByteArray& bytes, quint32 key) {
    QByteArray out = bytes;
    char* data = out.data();
    const int size = out.size();
    for (int block = 0; block * 4 < size; ++block) {
        const quint32 mask = RotateRight(key, unsigned(block) + 1);
        for (int k = 0; k < 4 && block * 4 + k < size; ++k)
            data[block * 4 + k] = char(quint8(data[block * 4 + k]) ^ quint8(mask >> (8 * k)));
    }
    return out;
}

QByteArray RawPeer::Obfuscate(const QByteArray& frame, quint32 key) {
    QByteArray wire(4, '\0');
    qToLittleEndian<quint32>(key, wire.data());
    return wire + Transform(frame, key);
}

QByteArray RawPeer::Deobfuscate(const QByteArray& wire) {
    if (wire.size() < 4)
        return QByteArray();
    return Transform(wire.mid(4), qFromLittleEndian<quint32>(wire.constData()));
}

bool RawPeer::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // Wakes the wait below so that the deadline is seen without other events.
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}
