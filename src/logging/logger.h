// The process-wide logger: stamps each record with time, thread and level and hands it to the
// file sink of every role. Callers use the macros of logmacros.h.
#pragma once

#include "logdefs.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QRegularExpression>
#include <QString>

namespace applog {

class FileSink;

class Logger : public QObject
{
    Q_OBJECT

public:
    // Replaces any existing instance with a new logger owned by parent.
    static Logger *createInstance(QObject *parent);
    static Logger *getInstance() { return instance; }

    ~Logger() override;

    // Adds a file sink for the role unless the role exists already.
    void addFileSink(const QString &role);

    // Name, rotation size (bytes) and number of kept generations of the role's log file;
    // false when the role does not exist or the file cannot be used.
    bool setLogFileName(const QString &fileName, unsigned int rotationSize, unsigned int maxFiles);
    bool setLogFileName(const QString &role, const QString &fileName, unsigned int rotationSize,
                        unsigned int maxFiles);

    // Per-role configuration; the overloads without a role apply to "main". The setters
    // return false when the role does not exist.
    bool setFileLogFormat(const QString &format, const QString &formatInt);
    bool setFileLogFormat(const QString &role, const QString &format, const QString &formatInt);
    bool setFileLogLevels(const EnableLogLevels &levels);
    bool setFileLogLevels(const QString &role, const EnableLogLevels &levels);
    // A role that does not exist writes nothing: all levels off.
    EnableLogLevels fileLogLevels() const;
    EnableLogLevels fileLogLevels(const QString &role) const;
    // False when the role does not exist or the expression is invalid.
    bool addFileLogFilter(const QRegularExpression &filter);
    bool addFileLogFilter(const QString &role, const QRegularExpression &filter);

    FileSink *fileSink(const QString &role) const { return roles.value(role); }

    void log(const QString &text, LogLevel level, const QString &function, const char *file,
             unsigned line);

    // Local time as "yyyy-MM-dd hh:mm:ss.zzz".
    static QString timeStamp();
    // The calling thread's native id, 16 lower-case hex digits.
    static QString threadId();

signals:
    void signalLog(const QString &timeStamp, const QString &threadId, const QString &text,
                   applog::LogLevel level, const QString &function, const QString &file,
                   unsigned int line);

private:
    explicit Logger(QObject *parent);

    static Logger *instance;

    QMap<QString, FileSink *> roles;
    // Reserved for function-level tracing, which the FUNCTION level being off disables.
    QMutex functionMutex;
    QHash<Qt::HANDLE, int> functionDepth;
};

} // namespace applog
