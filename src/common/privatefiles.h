// Files that hold the user's health data and the device's firmware: written so that a file
// that exists under its name is whole, and readable by its owner only.
#pragma once

#include <QByteArray>
#include <QString>

// Creates the folder (and its parents) when missing and makes it owner-only (0700). Returns
// an empty text on success, otherwise why it failed (the path is the caller's to add).
QString makePrivateFolder(const QString &path);

// Writes the bytes to a temporary file beside `path` (mode 0600 whatever the umask), checks
// every write, flushes them to the disk, compares the size on disk with what was meant to be
// written and only then renames the file over `path` in one step. On any failure `path` is
// left as it was and the temporary file is removed. A buffered writer can report success
// after the disk refused the bytes; this one cannot. Returns an empty text on success,
// otherwise why it failed, in words a user can read (the path is the caller's to add).
QString writePrivateFile(const QString &path, const QByteArray &bytes);

// Creates an empty file owner-only (0600) from the start when it is missing; an existing file
// keeps its content and is made owner-only. Returns an empty text on success, otherwise why
// it failed.
QString makePrivateEmptyFile(const QString &path);

// Sets owner-only read and write (0600) on an existing file. False when it could not.
bool makeFilePrivate(const QString &path);
