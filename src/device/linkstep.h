// What a device dialogue hands back to the link after each line, call or tick: the commands
// to write, what happened, and what the link is to log and report.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct LinkStep
{
    enum class Event {
        None,
        // Identification
        Identified, // the record is complete
        NotSupported, // working-mode firmware too old to be served
        Unrecognised, // not the device or not a reply it understands: restart after a pause
        // Download
        SessionReady, // `sessionName` and `sessionBytes` are to be saved
        DirectoryChanged, // the directory read differently than before: nothing erased
        EraseSent, // every session confirmed, the directory unchanged: the erase went out
        EraseAcknowledged, // the device confirmed the erase; its directory is read again
        ErasureProven, // the directory read after the erase is empty (`page`); restarting
        ErasureUnproven, // the directory read after the erase still lists sessions
        // Flashing
        FlashingProgress, // `progress` of `maximum`
        ImageWritten, // every line acknowledged; the device was told to restart
        Restarted, // the device announced itself after the restart
        // Any dialogue
        Broken, // the device's text cannot be trusted: restart now, device untouched
        GaveUp, // the watchdog expired
    };

    QList<QByteArray> writes; // in order
    // What the device sent so far answers nothing that comes next: the link drops its input.
    bool discardInput = false;
    QString note; // a line for the link's debug stream
    Event event = Event::None;
    QString why; // Broken, GaveUp, Unrecognised, DirectoryChanged, ErasureUnproven: for the log
    QList<int> records; // download: the progress after each record decoded in this step
    int progress = 0; // flashing
    int maximum = 0;
    QString page; // ErasureProven: the summary page as read after the erase
    QString sessionName; // SessionReady
    QByteArray sessionBytes;
};
