// One of the project's tools as a child process that never outlives the object, nor the test.
#pragma once

#include <QProcess>

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

    bool start(const QString &program, const QStringList &arguments);

    // The first output line that starts with prefix; empty when none came in time.
    QString waitForLine(const QString &prefix, int timeoutMs);

    bool isRunning() const { return process && process->state() != QProcess::NotRunning; }

    // SIGTERM, then a kill after the time; true when it ended by itself with exit code 0.
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
