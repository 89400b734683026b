// The scan's refused opens: a port that cannot be opened is logged once, not on every pass,
// and one this user may not open is also told.
#include "device/serialdevice.h"

#include <QDebug>

#include <cerrno>

void SerialDevice::noteRefusedOpen(const PortEntry &entry)
{
    // Qt reports a port locked or held exclusively by another program as a permission error
    // too; only the node's permissions (EACCES) are something the user can fix for Orvane.
    const QString reason = serial->errorString();
    const bool permission = serial->error() == QSerialPort::PermissionError;
    const bool accessDenied = permission && reason == qt_error_string(EACCES);
    if (!refusedPorts.note(entry.systemLocation, reason, accessDenied))
        return;
    const char *why = accessDenied ? "(this user may not open it)"
        : permission               ? "(another program may be using it)"
                                   : "";
    qDebug().noquote() << "🔒" << Q_FUNC_INFO << "Found a device on" << entry.systemLocation
                       << "but cannot open it:" << reason << why;
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
