// The record of one health-data download and the rule that protects the data in the device:
// the device's session directory may be erased only when every session of this download, on
// this device and this link, was written to a proven file and its upload confirmed.
//
// Pure: no port, no network, no timers. The device link asks it before every step that moves
// a download on, and before the erase command.
#pragma once

#include "device/devicecodec.h"

#include <QList>
#include <QPair>
#include <QString>

class SyncLedger
{
public:
    enum class Upload {
        NotRead, // not read from the device yet
        Awaited, // its file was written and announced; the upload's outcome is awaited
        Confirmed, // the cloud confirmed the upload
        Failed, // the upload failed
        ConfirmedEarlier, // confirmed by an earlier sync of this device and account: not read
    };

    // What became of an upload outcome handed to recordOutcome().
    enum class Verdict {
        Recorded,
        NoDownload, // no download is recorded (none began, or the link restarted since)
        OtherDevice, // the outcome names a device other than the download's
        OtherLink, // the outcome comes from another link generation than the download's
        NotAwaited, // no upload of that file is awaited now
    };

    struct Session
    {
        quint32 startTime = 0; // Unix seconds
        quint32 records = 0;
        QString fileName; // start time in milliseconds as decimal text
        qint64 expectedFileSize = 0; // 18 bytes a record
        QString filePath; // where its file was written, once announced
        Upload upload = Upload::NotRead;
    };

    static constexpr int fileRecordSize = 18;
    // Sessions written and waiting for their upload's outcome at one time: the download reads
    // on while they upload, but never runs far ahead of the cloud.
    static constexpr int maxAwaited = 2;

    // Sessions whose upload an earlier sync sent and whose outcome is still on its way: the
    // row, and the file the upload is of.
    using InFlight = QList<QPair<devicecodec::SessionRow, QString>>;

    // A new download of the sessions (rows of start time, records count, start address) of
    // the device `uid`, begun in link generation `generation`. Forgets the previous one.
    // Rows listed in `inCloud` were confirmed by an earlier sync: they count as confirmed and
    // are neither read nor announced. Rows in `inFlight` are awaited from the start, under
    // their files, and are not read either.
    void begin(const QString &uid, quint64 generation, const devicecodec::SessionTable &rows,
               const devicecodec::SessionTable &inCloud = {}, const InFlight &inFlight = {});
    // The link restarted or the download ended: nothing is recorded any more.
    void clear();

    bool active() const { return running; }
    QString deviceUid() const { return uid; }
    quint64 generation() const { return linkGeneration; }
    int size() const { return sessions.size(); }
    Session session(int index) const { return sessions.value(index); }

    // Session `index` has its file at `filePath`, proven to hold fileSize bytes. False (and
    // nothing recorded) when no download runs, the index is out of range, a session before it
    // was neither confirmed nor is awaited, maxAwaited uploads are awaited already, or the
    // size is not the expected one.
    bool announce(int index, const QString &filePath, qint64 fileSize);

    // The cloud's outcome for the upload of `filePath`, reported on the link of device `uid`
    // in link generation `generation`.
    Verdict recordOutcome(const QString &uid, quint64 generation, const QString &filePath,
                          bool success);

    // The index of the first session whose upload is awaited, or -1.
    int awaited() const;
    // How many uploads are awaited.
    int awaitedCount() const;
    // True when an upload of this download failed.
    bool anyFailed() const;
    // True when every session is confirmed, now or by an earlier sync.
    bool allConfirmed() const;
    // True when the session at `index` was confirmed, now or by an earlier sync.
    bool confirmed(int index) const;
    // True when the session at `index` is to be read: neither confirmed nor awaited nor
    // failed.
    bool toRead(int index) const;

    // May the session directory of device `uid` be erased now, on link generation
    // `generation`? Only when this download is that device's on that link, lists at least
    // one session and every one of them was confirmed.
    bool mayErase(const QString &uid, quint64 generation) const;

    static QString verdictText(Verdict verdict);

private:
    bool running = false;
    QString uid;
    quint64 linkGeneration = 0;
    QList<Session> sessions;
};
