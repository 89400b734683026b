// The vitals download: session pages read one at a time, decoded into session files, each
// handed to the cloud upload; the device's session directory is erased only when the sync
// ledger says every session of this download was confirmed.
#include "device/serialdevice.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "device/devicecodec.h"

#include <QDebug>

namespace {

// Steps of the download dialogue.
enum DownloadStep : int {
    awaitingOpeningAnswer = 0,
    receivingPages = 2,
    awaitingEraseAck = 3,
    finished = 5,
};

// The download's working values. There is one download at a time per process.
int control = finished;
devicecodec::SessionTable sessionsInfoList; // the session rows when the download began
int currentSession = 0; // index in sessionsInfoList
int currentIndex = 0; // records of the current session decoded so far
quint64 currentAddress = 0; // device address of the next page to request
int allRecords = 0; // records of all sessions together
int progressVal = 0; // records decoded so far over all sessions
devicecodec::PageAssembler answer_; // page text being assembled
QByteArray sessionToSend; // content of the current session's file

// The link generation the running download began in: a confirmation that arrives after the
// link was restarted (device lost, rebooted, identified again) belongs to no download.
quint64 downloadGeneration = 0;

// The device answers each page as 512 hex digits (256 bytes, 21 records of 12 bytes).
constexpr int pageBytes = 256;
constexpr int recordsPerPage = 21;
constexpr int recordChars = 24;

const QString nothingErased = QStringLiteral("Nothing was erased from the device.");

} // namespace

int SerialDevice::downloadVitals()
{
    if (device.busy)
        return -1;
    // A running download holds the device until the link is back to scanning: starting
    // another would reset its counters while its uploads are still on their way.
    if (currentState == QLatin1String("toDownloadVitals")) {
        qDebug() << "📝" << Q_FUNC_INFO << "Refused: a download is running";
        return -1;
    }
    // Nothing to read: no session listed, or the directory was erased by the last download
    // and the device has not been identified since.
    if (device.sessionsInfo.isEmpty() || device.numberOfSessions < 1) {
        qDebug() << "📝" << Q_FUNC_INFO << "Refused: the device lists no session to download";
        return -1;
    }
    // Only a device in working or boot mode is told how to start; any other would wait for
    // ever for a download that never began.
    if (device.mode != QLatin1String("WM") && device.mode != QLatin1String("BM")) {
        qDebug().noquote() << "📝" << Q_FUNC_INFO << "Refused: unknown device mode" << device.mode;
        return -1;
    }

    sessionsInfoList.clear();
    currentSession = 0;
    currentIndex = 0;
    currentAddress = 0;
    allRecords = 0;
    progressVal = 0;
    // A download that was cut off must not leak text or records into this one.
    answer_.clear();
    sessionToSend.clear();

    sessionsInfoList = device.sessionsInfo;
    allRecords = device.numberOfRecords;
    currentAddress = sessionsInfoList.first().value(2);

    control = awaitingOpeningAnswer;
    ClassStateHandler(QStringLiteral("toDownloadVitals"));
    downloadGeneration = linkGeneration;
    ledger.begin(device.UID, linkGeneration, sessionsInfoList);
    return 0;
}

void SerialDevice::downloadVitalsHandler()
{
    if (!readInput())
        return;
    const quint64 generation = linkGeneration;
    QByteArray line;
    // Pages are taken only up to their line end; the opening answer and the erase's
    // acknowledgement may come without one.
    while (generation == linkGeneration && takeLine(line, control != receivingPages)) {
        switch (control) {
        case awaitingOpeningAnswer:
            // A blank line or page text is left over from before (a late tail of the summary
            // page), not the answer to the opening command.
            if (line.trimmed().isEmpty()
                || devicecodec::isHexText(
                    QString::fromLatin1(line.simplified().replace(' ', QByteArray()))))
                break;
            qDebug() << "📝" << Q_FUNC_INFO << line;
            control = receivingPages;
            requestPage();
            break;
        case receivingPages: {
            switch (answer_.add(line)) {
            case devicecodec::PageAssembler::Status::Incomplete:
                break;
            case devicecodec::PageAssembler::Status::Broken:
                abandonDownload(answer_.error());
                return;
            case devicecodec::PageAssembler::Status::Complete: {
                const QString page = QString::fromLatin1(answer_.digits());
                answer_.clear();
                parsVitalPage(page);
                break;
            }
            }
            break;
        }
        case awaitingEraseAck:
            if (line.contains("OK")) {
                qDebug() << "📝" << Q_FUNC_INFO << "DONE & Erased:" << line;
                serial->write("Z\n");
                control = finished;
                stopStall();
                // The device restarts now: scan again so that it is identified afresh.
                scheduleRetry();
            }
            break;
        default:
            break;
        }
    }
}

void SerialDevice::sessionUploadFinished(const QString &fileName, bool success)
{
    const SyncLedger::Verdict verdict =
        ledger.recordOutcome(device.UID, linkGeneration, fileName, success);
    if (verdict != SyncLedger::Verdict::Recorded)
        qDebug().noquote() << "📝" << Q_FUNC_INFO << "Ignored the upload outcome for" << fileName
                           << ":" << SyncLedger::verdictText(verdict);
}

void SerialDevice::requestAddress()
{
    // Called by the window once a session's upload was confirmed. Only the download that
    // announced the session, still running on the same link, may move on, and only when
    // the ledger holds the confirmation of that very session.
    QString refusal;
    if (downloadGeneration != linkGeneration || !ledger.active())
        refusal = QStringLiteral("the link was restarted since the download began (device lost, "
                                 "rebooted or identified again)");
    else if (control != receivingPages)
        refusal = QStringLiteral("no download is reading pages");
    else if (!ledger.confirmed(currentSession))
        refusal =
            QStringLiteral("the upload of session %1 is not confirmed").arg(currentSession + 1);
    else if (currentIndex != int(sessionsInfoList.value(currentSession).value(1)))
        refusal = QStringLiteral("session %1 is still being read").arg(currentSession + 1);
    if (!refusal.isEmpty()) {
        qDebug().noquote() << "📝" << Q_FUNC_INFO << "Ignored:" << refusal;
        return;
    }
    requestPage();
}

void SerialDevice::requestPage()
{
    if (currentSession < 0 || currentSession >= sessionsInfoList.size())
        return;
    if (currentIndex == int(sessionsInfoList.at(currentSession).value(1))) {
        currentIndex = 0;
        ++currentSession;
        if (currentSession == sessionsInfoList.size()) {
            eraseSessionDirectory();
            return;
        }
        currentAddress = sessionsInfoList.at(currentSession).value(2);
    }
    const QByteArray command = devicecodec::pageReadCommand(currentAddress);
    armStall(QStringLiteral("the page at 0x%1").arg(currentAddress, 0, 16), true);
    currentAddress += pageBytes;
    serial->write(command);
}

void SerialDevice::eraseSessionDirectory()
{
    if (!ledger.mayErase(device.UID, linkGeneration)) {
        abandonDownload(QStringLiteral("the erase was due but not every session of this "
                                       "download on this device was confirmed"));
        return;
    }
    // The ledger's work is done: nothing can ask for a second erase.
    ledger.clear();
    control = awaitingEraseAck;
    armStall(QStringLiteral("the acknowledgement of the erase command"));
    serial->write("E000FF000\n");
    summaryPage.fill(QLatin1Char('F'));
    parseVitalsSummary(summaryPage);
    emit vitalsDownloadDone();
    emit deviceInfoChanged();
}

void SerialDevice::parsVitalPage(QString page)
{
    const int records = int(sessionsInfoList.value(currentSession).value(1));
    for (int j = 0; j < recordsPerPage; ++j) {
        if (currentIndex >= records) {
            // The session ended inside this page; the rest of the page is not read.
            sendSession();
            return;
        }
        sessionToSend += devicecodec::fileRecord(page.mid(j * recordChars, recordChars));
        ++progressVal;
        ++currentIndex;
        if (progressVal == allRecords) {
            sendSession();
            return;
        }
        emit sessionDownloadProgress(progressVal, allRecords);
    }
    if (currentIndex == records)
        sendSession();
    else
        requestPage();
}

void SerialDevice::sendSession()
{
    // No page is outstanding from here on: the download waits for the upload.
    stopStall();
    const QString name =
        QString::number(sessionsInfoList.value(currentSession).value(0)) + QLatin1String("000");
    const QString folder = applicationFolderPath();
    const QString path = folder + QLatin1Char('/') + name;

    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Records:" << progressVal << "out of" << allRecords
                       << " | Saving session" << currentSession + 1 << "out of"
                       << device.numberOfSessions << "to file:" << name;

    // The file is proven before anybody reads it: written, flushed, its size on disk checked,
    // then put in place in one step. The folder comes back if it was removed.
    QString error = makePrivateFolder(folder);
    if (error.isEmpty())
        error = writePrivateFile(path, sessionToSend);
    if (error.isEmpty() && !ledger.announce(currentSession, path, sessionToSend.size()))
        error = QStringLiteral("the session came to %1 bytes instead of 18 for each of its %2 "
                               "records")
                    .arg(sessionToSend.size())
                    .arg(sessionsInfoList.value(currentSession).value(1));
    if (!error.isEmpty()) {
        failDownload(QStringLiteral("cannot save %1: %2").arg(path, error),
                     QStringLiteral("Orvane could not save the health data in %1: %2. %3")
                         .arg(folder, error, nothingErased));
        return;
    }
    sessionToSend.clear();
    emit sessionDownloadDone(path, name);
}

void SerialDevice::downloadStalled()
{
    const QString why = QStringLiteral("no answer while waiting for ") + awaited;
    if (control == awaitingEraseAck) {
        // Every session is in the cloud; only the device's word on the erase is missing.
        failDownload(why,
                     QStringLiteral("The device did not confirm that its memory was cleared. "
                                    "Your health data is safely in the cloud."));
        return;
    }
    failDownload(why,
                 QStringLiteral("The transfer stopped: the device stopped answering. %1 "
                                "Please try again.")
                     .arg(nothingErased));
}

void SerialDevice::abandonDownload(const QString &why)
{
    failDownload(why,
                 QStringLiteral("The transfer stopped: the device sent data Orvane could not "
                                "read. %1 Please try again.")
                     .arg(nothingErased));
}

void SerialDevice::failDownload(const QString &why, const QString &userMessage)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Download abandoned:" << why
                       << "- back to scanning, the device memory untouched";
    answer_.clear();
    sessionToSend.clear();
    control = finished;
    ClassStateHandler(QStringLiteral("toScan"));
    emit deviceInfoChanged();
    emit vitalsDownloadFailed(userMessage);
}
