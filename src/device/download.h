// The download dialogue: the sessions read out of the device page by page, each handed over
// as a session file's bytes. The line sets the pace: the next session is read while earlier
// ones upload, with at most SyncLedger::maxAwaited of them written and waiting. The session
// directory is erased only when the sync ledger allows it.
//
// The directory is trusted only when it reads the same twice: the device is asked for it
// again before the first page (it must equal the directory the identification read) and
// again right before the erase (it must not have changed meanwhile). After the erase it is
// read once more, and the download is done only when that read shows it empty.
//
// Pure: lines, calls and the time in, commands and events out; the link writes the commands
// and the files.
#pragma once

#include "device/devicecodec.h"
#include "device/linkdialogue.h"
#include "device/syncledger.h"

#include <QByteArray>
#include <QString>

class DownloadDialogue : public LinkDialogue
{
public:
    // Where the download is, and so what it awaits from the device: the answer to the opening
    // command, a half of the directory, a page, the erase's acknowledgement, or nothing.
    enum class Step {
        Idle, // no download
        OpeningAnswer, // "BTR" or "D" sent
        ReadingDirectory, // one half of the summary page requested
        ReceivingPages, // a page requested
        AwaitingUpload, // no page requested: a session is being saved, or uploads must finish
                        // (for a free place in the queue, or all of them before the erase)
        AwaitingEraseAck, // the erase command sent
        Finished, // the device was told to restart
    };
    // Why the directory is being read.
    enum class DirectoryRead {
        None,
        BeforeReading, // must equal the directory the identification read
        BeforeErase, // must equal the directory the download walked
        AfterErase, // must be empty
    };

    // A download of the listed sessions (rows: start time, records, start address) from the
    // device `uid` in mode "WM" or "BM", on link generation `generation`. Rows also listed in
    // `inCloud` were confirmed by an earlier sync: they are not read again, and count as
    // confirmed for the erase. Rows in `inFlight` are being uploaded by an earlier sync: not
    // read either, their outcome awaited like that of this download's own uploads.
    LinkStep begin(const devicecodec::SessionTable &sessions,
                   const devicecodec::SessionTable &inCloud, const SyncLedger::InFlight &inFlight,
                   const QString &mode, const QString &uid, quint64 generation, qint64 now,
                   int stallTimeoutMs);
    // One whole line of the device's text. A page it completes is decoded at once: records
    // into the session, then the next page asked for or the session handed over.
    LinkStep line(const QByteArray &line, qint64 now) override;
    // A complete page (512 hex digits) of the session being read.
    LinkStep page(const QString &page, qint64 now);
    // The link saved the handed-over session at `path`, `size` bytes proven on disk: its
    // upload is now awaited, and the next session is read when the queue has room. Broken
    // when the size is not 18 bytes for each record.
    LinkStep sessionSaved(const QString &path, qint64 size, qint64 now);
    // The cloud's outcome for the upload of `path`, reported on the link of device `uid` in
    // link generation `generation`.
    SyncLedger::Verdict uploadFinished(const QString &uid, quint64 generation, const QString &path,
                                       bool success);
    // The word that an awaited upload went through: when the download waits for it, the next
    // session, or (all confirmed) the check of the directory before the erase. Nothing while
    // a session is being read, or (a note why) when the ledger does not let it go on.
    LinkStep moveOn(const QString &uid, quint64 generation, qint64 now);
    // Pages and the directory end with their line; the opening answer and the erase's
    // acknowledgement may come without one.
    bool wholeWhenQuiet() const override
    {
        return current == Step::OpeningAnswer || current == Step::AwaitingEraseAck;
    }
    bool awaitsPageText() const override
    {
        return current == Step::ReceivingPages || current == Step::ReadingDirectory;
    }
    // The link restarted: nothing of this download goes on.
    void abandon();

    Step step() const { return current; }
    // True once the erase command went out (all sessions were confirmed).
    bool eraseSent() const { return erased; }
    // Records to read in this download (sessions confirmed or uploading earlier are not read).
    int recordsInAll() const { return allRecords; }
    int recordsDone() const { return progressVal; }
    // The session handed over last: its file name (start time in ms) and its bytes.
    QString sessionName() const;
    QByteArray sessionFile() const { return sessionBytes; }
    int sessionIndex() const { return currentSession; }
    int sessionCount() const { return sessions.size(); }
    // Sessions this download reads.
    int sessionsToRead() const;

protected:
    QString awaitedText() const override;
    // The watchdog expired: the download ends, and whether the erase went out is kept.
    void end() override;

private:
    LinkStep requestPage(qint64 now);
    LinkStep readDirectory(DirectoryRead why, qint64 now);
    LinkStep directoryPage(qint64 now);
    LinkStep directoryRead(const devicecodec::MemorySummary &found, const QString &text,
                           qint64 now);
    // The index of the first session after `index` that is to be read; the session count
    // when none is left.
    int nextToRead(int index) const;
    // No page outstanding: a session is saved, or uploads must finish.
    void awaitUploads();
    // Reads session `index`, or past the last one waits for the uploads to finish.
    LinkStep readSession(int index, qint64 now);
    // After a session went out or an upload came back: the next session when the queue has
    // room, the check of the directory before the erase when everything is confirmed.
    LinkStep goOn(qint64 now);
    LinkStep handOver();
    // The one place the erase command comes from: only when every session of this download,
    // on this device and this link, was confirmed and the directory read unchanged.
    LinkStep eraseWhenConfirmed(qint64 now);
    LinkStep broken(const QString &why, LinkStep::Event event = LinkStep::Event::Broken);

    Step current = Step::Idle;
    DirectoryRead directoryCheck = DirectoryRead::None;
    SyncLedger ledger;
    devicecodec::SessionTable sessions;
    devicecodec::PageAssembler pageText;
    QString directoryText; // the summary page's halves read so far
    QByteArray sessionBytes; // the current session's file
    int currentSession = 0; // index in sessions
    int currentIndex = 0; // records of the current session decoded so far
    quint64 currentAddress = 0; // device address of the next page to request
    int allRecords = 0; // records of the sessions to read
    int progressVal = 0; // records decoded so far over those sessions
    bool erased = false;
};
