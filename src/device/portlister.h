// The one seam for finding the device's port: the list of candidate ports and the filters
// a port must pass.
#pragma once

#include <QList>
#include <QString>

#include <functional>

struct PortEntry
{
    QString portName;
    QString description;
    QString systemLocation; // what the port is opened by
};

using PortLister = std::function<QList<PortEntry>()>;

// The USB-serial bridge in the device announces itself with this description.
inline constexpr char bridgeDescriptionPrefix[] = "XR21B1411";

// Serial device nodes as the platform names them: macOS lists call-out nodes as "cu.*",
// Linux lists "tty*".
#ifdef Q_OS_MACOS
inline constexpr char devicePortNamePrefix[] = "cu.";
#else
inline constexpr char devicePortNamePrefix[] = "tty";
#endif

// True when the entry looks like the device's bridge: both prefixes match, case-sensitively.
bool isDevicePort(const PortEntry &entry);

// The system's serial ports, plus the build's extra port (ORVANE_EXTRA_PORT) while that path
// exists, listed with the bridge's description.
QList<PortEntry> systemPorts();

// The system's serial ports, plus extraPort (none when empty) while that path exists, listed
// with the bridge's description under the platform's device name prefix.
QList<PortEntry> systemPorts(const QString &extraPort);
