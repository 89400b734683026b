#include "common/appfolder.h"

#include <QDir>

QString applicationFolderPath()
{
    return QDir(QDir::homePath()).absolutePath() + QStringLiteral("/orvane");
}

QString applicationFilePath(const QString &fileName)
{
    return applicationFolderPath() + QLatin1Char('/') + fileName;
}
