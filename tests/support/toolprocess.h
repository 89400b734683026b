// One of the project's command-line tools run as a child process, as a user's machine runs
// them next to Orvane: standard output collected line by line, standard error passed on. The
// process never outlives the object, nor the test.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

// A program of this build tree (ORVANE_TEST_BINARY_DIR, set by CTest); empty without it.
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

    // SIGTERM, and a kill when it does not end within the time. True when it ended by itself
    // with exit code 0; otherwise why not, in errorString().
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
