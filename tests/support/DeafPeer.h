#ifndef TAVENOOK_TESTS_SUPPORT_DEAFPEER_H
#define TAVENOOK_TESTS_SUPPORT_DEAFPEER_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <cstddef>
#include <cstdlib>

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

// The descriptor in this process of the other end of a loopback connection
// (the messenger's, for a peer the test plays); -1 when none.
inline int OtherEnd(int fd) {
    sockaddr_in near{}, far{};
    socklen_t size = sizeof near;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&near), &size) != 0)
        return -1;
    size = sizeof far;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&far), &size) != 0)
        return -1;
    const auto same = [](const sockaddr_in& a, const sockaddr_in& b) {
        return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
    };
    int found = -1;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dir && found < 0)
        if (const dirent* e = ::readdir(dir)) {
            const int other = std::atoi(e->d_name);
            sockaddr_in mine{}, theirs{};
            socklen_t n = sizeof mine, m = sizeof theirs;
            if (other != fd && e->d_name[0] != '.' &&
                ::getsockname(other, reinterpret_cast<sockaddr*>(&mine), &n) == 0 &&
                ::getpeername(other, reinterpret_cast<sockaddr*>(&theirs), &m) == 0 &&
                same(mine, far) && same(theirs, near))
                found = other;
        } else {
            break;
        }
    if (dir)
        ::closedir(dir);
    return found;
}

// Whether output waits in the socket's system queue with none of it in
// flight: the peer's window is shut, and the queue does not move until she
// reads. Output taken before, and acknowledged late, would otherwise show as
// progress at whatever time the sender looks next.
inline bool WindowShut(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    int unsent = 0;
    return fd >= 0 && ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_unacked == 0 && ::ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && unsent > 0;
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
