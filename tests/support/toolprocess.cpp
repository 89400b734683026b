#include "toolprocess.h"

#include <QtTest>

#include <signal.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace testsupport {

namespace {

// The program ends with the test however that ends (a time-out, a crash).
class ChildProcess : public QProcess
{
public:
    ChildProcess() : parent(::getpid()) { }

protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) // the test died before the line above
            ::_exit(127);
#endif
    }

private:
    const pid_t parent;
};

} // namespace

QString builtProgram(const QString &relativePath)
{
    const QString root = qEnvironmentVariable("ORVANE_TEST_BINARY_DIR");
    return root.isEmpty() ? QString() : QDir(root).filePath(relativePath);
}

ToolProcess::ToolProcess(const QString &name) : name(name) { }

ToolProcess::~ToolProcess()
{
    if (isRunning()) {
        process->kill();
        process->waitForFinished(30000);
    }
}

bool ToolProcess::start(const QString &program, const QStringList &arguments)
{
    process = std::make_unique<ChildProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(process.get(), &QProcess::readyReadStandardOutput, process.get(),
                     [this] { collectOutput(); });
    process->start(program, arguments, QIODevice::ReadOnly);
    if (!process->waitForStarted(30000)) {
        error = name + QStringLiteral(" did not start: ") + process->errorString();
        return false;
    }
    return true;
}

void ToolProcess::collectOutput()
{
    partialLine += process->readAllStandardOutput();
    for (int end = partialLine.indexOf('\n'); end >= 0; end = partialLine.indexOf('\n')) {
        lines << QString::fromUtf8(partialLine.left(end));
        partialLine.remove(0, end + 1);
    }
}

QString ToolProcess::waitForLine(const QString &prefix, int timeoutMs)
{
    QString found;
    auto seen = [&] {
        if (process)
            collectOutput();
        for (const QString &line : qAsConst(lines)) {
            if (line.startsWith(prefix)) {
                found = line;
                return true;
            }
        }
        return !isRunning();
    };
    if (!QTest::qWaitFor(seen, timeoutMs) || found.isEmpty())
        error =
            QStringLiteral("%1 printed no \"%2\" line: %3").arg(name, prefix, lines.join(" | "));
    return found;
}

bool ToolProcess::stop(int timeoutMs)
{
    if (isRunning()) {
        process->terminate();
        if (!process->waitForFinished(timeoutMs)) {
            error = name + QStringLiteral(" did not end on SIGTERM"); // killed with the object
            return false;
        }
    }
    if (process && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0)
        return true;
    error = name + QStringLiteral(" crashed, failed or never started");
    return false;
}

} // namespace testsupport
