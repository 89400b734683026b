#include "device/download.h"

LinkStep DownloadDialogue::begin(const devicecodec::SessionTable &rows, int records,
                                 const QString &mode, const QString &uid, quint64 generation,
                                 qint64 now, int stallTimeoutMs)
{
    abandon();
    sessions = rows;
    allRecords = records;
    currentAddress = sessions.value(0).value(2);
    ledger.begin(uid, generation, sessions);
    current = Step::OpeningAnswer;
    waitingFor = Awaiting::OpeningAnswer;
    watchdog.arm(now, stallTimeoutMs);
    LinkStep step;
    // Both jobs start with the device in boot mode: a working-mode device is asked to switch.
    step.writes << (mode == QLatin1String("BM") ? QByteArray("D\n") : QByteArray("BTR\n"));
    return step;
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
        LinkStep step = requestPage(now);
        step.note = QString::fromLatin1(line).trimmed();
        return step;
    }
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
        if (current != Step::ReceivingPages)
            return broken(QStringLiteral("a page came that was not asked for"));
        LinkStep step;
        step.event = LinkStep::Event::PageComplete;
        step.page = QString::fromLatin1(pageText.digits());
        pageText.clear();
        return step;
    }
    case Step::AwaitingEraseAck:
        if (devicecodec::isAcknowledgement(line)) {
            current = Step::Finished;
            waitingFor = Awaiting::Nothing;
            watchdog.stop();
            LinkStep step;
            step.note = QStringLiteral("DONE & Erased: ") + QString::fromLatin1(line).trimmed();
            step.writes << "Z\n";
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
    LinkStep step = currentIndex == records ? handOver() : requestPage(now);
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
    current = Step::AwaitingUpload;
    waitingFor = Awaiting::Nothing;
    watchdog.stop();
    LinkStep step;
    step.event = LinkStep::Event::SessionReady;
    step.sessionName = sessionName();
    step.sessionBytes = sessionBytes;
    return step;
}

LinkStep DownloadDialogue::sessionSaved(const QString &path, qint64 size)
{
    if (current != Step::AwaitingUpload || !ledger.announce(currentSession, path, size))
        return broken(QStringLiteral("the session came to %1 bytes instead of 18 for each of its "
                                     "%2 records")
                          .arg(size)
                          .arg(sessions.value(currentSession).value(1)));
    sessionBytes.clear();
    return LinkStep();
}

SyncLedger::Verdict DownloadDialogue::uploadFinished(const QString &uid, quint64 generation,
                                                     const QString &path, bool success)
{
    return ledger.recordOutcome(uid, generation, path, success);
}

LinkStep DownloadDialogue::moveOn(const QString &uid, quint64 generation, qint64 now)
{
    QString refusal;
    if (!ledger.active() || ledger.generation() != generation)
        refusal = QStringLiteral("the link was restarted since the download began (device lost, "
                                 "rebooted or identified again)");
    else if (current != Step::AwaitingUpload)
        refusal = QStringLiteral("no session is waiting for its upload");
    else if (!ledger.confirmed(currentSession))
        refusal =
            QStringLiteral("the upload of session %1 is not confirmed").arg(currentSession + 1);
    if (!refusal.isEmpty()) {
        LinkStep step;
        step.note = QStringLiteral("Ignored: ") + refusal;
        return step;
    }
    // The confirmed session is done: the next one, or the end.
    currentIndex = 0;
    ++currentSession;
    if (currentSession == sessions.size())
        return eraseWhenConfirmed(uid, generation, now);
    currentAddress = sessions.at(currentSession).value(2);
    return requestPage(now);
}

LinkStep DownloadDialogue::requestPage(qint64 now)
{
    current = Step::ReceivingPages;
    waitingFor = Awaiting::Page;
    watchdog.arm(now, watchdog.timeout());
    LinkStep step;
    step.writes << devicecodec::pageReadCommand(currentAddress);
    currentAddress += devicecodec::pageBytes;
    return step;
}

LinkStep DownloadDialogue::eraseWhenConfirmed(const QString &uid, quint64 generation, qint64 now)
{
    if (!ledger.mayErase(uid, generation))
        return broken(QStringLiteral("the erase was due but not every session of this download "
                                     "on this device was confirmed"));
    // The ledger's work is done: nothing can ask for a second erase.
    ledger.clear();
    erased = true;
    current = Step::AwaitingEraseAck;
    waitingFor = Awaiting::EraseAcknowledgement;
    watchdog.arm(now, watchdog.timeout());
    LinkStep step;
    step.writes << "E000FF000\n";
    step.event = LinkStep::Event::EraseSent;
    return step;
}

LinkStep DownloadDialogue::broken(const QString &why)
{
    abandon();
    LinkStep step;
    step.event = LinkStep::Event::Broken;
    step.why = why;
    return step;
}

void DownloadDialogue::hexProgress(qint64 now)
{
    if (awaitsPageText())
        watchdog.progress(now);
}

LinkStep DownloadDialogue::tick(qint64 now)
{
    if (!watchdog.expired(now))
        return LinkStep();
    LinkStep step;
    step.event = LinkStep::Event::GaveUp;
    step.why = QStringLiteral("no answer for %1 ms while waiting for %2")
                   .arg(watchdog.timeout())
                   .arg(describe(waitingFor));
    const bool wasErased = erased;
    abandon();
    erased = wasErased;
    return step;
}

void DownloadDialogue::abandon()
{
    current = Step::Idle;
    waitingFor = Awaiting::Nothing;
    watchdog.stop();
    ledger.clear();
    sessions.clear();
    pageText.clear();
    sessionBytes.clear();
    currentSession = 0;
    currentIndex = 0;
    currentAddress = 0;
    allRecords = 0;
    progressVal = 0;
    erased = false;
}

QString DownloadDialogue::describe(Awaiting awaiting)
{
    switch (awaiting) {
    case Awaiting::Nothing:
        return QStringLiteral("nothing");
    case Awaiting::OpeningAnswer:
        return QStringLiteral("the answer to the download's opening command");
    case Awaiting::Page:
        return QStringLiteral("a page");
    case Awaiting::EraseAcknowledgement:
        return QStringLiteral("the acknowledgement of the erase command");
    }
    return QString();
}
