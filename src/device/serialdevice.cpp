// The device link: its state, the port and its timers, the scan, and what the dialogues'
// answers mean for the record and the signals.
#include "device/serialdevice.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "device/devicecodec.h"
#include "device/portwatch.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

#include <cerrno>
#include <iterator>

namespace {

// The pause before the link restarts after an unrecognised answer or a finished job.
constexpr int restartDelayMs = 1000;

// The states by name, in the order of SerialDevice::LinkState.
constexpr const char *stateNames[] = {"toScan", "toIdentify", "toIdle", "toUpdateFirmware",
                                      "toDownloadVitals"};

// The dialogues' debug lines name the handler slot that serves them, after their tag.
struct JobText
{
    const char *tag;
    const char *handler;
};
constexpr JobText identifyText {"❓", "void SerialDevice::identifyDeviceHandler()"};
constexpr JobText downloadText {"📝", "void SerialDevice::downloadVitalsHandler()"};
constexpr JobText flashingText {"💬", "void SerialDevice::updateFirmwareHandler()"};

const QString nothingErased = QStringLiteral("Nothing was erased from the device.");
const QString unreadable = QStringLiteral("The transfer stopped: the device sent data Orvane could "
                                          "not read. Nothing was erased from the device. Please "
                                          "try again.");
const QString clearingUnconfirmed =
    QStringLiteral("Every session is safely in the cloud, but Orvane could not confirm that your "
                   "Brevia's memory was cleared. Press \"Upload to cloud\" again when it is "
                   "back to clear it.");

bool holdsHexDigit(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
            return true;
    }
    return false;
}

} // namespace

SerialDevice::SerialDevice(QObject *parent, PortLister lister)
    : QObject(parent),
      serial(std::make_unique<QSerialPort>()),
      scanTimer(std::make_unique<QTimer>()),
      portLister(std::move(lister))
{
    clock.start();
    serial->setBaudRate(QSerialPort::Baud115200);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    // A device that talks while nobody listens fills at most this much; the rest waits in
    // the system's buffers.
    serial->setReadBufferSize(maxUnreadBytes);

    scanTimer->setInterval(defaultScanIntervalMs);
    scanTimer->start();

    stallTimer.setSingleShot(true);
    replyQuietTimer.setSingleShot(true);

    // Wired once: the state decides what each of them does.
    connect(serial.get(), &QSerialPort::errorOccurred, this, &SerialDevice::portError);
    connect(serial.get(), &QSerialPort::readyRead, this, &SerialDevice::readReply);
    connect(&replyQuietTimer, &QTimer::timeout, this, &SerialDevice::readReply);
    connect(&stallTimer, &QTimer::timeout, this, &SerialDevice::stalled);
    connect(scanTimer.get(), &QTimer::timeout, this, &SerialDevice::scanForDevices);
    // A device that came or went is looked for at once, not at the next tick.
    if (PortWatch *watch = systemPortWatch())
        connect(watch, &PortWatch::changed, this, &SerialDevice::scanForDevices);
    ClassStateHandler(QStringLiteral("toScan"));
}

SerialDevice::~SerialDevice()
{
    serial->disconnect(this);
    if (serial->isOpen())
        serial->close();
    serial.reset();
    scanTimer.reset();
}

DeviceInfo SerialDevice::getDevice() const
{
    return device;
}

QString SerialDevice::state() const
{
    return stateName(linkState);
}

void SerialDevice::setStallTimeout(int ms)
{
    stallTimeout = qMax(1, ms);
}

void SerialDevice::setScanInterval(int ms)
{
    scanTimer->start(qMax(1, ms));
}

void SerialDevice::setProbeBackoff(const ProbeBackoff::Rule &rule)
{
    probeBackoff.setRule(rule);
}

void SerialDevice::clearRecord()
{
    const QString keptPortName = device.portName;
    device = DeviceInfo();
    device.portName = keptPortName;
}

// ---- The state

QString SerialDevice::stateName(LinkState state)
{
    return QLatin1String(stateNames[int(state)]);
}

void SerialDevice::ClassStateHandler(const QString &state)
{
    for (int each = 0; each < int(std::size(stateNames)); ++each) {
        if (state == QLatin1String(stateNames[each])) {
            enter(LinkState(each));
            return;
        }
    }
}

LinkDialogue *SerialDevice::dialogueOf(LinkState state)
{
    switch (state) {
    case LinkState::Identify:
        return &identification;
    case LinkState::UpdateFirmware:
        return &flashing;
    case LinkState::DownloadVitals:
        return &download;
    case LinkState::Scan:
    case LinkState::Idle:
        break;
    }
    return nullptr;
}

void SerialDevice::enter(LinkState next)
{
    linkState = next;
    ++linkGeneration;
    if (next == LinkState::Scan) {
        if (serial->isOpen())
            serial->close();
        clearRecord();
        // The port is closed: a reply cut off by it is gone with it, and nothing begun on
        // the old link may act on the next one.
        pendingReply.clear();
        replyQuietTimer.stop();
        download.abandon();
        flashing.abandon();
    } else if (next == LinkState::Identify) {
        discardInput();
        // "ATN?", with the watchdog armed as it goes out: a port whose device never sends a
        // byte is given up on too.
        write(identification.start(now(), stallTimeout));
    }
    // Free for a new job only while idle; a download refuses a second job itself.
    device.busy = next == LinkState::Scan || next == LinkState::Identify
        || next == LinkState::UpdateFirmware;
    const LinkDialogue *dialogue = dialogueOf(next);
    followDeadline(dialogue ? dialogue->deadline() : -1);
    if (next == LinkState::Scan)
        emit linkRestarted();
}

// ---- The port and the timers

void SerialDevice::identifyDeviceHandler()
{
    readReply();
}

void SerialDevice::updateFirmwareHandler()
{
    readReply();
}

void SerialDevice::downloadVitalsHandler()
{
    readReply();
}

void SerialDevice::readReply()
{
    const LinkState job = linkState;
    LinkDialogue *dialogue = dialogueOf(job);
    if (!dialogue)
        return;
    bool sawHexDigits = false;
    if (!readInput(&sawHexDigits))
        return;
    if (sawHexDigits) {
        // Digits of awaited page text are progress even before their line is whole.
        dialogue->hexProgress(now());
        followDeadline(dialogue->deadline());
    }
    // Each line is judged on its own, and only once it is whole: a reply that pauses in the
    // middle is never read in pieces. Once the dialogue has moved the link on, what is left
    // belongs to no step of it.
    const quint64 generation = linkGeneration;
    QByteArray line;
    while (generation == linkGeneration && takeLine(line, dialogue->wholeWhenQuiet()))
        carryOut(job, dialogue->line(line, now()));
}

bool SerialDevice::readInput(bool *sawHexDigits)
{
    const QByteArray bytes = serial->readAll();
    pendingReply += bytes;
    const int unterminated = pendingReply.size() - 1 - pendingReply.lastIndexOf('\n');
    if (unterminated > maxLineBytes) {
        const QString why =
            QStringLiteral("the device sent %1 bytes without a line break").arg(unterminated);
        discardInput();
        if (linkState == LinkState::DownloadVitals) {
            failDownload(why, unreadable);
        } else {
            if (linkState == LinkState::Identify)
                judgeProbe();
            qDebug().noquote() << "🔴" << Q_FUNC_INFO << why << "in state" << state()
                               << "- restarting the link";
            enter(LinkState::Scan);
            emit deviceInfoChanged();
        }
        return false;
    }
    *sawHexDigits = holdsHexDigit(bytes);
    if (pendingReply.isEmpty())
        replyQuietTimer.stop();
    else if (!bytes.isEmpty())
        replyQuietTimer.start(replyQuietMs);
    return true;
}

bool SerialDevice::takeLine(QByteArray &line, bool restWhenQuiet)
{
    line.clear();
    const int end = pendingReply.indexOf('\n');
    if (end >= 0) {
        line = pendingReply.left(end + 1);
        pendingReply.remove(0, end + 1);
    } else if (restWhenQuiet && !replyQuietTimer.isActive()) {
        // The line has been quiet for replyQuietMs (or the quiet timer brought us here).
        line.swap(pendingReply);
    }
    if (pendingReply.isEmpty())
        replyQuietTimer.stop();
    return !line.isEmpty();
}

void SerialDevice::discardInput()
{
    // The port's buffers and the start of a reply not yet handed out.
    serial->clear();
    pendingReply.clear();
    replyQuietTimer.stop();
}

void SerialDevice::write(const LinkStep &step)
{
    if (step.discardInput)
        discardInput();
    for (const QByteArray &command : step.writes)
        serial->write(command);
}

void SerialDevice::followDeadline(qint64 deadline)
{
    if (deadline < 0)
        stallTimer.stop();
    else
        stallTimer.start(int(qMax<qint64>(0, deadline - now())));
}

void SerialDevice::stalled()
{
    if (LinkDialogue *dialogue = dialogueOf(linkState))
        carryOut(linkState, dialogue->tick(now()));
}

// ---- What the dialogues' answers mean

void SerialDevice::logNote(LinkState job, const QString &note)
{
    if (job == LinkState::Identify) {
        // A line the identification had no use for, with the step it came at.
        qDebug().noquote() << identifyText.tag << int(identification.step())
                           << identifyText.handler << note;
    } else {
        const JobText &text = job == LinkState::DownloadVitals ? downloadText : flashingText;
        qDebug().noquote() << text.tag << text.handler << note;
    }
}

void SerialDevice::carryOut(LinkState job, const LinkStep &step)
{
    LinkDialogue *dialogue = dialogueOf(job);
    if (!dialogue)
        return;
    // Any event ends the identification, one way or the other.
    if (job == LinkState::Identify && step.event != LinkStep::Event::None)
        judgeProbe();
    write(step);
    followDeadline(dialogue->deadline());
    if (!step.note.isEmpty())
        logNote(job, step.note);
    for (const int progress : step.records)
        emit sessionDownloadProgress(progress, download.recordsInAll());

    switch (step.event) {
    case LinkStep::Event::None:
    case LinkStep::Event::EraseAcknowledged:
        break;
    // Identification
    case LinkStep::Event::Unrecognised:
        qDebug().noquote() << "🔴" << int(identification.step()) << identifyText.handler
                           << step.why << "❓"
                           << "Retrying...";
        scheduleRetry();
        break;
    case LinkStep::Event::NotSupported:
        takeIdentity();
        enter(LinkState::Idle);
        device.memoryInfo = QLatin1String(devicecodec::noHealthDataText);
        emit notSupportedDevice();
        break;
    case LinkStep::Event::Identified:
        takeIdentity();
        summaryPage = identification.identity().summaryPage;
        parseVitalsSummary(summaryPage);
        printDeviceInfo();
        enter(LinkState::Idle);
        emit deviceInfoChanged();
        break;
    // Download
    case LinkStep::Event::SessionReady:
        sendSession();
        break;
    case LinkStep::Event::EraseSent:
        qDebug().noquote() << downloadText.tag << downloadText.handler
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
        qDebug().noquote() << downloadText.tag << downloadText.handler << step.why;
        emit vitalsDownloadFailed(clearingUnconfirmed);
        scheduleRetry();
        break;
    case LinkStep::Event::DirectoryChanged:
        failDownload(step.why,
                     QStringLiteral("Your Brevia's list of sessions read differently from one "
                                    "moment to the next, so Orvane stopped. %1 Please try again.")
                         .arg(nothingErased));
        break;
    // Flashing
    case LinkStep::Event::FlashingProgress:
        emit firmwareUpdateProgress(step.progress, step.maximum);
        break;
    case LinkStep::Event::ImageWritten:
        // The restart message is given its own second.
        scheduleRetry();
        emit firmwareUpdateProgress(step.progress, step.maximum);
        break;
    case LinkStep::Event::Restarted:
        setTime();
        // Closing the port drops unwritten bytes: the clock must reach the device first.
        serial->flush();
        emit firmwareUpdateDone();
        enter(LinkState::Scan);
        break;
    // Any dialogue
    case LinkStep::Event::Broken:
        if (job == LinkState::DownloadVitals) {
            failDownload(step.why, unreadable);
            break;
        }
        // The identification: the device's text cannot be trusted.
        qDebug().noquote() << "🔴" << identifyText.handler << step.why
                           << "- restarting the identification";
        enter(LinkState::Scan);
        break;
    case LinkStep::Event::GaveUp:
        if (job == LinkState::DownloadVitals) {
            failDownload(step.why,
                         download.eraseSent()
                             // Every session is in the cloud; only the device's word is missing.
                             ? clearingUnconfirmed
                             : QStringLiteral("The transfer stopped: the device stopped "
                                              "answering. %1 Please try again.")
                                   .arg(nothingErased));
            break;
        }
        qDebug().noquote() << "⏳"
                           << (job == LinkState::Identify ? identifyText : flashingText).handler
                           << step.why
                           << (job == LinkState::Identify
                                   ? "- back to scanning, the device memory untouched"
                                   : "- back to scanning");
        enter(LinkState::Scan);
        emit deviceInfoChanged();
        break;
    }
}

void SerialDevice::takeIdentity()
{
    // A device found too old to serve has told its mode, firmware and UID only.
    const IdentificationDialogue::Identity found = identification.identity();
    device.mode = found.mode;
    device.fwVersion = found.fwVersion;
    device.UID = found.UID;
    device.nameBLE = found.nameBLE;
    device.idToken = found.idToken;
    device.identified = true;
}

// ---- The scan

void SerialDevice::scanForDevices()
{
    // Only while scanning: in every other state a port is open.
    if (linkState != LinkState::Scan)
        return;
    const QList<PortEntry> ports = portLister ? portLister() : QList<PortEntry>();
    QList<PortEntry> candidates;
    QStringList listed;
    for (const PortEntry &entry : ports) {
        if (isDevicePort(entry)) {
            candidates.append(entry);
            listed.append(entry.systemLocation);
        }
    }
    // Quiet at rest: a pass tells only what differs from the one before.
    noteListedPorts(listed);
    probeBackoff.keepListed(listed);
    for (const PortEntry &entry : qAsConst(candidates)) {
        if (serial->isOpen()) {
            // A further matching port in the same pass: the port is taken, so this open fails
            // and is only logged. The name of the port in use is kept.
            serial->open(QIODevice::ReadWrite);
            continue;
        }
        const QByteArray node = PortWatch::nodeIdentity(entry.systemLocation);
        if (!probeBackoff.mayProbe(entry.systemLocation, node, now()))
            continue;
        serial->setPortName(entry.systemLocation);
        scanOpening = true;
        const bool opened = serial->open(QIODevice::ReadWrite);
        scanOpening = false;
        if (!opened) {
            noteRefusedOpen(entry);
            continue;
        }
        forgetAllRefusals();
        device.connected = true;
        probe = Probe {entry.systemLocation, node, false};
        qDebug().noquote() << "🟡" << Q_FUNC_INFO
                           << "Found a device (possibly):" << entry.portName;
        device.portName = entry.portName;
        // "ATN?", then "ATD0".
        enter(LinkState::Identify);
    }
    forgetRefusals(listed);
}

void SerialDevice::noteListedPorts(const QStringList &listed)
{
    if (portsListed && listed == listedPorts)
        return;
    portsListed = true;
    listedPorts = listed;
    qDebug().noquote() << "🟠" << Q_FUNC_INFO << "Device ports:"
                       << (listed.isEmpty() ? QStringLiteral("none")
                                            : listed.join(QLatin1String(", ")));
}

void SerialDevice::noteRefusedOpen(const PortEntry &entry)
{
    // Qt reports a port locked or held exclusively by another program as a permission error
    // too; only the node's permissions (EACCES) are something the user can fix for Orvane.
    const QString reason = serial->errorString();
    const bool permission = serial->error() == QSerialPort::PermissionError;
    const bool accessDenied = permission && reason == qt_error_string(EACCES);
    if (!refusedPorts.note(entry.systemLocation, reason, accessDenied))
        return;
    const char *why = accessDenied ? "(this user may not open it)"
        : permission               ? "(another program may be using it)"
                                   : "";
    qDebug().noquote() << "🔒" << Q_FUNC_INFO << "Found a device on" << entry.systemLocation
                       << "but cannot open it:" << reason << why;
    if (accessDenied)
        emit portAccessDenied(entry.systemLocation);
}

void SerialDevice::forgetRefusals(const QStringList &listed)
{
    refusedPorts.keepListed(listed);
    if (refusedPorts.accessDeniedOver())
        emit portAccessCleared();
}

void SerialDevice::forgetAllRefusals()
{
    refusedPorts.clear();
    if (refusedPorts.accessDeniedOver())
        emit portAccessCleared();
}

void SerialDevice::judgeProbe()
{
    if (probe.judged)
        return;
    probe.judged = true;
    // The name reply sets the mode: whatever failed after it, this is a Brevia.
    if (!identification.identity().mode.isEmpty()) {
        probeBackoff.answered(probe.port);
        return;
    }
    const qint64 pause = probeBackoff.failed(probe.port, probe.node, now());
    if (pause > 0)
        qDebug().noquote() << "⏸" << Q_FUNC_INFO << probe.port << "answered like no Brevia"
                           << probeBackoff.failures(probe.port) << "times in a row: next probe in"
                           << pause / 1000.0 << "s, or at once when plugged in again";
}

// ---- The record

void SerialDevice::printDeviceInfo()
{
    qDebug().noquote() << "🔰" << Q_FUNC_INFO << device.portName << device.mode << device.fwVersion
                       << device.UID << device.nameBLE << device.idToken << device.memoryInfo
                       << device.memoryUsed << "%";
    for (const QString &line : qAsConst(device.sessionsDescription))
        qDebug().noquote() << "   🔰" << line;
}

void SerialDevice::parseVitalsSummary(const QString &sessionPage)
{
    checkCRC8(sessionPage);
    const devicecodec::MemorySummary summary = devicecodec::decodeSummaryPage(sessionPage);
    // The page read now is the whole directory: rows of an earlier page (a directory since
    // erased) must not survive it.
    device.sessionsInfo = summary.rows;
    device.sessionsDescription.clear();
    device.memoryUsed = summary.memoryUsed;
    device.numberOfSessions = summary.numberOfSessions;
    device.numberOfRecords = summary.numberOfRecords;
    device.memoryInfo = summary.memoryInfo;
    for (int i = 0; i < device.sessionsInfo.size(); ++i)
        device.sessionsDescription.append(
            devicecodec::sessionDescription(i, device.sessionsInfo.at(i)));
}

int SerialDevice::checkCRC8(const QString &dataStringHex)
{
    // A diagnostic only: the page is never rejected on its check byte.
    qDebug().noquote() << "🟣 CRC:" << devicecodec::summaryCrcReport(dataStringHex);
    return 0;
}

// ---- The jobs

bool SerialDevice::refusesJob(const char *tag, const char *function) const
{
    if (device.busy)
        return true;
    // A download holds the device until the link is back to scanning (its pages, the erase's
    // acknowledgement and the restart are still to come): a new job would take them over.
    if (linkState == LinkState::DownloadVitals) {
        qDebug().noquote() << tag << function << "Refused: a download is running";
        return true;
    }
    // Only a device in working or boot mode is told how to start; any other would wait for
    // ever for a job that never began.
    if (device.mode != QLatin1String("WM") && device.mode != QLatin1String("BM")) {
        qDebug().noquote() << tag << function << "Refused: unknown device mode" << device.mode;
        return true;
    }
    return false;
}

int SerialDevice::downloadVitals()
{
    return startDownload(devicecodec::SessionTable());
}

int SerialDevice::startDownload(const devicecodec::SessionTable &inCloud,
                                const SyncLedger::InFlight &inFlight)
{
    if (refusesJob(downloadText.tag, Q_FUNC_INFO))
        return -1;
    // Nothing to read: no session listed, or the directory was erased by the last download
    // and the device has not been identified since.
    if (device.sessionsInfo.isEmpty() || device.numberOfSessions < 1) {
        qDebug() << "📝" << Q_FUNC_INFO << "Refused: the device lists no session to download";
        return -1;
    }
    enter(LinkState::DownloadVitals);
    // What the device said while idle answers nothing of the download.
    discardInput();
    carryOut(LinkState::DownloadVitals,
             download.begin(device.sessionsInfo, inCloud, inFlight, device.mode, device.UID,
                            linkGeneration, now(), stallTimeout));
    if (download.sessionsToRead() < download.sessionCount())
        qDebug().noquote() << "📝" << Q_FUNC_INFO
                           << download.sessionCount() - download.sessionsToRead()
                           << "session(s) in the cloud or on their way there are not read again";
    return 0;
}

void SerialDevice::parsVitalPage(QString page)
{
    carryOut(LinkState::DownloadVitals, download.page(page, now()));
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
        carryOut(LinkState::DownloadVitals, saved);
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
    carryOut(LinkState::DownloadVitals, step);
}

void SerialDevice::failDownload(const QString &why, const QString &userMessage)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << "Download abandoned:" << why
                       << "- back to scanning, the device memory untouched";
    download.abandon();
    // Told before the restart, so that whoever stops on the restart hears why first.
    emit vitalsDownloadFailed(userMessage);
    enter(LinkState::Scan);
    emit deviceInfoChanged();
}

int SerialDevice::updateFirmware(const QString &filename)
{
    if (refusesJob(flashingText.tag, Q_FUNC_INFO))
        return -1;
    QFile file(filename);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused: cannot open" << filename << ":"
                           << file.errorString();
        return -1;
    }
    const QByteArray image = file.readAll();
    file.close();
    // A damaged image is never written into the device.
    const devicecodec::FirmwareLines lines = devicecodec::cutFirmwareImage(image);
    if (!lines.ok()) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused:" << filename << ":" << lines.error;
        return -1;
    }
    enter(LinkState::UpdateFirmware);
    // What the device said before the job began answers nothing of the job.
    discardInput();
    carryOut(LinkState::UpdateFirmware,
             flashing.begin(lines.fLines, lines.cLines, device.mode, now(), stallTimeout));
    return 0;
}

// ---- Small commands and recovery

void SerialDevice::setTime()
{
    serial->write(devicecodec::setTimeCommand(QDateTime::currentDateTimeUtc()));
}

void SerialDevice::toggleBootMode()
{
    if (device.mode == QLatin1String("BM"))
        serial->write("Z\n");
    else if (device.mode == QLatin1String("WM"))
        serial->write("BTR");
}

void SerialDevice::sendCommand(QByteArray state)
{
    serial->write(state);
}

void SerialDevice::reboot()
{
    enter(LinkState::Scan);
}

void SerialDevice::retry()
{
    enter(LinkState::Scan);
}

void SerialDevice::scheduleRetry()
{
    const quint64 generation = linkGeneration;
    QTimer::singleShot(restartDelayMs, this, [this, generation] {
        // The link was restarted meanwhile (device lost, rebooted, identified again):
        // restarting once more would only cut off what it is doing now.
        if (generation == linkGeneration)
            retry();
    });
}

void SerialDevice::portError(QSerialPort::SerialPortError error)
{
    // Every open first clears the last error (NoError), and the scan logs each port it could
    // not open once (noteRefusedOpen) instead of a line or two a pass.
    if (error == QSerialPort::NoError || scanOpening)
        return;
    qDebug() << "🔴" << Q_FUNC_INFO << error;
    // The device is gone. macOS reports a pulled adapter as a resource error; on Linux a
    // hang-up makes every read fail, reported as a read error over and over. The port is
    // closed first so that no further error can arrive while the news is handed on.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (serial->isOpen())
        serial->close();
    clearRecord();
    emit deviceInfoChanged();
    enter(LinkState::Scan);
}
