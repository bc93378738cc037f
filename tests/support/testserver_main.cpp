// Runs the loopback test server by hand, e.g. to try two clients on one
// machine: tavenook-testserver [port], then start each client with
// TAVENOOK_SERVER=127.0.0.1:<port> and its own home directory.
#include <QCoreApplication>
#include <cstdio>

#include "support/TestServer.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool ok = argc <= 2;
    const uint port = argc == 2 ? QString::fromLocal8Bit(argv[1]).toUInt(&ok) : 2242;
    if (!ok || port == 0 || port > 65535) {
        std::fprintf(stderr, "usage: %s [port]  (port 1-65535, default 2242)\n", argv[0]);
        return 2;
    }
    TestServer server;
    server.SetVerbose(true);
    return server.Listen(quint16(port)) ? app.exec() : 1;
}
