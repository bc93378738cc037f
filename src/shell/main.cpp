#include "shell/Application.h"
#include "shell/mainwindow.h"

int main(int argc, char** argv) {
    auto* app = new Application("TavenookQt", argc, argv);
    if (app->isRunning()) {
        delete app;
        return 0;
    }
    Application::ApplyProgramStyle();
    int code = 0;
    {
        MainWindow window;
        window.show();
        window.Init();
        code = app->exec();
    }
    delete app;
    return code;
}
