#include "common/appfolder.h"
#include "ui/commandline.h"
#include "ui/highdpi.h"
#include "ui/mainwindow.h"
#include "ui/singleinstance.h"
#include "ui/startup.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    // --help and --version need no display, and a refused command line opens no window.
    if (const std::optional<int> exitCode = answerCommandLine(argc, argv))
        return *exitCode;
    enableHighDpiScaling();
    skipOpenGlIntegration();
    QApplication application(argc, argv);
    // Before the window and the folder: a second start changes nothing of the first one's.
    SingleInstance instance(applicationFolderPath());
    if (const std::optional<int> exitCode = endIfAlreadyRunning(&instance))
        return *exitCode;
    // The window first: it depends on neither the identity nor the folder nor the log.
    MainWindow window;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                     [&window] { bringToFront(&window); });
    setApplicationIdentity();
    setApplicationIcon();
    const QDir folder = prepareApplicationFolder();
    startApplicationLog(&application, folder);
    window.show();
    const int result = application.exec();
    return result;
}
