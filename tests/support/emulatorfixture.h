// An emulated Brevia on a real pty, served in this process (suites link brevia_emulator).
#pragma once

#include "common/appfolder.h"
#include "brevia/ptydevice.h"
#include "device/portlister.h"
#include "device/serialdevice.h"
#include "testmain.h"

#include <QByteArrayList>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace testsupport {

class EmulatorFixture
{
public:
    explicit EmulatorFixture(const brevia::Scenario &scenario = brevia::Scenario())
        // A node name no other test process uses: the serial port's lock file is named after it.
        : link(dir.filePath(QStringLiteral("brevia-%1-%2").arg(::getpid()).arg(++serialNumber))),
          passes(std::make_shared<int>(0)),
          listed(std::make_shared<QList<PortEntry>>(QList<PortEntry> {bridgeEntry()})),
          device(scenario, QFile::encodeName(link).toStdString())
    { }

    bool start() { return dir.isValid() && device.start(); }

    QString linkPath() const { return link; }

    // How the scan sees the emulator: a bridge port named as the platform names them.
    PortEntry bridgeEntry(const QString &suffix = QString()) const
    {
        return PortEntry {QLatin1String(devicePortNamePrefix) + QFileInfo(link).fileName() + suffix,
                          QStringLiteral("XR21B1411 emulated bridge"), link};
    }

    // The ports the link is shown, but those whose node is gone (as for an unplugged adapter).
    void setPorts(const QList<PortEntry> &ports) { *listed = ports; }

    PortLister lister() const
    {
        return [count = passes, ports = listed] {
            ++*count;
            QList<PortEntry> present;
            for (const PortEntry &entry : qAsConst(*ports)) {
                if (QFileInfo::exists(entry.systemLocation))
                    present.append(entry);
            }
            return present;
        };
    }

    int scanPasses() const { return *passes; }

    QByteArrayList commands() const
    {
        QByteArrayList out;
        for (const std::string &c : device.commands())
            out.append(QByteArray(c.data(), int(c.size())));
        return out;
    }

    int count(const QByteArray &command) const { return commands().count(command); }

    QByteArray expectedFile(size_t session) const
    {
        const std::vector<uint8_t> bytes = device.expectedSessionFile(session);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    }

    QString expectedFileName(size_t session) const
    {
        return QString::fromStdString(device.expectedSessionFileName(session));
    }

    QByteArray memory(uint32_t address, size_t length) const
    {
        const std::vector<uint8_t> bytes = device.readMemory(address, length);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    }

private:
    inline static std::atomic<int> serialNumber {0};
    QTemporaryDir dir;
    QString link;
    std::shared_ptr<int> passes;
    std::shared_ptr<QList<PortEntry>> listed;

public:
    brevia::PtyDevice device;
};

// Waits for a complete identification: the link idle with the device identified.
inline bool waitForIdentified(const SerialDevice &link, int timeoutMs = 8000)
{
    return QTest::qWaitFor(
        [&] { return link.state() == QLatin1String("toIdle") && link.getDevice().identified; },
        timeoutMs);
}

// CPU time used by this process so far, all threads, in milliseconds.
inline qint64 cpuTimeMs()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// The process's resident memory now, in bytes (0 where it cannot be read).
inline qint64 residentBytes()
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/self/statm")).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : 0;
}

} // namespace testsupport
