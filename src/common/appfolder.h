#pragma once

#include <QString>

// The program's only place on disk: the absolute path of the user's home directory
// followed by "/orvane". It holds the log, "rev.bin", the session files and a downloaded
// application. The folder is not configurable.
QString applicationFolderPath();

// A file name inside the application folder, joined with a slash.
QString applicationFilePath(const QString &fileName);
