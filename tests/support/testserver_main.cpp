// Runs the loopback test server by hand, e.g. to try two clients on one
// machine: tavenook-testserver [port [user=CC ...]], then start each client
// with TAVENOOK_SERVER=127.0.0.1:<port> and its own home directory. Port 0
// takes a free one, named on the "listening on" line. Each user=CC gives that
// user the country code CC.
#include <QCoreApplication>
#include <cstdio>

#include "support/TestServer.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool ok = true;
    const uint port = argc >= 2 ? QString::fromLocal8Bit(argv[1]).toUInt(&ok) : 2242;
    TestServer server;
    for (int i = 2; i < argc && ok; ++i) {
        const QStringList country = QString::fromLocal8Bit(argv[i]).split('=');
        ok = country.size() == 2 && !country[0].isEmpty();
        if (ok)
            server.SetUserCountry(country[0], country[1]);
    }
    if (!ok || port > 65535) {
        std::fprintf(stderr,
                     "usage: %s [port [user=CC ...]]  (port 0-65535, 0 any free one, default "
                     "2242; CC a country code)\n",
                     argv[0]);
        return 2;
    }
    server.SetVerbose(true);
    return server.Listen(quint16(port)) ? app.exec() : 1;
}
