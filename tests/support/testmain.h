// Entry points for the test executables, with HOME a fresh temporary folder, never the user's.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QtTest>

#include "ui/highdpi.h"

namespace testsupport {

// HOME and the XDG folders in a temporary folder, before the application object and QSettings.
void isolateHome();

QString testHome();

// Nothing read, false written, mode -1 (permission bits) on failure; writing replaces the file.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
int modeOf(const QString &path);

// No file grows past `bytes` while this lives: a write past it fails (SIGXFSZ is ignored).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    unsigned long savedLimit;
    void (*savedHandler)(int);
};

} // namespace testsupport

// main() of a suite: a QApplication for the window suites, a QCoreApplication otherwise.
#define ORVANE_TEST_MAIN_WITH(Application, TestObject)                                             \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        testsupport::isolateHome();                                                                \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        enableHighDpiScaling(); /* as the program starts */                                        \
        Application app(argc, argv);                                                               \
        TestObject tc;                                                                             \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
#define ORVANE_TEST_MAIN(TestObject) ORVANE_TEST_MAIN_WITH(QCoreApplication, TestObject)
#define ORVANE_GUI_TEST_MAIN(TestObject) ORVANE_TEST_MAIN_WITH(QApplication, TestObject)
