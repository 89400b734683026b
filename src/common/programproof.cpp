#include "common/programproof.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// A version answer is one short line; a program that says more is read no further.
constexpr int maxOutputBytes = 4096;
constexpr int maxQuotedAnswer = 60;
const QString candidateName = QStringLiteral("Orvane");

// The child leads a process group of its own, so that it and whatever it starts can be
// killed together, and it dies with this process.
class ProofProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
        ::setsid();
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    }
};

QString printable(const QByteArray &line)
{
    QString text = QString::fromUtf8(line.left(maxQuotedAnswer));
    for (QChar &c : text) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return line.size() > maxQuotedAnswer ? text + QStringLiteral("…") : text;
}

} // namespace

ProgramProof::ProgramProof(QObject *parent)
    : QObject(parent), running(executable::runningProgram()), scratchParent(applicationFolderPath())
{ }

ProgramProof::~ProgramProof()
{
    if (child && child->state() != QProcess::NotRunning) {
        child->disconnect(this);
        killChildren();
        child->kill();
        child->waitForFinished(1000);
    }
}

void ProgramProof::start(const QByteArray &program, int versionMajor, int versionMinor)
{
    if (!begin(versionMajor, versionMinor))
        return;
    QFile file(candidatePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(program) != program.size()
        || !file.flush()) {
        finish(QStringLiteral("The download cannot be checked: there is no room for it."),
               QStringLiteral("cannot write %1: %2").arg(candidatePath, file.errorString()));
        return;
    }
    file.close();
    examine();
}

void ProgramProof::startWithFile(const QString &path, int versionMajor, int versionMinor)
{
    if (!begin(versionMajor, versionMinor))
        return;
    // Proven and installed from a private copy: the file in its place may change meanwhile.
    QFile source(path);
    if (!source.exists()) {
        finish(QStringLiteral("There is no downloaded update to install."),
               QStringLiteral("%1 does not exist").arg(path));
        return;
    }
    if (!source.copy(candidatePath)) {
        finish(QStringLiteral("The downloaded update cannot be read."),
               QStringLiteral("cannot copy %1: %2").arg(path, source.errorString()));
        return;
    }
    examine();
}

// The clock, the answer awaited and a scratch folder: what both ways of starting need.
bool ProgramProof::begin(int versionMajor, int versionMinor)
{
    clock.start();
    expectedAnswer =
        "Orvane " + QByteArray::number(versionMajor) + '.' + QByteArray::number(versionMinor);
    return prepareScratch();
}

bool ProgramProof::prepareScratch()
{
    const QString error = makePrivateFolder(scratchParent);
    if (error.isEmpty()) {
        scratch =
            std::make_unique<QTemporaryDir>(scratchParent + QStringLiteral("/update-check-XXXXXX"));
    }
    if (!error.isEmpty() || !scratch->isValid()
        || !QDir(scratch->path()).mkdir(QStringLiteral("home"))) {
        finish(QStringLiteral("The download cannot be checked: no folder can be made for it."),
               QStringLiteral("no scratch folder in %1: %2")
                   .arg(scratchParent, error.isEmpty() ? scratch->errorString() : error));
        return false;
    }
    candidatePath = scratch->filePath(candidateName);
    return true;
}

void ProgramProof::examine()
{
    QFile file(candidatePath);
    const QString notRunnable = file.open(QIODevice::ReadOnly)
        ? executable::checkRunnable(file, running)
        : QStringLiteral("cannot read the copy: %1").arg(file.errorString());
    file.close();
    if (!notRunnable.isEmpty()) {
        finish(QStringLiteral("The download is not a program for this computer."), notRunnable);
        return;
    }
    if (!QFile::setPermissions(candidatePath,
                               QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner)) {
        finish(QStringLiteral("The download cannot be checked."),
               QStringLiteral("cannot make the copy executable"));
        return;
    }

    const QString home = scratch->filePath(QStringLiteral("home"));
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("TMPDIR"), home);
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    // A Qt program that makes its application object before it reads "--version" still
    // answers without a display, and shows nothing.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    child = new ProofProcess(this);
    child->setProgram(candidatePath);
    child->setArguments({QStringLiteral("--version")});
    child->setWorkingDirectory(home);
    child->setProcessEnvironment(environment);
    child->setStandardInputFile(QProcess::nullDevice());
    child->setStandardErrorFile(QProcess::nullDevice());
    connect(child, &QProcess::started, this, [this] {
        started = true;
        childPid = child->processId();
    });
    connect(child, &QProcess::readyReadStandardOutput, this, [this] {
        const QByteArray bytes = child->readAllStandardOutput();
        output += bytes.left(maxOutputBytes - output.size());
    });
    connect(child, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &ProgramProof::childEnded);
    connect(child, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && !started && !done)
            finish(QStringLiteral("The downloaded program does not start on this computer."),
                   child->errorString());
    });

    limit = new QTimer(this);
    limit->setTimerType(Qt::PreciseTimer);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [this] {
        timedOut = true;
        killChildren();
        child->kill(); // childEnded() follows
    });
    limit->start(timeLimitMs);
    child->start(QIODevice::ReadOnly);
}

void ProgramProof::childEnded()
{
    limit->stop();
    output += child->readAllStandardOutput().left(maxOutputBytes - output.size());
    // Whatever it left running goes with it.
    killChildren();
    if (timedOut) {
        finish(QStringLiteral("The downloaded program did not answer within %1 s.")
                   .arg(timeLimitMs / 1000.0),
               QStringLiteral("killed after %1 ms").arg(timeLimitMs));
        return;
    }
    if (child->exitStatus() != QProcess::NormalExit || child->exitCode() != 0) {
        finish(QStringLiteral("The downloaded program does not run properly on this computer."),
               child->exitStatus() != QProcess::NormalExit
                   ? QStringLiteral("it crashed")
                   : QStringLiteral("it ended with exit code %1").arg(child->exitCode()));
        return;
    }
    const int end = output.indexOf('\n');
    const QByteArray firstLine = end < 0 ? output : output.left(end);
    if (firstLine != expectedAnswer) {
        const QString expected = QString::fromLatin1(expectedAnswer);
        finish(firstLine.isEmpty()
                   ? QStringLiteral("The downloaded program is not %1: it does not say which "
                                    "version it is.")
                         .arg(expected)
                   : QStringLiteral("The downloaded program is not %1: it answers \"%2\".")
                         .arg(expected, printable(firstLine)),
               QStringLiteral("\"--version\" answered \"%1\"").arg(printable(firstLine)));
        return;
    }
    finish(QString(), QStringLiteral("answered \"%1\"").arg(QString::fromLatin1(expectedAnswer)));
}

void ProgramProof::finish(const QString &why, const QString &what)
{
    if (done)
        return;
    done = true;
    if (limit)
        limit->stop();
    reason = why;
    detail = what;
    elapsed = clock.elapsed();
    qDebug().noquote() << "💬" << Q_FUNC_INFO << (why.isEmpty() ? "proven:" : "refused:") << what
                       << "in" << elapsed << "ms";
    // Never within the call that started the proof.
    QMetaObject::invokeMethod(
        this,
        [this] {
            announced = true;
            emit finished();
        },
        Qt::QueuedConnection);
}

void ProgramProof::waitForFinished()
{
    if (announced)
        return;
    QEventLoop loop;
    connect(this, &ProgramProof::finished, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void ProgramProof::killChildren()
{
    if (childPid > 0)
        ::kill(-pid_t(childPid), SIGKILL);
}
