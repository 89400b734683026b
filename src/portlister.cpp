#include "portlister.h"

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
    QList<PortEntry> ports;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append(PortEntry {info.portName(), info.description(), info.systemLocation()});

    // The emulator and bench rigs serve the device on a pty, which the system never lists.
    // exists() follows a link, so a stopped emulator looks like an unplugged device.
    const QString extra = QString::fromUtf8(buildconfig::extraPort);
    if (!extra.isEmpty() && QFileInfo::exists(extra)) {
        ports.append(PortEntry {QLatin1String(devicePortNamePrefix) + QFileInfo(extra).fileName(),
                                QLatin1String(bridgeDescriptionPrefix)
                                    + QLatin1String(" (build's extra port)"),
                                extra});
    }
    return ports;
}
