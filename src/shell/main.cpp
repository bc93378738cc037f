#include "shell/Application.h"
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
    int code = 0;
    {
        MainWindow window;
        QObject::connect(app, &Application::messageReceived, &window,
                         &MainWindow::OnMessageReceived);
        window.Start();
        if (!app->TerminationRequested())
            code = app->exec();
    }
    delete app;
    return code;
}
