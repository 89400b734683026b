// Everything the link has learned about the connected device.
#pragma once

#include "device/devicecodec.h"

#include <QString>
#include <QStringList>

struct DeviceInfo
{
    QString portName; // kept when the record is cleared: the last port opened
    QString nameBLE; // "K217-" + 12 hex digits, or "UNKNOWN" for an all-zero identifier
    QString UID;
    QString mode; // "WM" or "BM"
    int fwVersion = 0;
    QString idToken; // first token of a boot-mode device's ID reply
    QString memoryInfo;
    int numberOfSessions = 0;
    int numberOfRecords = 0;
    int memoryUsed = 0; // percent of the session directory
    devicecodec::SessionTable sessionsInfo; // rows: start time, records count, start address
    QStringList sessionsDescription;
    bool connected = false;
    bool identified = false;
    bool busy = false;
};
