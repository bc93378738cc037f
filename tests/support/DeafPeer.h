#ifndef TAVENOOK_TESTS_SUPPORT_DEAFPEER_H
#define TAVENOOK_TESTS_SUPPORT_DEAFPEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QTcpSocket>
#include <memory>

#include "support/RawPeer.h"

// A socket connected to 127.0.0.1:port whose receive buffer is as small as
// the system allows, so that what is sent to it and not read stays with the
// sender; -1 when it cannot connect.
// `from` is the host part of the loopback address it comes from (1 for
// 127.0.0.1; another stands for another host).
inline int DeafSocket(quint16 port, int from = 1) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int smallest = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + quint32(from));
    if (from != 1 && ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A peer connected to 127.0.0.1:port as `user` ("P") that takes nothing of
// what it is sent: a deaf socket that never reads. Null when it cannot
// connect.
inline std::unique_ptr<QTcpSocket> DeafPeer(const QString& user, quint16 port, int from = 1) {
    const int fd = DeafSocket(port, from);
    if (fd < 0)
        return nullptr;
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        return nullptr;
    }
    socket->setReadBufferSize(1);
    socket->write(RawPeer::SetUpFrame(user, "P"));
    return socket;
}

// The most a TCP socket's send buffer grows to here (the third field of
// tcp_wmem): what a sender's system may take of output its peer never reads.
inline qint64 SystemSendBufferMax() {
    QFile wmem("/proc/sys/net/ipv4/tcp_wmem");
    if (!wmem.open(QIODevice::ReadOnly))
        return 4 << 20;
    const QList<QByteArray> fields = wmem.readAll().simplified().split(' ');
    return fields.size() == 3 ? fields[2].toLongLong() : qint64(4 << 20);
}

#endif
