// Installing a downloaded application over the program's own file.
#pragma once

#include <QString>

// Copies newFile over targetPath the way a running executable can be replaced: the bytes go
// into a temporary file beside the target (same folder), which takes the target's permissions
// and is executable, and is then renamed over the target in one step. The target is never
// left half written: on any failure it stays as it was. Returns an empty text on success,
// otherwise why the update could not be installed.
QString installApplicationUpdate(const QString &newFile, const QString &targetPath);
