#include "device/portlister.h"

#include "buildconfig.h"
#include "device/portwatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPortInfo>

namespace {

QList<PortEntry> enumerateSystemPorts()
{
    QList<PortEntry> ports;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        PortEntry entry {info.portName(), info.description(), info.systemLocation()};
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            entry.vendorId = info.vendorIdentifier();
            entry.productId = info.productIdentifier();
        }
        ports.append(entry);
    }
    return ports;
}

// The system's list as last enumerated, and whether it may still be trusted.
struct SystemPortList
{
    QList<PortEntry> ports;
    QElapsedTimer age; // invalid until the first enumeration
    quint64 generation = 0; // the watch's generation it was made in

    const QList<PortEntry> &current()
    {
        const PortWatch *watch = systemPortWatch();
        const bool trusted = watch && watch->watching() && age.isValid()
            && generation == watch->generation() && !age.hasExpired(PortWatch::trustMs());
        if (!trusted) {
            ports = enumerateSystemPorts();
            generation = watch ? watch->generation() : 0;
            age.start();
        }
        return ports;
    }
};

} // namespace

bool isDevicePort(const PortEntry &entry)
{
    const bool bridge = entry.description.startsWith(QLatin1String(bridgeDescriptionPrefix))
        || (entry.vendorId == bridgeVendorId && entry.productId == bridgeProductId);
    return bridge && entry.portName.startsWith(QLatin1String(devicePortNamePrefix));
}

PortWatch *systemPortWatch()
{
    static QPointer<PortWatch> watch;
    if (!watch && QCoreApplication::instance()) {
        watch = new PortWatch({QString::fromUtf8(buildconfig::extraPort)},
                              QCoreApplication::instance());
    }
    return watch;
}

QList<PortEntry> systemPorts()
{
    return systemPorts(QString::fromUtf8(buildconfig::extraPort));
}

QList<PortEntry> systemPorts(const QString &extraPort)
{
    static SystemPortList system;
    QList<PortEntry> ports = system.current();

    // The emulator and bench rigs serve the device on a pty, which the system never lists.
    // exists() follows a link, so a stopped emulator looks like an unplugged device.
    if (!extraPort.isEmpty() && QFileInfo::exists(extraPort)) {
        const QString name = QLatin1String(devicePortNamePrefix) + QFileInfo(extraPort).fileName();
        const QString description =
            QLatin1String(bridgeDescriptionPrefix) + QLatin1String(" (extra port)");
        ports.append(PortEntry {name, description, extraPort});
    }
    return ports;
}
