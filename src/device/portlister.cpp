#include "device/portlister.h"

#include "buildconfig.h"

#include <QFileInfo>
#include <QSerialPortInfo>

bool isDevicePort(const PortEntry &entry)
{
    return entry.description.startsWith(QLatin1String(bridgeDescriptionPrefix))
        && entry.portName.startsWith(QLatin1String(devicePortNamePrefix));
}

QList<PortEntry> systemPorts()
{
    return systemPorts(QString::fromUtf8(buildconfig::extraPort));
}

QList<PortEntry> systemPorts(const QString &extraPort)
{
    QList<PortEntry> ports;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append(PortEntry {info.portName(), info.description(), info.systemLocation()});

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
