#include "ui/startup.h"

#include "buildconfig.h"
#include "common/privatefiles.h"
#include "logging/logger.h"
#include "ui/singleinstance.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QIcon>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const QString logFileName = QStringLiteral("app.log");
const QString previousLogFileName = QStringLiteral("app.previous.log");
constexpr unsigned int logRotationSize = 10000000;
constexpr unsigned int logMaxFiles = 20;
constexpr int iconSizes[] = {48, 64, 128};
} // namespace

std::optional<int> endIfAlreadyRunning(SingleInstance *instance)
{
    switch (instance->claim()) {
    case SingleInstance::Claim::First:
        return std::nullopt;
    case SingleInstance::Claim::OtherRaised:
        std::fputs("Orvane is already running: its window was brought to the front.\n", stderr);
        return 0;
    case SingleInstance::Claim::OtherSilent:
        break;
    }
    std::fputs("Orvane is already running but does not answer. Close it (or end it) and start "
               "Orvane again.\n",
               stderr);
    return 1;
}

void bringToFront(QWidget *window)
{
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void skipOpenGlIntegration()
{
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
}

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(buildconfig::appVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("KESTRANE TECHNOLOGIES, Inc."));
}

void setApplicationIcon()
{
    QIcon icon;
    for (const int size : iconSizes)
        icon.addFile(QStringLiteral(":/resources/orvane-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
}

QDir prepareApplicationFolder()
{
    QDir dir(QDir::homePath());
    dir.setPath(dir.absolutePath() + QStringLiteral("/orvane"));
    // No step stops the start: the log file reports what it cannot open. The folder holds
    // health data: it is the user's alone.
    const QString error = makePrivateFolder(dir.absolutePath());
    if (!error.isEmpty())
        qWarning() << "🚀" << Q_FUNC_INFO << dir.absolutePath() << ":" << error;
    const QString log = dir.absoluteFilePath(logFileName);
    if (!QFile::exists(log))
        return dir;
    // One step that replaces the older copy, so that no moment is without one of them.
    const QString previous = dir.absoluteFilePath(previousLogFileName);
    if (std::rename(QFile::encodeName(log).constData(), QFile::encodeName(previous).constData())
        == 0) {
        if (!makeFilePrivate(previous))
            qWarning() << "🚀" << Q_FUNC_INFO << "cannot make" << previous << "private";
        return dir;
    }
    const int code = errno;
    qWarning() << "🚀" << Q_FUNC_INFO << "cannot keep the previous log as" << previous << ":"
               << std::strerror(code);
    // This run's log still begins with this run.
    if (!QFile::remove(log))
        qWarning() << "🚀" << Q_FUNC_INFO << "cannot remove the previous log" << log;
    return dir;
}

applog::Logger *startApplicationLog(QObject *parent, const QDir &folder)
{
    applog::Logger *logger = applog::Logger::createInstance(parent);
    logger->setLogFileName(folder.absoluteFilePath(logFileName), logRotationSize, logMaxFiles);
    return logger;
}
