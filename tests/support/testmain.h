// Entry points for the test executables: every test runs with HOME pointed at a fresh
// temporary folder, so the application folder, the log and the settings never touch the
// real user's.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QtTest>

namespace testsupport {

// Points HOME (and the XDG folders) at a new temporary folder that is removed at exit.
// Must run before the application object and before any QSettings is created.
void isolateHome();

// The temporary HOME set by isolateHome().
QString testHome();

} // namespace testsupport

#define ORVANE_TEST_MAIN(TestObject)                                                               \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        testsupport::isolateHome();                                                                \
        QCoreApplication app(argc, argv);                                                          \
        TestObject tc;                                                                             \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define ORVANE_GUI_TEST_MAIN(TestObject)                                                           \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        testsupport::isolateHome();                                                                \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication app(argc, argv);                                                              \
        TestObject tc;                                                                             \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
