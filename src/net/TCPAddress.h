#ifndef TAVENOOK_NET_TCPADDRESS_H
#define TAVENOOK_NET_TCPADDRESS_H

#include <QHostAddress>
#include <QMetaType>
#include <QtGlobal>

// An IPv4 address and a port as the server sends them. The address is a
// number whose highest byte is the first octet (127.0.0.1 is 0x7F000001),
// which is also how QHostAddress reads and gives out a quint32.
struct TCPAddress {
    quint32 ip = 0;
    quint16 port = 0;

    bool operator==(const TCPAddress& other) const { return ip == other.ip && port == other.port; }
    bool operator!=(const TCPAddress& other) const { return !(*this == other); }

    QHostAddress HostAddress() const { return QHostAddress(ip); }

    // An address that is not IPv4 gives ip 0.
    static TCPAddress FromHostAddress(const QHostAddress& address, quint16 port) {
        TCPAddress result;
        bool ok = false;
        const quint32 ip = address.toIPv4Address(&ok);
        result.ip = ok ? ip : 0;
        result.port = port;
        return result;
    }
};

Q_DECLARE_METATYPE(TCPAddress)

#endif
