#include "sync/syncsession.h"

#include "cloud/network.h"
#include "common/appfolder.h"
#include "device/serialdevice.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>

#include <algorithm>

namespace {

const QString nothingErasedText = QStringLiteral("Nothing was erased from the device.");
const QString uploadFailed = QStringLiteral("The upload did not go through.\n"
                                            "Your health data is still on\n"
                                            "the device: nothing was lost.");

QDebug syncDebug(const char *where)
{
    return qDebug().noquote() << "🔄" << where;
}

} // namespace

SyncSession::SyncSession(SerialDevice *link, Network *cloud, QObject *parent)
    : QObject(parent),
      link(link),
      cloud(cloud),
      record(applicationFilePath(QString::fromLatin1(SyncRecord::fileName)))
{
    connect(link, &SerialDevice::sessionDownloadDone, this, &SyncSession::sessionWritten);
    connect(link, &SerialDevice::vitalsDownloadDone, this, &SyncSession::erasureProven);
    connect(link, &SerialDevice::vitalsDownloadFailed, this, &SyncSession::downloadFailed);
    connect(link, &SerialDevice::linkRestarted, this, &SyncSession::linkRestarted);
    connect(cloud, &Network::sessionUploaded, this, &SyncSession::uploadFinished);
    connect(cloud, &Network::signedOut, this, &SyncSession::accountChanged);
    connect(cloud, &Network::signedInSuccess, this, &SyncSession::accountChanged);
}

SyncSession::Start SyncSession::start()
{
    if (sync)
        return Start::Busy;
    const DeviceInfo device = link->getDevice();
    const int cloudId = cloud->currentDeviceID();
    // Health data goes only to the account signed in, under the id the cloud gave this very
    // device for that account.
    if (cloud->currentToken().isEmpty() || !device.identified || device.UID.isEmpty()
        || device.nameBLE.isEmpty() || cloud->pairedDeviceName() != device.nameBLE
        || cloud->pairedDeviceUid() != device.UID || cloudId <= 0) {
        syncDebug(Q_FUNC_INFO) << "not started: no account signed in, or the device"
                               << device.nameBLE << "is not paired with it";
        return Start::NotReady;
    }

    const QString problem = record.load();
    if (!problem.isEmpty())
        syncDebug(Q_FUNC_INFO) << "the sync record" << record.path()
                               << "is not used, so nothing counts as uploaded before:" << problem;
    // Entries for sessions the device no longer lists were cleared from it since.
    const QString forgetError = record.forget(device.UID, device.sessionsInfo);
    if (!forgetError.isEmpty())
        syncDebug(Q_FUNC_INFO) << "stale entries of the sync record not forgotten:" << forgetError;
    const int account = cloud->currentUserID();
    const devicecodec::SessionTable inCloud = SyncRecord::confirmedRows(
        record.sessions(), device.UID, account, cloudId, device.sessionsInfo);
    // A file left behind by a sync cut off right after its confirmation was recorded.
    for (const devicecodec::SessionRow &row : inCloud)
        QFile::remove(applicationFilePath(QString::number(row.value(0)) + QLatin1String("000")));
    // Uploads of the last sync still on their way (the device went away meanwhile): their
    // sessions are not read again, and their outcome counts for this sync.
    SyncLedger::InFlight inFlight;
    for (auto upload = uploads.cbegin(); upload != uploads.cend(); ++upload) {
        const Upload &u = upload.value();
        if (u.accountEpoch == cloud->accountEpoch() && u.entry.deviceUid == device.UID
            && u.entry.cloudDeviceId == cloudId && device.sessionsInfo.contains(u.entry.row())
            && !inCloud.contains(u.entry.row()))
            inFlight.append({u.entry.row(), upload.key()});
    }
    if (link->startDownload(inCloud, inFlight) != 0)
        return Start::Busy;

    Running running;
    running.accountEpoch = cloud->accountEpoch();
    running.account = account;
    running.deviceUid = device.UID;
    running.nameBLE = device.nameBLE;
    running.cloudDeviceId = cloudId;
    for (const devicecodec::SessionRow &row : device.sessionsInfo) {
        const bool flying = std::any_of(inFlight.cbegin(), inFlight.cend(),
                                        [&](const auto &f) { return f.first == row; });
        if (!flying && !inCloud.contains(row))
            running.toRead.append(row);
    }
    for (const auto &flying : qAsConst(inFlight))
        running.awaited.insert(flying.second);
    sync = running;
    syncDebug(Q_FUNC_INFO) << "syncing" << device.nameBLE << "to cloud device" << cloudId
                           << "for user" << account << ":" << sync->toRead.size()
                           << "session(s) to read," << inCloud.size() << "already in the cloud,"
                           << inFlight.size() << "on their way";
    return Start::Started;
}

bool SyncSession::stoppedUnlessBound()
{
    if (stillBound())
        return false;
    stop(QStringLiteral("the account or the device's pairing changed during the sync"),
         QStringLiteral("The account or the device changed, so the transfer stopped. %1")
             .arg(nothingErasedText));
    return true;
}

bool SyncSession::stillBound() const
{
    return sync && cloud->accountEpoch() == sync->accountEpoch && !cloud->currentToken().isEmpty()
        && cloud->pairedDeviceName() == sync->nameBLE && cloud->pairedDeviceUid() == sync->deviceUid
        && cloud->currentDeviceID() == sync->cloudDeviceId
        && link->getDevice().UID == sync->deviceUid;
}

void SyncSession::sessionWritten(const QString &fileName, const QString &timeStamp)
{
    if (!sync) {
        // A download nobody syncs: its file would wait for an upload for ever.
        syncDebug(Q_FUNC_INFO) << "a session was written with no sync running:" << fileName;
        link->reboot();
        return;
    }
    if (stoppedUnlessBound())
        return;
    const devicecodec::SessionRow row = sync->toRead.value(0);
    if (row.isEmpty() || timeStamp != QString::number(row.value(0)) + QLatin1String("000")) {
        stop(QStringLiteral("the link wrote %1 where the session starting %2 was due")
                 .arg(timeStamp)
                 .arg(row.value(0)),
             QStringLiteral("The transfer stopped: Orvane lost track of the sessions. %1")
                 .arg(nothingErasedText));
        return;
    }
    QFile file(fileName);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        stop(QStringLiteral("cannot read back %1: %2").arg(fileName, file.errorString()),
             QStringLiteral("The transfer stopped: Orvane could not read back the health data "
                            "it saved in %1. %2")
                 .arg(fileName, nothingErasedText));
        return;
    }
    sync->toRead.removeFirst();
    Upload upload;
    upload.entry.deviceUid = sync->deviceUid;
    upload.entry.startTime = row.value(0);
    upload.entry.records = row.value(1);
    upload.entry.startAddress = row.value(2);
    upload.entry.sha256 = hash.result();
    upload.entry.cloudDeviceId = sync->cloudDeviceId;
    upload.entry.account = sync->account;
    upload.accountEpoch = sync->accountEpoch;
    uploads.insert(fileName, upload);
    sync->awaited.insert(fileName);
    cloud->sendSession(fileName, timeStamp);
}

QString SyncSession::recordConfirmation(const Upload &upload)
{
    // On disk before anything acts on it: a sync cut off from here on resumes after this
    // session, and never uploads it again.
    ConfirmedSession confirmed = upload.entry;
    confirmed.confirmedAt = QDateTime::currentDateTimeUtc();
    return record.add(confirmed);
}

void SyncSession::uploadFinished(const QString &fileName, bool success)
{
    if (!uploads.contains(fileName)) {
        syncDebug(Q_FUNC_INFO) << "ignored the outcome of an upload no sync sent:" << fileName;
        return;
    }
    const Upload upload = uploads.take(fileName);
    const bool ofThisSync = sync && sync->awaited.remove(fileName);
    if (!ofThisSync) {
        // A sync that ended (the device went away): what the cloud confirmed is kept, so that
        // the next sync does not send it again.
        if (success && upload.accountEpoch == cloud->accountEpoch()) {
            const QString error = recordConfirmation(upload);
            syncDebug(Q_FUNC_INFO)
                << "a late confirmation of" << fileName
                << (error.isEmpty() ? QStringLiteral("is recorded")
                                    : QStringLiteral("is not recorded: ") + error);
        }
        return;
    }
    if (!success) {
        link->sessionUploadFinished(fileName, false);
        stop(QStringLiteral("the upload of %1 failed").arg(fileName), uploadFailed);
        return;
    }
    if (stoppedUnlessBound())
        return;
    const QString error = recordConfirmation(upload);
    if (!error.isEmpty()) {
        stop(QStringLiteral("the sync record %1 cannot be written: %2").arg(record.path(), error),
             QStringLiteral("Orvane could not keep its record of what reached the cloud (%1: "
                            "%2), so it stopped. %3")
                 .arg(record.path(), error, nothingErasedText));
        return;
    }
    link->sessionUploadFinished(fileName, true);
    link->requestAddress();
}

void SyncSession::erasureProven()
{
    if (!sync)
        return;
    const QString uid = sync->deviceUid;
    sync.reset();
    // The device is empty: nothing it lists can be one of these sessions any more.
    const QString error = record.forget(uid, devicecodec::SessionTable());
    if (!error.isEmpty())
        syncDebug(Q_FUNC_INFO) << "the device's entries stay in the sync record:" << error;
    syncDebug(Q_FUNC_INFO) << "every session is in the cloud and the device is empty";
    emit synchronized();
}

void SyncSession::downloadFailed(const QString &message)
{
    end(message);
}

void SyncSession::linkRestarted()
{
    if (!sync)
        return;
    // The device went away or the link gave up on it without saying why.
    const bool allConfirmed = sync->toRead.isEmpty() && sync->awaited.isEmpty();
    end(allConfirmed ? QStringLiteral("Every session is safely in the cloud, but Orvane could not "
                                      "confirm that your Brevia's memory was cleared. Press "
                                      "\"Upload to cloud\" again when it is back to clear it.")
                     : QStringLiteral("The transfer stopped: the device went away. %1")
                           .arg(nothingErasedText));
}

void SyncSession::accountChanged()
{
    // The cloud client aborted the account's uploads: none of them reports any more.
    uploads.clear();
    if (!sync)
        return;
    stop(QStringLiteral("the account changed"),
         QStringLiteral("The transfer stopped because the account changed. %1 Nothing more was "
                        "uploaded.")
             .arg(nothingErasedText));
}

void SyncSession::stop(const QString &why, const QString &message)
{
    syncDebug(Q_FUNC_INFO) << "sync stopped:" << why << "- the device is left as it is";
    // Ended first, so that the link's restart below finds nothing running. Uploads in flight
    // are let finish: what the cloud confirms is recorded all the same.
    sync.reset();
    link->reboot();
    emit failed(message);
}

void SyncSession::end(const QString &message)
{
    if (!sync)
        return;
    syncDebug(Q_FUNC_INFO) << "sync ended:" << message;
    sync.reset();
    emit failed(message);
}
