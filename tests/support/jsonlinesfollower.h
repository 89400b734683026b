// Follows a log of JSON lines that another process appends to (the stand-in's request log,
// the emulator's event log): each read takes what was appended since the last one. A last
// line without its line feed yet is kept back until it is complete.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

class JsonLinesFollower
{
public:
    explicit JsonLinesFollower(const QString &path);

    // Every complete line so far, in order. A missing file reads as no lines.
    const QList<QJsonObject> &objects();
    // Complete lines that were not a JSON object, as they were.
    QStringList malformedLines() const { return malformed; }
    QString path() const { return filePath; }

private:
    QString filePath;
    qint64 offset = 0;
    QByteArray partial;
    QList<QJsonObject> parsed;
    QStringList malformed;
};

} // namespace testsupport
