// The common part of every log sink: line formats, level table and text filters.
#pragma once

#include "logdefs.h"

#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QString>

namespace applog {

class Sink : public QObject
{
    Q_OBJECT

public:
    explicit Sink(QObject *parent = nullptr);

    void setLogFormat(const QString &format, const QString &formatInt);
    QString getLogFormat() const { return logFormat; }
    QString getLogFormatInt() const { return logFormatInt; }

    void setLogLevels(const EnableLogLevels &levels) { logLevels = levels; }
    EnableLogLevels getLogLevels() const { return logLevels; }

    // Refuses (returns false) an expression that does not compile.
    bool addLogFilter(const QRegularExpression &filter);

    bool checkLogLevelsEnabled(LogLevel level) const { return logLevels.enabled(level); }
    // True when no filter is set or at least one filter matches somewhere in the text.
    bool checkFilter(const QString &text) const;

protected:
    QString logFormat;
    QString logFormatInt;
    EnableLogLevels logLevels;
    QList<QRegularExpression> logFilters;
};

} // namespace applog
