// What the cloud has confirmed, kept on disk across cable pulls, failed uploads and restarts,
// so that an interrupted sync resumes where it stopped and the cloud sees each session once.
//
// One entry per confirmed session: the device's UID, the session's directory row (start time,
// records count, start address), the SHA-256 of the file that was uploaded, the cloud device
// id and account it went to, and when the cloud confirmed it. The file is JSON, written
// owner-only and atomically (see writePrivateFile), with a SHA-256 over its entries:
//
//   {"format": "orvane-sync-record/1",
//    "sessions": [{"device": "4B21C07DE5A19F03", "startTime": 1700000000, "records": 30,
//                  "startAddress": 6656, "sha256": "<64 hex digits>", "cloudDeviceId": 101,
//                  "account": 1001, "confirmedAt": "2026-12-06T23:59:00.000Z"}, ...],
//    "check": "<SHA-256 of the sessions array in compact JSON, 64 hex digits>"}
//
// A file that is missing, unreadable or damaged in any way means "nothing confirmed", never
// "all confirmed": the worst it can cost is an upload made twice.
#pragma once

#include "device/devicecodec.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

struct ConfirmedSession
{
    QString deviceUid;
    quint32 startTime = 0; // Unix seconds
    quint32 records = 0;
    quint32 startAddress = 0;
    QByteArray sha256; // 32 bytes
    int cloudDeviceId = 0;
    int account = 0; // the signed-in user's id
    QDateTime confirmedAt; // UTC

    devicecodec::SessionRow row() const { return {startTime, records, startAddress}; }
    bool operator==(const ConfirmedSession &other) const;
};

class SyncRecord
{
public:
    static constexpr char fileName[] = "sync-record.json";
    // A record larger than this is not read: something else wrote it.
    static constexpr qint64 maxFileBytes = 4 << 20;
    // The oldest entries go beyond this many; forgetting one costs at most a second upload.
    static constexpr int maxSessions = 2000;

    // The entries held in `bytes`; empty with `why` set when the text is not a whole, valid
    // record.
    static QList<ConfirmedSession> parse(const QByteArray &bytes, QString *why);
    static QByteArray serialize(const QList<ConfirmedSession> &sessions);

    // The rows of `directory` that an entry confirms for this device, account and cloud id.
    static devicecodec::SessionTable confirmedRows(const QList<ConfirmedSession> &sessions,
                                                   const QString &deviceUid, int account,
                                                   int cloudDeviceId,
                                                   const devicecodec::SessionTable &directory);

    // The record in the file at `path`.
    explicit SyncRecord(QString path);

    // Reads the file anew. Returns why its entries could not be used (they are then none);
    // empty when it was read or is simply missing.
    QString load();
    // Adds an entry and writes the whole record. Returns why it could not be written (the
    // entry is then not held either); empty on success.
    QString add(const ConfirmedSession &session);
    // Forgets the device's entries whose rows the device's directory no longer lists (the
    // device was cleared since), or all of them when `directory` is empty. Writes the
    // record when anything was forgotten; returns why that failed, or empty.
    QString forget(const QString &deviceUid, const devicecodec::SessionTable &directory);

    const QList<ConfirmedSession> &sessions() const { return entries; }
    QString path() const { return filePath; }

private:
    QString save(const QList<ConfirmedSession> &sessions);

    QString filePath;
    QList<ConfirmedSession> entries;
};
