#include "device/download.h"

namespace {

// The summary page lives at 000FF000 and is read in two halves of 256 bytes.
constexpr quint64 summaryAddress = 0x000FF000;

} // namespace

LinkStep DownloadDialogue::begin(const devicecodec::SessionTable &rows,
                                 const devicecodec::SessionTable &inCloud,
                                 const SyncLedger::InFlight &inFlight, const QString &mode,
                                 const QString &uid, quint64 generation, qint64 now,
                                 int stallTimeoutMs)
{
    abandon();
    sessions = rows;
    ledger.begin(uid, generation, sessions, inCloud, inFlight);
    for (int i = 0; i < sessions.size(); ++i) {
        if (ledger.toRead(i))
            allRecords += int(sessions.at(i).value(1));
    }
    current = Step::OpeningAnswer;
    watchdog.arm(now, stallTimeoutMs);
    LinkStep step;
    // Both jobs start with the device in boot mode: a working-mode device is asked to switch.
    step.writes << (mode == QLatin1String("BM") ? QByteArray("D\n") : QByteArray("BTR\n"));
    return step;
}

int DownloadDialogue::sessionsToRead() const
{
    int count = 0;
    for (int i = 0; i < sessions.size(); ++i)
        count += ledger.toRead(i);
    return count;
}

LinkStep DownloadDialogue::line(const QByteArray &line, qint64 now)
{
    switch (current) {
    case Step::OpeningAnswer: {
        // A blank line or page text is left over from before (a late tail of the summary
        // page), not the answer to the opening command.
        const QByteArray compact = line.simplified().replace(' ', QByteArray());
        if (compact.isEmpty() || devicecodec::isHexText(QString::fromLatin1(compact)))
            return LinkStep();
        LinkStep step = readDirectory(DirectoryRead::BeforeReading, now);
        step.note = QString::fromLatin1(line).trimmed();
        return step;
    }
    case Step::ReadingDirectory:
    case Step::ReceivingPages:
    case Step::AwaitingUpload: {
        // Between the page request and the page's line end nothing else may come, and while
        // an upload is awaited nothing at all: any other text ends the download.
        const int before = pageText.digits().size();
        switch (pageText.add(line)) {
        case devicecodec::PageAssembler::Status::Broken:
            return broken(pageText.error());
        case devicecodec::PageAssembler::Status::Incomplete:
            if (pageText.digits().size() > before)
                watchdog.progress(now);
            return LinkStep();
        case devicecodec::PageAssembler::Status::Complete:
            break;
        }
        if (current == Step::AwaitingUpload)
            return broken(QStringLiteral("a page came that was not asked for"));
        if (current == Step::ReadingDirectory)
            return directoryPage(now);
        const QString digits = QString::fromLatin1(pageText.digits());
        pageText.clear();
        return page(digits, now);
    }
    case Step::AwaitingEraseAck:
        if (devicecodec::isAcknowledgement(line)) {
            LinkStep step = readDirectory(DirectoryRead::AfterErase, now);
            step.note = QStringLiteral("DONE & Erased: ") + QString::fromLatin1(line).trimmed();
            step.event = LinkStep::Event::EraseAcknowledged;
            return step;
        }
        return LinkStep();
    case Step::Idle:
    case Step::Finished:
        break;
    }
    return LinkStep();
}

LinkStep DownloadDialogue::page(const QString &page, qint64 now)
{
    if (current != Step::ReceivingPages)
        return broken(QStringLiteral("a page came that was not asked for"));
    using devicecodec::recordDigits;
    const int records = int(sessions.value(currentSession).value(1));
    QList<int> decoded;
    for (int j = 0; j < devicecodec::recordsPerPage; ++j) {
        if (currentIndex >= records) {
            // The session ended inside this page; the rest of the page is not read.
            LinkStep step = handOver();
            step.records = decoded;
            return step;
        }
        sessionBytes += devicecodec::fileRecord(page.mid(j * recordDigits, recordDigits));
        ++progressVal;
        ++currentIndex;
        if (progressVal == allRecords) {
            // The last record of the download: no progress report of its own.
            LinkStep step = handOver();
            step.records = decoded;
            return step;
        }
        decoded << progressVal;
    }
    LinkStep step;
    if (currentIndex == records) {
        step = handOver();
    } else if (ledger.anyFailed()) {
        // An upload failed: the download ends here; nothing more is read.
        awaitUploads();
    } else {
        step = requestPage(now);
    }
    step.records = decoded;
    return step;
}

QString DownloadDialogue::sessionName() const
{
    return QString::number(sessions.value(currentSession).value(0)) + QLatin1String("000");
}

LinkStep DownloadDialogue::handOver()
{
    // No page is outstanding from here on: the download waits for the upload.
    awaitUploads();
    LinkStep step;
    step.event = LinkStep::Event::SessionReady;
    step.sessionName = sessionName();
    step.sessionBytes = sessionBytes;
    return step;
}

LinkStep DownloadDialogue::sessionSaved(const QString &path, qint64 size, qint64 now)
{
    if (current != Step::AwaitingUpload || !ledger.announce(currentSession, path, size))
        return broken(QStringLiteral("the session came to %1 bytes instead of 18 for each of its "
                                     "%2 records")
                          .arg(size)
                          .arg(sessions.value(currentSession).value(1)));
    sessionBytes.clear();
    return goOn(now);
}

SyncLedger::Verdict DownloadDialogue::uploadFinished(const QString &uid, quint64 generation,
                                                     const QString &path, bool success)
{
    return ledger.recordOutcome(uid, generation, path, success);
}

LinkStep DownloadDialogue::moveOn(const QString &uid, quint64 generation, qint64 now)
{
    QString refusal;
    if (!ledger.active() || ledger.generation() != generation || ledger.deviceUid() != uid)
        refusal = QStringLiteral("the link was restarted since the download began (device lost, "
                                 "rebooted or identified again)");
    else if (ledger.anyFailed())
        refusal = QStringLiteral("an upload of this download failed");
    if (!refusal.isEmpty()) {
        LinkStep step;
        step.note = QStringLiteral("Ignored: ") + refusal;
        return step;
    }
    // While a page or the directory is on its way, the download goes on by itself.
    if (current != Step::AwaitingUpload)
        return LinkStep();
    return goOn(now);
}

int DownloadDialogue::nextToRead(int index) const
{
    int next = index + 1;
    while (next < sessions.size() && !ledger.toRead(next))
        ++next;
    return qMin(next, int(sessions.size()));
}

LinkStep DownloadDialogue::readSession(int index, qint64 now)
{
    currentSession = index;
    currentIndex = 0;
    if (index >= sessions.size()) {
        awaitUploads();
        return goOn(now);
    }
    currentAddress = sessions.at(index).value(2);
    return requestPage(now);
}

LinkStep DownloadDialogue::goOn(qint64 now)
{
    if (ledger.anyFailed())
        return LinkStep();
    const int next = nextToRead(currentSession);
    if (next < sessions.size()) {
        // The line sets the pace, as long as the cloud keeps up.
        if (ledger.awaitedCount() < SyncLedger::maxAwaited)
            return readSession(next, now);
        return LinkStep();
    }
    currentSession = next;
    if (ledger.allConfirmed())
        return readDirectory(DirectoryRead::BeforeErase, now);
    return LinkStep();
}

LinkStep DownloadDialogue::requestPage(qint64 now)
{
    current = Step::ReceivingPages;
    pageText.clear();
    const quint64 address = currentAddress;
    currentAddress += devicecodec::pageBytes;
    return ask(devicecodec::pageReadCommand(address), now);
}

LinkStep DownloadDialogue::readDirectory(DirectoryRead why, qint64 now)
{
    current = Step::ReadingDirectory;
    directoryCheck = why;
    directoryText.clear();
    pageText.clear();
    return ask(devicecodec::pageReadCommand(summaryAddress), now);
}

LinkStep DownloadDialogue::directoryPage(qint64 now)
{
    directoryText += QString::fromLatin1(pageText.digits());
    pageText.clear();
    if (directoryText.size() < devicecodec::summaryDigits)
        return ask(devicecodec::pageReadCommand(summaryAddress + devicecodec::pageBytes), now);
    return directoryRead(devicecodec::decodeSummaryPage(directoryText), directoryText, now);
}

LinkStep DownloadDialogue::directoryRead(const devicecodec::MemorySummary &found,
                                         const QString &text, qint64 now)
{
    switch (directoryCheck) {
    case DirectoryRead::BeforeReading:
        // Two reads that disagree: one of them was misread on its way, and walking the wrong
        // one would read (and later erase) records that were never listed.
        if (found.rows != sessions)
            return broken(QStringLiteral("the directory read before the download differs from "
                                         "the one read at identification"),
                          LinkStep::Event::DirectoryChanged);
        // The first session to read, when the uploads of an earlier sync leave room for it.
        currentSession = -1;
        awaitUploads();
        return goOn(now);
    case DirectoryRead::BeforeErase:
        if (found.rows != sessions)
            return broken(QStringLiteral("the directory read before the erase differs from the "
                                         "one the download walked"),
                          LinkStep::Event::DirectoryChanged);
        return eraseWhenConfirmed(now);
    case DirectoryRead::AfterErase: {
        current = Step::Finished;
        directoryCheck = DirectoryRead::None;
        watchdog.stop();
        LinkStep step;
        // Out of boot mode: the device restarts and is identified afresh.
        step.writes << "Z\n";
        if (found.rows.isEmpty()) {
            step.event = LinkStep::Event::ErasureProven;
            step.page = text;
        } else {
            step.event = LinkStep::Event::ErasureUnproven;
            step.why = QStringLiteral("the directory read after the erase still lists %1 "
                                      "sessions")
                           .arg(found.rows.size());
        }
        return step;
    }
    case DirectoryRead::None:
        break;
    }
    return broken(QStringLiteral("a directory came that was not asked for"));
}

LinkStep DownloadDialogue::eraseWhenConfirmed(qint64 now)
{
    if (!ledger.mayErase(ledger.deviceUid(), ledger.generation()))
        return broken(QStringLiteral("the erase was due but not every session of this download "
                                     "on this device was confirmed"));
    // The ledger's work is done: nothing can ask for a second erase.
    ledger.clear();
    erased = true;
    current = Step::AwaitingEraseAck;
    directoryCheck = DirectoryRead::None;
    LinkStep step = ask("E000FF000\n", now);
    step.event = LinkStep::Event::EraseSent;
    return step;
}

LinkStep DownloadDialogue::broken(const QString &why, LinkStep::Event event)
{
    abandon();
    LinkStep step;
    step.event = event;
    step.why = why;
    return step;
}

void DownloadDialogue::awaitUploads()
{
    current = Step::AwaitingUpload;
    watchdog.stop();
}

void DownloadDialogue::end()
{
    const bool wasErased = erased;
    abandon();
    erased = wasErased;
}

void DownloadDialogue::abandon()
{
    current = Step::Idle;
    directoryCheck = DirectoryRead::None;
    watchdog.stop();
    ledger.clear();
    sessions.clear();
    pageText.clear();
    directoryText.clear();
    sessionBytes.clear();
    currentSession = 0;
    currentIndex = 0;
    currentAddress = 0;
    allRecords = 0;
    progressVal = 0;
    erased = false;
}

QString DownloadDialogue::awaitedText() const
{
    switch (current) {
    case Step::OpeningAnswer:
        return QStringLiteral("the answer to the download's opening command");
    case Step::ReceivingPages:
        return QStringLiteral("a page");
    case Step::ReadingDirectory:
        return QStringLiteral("the session directory");
    case Step::AwaitingEraseAck:
        return QStringLiteral("the acknowledgement of the erase command");
    case Step::Idle:
    case Step::AwaitingUpload:
    case Step::Finished:
        break;
    }
    return QStringLiteral("nothing");
}
