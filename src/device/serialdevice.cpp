// The device link's states, discovery, identification, small commands and recovery.
#include "device/serialdevice.h"

#include "common/nultext.h"
#include "device/devicecodec.h"
#include "device/portwatch.h"

#include <QDateTime>
#include <QDebug>

namespace {

// The pause before the link restarts after an unrecognised answer or a finished job.
constexpr int restartDelayMs = 1000;

// The identification's debug lines name the handler slot that runs the dialogue.
const char identifySignature[] = "void SerialDevice::identifyDeviceHandler()";

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

    connect(serial.get(), &QSerialPort::errorOccurred, this, &SerialDevice::portError);
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
    return currentState;
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

void SerialDevice::attachHandler(void (SerialDevice::*handler)(), void (SerialDevice::*onStall)())
{
    QSerialPort *port = serial.get();
    for (auto each : {&SerialDevice::identifyDeviceHandler, &SerialDevice::updateFirmwareHandler,
                      &SerialDevice::downloadVitalsHandler}) {
        disconnect(port, &QSerialPort::readyRead, this, each);
        disconnect(&replyQuietTimer, &QTimer::timeout, this, each);
    }
    for (auto each : {&SerialDevice::identificationStalled, &SerialDevice::flashingStalled,
                      &SerialDevice::downloadStalled})
        disconnect(&stallTimer, &QTimer::timeout, this, each);
    // Unique connections: entering a state twice never makes a handler run twice per signal.
    if (handler) {
        connect(port, &QSerialPort::readyRead, this, handler, Qt::UniqueConnection);
        connect(&replyQuietTimer, &QTimer::timeout, this, handler, Qt::UniqueConnection);
    }
    if (onStall)
        connect(&stallTimer, &QTimer::timeout, this, onStall, Qt::UniqueConnection);
}

void SerialDevice::ClassStateHandler(const QString &state)
{
    if (state == QLatin1String("toScan")) {
        if (serial->isOpen())
            serial->close();
        clearRecord();
        device.busy = true;
        attachHandler(nullptr, nullptr);
        connect(scanTimer.get(), &QTimer::timeout, this, &SerialDevice::scanForDevices,
                Qt::UniqueConnection);
        // A device that came or went is looked for at once, not at the next tick.
        if (PortWatch *watch = systemPortWatch())
            connect(watch, &PortWatch::changed, this, &SerialDevice::scanForDevices,
                    Qt::UniqueConnection);
        // The port is closed: a reply cut off by it is gone with it, and nothing begun on
        // the old link may act on the next one.
        pendingReply.clear();
        replyQuietTimer.stop();
        download.abandon();
        flashing.abandon();
        followDeadline(-1);
        currentState = state;
        ++linkGeneration;
        emit linkRestarted();
        return;
    }
    if (state == QLatin1String("toIdentify")) {
        disconnect(scanTimer.get(), &QTimer::timeout, this, &SerialDevice::scanForDevices);
        if (PortWatch *watch = systemPortWatch())
            disconnect(watch, &PortWatch::changed, this, &SerialDevice::scanForDevices);
        attachHandler(&SerialDevice::identifyDeviceHandler, &SerialDevice::identificationStalled);
        currentState = state;
        ++linkGeneration;
        discardInput();
        write(identification.start(now(), stallTimeout));
        // Armed now: a port whose device never sends a byte is given up on too.
        followDeadline(identification.deadline());
        return;
    }
    if (state == QLatin1String("toIdle")) {
        device.busy = false;
        attachHandler(nullptr, nullptr);
        followDeadline(-1);
    } else if (state == QLatin1String("toUpdateFirmware")) {
        attachHandler(&SerialDevice::updateFirmwareHandler, &SerialDevice::flashingStalled);
    } else if (state == QLatin1String("toDownloadVitals")) {
        attachHandler(&SerialDevice::downloadVitalsHandler, &SerialDevice::downloadStalled);
    } else {
        return;
    }
    currentState = state;
    ++linkGeneration;
}

void SerialDevice::scanForDevices()
{
    if (device.connected)
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
        ClassStateHandler(QStringLiteral("toIdentify"));
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

bool SerialDevice::readInput(bool *sawHexDigits)
{
    const QByteArray bytes = serial->readAll();
    pendingReply += bytes;
    const int unterminated = pendingReply.size() - 1 - pendingReply.lastIndexOf('\n');
    if (unterminated > maxLineBytes) {
        const QString why =
            QStringLiteral("the device sent %1 bytes without a line break").arg(unterminated);
        discardInput();
        if (currentState == QLatin1String("toDownloadVitals")) {
            failDownload(why,
                         QStringLiteral("The transfer stopped: the device sent data Orvane "
                                        "could not read. Nothing was erased from the "
                                        "device. Please try again."));
        } else {
            if (currentState == QLatin1String("toIdentify"))
                judgeProbe();
            qDebug().noquote() << "🔴" << Q_FUNC_INFO << why << "in state" << currentState
                               << "- restarting the link";
            ClassStateHandler(QStringLiteral("toScan"));
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

void SerialDevice::identifyDeviceHandler()
{
    bool sawHexDigits = false;
    if (!readInput(&sawHexDigits))
        return;
    if (sawHexDigits) {
        // Digits of the awaited summary page are progress even before their line is whole.
        identification.hexProgress(now());
        followDeadline(identification.deadline());
    }
    // Each line is judged on its own, and only once it is whole: a reply that pauses in the
    // middle is never read in pieces. Once the dialogue has moved the link on, what is left
    // belongs to no step of it.
    const quint64 generation = linkGeneration;
    QByteArray bytes;
    while (generation == linkGeneration && takeLine(bytes, false)) {
        const QString text = textUpToNul(bytes);
        const int step = int(identification.step());
        const LinkStep reaction = identification.line(text, now());
        if (reaction.event == LinkStep::Event::None && reaction.writes.isEmpty())
            qDebug().noquote() << "❓" << step << identifySignature << text;
        identificationStep(reaction);
    }
}

void SerialDevice::identificationStep(const LinkStep &step)
{
    if (step.event != LinkStep::Event::None)
        judgeProbe();
    write(step);
    followDeadline(identification.deadline());
    const IdentificationDialogue::Identity found = identification.identity();
    switch (step.event) {
    case LinkStep::Event::Unrecognised:
        qDebug().noquote() << "🔴" << int(identification.step()) << identifySignature << step.why
                           << "❓"
                           << "Retrying...";
        scheduleRetry();
        break;
    case LinkStep::Event::NotSupported:
        device.mode = found.mode;
        device.fwVersion = found.fwVersion;
        device.UID = found.UID;
        device.identified = true;
        ClassStateHandler(QStringLiteral("toIdle"));
        device.memoryInfo = QLatin1String(devicecodec::noHealthDataText);
        emit notSupportedDevice();
        break;
    case LinkStep::Event::Identified:
        device.mode = found.mode;
        device.fwVersion = found.fwVersion;
        device.UID = found.UID;
        device.nameBLE = found.nameBLE;
        device.idToken = found.idToken;
        summaryPage = found.summaryPage;
        parseVitalsSummary(summaryPage);
        printDeviceInfo();
        device.identified = true;
        ClassStateHandler(QStringLiteral("toIdle"));
        emit deviceInfoChanged();
        break;
    case LinkStep::Event::Broken:
        qDebug().noquote() << "🔴" << identifySignature << step.why
                           << "- restarting the identification";
        ClassStateHandler(QStringLiteral("toScan"));
        break;
    case LinkStep::Event::GaveUp:
        qDebug().noquote() << "⏳" << identifySignature << step.why
                           << "- back to scanning, the device memory untouched";
        ClassStateHandler(QStringLiteral("toScan"));
        emit deviceInfoChanged();
        break;
    default:
        break;
    }
}

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
    ClassStateHandler(QStringLiteral("toScan"));
}

void SerialDevice::retry()
{
    ClassStateHandler(QStringLiteral("toScan"));
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
    ClassStateHandler(QStringLiteral("toScan"));
}

void SerialDevice::identificationStalled()
{
    identificationStep(identification.tick(now()));
}
