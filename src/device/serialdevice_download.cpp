// The vitals download as the link carries it out: the download dialogue says which page to
// read and when a session is complete; the link saves each session file, proven, hands it to
// the cloud upload, and turns the dialogue's events into signals.
#include "device/serialdevice.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "device/devicecodec.h"

#include <QDebug>

namespace {

const QString nothingErased = QStringLiteral("Nothing was erased from the device.");
const QString unreadable = QStringLiteral("The transfer stopped: the device sent data Orvane could "
                                          "not read. Nothing was erased from the device. Please "
                                          "try again.");
const QString clearingUnconfirmed =
    QStringLiteral("Every session is safely in the cloud, but Orvane could not confirm that your "
                   "Brevia's memory was cleared. Press \"Upload to cloud\" again when it is "
                   "back to clear it.");
const char downloadSignature[] = "void SerialDevice::downloadVitalsHandler()";

} // namespace

int SerialDevice::downloadVitals()
{
    return startDownload(devicecodec::SessionTable());
}

int SerialDevice::startDownload(const devicecodec::SessionTable &inCloud,
                                const SyncLedger::InFlight &inFlight)
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
    ClassStateHandler(QStringLiteral("toDownloadVitals"));
    // What the device said while idle answers nothing of the download.
    discardInput();
    downloadStep(download.begin(device.sessionsInfo, inCloud, inFlight, device.mode, device.UID,
                                linkGeneration, now(), stallTimeout));
    if (download.sessionsToRead() < download.sessionCount())
        qDebug().noquote() << "📝" << Q_FUNC_INFO
                           << download.sessionCount() - download.sessionsToRead()
                           << "session(s) in the cloud or on their way there are not read again";
    return 0;
}

void SerialDevice::downloadVitalsHandler()
{
    bool sawHexDigits = false;
    if (!readInput(&sawHexDigits))
        return;
    if (sawHexDigits) {
        // Digits of an awaited page are progress even before their line is whole.
        download.hexProgress(now());
        followDeadline(download.deadline());
    }
    const quint64 generation = linkGeneration;
    QByteArray line;
    // Pages are taken only up to their line end; the opening answer and the erase's
    // acknowledgement may come without one.
    while (generation == linkGeneration) {
        const DownloadDialogue::Step step = download.step();
        const bool restWhenQuiet = step == DownloadDialogue::Step::OpeningAnswer
            || step == DownloadDialogue::Step::AwaitingEraseAck;
        if (!takeLine(line, restWhenQuiet))
            break;
        downloadStep(download.line(line, now()));
    }
}

void SerialDevice::downloadStep(const LinkStep &step)
{
    write(step);
    followDeadline(download.deadline());
    if (!step.note.isEmpty())
        qDebug().noquote() << "📝" << downloadSignature << step.note;
    for (const int progress : step.records)
        emit sessionDownloadProgress(progress, download.recordsInAll());
    switch (step.event) {
    case LinkStep::Event::SessionReady:
        sendSession();
        break;
    case LinkStep::Event::EraseSent:
        qDebug().noquote() << "📝" << downloadSignature
                           << "Every session confirmed and the directory unchanged: erasing";
        break;
    case LinkStep::Event::ErasureProven:
        // The directory as the device holds it now: empty. Only this read says "done".
        summaryPage = step.page;
        parseVitalsSummary(summaryPage);
        emit vitalsDownloadDone();
        emit deviceInfoChanged();
        // The device restarts now: scan again so that it is identified afresh.
        scheduleRetry();
        break;
    case LinkStep::Event::ErasureUnproven:
        qDebug().noquote() << "📝" << downloadSignature << step.why;
        emit vitalsDownloadFailed(clearingUnconfirmed);
        scheduleRetry();
        break;
    case LinkStep::Event::DirectoryChanged:
        failDownload(step.why,
                     QStringLiteral("Your Brevia's list of sessions read differently from one "
                                    "moment to the next, so Orvane stopped. %1 Please try again.")
                         .arg(nothingErased));
        break;
    case LinkStep::Event::Broken:
        failDownload(step.why, unreadable);
        break;
    case LinkStep::Event::GaveUp:
        failDownload(step.why,
                     download.eraseSent()
                         // Every session is in the cloud; only the device's word is missing.
                         ? clearingUnconfirmed
                         : QStringLiteral("The transfer stopped: the device stopped answering. "
                                          "%1 Please try again.")
                               .arg(nothingErased));
        break;
    default:
        break;
    }
}

void SerialDevice::parsVitalPage(QString page)
{
    downloadStep(download.page(page, now()));
}

void SerialDevice::sendSession()
{
    const QString name = download.sessionName();
    const QByteArray bytes = download.sessionFile();
    const QString folder = applicationFolderPath();
    const QString path = folder + QLatin1Char('/') + name;
    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Records:" << download.recordsDone() << "out of"
                       << download.recordsInAll() << " | Saving session"
                       << download.sessionIndex() + 1 << "out of" << device.numberOfSessions
                       << "to file:" << name;

    // The file is proven before anybody reads it: written, flushed, its size on disk checked,
    // then put in place in one step. The folder comes back if it was removed.
    QString error = makePrivateFolder(folder);
    if (error.isEmpty())
        error = writePrivateFile(path, bytes);
    LinkStep saved;
    if (error.isEmpty()) {
        saved = download.sessionSaved(path, bytes.size(), now());
        if (saved.event == LinkStep::Event::Broken)
            error = saved.why;
    }
    if (!error.isEmpty()) {
        failDownload(QStringLiteral("cannot save %1: %2").arg(path, error),
                     QStringLiteral("Orvane could not save the health data in %1: %2. %3")
                         .arg(folder, error, nothingErased));
        return;
    }
    const quint64 generation = linkGeneration;
    emit sessionDownloadDone(path, name);
    // Then the next session, read while this one uploads (unless the link moved on meanwhile).
    if (generation == linkGeneration)
        downloadStep(saved);
}

void SerialDevice::sessionUploadFinished(const QString &fileName, bool success)
{
    const SyncLedger::Verdict verdict =
        download.uploadFinished(device.UID, linkGeneration, fileName, success);
    if (verdict != SyncLedger::Verdict::Recorded)
        qDebug().noquote() << "📝" << Q_FUNC_INFO << "Ignored the upload outcome for" << fileName
                           << ":" << SyncLedger::verdictText(verdict);
}

void SerialDevice::requestAddress()
{
    // Called by the window once a session's upload was confirmed. Only the download that
    // announced the session, still running on the same link, may move on, and only when its
    // ledger holds the confirmation of that very session.
    const LinkStep step = download.moveOn(device.UID, linkGeneration, now());
    if (step.writes.isEmpty() && step.event == LinkStep::Event::None) {
        if (!step.note.isEmpty())
            qDebug().noquote() << "📝" << Q_FUNC_INFO << step.note;
        return;
    }
    downloadStep(step);
}

void SerialDevice::failDownload(const QString &why, const QString &userMessage)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Download abandoned:" << why
                       << "- back to scanning, the device memory untouched";
    download.abandon();
    // Told before the restart, so that whoever stops on the restart hears why first.
    emit vitalsDownloadFailed(userMessage);
    ClassStateHandler(QStringLiteral("toScan"));
    emit deviceInfoChanged();
}

void SerialDevice::downloadStalled()
{
    downloadStep(download.tick(now()));
}
