#include "device/portwatch.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

// Where the platform makes the nodes of serial devices: "/dev/ttyUSB0", "/dev/ttyACM0" on
// Linux, "/dev/cu.usbserial-..." on macOS.
const char deviceNodeFolder[] = "/dev";

} // namespace

PortWatch::PortWatch(const QStringList &extraPaths, QObject *parent) : QObject(parent)
{
    if (!watcher.addPath(QLatin1String(deviceNodeFolder)))
        qDebug().noquote() << "🟠" << Q_FUNC_INFO << "Cannot watch" << deviceNodeFolder
                           << "- the ports are listed every" << trustMs() / 1000 << "s";
    // An extra path's own presence is looked at on every scan tick anyway; watching its
    // folder (when there is one yet) only tells its comings and goings at once.
    for (const QString &path : extraPaths) {
        const QString folder = QFileInfo(path).absolutePath();
        if (!path.isEmpty() && QFileInfo(folder).isDir())
            watcher.addPath(folder);
    }
    settle.setSingleShot(true);
    settle.setInterval(settleMs);
    // The first change of a burst starts the settling; later ones ride along with it.
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (!settle.isActive())
            settle.start();
    });
    connect(&settle, &QTimer::timeout, this, [this] {
        ++told;
        emit changed();
    });
}

bool PortWatch::watching() const
{
    return watcher.directories().contains(QLatin1String(deviceNodeFolder));
}

int PortWatch::trustMs()
{
#ifdef Q_OS_LINUX
    // inotify reports every node devtmpfs makes or removes.
    return 30000;
#else
    // kqueue on macOS's devfs is not known to report every node: look more often.
    return 5000;
#endif
}

QByteArray PortWatch::nodeIdentity(const QString &path)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0)
        return QByteArray();
#ifdef Q_OS_MACOS
    const struct timespec made = node.st_ctimespec;
#else
    const struct timespec made = node.st_ctim;
#endif
    // The inode number alone may come back (a pty of the same number); the time of its
    // making does not.
    return QByteArray::number(qulonglong(node.st_dev)) + ':'
        + QByteArray::number(qulonglong(node.st_ino)) + ':'
        + QByteArray::number(qulonglong(node.st_rdev)) + ':'
        + QByteArray::number(qlonglong(made.tv_sec)) + '.'
        + QByteArray::number(qlonglong(made.tv_nsec));
}
