#ifndef TAVENOOK_TESTS_SUPPORT_HTTPSTUB_H
#define TAVENOOK_TESTS_SUPPORT_HTTPSTUB_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

// A loopback web host for the release check: answers every GET with the
// scripted status and body, then closes, and points TAVENOOK_UPDATE_URL at
// itself while it lives.
struct HttpStub : QObject {
    HttpStub() {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->peek(1 << 16).contains("\r\n\r\n"))
                        return;
                    requests << s->readLine().trimmed();
                    s->readAll();
                    s->write("HTTP/1.1 " + QByteArray::number(status) +
                             " X\r\nContent-Length: " + QByteArray::number(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body);
                    s->disconnectFromHost();
                });
        });
        qputenv("TAVENOOK_UPDATE_URL", Url().toLatin1());
    }
    ~HttpStub() override { qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt"); }
    QString Url() const {
        return QString("http://127.0.0.1:%1/qtversion.txt").arg(server.serverPort());
    }
    QTcpServer server;
    int status = 200;
    QByteArray body;
    QList<QByteArray> requests;  // the request lines
};

#endif
