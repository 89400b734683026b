#include "filesink.h"

#include "logger.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace applog {

namespace {
constexpr int ACTIVITY_CHECK_MS = 5000;
constexpr quint32 MIN_ROTATION_SIZE = 100;
constexpr quint32 MAX_GENERATIONS = 99;
const QLatin1String LOG_SUFFIX(".log");
} // namespace

FileSink::FileSink(QObject *parent, const QString &role)
    : Sink(parent), roleName(role), activityTimer(this)
{
    activityTimer.setSingleShot(true);
    activityTimer.setInterval(ACTIVITY_CHECK_MS);
    connect(&activityTimer, &QTimer::timeout, this, &FileSink::slotCheckLogFileActivity);
}

FileSink::~FileSink()
{
    closeLogFile();
}

bool FileSink::setLogFileName(const QString &name, unsigned int size, unsigned int count)
{
    if (!name.endsWith(LOG_SUFFIX, Qt::CaseSensitive)) {
        qWarning() << "Name of log-file not ending with '.log'" << name << "role" << roleName;
        return false;
    }
    logFileName = name;
    rotationSize = qMax<quint32>(size, MIN_ROTATION_SIZE);
    maxFiles = qBound<quint32>(1, count, MAX_GENERATIONS);
    return checkLogFileOpen();
}

QString FileSink::generationFileName(unsigned int generation) const
{
    if (!logFileName.endsWith(LOG_SUFFIX))
        return QString();
    // Built from parts so that a "%" in the folder name is never taken as a placeholder.
    return logFileName.left(logFileName.size() - LOG_SUFFIX.size()) + QLatin1Char('_')
        + QString::number(generation).rightJustified(2, QLatin1Char('0')) + LOG_SUFFIX;
}

void FileSink::slotLog(const QString &timeStamp, const QString &threadId, const QString &text,
                       LogLevel level, const QString &function, const QString &file,
                       unsigned int line)
{
    if (!ENABLE_LOG_SINK_FILE || !checkLogLevelsEnabled(level))
        return;
    const bool internal = level == LogLevel_INTERNAL;
    if (!internal && !checkFilter(text))
        return;
    if (!logFile)
        return;

    // The text goes in last, so placeholders inside it are written as they are.
    QString record = internal ? logFormatInt : logFormat;
    record.replace(QLatin1String("<TS>"), timeStamp);
    record.replace(QLatin1String("<TID>"), threadId);
    record.replace(QLatin1String("<TID32>"), threadId.right(8));
    record.replace(QLatin1String("<LL>"), QString(QLatin1Char(LOG_LEVEL_LETTERS[level])));
    if (!internal) {
        record.replace(QLatin1String("<FUNC>"), function);
        record.replace(QLatin1String("<FILE>"), file);
        record.replace(QLatin1String("<LINE>"), QString::number(line));
    }
    const QString emptyText =
        level == LogLevel_FUNCTION ? QStringLiteral("-") : QStringLiteral("?");
    record.replace(QLatin1String("<TEXT>"), text.isEmpty() ? emptyText : text.trimmed());

    {
        QTextStream stream(logFile.get());
        stream.setCodec("UTF-8");
        stream << record << '\n';
    }
    activity = true;
}

void FileSink::slotCheckLogFileActivity()
{
    if (!logFile)
        return;
    if (!activity) {
        activityTimer.start();
        return;
    }
    activity = false;
    checkLogFileRolling();
}

bool FileSink::checkLogFileOpen()
{
    closeLogFile();
    // The log tells about the user's device and account: it is the user's alone, created so
    // whatever the umask, and a file left by an earlier version is closed off too.
    const QByteArray encoded = QFile::encodeName(logFileName);
    const int created =
        ::open(encoded.constData(), O_WRONLY | O_CREAT | O_APPEND, S_IRUSR | S_IWUSR);
    if (created >= 0)
        ::close(created);
    ::chmod(encoded.constData(), S_IRUSR | S_IWUSR);
    auto file = std::make_unique<QFile>(logFileName);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        activityTimer.stop();
        qWarning() << "Open log-file failed!" << logFileName << "role" << roleName;
        return false;
    }
    logFile = std::move(file);
    if (ENABLE_CONSOLE_LOG_FILE_STATE)
        qDebug() << "Current log-file:" << logFileName << "role" << roleName;
    activityTimer.start();
    if (!started) {
        started = true;
        writeInternal(QStringLiteral("Start file-log '%1'").arg(roleName));
    }
    return true;
}

void FileSink::checkLogFileRolling()
{
    if (!logFile)
        return;
    // Records written to a file that was removed behind our back would be lost unseen, and
    // its size says nothing about the disk: start the file anew instead.
    if (!QFileInfo::exists(logFileName)) {
        qWarning() << "Log-file is gone, opening it again:" << logFileName << "role" << roleName;
        checkLogFileOpen();
        return;
    }
    const qint64 size = logFile->size();
    if (size < qint64(rotationSize)) {
        activityTimer.start();
        return;
    }

    writeInternal(QStringLiteral("Current log-file '%1' size=%2 (rotation-size=%3) --> rolling")
                      .arg(roleName, QString::number(size), QString::number(rotationSize)));
    QElapsedTimer stopwatch;
    stopwatch.start();

    const QString oldest = generationFileName(maxFiles);
    if (QFileInfo::exists(oldest)) {
        if (!QFile::remove(oldest))
            qWarning() << "ERROR: Remove" << oldest << "role" << roleName;
        else if (ENABLE_CONSOLE_LOG_FILE_STATE)
            qDebug() << "Removed" << oldest << "role" << roleName;
    }
    for (quint32 n = maxFiles - 1; n >= 1; --n) {
        const QString from = generationFileName(n);
        if (QFileInfo::exists(from))
            moveFile(from, generationFileName(n + 1));
    }

    closeLogFile();
    if (QFileInfo::exists(logFileName))
        moveFile(logFileName, generationFileName(1));
    if (!checkLogFileOpen())
        return;
    writeInternal(QStringLiteral("Log-file '%1' rolling done (time elapsed: %2 ms)")
                      .arg(roleName, QString::number(stopwatch.elapsed())));
}

void FileSink::closeLogFile()
{
    if (!logFile)
        return;
    logFile->close();
    logFile.reset();
}

void FileSink::writeInternal(const QString &text)
{
    slotLog(Logger::timeStamp(), Logger::threadId(), text, LogLevel_INTERNAL, QString(), QString(),
            0);
}

bool FileSink::moveFile(const QString &from, const QString &to)
{
    if (!QFile::rename(from, to)) {
        qWarning() << "ERROR: Move" << from << "to" << to << "role" << roleName;
        return false;
    }
    ::chmod(QFile::encodeName(to).constData(), S_IRUSR | S_IWUSR);
    if (ENABLE_CONSOLE_LOG_FILE_STATE)
        qDebug() << "Moved" << from << "to" << to << "role" << roleName;
    return true;
}

} // namespace applog
