// One sync of one device for one account: the device link reads the sessions, this owner
// hands each written file to the cloud client under the account and cloud device id that were
// in place when the sync began, writes every confirmation into the sync record before it is
// acted upon, and lets the link go on only then. The link erases the device only when every
// session is confirmed and the directory reads unchanged, and the sync is done only when a
// fresh read shows the device empty.
//
// A sign-out, another sign-in, another device, an unplug or any restart of the link stops a
// running sync and leaves the device as it is. A sign-out (or another sign-in) also aborts the
// uploads in flight; otherwise they are let finish, and what the cloud confirms is recorded,
// so that the next sync does not upload it again.
//
// No widgets: the window starts a sync and shows what it reports.
#pragma once

#include "device/devicecodec.h"
#include "sync/syncrecord.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

class Network;
class SerialDevice;

class SyncSession : public QObject
{
    Q_OBJECT

public:
    enum class Start {
        Started,
        NotReady, // no account signed in, no device identified, or its pairing gave no id
        Busy, // the link refused: it is scanning, identifying, flashing or downloading
    };

    // Neither is owned; both must outlive this object.
    SyncSession(SerialDevice *link, Network *cloud, QObject *parent = nullptr);

    // Syncs the device the link holds now, for the account signed in now.
    Start start();
    bool running() const { return sync.has_value(); }
    QString recordPath() const { return record.path(); }

signals:
    // Every session is in the cloud and the device was proven empty.
    void synchronized();
    // The sync ended otherwise; the message says, in words for the user, why and where the
    // health data is.
    void failed(const QString &message);

private slots:
    void sessionWritten(const QString &fileName, const QString &timeStamp);
    void uploadFinished(const QString &fileName, bool success);
    void erasureProven();
    void downloadFailed(const QString &message);
    void linkRestarted();
    void accountChanged();

private:
    // A session file handed to the cloud client, with what its record entry needs.
    struct Upload
    {
        ConfirmedSession entry; // all but the confirmation time
        quint64 accountEpoch = 0;
    };
    struct Running
    {
        quint64 accountEpoch = 0;
        int account = 0; // the user's id
        QString deviceUid;
        QString nameBLE;
        int cloudDeviceId = 0;
        devicecodec::SessionTable toRead; // in the order the link reads them
        QSet<QString> awaited; // files whose upload's outcome this sync waits for
    };

    // The account and the device's pairing are still those the sync began with.
    bool stillBound() const;
    // Stops the sync, and says so, when they are not.
    bool stoppedUnlessBound();
    // Writes a confirmed upload into the sync record. Empty on success, else why it failed.
    QString recordConfirmation(const Upload &upload);
    // Ends the running sync: the link restarts with the device untouched, and the user is
    // told why.
    void stop(const QString &why, const QString &message);
    void end(const QString &message);

    SerialDevice *link;
    Network *cloud;
    SyncRecord record;
    std::optional<Running> sync;
    // Uploads in flight, by file path, of the running sync and of syncs that ended.
    QHash<QString, Upload> uploads;
};
