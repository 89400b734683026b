#include "common/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Closes the descriptor and removes the temporary file.
void discard(int fd, const QByteArray &temporary)
{
    if (fd >= 0)
        ::close(fd);
    ::unlink(temporary.constData());
}

} // namespace

QString makePrivateFolder(const QString &path)
{
    if (!QFileInfo(path).isDir()) {
        // The folder itself is created owner-only, never readable by others for a moment;
        // missing parents are made as the system makes them.
        const QString parent = QFileInfo(path).absolutePath();
        if (!QFileInfo(parent).isDir() && !QDir().mkpath(parent))
            return QStringLiteral("the folder cannot be created");
        if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST)
            return QStringLiteral("the folder cannot be created (%1)").arg(systemError(errno));
        if (!QFileInfo(path).isDir())
            return QStringLiteral("the folder cannot be created (something else is in its place)");
    }
    if (::chmod(QFile::encodeName(path).constData(), S_IRWXU) != 0)
        return QStringLiteral("the folder cannot be made private (%1)").arg(systemError(errno));
    return QString();
}

QString makePrivateEmptyFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        ::close(fd);
        return QString();
    }
    if (errno != EEXIST)
        return QStringLiteral("the file cannot be created (%1)").arg(systemError(errno));
    if (!makeFilePrivate(path))
        return QStringLiteral("the file cannot be made private");
    return QString();
}

QString writePrivateFile(const QString &path, const QByteArray &bytes)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".part-XXXXXX";
    // mkstemp creates the file with mode 0600, whatever the umask.
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return QStringLiteral("the file cannot be created (%1)").arg(systemError(errno));

    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : ENOSPC;
            discard(fd, temporary);
            return QStringLiteral("writing the file failed (%1)").arg(systemError(code));
        }
        data += n;
        left -= n;
    }
    struct stat written
    {
    };
    if (::fsync(fd) != 0 || ::fstat(fd, &written) != 0) {
        const int code = errno;
        discard(fd, temporary);
        return QStringLiteral("saving the file to the disk failed (%1)").arg(systemError(code));
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return QStringLiteral("saving the file to the disk failed (%1)").arg(systemError(code));
    }
    if (qint64(written.st_size) != bytes.size()) {
        ::unlink(temporary.constData());
        return QStringLiteral("the disk holds %1 of the file's %2 bytes")
            .arg(qint64(written.st_size))
            .arg(bytes.size());
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return QStringLiteral("putting the file in place failed (%1)").arg(systemError(code));
    }
    // What is under the name now is what the next reader gets: check it once more.
    struct stat placed
    {
    };
    if (::stat(target.constData(), &placed) != 0 || qint64(placed.st_size) != bytes.size())
        return QStringLiteral("the file does not hold the %1 bytes written").arg(bytes.size());
    return QString();
}

bool makeFilePrivate(const QString &path)
{
    return ::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) == 0;
}
