#include <csignal>
#include <cstdlib>

#include "shell/Application.h"
#include "shell/ShellGlobals.h"
#include "shell/SoundPlayer.h"
#include "shell/mainwindow.h"

int main(int argc, char** argv) {
    auto* app = new Application("TavenookQt", argc, argv);
    if (app->isRunning()) {
        // The running instance shows itself; this start ends quietly either way.
        app->sendMessage(QCoreApplication::arguments().mid(1).join('\n'));
        delete app;
        return 0;
    }
    Application::ApplyProgramStyle();
    app->QuitOnTerminationSignals();
    // Past a file size limit a write must fail and be reported (a save, a
    // download), not end the program with the store half written.
    std::signal(SIGXFSZ, SIG_IGN);
    int code = 0;
    {
        MainWindow window;
        QObject::connect(app, &Application::messageReceived, &window,
                         &MainWindow::OnMessageReceived);
        window.Start();
        if (!app->TerminationRequested())
            code = app->exec();
    }
    // A sound still loading when the program ends leaves its loader's objects behind.
    SoundPlayer::WaitForLoads(3000);
    delete app;
    // What the user changed is lost: a caller must not take this for success.
    if (g_exitSaveFailed && code == 0)
        code = EXIT_FAILURE;
    return code;
}
