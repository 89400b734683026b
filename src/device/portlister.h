// The one seam for finding the device's port: the list of candidate ports and the filters
// a port must pass.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

class PortWatch;

struct PortEntry
{
    QString portName;
    QString description;
    QString systemLocation; // what the port is opened by
    // The USB ids of the adapter behind the port; 0 when it has none or they are not known.
    quint16 vendorId = 0;
    quint16 productId = 0;
};

// Asked on every scan tick, so it must be cheap: systemPorts() answers from a list it renews
// only when the system's ports may have changed. Tests hand their own list.
using PortLister = std::function<QList<PortEntry>()>;

// The USB-serial bridge in the device announces itself with this description, and with these
// USB ids (Exar's XR21B1411) where its description was reprogrammed or is not known.
inline constexpr char bridgeDescriptionPrefix[] = "XR21B1411";
inline constexpr quint16 bridgeVendorId = 0x04E2;
inline constexpr quint16 bridgeProductId = 0x1411;

// Serial device nodes as the platform names them: macOS lists call-out nodes as "cu.*",
// Linux lists "tty*".
#ifdef Q_OS_MACOS
inline constexpr char devicePortNamePrefix[] = "cu.";
#else
inline constexpr char devicePortNamePrefix[] = "tty";
#endif

// True when the entry looks like the device's bridge: a name with the platform's prefix, and
// the bridge's description or its USB ids. Case-sensitive.
bool isDevicePort(const PortEntry &entry);

// The system's serial ports, plus the build's extra port (ORVANE_EXTRA_PORT) while that path
// exists, listed with the bridge's description.
QList<PortEntry> systemPorts();

// The system's serial ports, plus extraPort (none when empty) while that path exists, listed
// with the bridge's description under the platform's device name prefix. The system's list is
// enumerated afresh only when systemPortWatch() told a change since the last time, or when
// that list is older than PortWatch::trustMs(); the extra port is looked at every time.
QList<PortEntry> systemPorts(const QString &extraPort);

// The process's watch on the system's ports, made on first use as a child of the application
// object; null without one.
PortWatch *systemPortWatch();
