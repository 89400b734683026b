#include "jsonlinesfollower.h"

#include <QFile>
#include <QJsonDocument>

namespace testsupport {

JsonLinesFollower::JsonLinesFollower(const QString &path) : filePath(path) { }

const QList<QJsonObject> &JsonLinesFollower::objects()
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return parsed;
    if (file.size() < offset) {
        // Started afresh by its writer: read it from the top again.
        offset = 0;
        partial.clear();
        parsed.clear();
        malformed.clear();
    }
    if (!file.seek(offset))
        return parsed;
    const QByteArray fresh = file.readAll();
    offset += fresh.size();
    partial += fresh;
    for (int end = partial.indexOf('\n'); end >= 0; end = partial.indexOf('\n')) {
        const QByteArray line = partial.left(end);
        partial.remove(0, end + 1);
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error {};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            parsed.append(document.object());
        else
            malformed.append(QString::fromUtf8(line));
    }
    return parsed;
}

} // namespace testsupport
