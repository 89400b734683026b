// One of the project's command-line tools (the cloud stand-in, the device emulator) run as a
// child process, the way a user's machine runs them next to Orvane. Its standard output is
// collected line by line; its standard error goes straight to the test's own. The process
// never outlives the object: destruction stops it, by force when it does not stop by itself.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

// A program built in this build tree: ORVANE_TEST_BINARY_DIR (set by CTest) + relativePath.
// Empty when the variable is not set.
QString builtProgram(const QString &relativePath);

class ToolProcess
{
public:
    explicit ToolProcess(const QString &name);
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Starts the program; false (with errorString()) when it cannot be started.
    bool start(const QString &program, const QStringList &arguments);

    // Waits (running the event loop) for a line of standard output that starts with prefix
    // and returns it; empty when none came within the time or the program ended first.
    QString waitForLine(const QString &prefix, int timeoutMs);

    bool isRunning() const { return process && process->state() != QProcess::NotRunning; }

    // Asks the program to end (SIGTERM) and waits.
    // True when it ended by itself with exit code 0; otherwise why not, in errorString().
    // A program that does not end within the time is killed.
    bool stop(int timeoutMs = 15000);

    QString errorString() const { return error; }

private:
    void collectOutput();

    QString name;
    std::unique_ptr<QProcess> process;
    QByteArray partialLine;
    QStringList lines;
    QString error;
};

} // namespace testsupport
