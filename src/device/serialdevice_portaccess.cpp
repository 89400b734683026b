// The scan's refused opens: a port this user may not open is logged and told once, not on
// every pass.
#include "device/serialdevice.h"

#include <QDebug>

#include <cerrno>

void SerialDevice::noteRefusedOpen(const PortEntry &entry)
{
    // Other failures (no such node, a port already open) are logged by portError().
    if (serial->error() != QSerialPort::PermissionError)
        return;
    // Qt reports a port locked or held exclusively by another program as a permission error
    // too; only the node's permissions (EACCES) are something the user can fix for Orvane.
    const QString reason = serial->errorString();
    const bool accessDenied = reason == qt_error_string(EACCES);
    if (!refusedPorts.note(entry.systemLocation, reason, accessDenied))
        return;
    qDebug().noquote() << "🔒" << Q_FUNC_INFO << "Found a device on" << entry.systemLocation
                       << "but cannot open it:" << reason
                       << (accessDenied ? "(this user may not open it)"
                                        : "(another program may be using it)");
    if (accessDenied)
        emit portAccessDenied(entry.systemLocation);
}

void SerialDevice::forgetRefusals(const QStringList &listed)
{
    refusedPorts.keepListed(listed);
    if (refusedPorts.accessDeniedOver())
        emit portAccessCleared();
}

void SerialDevice::forgetAllRefusals()
{
    refusedPorts.clear();
    if (refusedPorts.accessDeniedOver())
        emit portAccessCleared();
}
