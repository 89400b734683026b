#include "ui/startup.h"

#include "buildconfig.h"
#include "common/privatefiles.h"
#include "logging/logger.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

namespace {
const QString logFileName = QStringLiteral("app.log");
constexpr unsigned int logRotationSize = 10000000;
constexpr unsigned int logMaxFiles = 20;
} // namespace

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(buildconfig::appVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("KESTRANE TECHNOLOGIES, Inc."));
}

QDir prepareApplicationFolder()
{
    QDir dir(QDir::homePath());
    dir.setPath(dir.absolutePath() + QStringLiteral("/orvane"));
    // Neither step stops the start: the log file reports what it cannot open. The folder
    // holds health data: it is the user's alone.
    const QString error = makePrivateFolder(dir.absolutePath());
    if (!error.isEmpty())
        qWarning() << "🚀" << Q_FUNC_INFO << dir.absolutePath() << ":" << error;
    const QString log = dir.absoluteFilePath(logFileName);
    if (QFile::exists(log) && !QFile::remove(log))
        qWarning() << "🚀" << Q_FUNC_INFO << "cannot remove the previous log" << log;
    return dir;
}

applog::Logger *startApplicationLog(QObject *parent, const QDir &folder)
{
    applog::Logger *logger = applog::Logger::createInstance(parent);
    logger->setLogFileName(folder.absoluteFilePath(logFileName), logRotationSize, logMaxFiles);
    return logger;
}
