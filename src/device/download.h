// The download dialogue: the sessions read out of the device page by page, each handed over
// as a session file's bytes, the next session only after the cloud confirmed the last one,
// and the session directory erased only when the sync ledger allows it. Pure: lines, calls
// and the time in, commands and events out; the link writes the commands and the files.
#pragma once

#include "device/devicecodec.h"
#include "device/linkstep.h"
#include "device/syncledger.h"

#include <QByteArray>
#include <QString>

class DownloadDialogue
{
public:
    enum class Step {
        Idle, // no download
        OpeningAnswer, // "BTR" or "D" sent
        ReceivingPages, // a page requested
        AwaitingUpload, // a session file handed over; its upload's outcome awaited
        AwaitingEraseAck, // the erase command sent
        Finished, // the device was told to restart
    };
    enum class Awaiting { Nothing, OpeningAnswer, Page, EraseAcknowledgement };

    // A download of the listed sessions (rows: start time, records, start address) from the
    // device `uid` in mode "WM" or "BM", on link generation `generation`.
    LinkStep begin(const devicecodec::SessionTable &sessions, int allRecords, const QString &mode,
                   const QString &uid, quint64 generation, qint64 now, int stallTimeoutMs);
    // One whole line of the device's text.
    LinkStep line(const QByteArray &line, qint64 now);
    // A complete page (512 hex digits): its records go into the session; the next page is
    // asked for, or the session is handed over.
    LinkStep page(const QString &page, qint64 now);
    // The link saved the handed-over session at `path`, `size` bytes proven on disk: its
    // upload is now awaited. Broken when the size is not 18 bytes for each record.
    LinkStep sessionSaved(const QString &path, qint64 size);
    // The cloud's outcome for the upload of `path`, reported on the link of device `uid` in
    // link generation `generation`.
    SyncLedger::Verdict uploadFinished(const QString &uid, quint64 generation, const QString &path,
                                       bool success);
    // The window's word that the awaited upload went through: the next session, or the
    // erase. Nothing (a note why) unless the ledger holds that confirmation.
    LinkStep moveOn(const QString &uid, quint64 generation, qint64 now);
    // Hex digits of the awaited page arrived, before their line is whole.
    void hexProgress(qint64 now);
    // The time: GaveUp once the watchdog expired.
    LinkStep tick(qint64 now);
    // The link restarted: nothing of this download goes on.
    void abandon();

    Step step() const { return current; }
    Awaiting awaiting() const { return waitingFor; }
    bool awaitsPageText() const { return waitingFor == Awaiting::Page; }
    // True once the erase command went out (all sessions were confirmed).
    bool eraseSent() const { return erased; }
    qint64 deadline() const { return watchdog.deadline(); }
    int recordsInAll() const { return allRecords; }
    int recordsDone() const { return progressVal; }
    // The session handed over last: its file name (start time in ms) and its bytes.
    QString sessionName() const;
    QByteArray sessionFile() const { return sessionBytes; }
    int sessionIndex() const { return currentSession; }
    int sessionCount() const { return sessions.size(); }
    static QString describe(Awaiting awaiting);

private:
    LinkStep requestPage(qint64 now);
    LinkStep handOver();
    // The one place the erase command comes from: only when every session of this download,
    // on this device and this link, was confirmed.
    LinkStep eraseWhenConfirmed(const QString &uid, quint64 generation, qint64 now);
    LinkStep broken(const QString &why);

    Step current = Step::Idle;
    Awaiting waitingFor = Awaiting::Nothing;
    Watchdog watchdog;
    SyncLedger ledger;
    devicecodec::SessionTable sessions;
    devicecodec::PageAssembler pageText;
    QByteArray sessionBytes; // the current session's file
    int currentSession = 0; // index in sessions
    int currentIndex = 0; // records of the current session decoded so far
    quint64 currentAddress = 0; // device address of the next page to request
    int allRecords = 0; // records of all sessions together
    int progressVal = 0; // records decoded so far over all sessions
    bool erased = false;
};
