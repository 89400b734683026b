// The vitals download: session pages read one at a time, decoded into session files, each
// handed to the cloud upload; the device's session directory is erased only after the last
// session's upload was confirmed.
#include "serialdevice.h"

#include "appfolder.h"
#include "devicecodec.h"

#include <QDebug>
#include <QSaveFile>

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
QByteArray answer_; // page text being assembled
QByteArray sessionToSend; // content of the current session's file

// The link generation the running download began in: a confirmation that arrives after the
// link was restarted (device lost, rebooted, identified again) belongs to no download.
quint64 downloadGeneration = 0;
// A session file was announced and its upload is not confirmed yet.
bool awaitingConfirmation = false;

// The device answers each page as 512 hex digits (256 bytes, 21 records of 12 bytes).
constexpr int pageChars = 512;
constexpr int pageBytes = 256;
constexpr int recordsPerPage = 21;
constexpr int recordChars = 24;

QString pageText(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.left(nul));
}

} // namespace

int SerialDevice::downloadVitals()
{
    if (device.busy)
        return -1;
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
    awaitingConfirmation = false;

    sessionsInfoList = device.sessionsInfo;
    allRecords = device.numberOfRecords;
    currentAddress = sessionsInfoList.first().value(2);

    control = awaitingOpeningAnswer;
    ClassStateHandler(QStringLiteral("toDownloadVitals"));
    downloadGeneration = linkGeneration;
    return 0;
}

void SerialDevice::downloadVitalsHandler()
{
    QByteArray answer;
    if (!takeReply(answer))
        return;
    switch (control) {
    case awaitingOpeningAnswer:
        qDebug() << "📝" << Q_FUNC_INFO << answer;
        control = receivingPages;
        requestPage();
        break;
    case receivingPages:
        answer_ += answer.simplified();
        answer_.replace(' ', QByteArray());
        if (answer_.size() == pageChars) {
            if (!devicecodec::isHexText(QString::fromLatin1(answer_))) {
                abandonDownload(QStringLiteral("a page holds text that is not hexadecimal"));
                return;
            }
            const QString page = pageText(answer_);
            answer_.clear();
            parsVitalPage(page);
        } else if (answer_.size() > pageChars) {
            // Stray text came with the page: the page boundaries can no longer be trusted.
            abandonDownload(QStringLiteral("the page text passed 512 characters (%1) without "
                                           "stopping at 512")
                                .arg(answer_.size()));
        }
        break;
    case awaitingEraseAck:
        if (answer.contains("OK")) {
            qDebug() << "📝" << Q_FUNC_INFO << "DONE & Erased:" << answer;
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

void SerialDevice::requestAddress()
{
    // Called by the window once a session's upload was confirmed. Only the download that
    // announced the session, still running on the same link, may move on; above all a late
    // confirmation must never lead to the erase command.
    const char *refusal = nullptr;
    if (downloadGeneration != linkGeneration)
        refusal = "the link was restarted since the download began (device lost, rebooted or "
                  "identified again)";
    else if (control != receivingPages)
        refusal = "no download is reading pages";
    else if (!awaitingConfirmation)
        refusal = "no session file is waiting for its upload";
    if (refusal) {
        qDebug() << "📝" << Q_FUNC_INFO << "Ignored:" << refusal;
        return;
    }
    awaitingConfirmation = false;
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
            // Every session was written and confirmed: only now is the directory erased.
            control = awaitingEraseAck;
            armStall(QStringLiteral("the acknowledgement of the erase command"));
            serial->write("E000FF000\n");
            summaryPage.fill(QLatin1Char('F'));
            parseVitalsSummary(summaryPage);
            emit vitalsDownloadDone();
            emit deviceInfoChanged();
            return;
        }
        currentAddress = sessionsInfoList.at(currentSession).value(2);
    }
    const QByteArray command = devicecodec::pageReadCommand(currentAddress);
    armStall(QStringLiteral("the page at 0x%1").arg(currentAddress, 0, 16));
    currentAddress += pageBytes;
    serial->write(command);
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
    const QString path = applicationFolderPath() + QLatin1Char('/') + name;

    // Written whole or not at all, replacing a file of the same name: the upload never
    // reads a half-written session.
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly)
        && file.write(sessionToSend) == sessionToSend.size() && file.commit();

    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Records:" << progressVal << "out of" << allRecords
                       << " | Saving session" << currentSession + 1 << "out of"
                       << device.numberOfSessions << "to file:" << name;
    if (!written) {
        // The download stops at this session; its records stay in memory and the device
        // memory is not erased.
        qDebug().noquote() << "📝" << Q_FUNC_INFO << "Cannot write" << path << ":"
                           << file.errorString() << "- the download stops here";
        return;
    }
    sessionToSend.clear();
    awaitingConfirmation = true;
    emit sessionDownloadDone(path, name);
}

void SerialDevice::abandonDownload(const QString &why)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Download abandoned:" << why
                       << "- back to scanning, the device memory untouched";
    answer_.clear();
    ClassStateHandler(QStringLiteral("toScan"));
    emit deviceInfoChanged();
}
