// Tells when the system's serial ports may have changed, so that they need not be enumerated
// on every scan tick (an enumeration makes the kernel open and stat many /sys entries).
//
// The folder of device nodes is watched (inotify on Linux, kqueue on macOS): a USB-serial
// adapter plugged in or pulled makes or removes its node there, and the permissions the
// system then gives the node change it again. So does the folder of each extra path (the
// emulator's link). A burst of such changes is told once, settleMs after its first change.
#pragma once

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

class PortWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int settleMs = 150;

    // Watches the device nodes' folder and the folders of extraPaths (empty ones skipped).
    explicit PortWatch(const QStringList &extraPaths, QObject *parent = nullptr);

    // False when the system refused to watch the device nodes' folder: whoever relies on
    // changed() must then look for itself.
    bool watching() const;
    // Grows by one with every change told, so that a list made before can be known as stale.
    quint64 generation() const { return told; }
    // How long a list of ports may be trusted with no change told, in case a change went
    // unseen (a folder made after the watch began, a system that reports nothing).
    static int trustMs();
    // Who a device node is, following links: the system makes a node anew when its device
    // is plugged in again, so the identity changes with each plug even where the name stays.
    // Empty when there is no such node.
    static QByteArray nodeIdentity(const QString &path);

signals:
    void changed();

private:
    QFileSystemWatcher watcher;
    QTimer settle;
    quint64 told = 0;
};
