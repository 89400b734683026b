#include "sink.h"

namespace applog {

Sink::Sink(QObject *parent)
    : QObject(parent),
      logFormat(QString::fromLatin1(DEFAULT_LOG_FORMAT)),
      logFormatInt(QString::fromLatin1(DEFAULT_LOG_FORMAT_INT))
{ }

void Sink::setLogFormat(const QString &format, const QString &formatInt)
{
    logFormat = format;
    logFormatInt = formatInt;
}

bool Sink::addLogFilter(const QRegularExpression &filter)
{
    if (!filter.isValid())
        return false;
    logFilters.append(filter);
    return true;
}

bool Sink::checkFilter(const QString &text) const
{
    if (logFilters.isEmpty())
        return true;
    for (const QRegularExpression &filter : logFilters) {
        if (filter.match(text).hasMatch())
            return true;
    }
    return false;
}

} // namespace applog
