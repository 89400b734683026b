#include "logger.h"

#include "filesink.h"

#include <QDateTime>
#include <QThread>

namespace applog {

namespace {
const QString MAIN_ROLE = QStringLiteral("main");

EnableLogLevels allLevelsOff()
{
    EnableLogLevels levels;
    for (bool &level : levels.levels)
        level = false;
    return levels;
}
} // namespace

Logger *Logger::instance = nullptr;

Logger *Logger::createInstance(QObject *parent)
{
    delete instance;
    instance = new Logger(parent);
    return instance;
}

Logger::Logger(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<applog::LogLevel>("LogLevel");
    addFileSink(MAIN_ROLE);
}

Logger::~Logger()
{
    // The parent may delete the logger; callers test the instance before using it.
    if (instance == this)
        instance = nullptr;
}

void Logger::addFileSink(const QString &role)
{
    if (roles.contains(role))
        return;
    auto *sink = new FileSink(this, role);
    roles.insert(role, sink);
    connect(this, &Logger::signalLog, sink, &FileSink::slotLog);
}

bool Logger::setLogFileName(const QString &fileName, unsigned int rotationSize,
                            unsigned int maxFiles)
{
    return setLogFileName(MAIN_ROLE, fileName, rotationSize, maxFiles);
}

bool Logger::setLogFileName(const QString &role, const QString &fileName, unsigned int rotationSize,
                            unsigned int maxFiles)
{
    FileSink *sink = roles.value(role);
    return sink && sink->setLogFileName(fileName, rotationSize, maxFiles);
}

bool Logger::setFileLogFormat(const QString &format, const QString &formatInt)
{
    return setFileLogFormat(MAIN_ROLE, format, formatInt);
}

bool Logger::setFileLogFormat(const QString &role, const QString &format, const QString &formatInt)
{
    FileSink *sink = roles.value(role);
    if (!sink)
        return false;
    sink->setLogFormat(format, formatInt);
    return true;
}

bool Logger::setFileLogLevels(const EnableLogLevels &levels)
{
    return setFileLogLevels(MAIN_ROLE, levels);
}

bool Logger::setFileLogLevels(const QString &role, const EnableLogLevels &levels)
{
    FileSink *sink = roles.value(role);
    if (!sink)
        return false;
    sink->setLogLevels(levels);
    return true;
}

EnableLogLevels Logger::fileLogLevels() const
{
    return fileLogLevels(MAIN_ROLE);
}

EnableLogLevels Logger::fileLogLevels(const QString &role) const
{
    const FileSink *sink = roles.value(role);
    return sink ? sink->getLogLevels() : allLevelsOff();
}

bool Logger::addFileLogFilter(const QRegularExpression &filter)
{
    return addFileLogFilter(MAIN_ROLE, filter);
}

bool Logger::addFileLogFilter(const QString &role, const QRegularExpression &filter)
{
    FileSink *sink = roles.value(role);
    return sink && sink->addLogFilter(filter);
}

void Logger::log(const QString &text, LogLevel level, const QString &function, const char *file,
                 unsigned line)
{
    emit signalLog(timeStamp(), threadId(), text, level, function, QString::fromUtf8(file), line);
}

QString Logger::timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString Logger::threadId()
{
    const auto id = reinterpret_cast<quintptr>(QThread::currentThreadId());
    return QStringLiteral("%1").arg(quint64(id), 16, 16, QLatin1Char('0'));
}

} // namespace applog
