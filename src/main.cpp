#include "ui/highdpi.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication application(argc, argv);
    // The window first: it depends on neither the identity nor the folder nor the log.
    MainWindow window;
    setApplicationIdentity();
    const QDir folder = prepareApplicationFolder();
    startApplicationLog(&application, folder);
    window.show();
    const int result = application.exec();
    return result;
}
