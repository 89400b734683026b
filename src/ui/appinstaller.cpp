#include "ui/appinstaller.h"

#include "common/appfolder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

namespace {

constexpr qint64 chunkSize = 1 << 16;
constexpr QFileDevice::Permissions executable =
    QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// The event loop ends once control returns to it, while the new copy starts on its own with
// the same arguments.
void quitAndStartAgain()
{
    QCoreApplication::quit();
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.isEmpty() || !QProcess::startDetached(arguments.first(), arguments))
        qWarning() << "💬" << Q_FUNC_INFO << "the new version could not be started:" << arguments;
}

} // namespace

QString installApplicationUpdate(const QString &newFile, const QString &targetPath)
{
    QFile source(newFile);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("The downloaded application %1 cannot be read: %2.")
            .arg(newFile, source.errorString());
    if (source.size() == 0)
        return QStringLiteral("The downloaded application %1 is empty.").arg(newFile);

    const QFileInfo target(targetPath);
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    if (target.exists())
        permissions = QFile::permissions(targetPath);
    permissions |= executable;

    // A temporary file in the target's folder, renamed over the target on commit: the
    // running program's file is replaced as a whole, never overwritten in place.
    QSaveFile copy(targetPath);
    copy.setDirectWriteFallback(false);
    if (!copy.open(QIODevice::WriteOnly))
        return QStringLiteral("The folder of %1 cannot take the new version: %2.")
            .arg(targetPath, copy.errorString());
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError) {
            copy.cancelWriting();
            return QStringLiteral("The downloaded application %1 cannot be read: %2.")
                .arg(newFile, source.errorString());
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
    if (!copy.commit())
        return QStringLiteral("The new version cannot replace %1: %2.")
            .arg(targetPath, copy.errorString());
    return QString();
}

AppInstaller::AppInstaller() : restart(quitAndStartAgain) { }

void AppInstaller::setTarget(const QString &targetPath)
{
    this->targetPath = targetPath;
}

void AppInstaller::setRestartHandler(std::function<void()> restart)
{
    this->restart = std::move(restart);
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

QString AppInstaller::installAndRestart()
{
    const QString error = installApplicationUpdate(downloadedFile(), target());
    // Restarting the old program would only look like an update.
    if (error.isEmpty() && restart)
        restart();
    return error;
}
