#include "ui/appinstaller.h"

#include "buildconfig.h"
#include "common/appfolder.h"
#include "common/programproof.h"
#include "logging/logmacros.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr qint64 chunkSize = 1 << 16;
constexpr QFileDevice::Permissions runnable =
    QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// The event loop ends once control returns to it, while the new copy starts on its own with
// the arguments this one was given.
void quitAndStartAgain()
{
    QCoreApplication::quit();
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.isEmpty() || !QProcess::startDetached(arguments.first(), arguments.mid(1)))
        qWarning() << "💬" << Q_FUNC_INFO << "the new version could not be started:" << arguments;
}

// The target as it is now becomes `previous`, which an earlier one is replaced by in one
// step: a second name for the same file (nothing is copied, and the running program's file
// stays whole under it), or a copy where the file system has no such names.
QString keepPrevious(const QString &target, const QString &previous)
{
    const QString staging =
        QStringLiteral("%1.part-%2").arg(previous).arg(QCoreApplication::applicationPid());
    QFile::remove(staging);
    if (::link(QFile::encodeName(target).constData(), QFile::encodeName(staging).constData()) != 0
        && !QFile::copy(target, staging)) {
        QFile::remove(staging);
        return QStringLiteral("The program in use cannot be kept as %1.").arg(previous);
    }
    if (std::rename(QFile::encodeName(staging).constData(), QFile::encodeName(previous).constData())
        != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(staging);
        return QStringLiteral("The program in use cannot be kept as %1: %2.").arg(previous, reason);
    }
    return QString();
}

} // namespace

QString replaceProgram(const QString &source, const QString &targetPath,
                       const QString &previousPath)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly))
        return QStringLiteral("The new version %1 cannot be read: %2.")
            .arg(source, input.errorString());

    const QFileInfo target(targetPath);
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    if (target.exists())
        permissions = QFile::permissions(targetPath);
    permissions |= runnable;

    // A temporary file in the target's folder, renamed over the target on commit: the
    // running program's file is replaced as a whole, never overwritten in place.
    QSaveFile copy(targetPath);
    copy.setDirectWriteFallback(false);
    if (!copy.open(QIODevice::WriteOnly))
        return QStringLiteral("The folder of %1 cannot take the new version: %2.")
            .arg(targetPath, copy.errorString());
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(chunkSize);
        if (chunk.isEmpty() && input.error() != QFileDevice::NoError) {
            copy.cancelWriting();
            return QStringLiteral("The new version %1 cannot be read: %2.")
                .arg(source, input.errorString());
        }
        if (copy.write(chunk) != chunk.size()) {
            const QString reason = copy.errorString();
            copy.cancelWriting();
            return QStringLiteral("The new version cannot be written beside %1: %2.")
                .arg(targetPath, reason);
        }
    }
    if (!copy.setPermissions(permissions)) {
        const QString reason = copy.errorString();
        copy.cancelWriting();
        return QStringLiteral("The new version cannot be made executable: %1.").arg(reason);
    }
    if (target.exists()) {
        const QString error = keepPrevious(targetPath, previousPath);
        if (!error.isEmpty()) {
            copy.cancelWriting();
            return error;
        }
    }
    if (!copy.commit())
        return QStringLiteral("The new version cannot replace %1: %2.")
            .arg(targetPath, copy.errorString());
    return QString();
}

AppInstaller::AppInstaller()
    : restart(quitAndStartAgain), proofTimeLimitMs(ProgramProof::defaultTimeLimitMs)
{ }

void AppInstaller::setTarget(const QString &targetPath)
{
    this->targetPath = targetPath;
}

void AppInstaller::setRestartHandler(std::function<void()> restart)
{
    this->restart = std::move(restart);
}

void AppInstaller::setPolicy(const SelfUpdatePolicy &policy)
{
    this->policy = policy;
}

void AppInstaller::setProofTimeLimit(int ms)
{
    proofTimeLimitMs = ms;
}

QString AppInstaller::downloadedFile() const
{
    return applicationFilePath(QStringLiteral("Orvane"));
}

QString AppInstaller::target() const
{
    return targetPath.isEmpty() ? QFileInfo(QCoreApplication::applicationFilePath()).filePath()
                                : targetPath;
}

QString AppInstaller::previousCopy() const
{
    return target() + QStringLiteral(".previous");
}

QString AppInstaller::packageManaged() const
{
    return packageManagedReason(target(), policy);
}

QString AppInstaller::installAndRestart(int versionMajor, int versionMinor)
{
    const QString managed = packageManaged();
    if (!managed.isEmpty())
        return refuse(managed + QStringLiteral(" The package manager installs the new version."));

    // Proven on a private copy, and that copy is what gets installed.
    ProgramProof proof;
    proof.setTimeLimit(proofTimeLimitMs);
    proof.startWithFile(downloadedFile(), versionMajor, versionMinor);
    proof.waitForFinished();
    if (!proof.proven()) {
        qWarning().noquote() << "💬" << Q_FUNC_INFO << "the download is refused:" << proof.details();
        return refuse(proof.refusal());
    }
    const QString error = replaceProgram(proof.provenFile(), target(), previousCopy());
    if (!error.isEmpty())
        return refuse(error);
    qDebug().noquote() << "💬" << Q_FUNC_INFO
                       << QStringLiteral("Orvane %1.%2 installed as %3, the program before it kept "
                                         "as %4")
                              .arg(versionMajor)
                              .arg(versionMinor)
                              .arg(target(), previousCopy());
    // Restarting the old program would only look like an update.
    if (restart)
        restart();
    return QString();
}

QString AppInstaller::refuse(const QString &why) const
{
    APPLOG_ERROR(QStringLiteral("update: not installed: ") + why);
    QFile::remove(downloadedFile());
    QString message = why
        + QStringLiteral("\n\nNothing was replaced: Orvane %1 keeps running from %2.")
              .arg(QString::fromLatin1(buildconfig::appVersion), target());
    if (QFileInfo::exists(previousCopy()))
        message += QStringLiteral("\nThe program as it was before an earlier update is kept as %1.")
                       .arg(previousCopy());
    return message + QStringLiteral("\nThe download was removed.");
}
