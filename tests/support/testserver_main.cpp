// Runs the loopback test server by hand, e.g. to try two clients on one
// machine: tavenook-testserver [port], then start each client with
// TAVENOOK_SERVER=127.0.0.1:<port> and its own home directory.
#include <QCoreApplication>
#include <cstdio>

#include "support/TestServer.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    quint16 port = 2242;
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [port]\n", argv[0]);
        return 2;
    }
    if (argc == 2) {
        bool ok = false;
        const uint value = QString::fromLocal8Bit(argv[1]).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            std::fprintf(stderr, "usage: %s [port]  (port 1-65535, default 2242)\n", argv[0]);
            return 2;
        }
        port = quint16(value);
    }
    TestServer server;
    server.SetVerbose(true);
    if (!server.Listen(port)) {
        return 1;
    }
    return app.exec();
}
