// The device link's states, discovery, identification, small commands and recovery.
#include "device/serialdevice.h"

#include "common/nultext.h"
#include "device/devicecodec.h"

#include <QDateTime>
#include <QDebug>

namespace {

// Which answer identifyDeviceHandler() expects next: 0 the name reply, 1 the MAC reply,
// 2 the ID reply, 3 pieces of the summary page. One identification at a time per process.
int identifyStep = 0;
// How often "ATI3" was repeated because the MAC came back as all zeros.
int macRetries = 0;

constexpr int scanIntervalMs = 1000;
// The pause before the link restarts after an unrecognised answer or a finished job.
constexpr int restartDelayMs = 1000;
// Working-mode firmware up to this version cannot be served.
constexpr int lastUnsupportedFirmware = 1293;
constexpr int maxMacRetries = 50;
// The summary page: 512 bytes as hex digits, fetched in halves of 512 digits.
constexpr int summaryHalfChars = 512;
constexpr int summaryChars = 1024;

// The identification's debug lines name the handler slot that runs the dialogue.
const char identifySignature[] = "void SerialDevice::identifyDeviceHandler()";

const QString zeroBle = QStringLiteral("K217-000000000000");
const QString noHealthData = QStringLiteral("No health data stored in the device");

// The device's "OK" to "ATD0" comes on its own, after the name reply or in front of the next
// reply. Leading "OK" lines (and white space) are not part of the reply being waited for.
QString withoutLeadingOk(const QString &text)
{
    int at = 0;
    for (;;) {
        while (at < text.size() && text.at(at).isSpace())
            ++at;
        if (text.midRef(at, 2) == QLatin1String("OK")
            && (at + 2 == text.size() || text.at(at + 2).isSpace())) {
            at += 2;
            continue;
        }
        return text.mid(at);
    }
}

} // namespace

SerialDevice::SerialDevice(QObject *parent, PortLister lister)
    : QObject(parent),
      serial(std::make_unique<QSerialPort>()),
      scanTimer(std::make_unique<QTimer>()),
      portLister(std::move(lister))
{
    serial->setBaudRate(QSerialPort::Baud115200);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    // A device that talks while nobody listens fills at most this much; the rest waits in
    // the system's buffers.
    serial->setReadBufferSize(maxUnreadBytes);

    scanTimer->setInterval(scanIntervalMs);
    scanTimer->start();

    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, [this] { stalled(); });
    replyQuietTimer.setSingleShot(true);
    connect(&replyQuietTimer, &QTimer::timeout, this, [this] { replyQuiet(); });

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

void SerialDevice::clearRecord()
{
    const QString keptPortName = device.portName;
    device = DeviceInfo();
    device.portName = keptPortName;
}

void SerialDevice::ClassStateHandler(const QString &state)
{
    QSerialPort *port = serial.get();
    // Unique connections: entering a state twice never makes a handler run twice per signal.
    const auto unique = Qt::UniqueConnection;

    if (state == QLatin1String("toScan")) {
        if (port->isOpen())
            port->close();
        clearRecord();
        device.busy = true;
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::identifyDeviceHandler);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::updateFirmwareHandler);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::downloadVitalsHandler);
        connect(scanTimer.get(), &QTimer::timeout, this, &SerialDevice::scanForDevices, unique);
        stopStall();
        // The port is closed: a reply cut off by it is gone with it.
        pendingReply.clear();
        replyQuietTimer.stop();
        // Nothing begun on the old link may act on the next one.
        ledger.clear();
        currentState = state;
        ++linkGeneration;
        emit linkRestarted();
        return;
    } else if (state == QLatin1String("toIdentify")) {
        disconnect(scanTimer.get(), &QTimer::timeout, this, &SerialDevice::scanForDevices);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::downloadVitalsHandler);
        connect(port, &QSerialPort::readyRead, this, &SerialDevice::identifyDeviceHandler, unique);
        // Every identification starts afresh, even when the last one was cut off.
        identifyStep = 0;
        macRetries = 0;
        discardInput();
        armStall(QStringLiteral("the name reply to \"ATN?\""));
        port->write("ATN?\n");
    } else if (state == QLatin1String("toIdle")) {
        device.busy = false;
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::identifyDeviceHandler);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::updateFirmwareHandler);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::downloadVitalsHandler);
        stopStall();
    } else if (state == QLatin1String("toUpdateFirmware")) {
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::identifyDeviceHandler);
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::downloadVitalsHandler);
        connect(port, &QSerialPort::readyRead, this, &SerialDevice::updateFirmwareHandler, unique);
        if (device.identified && !device.busy) {
            // What the device said before the job began answers nothing of the job.
            discardInput();
            fwStep = 0;
            if (device.mode == QLatin1String("BM")) {
                armStall(QStringLiteral("the answer to the flashing's opening command"));
                port->write("D\n");
            } else if (device.mode == QLatin1String("WM")) {
                armStall(QStringLiteral("the answer to the flashing's opening command"));
                port->write("BTR\n");
            }
        }
    } else if (state == QLatin1String("toDownloadVitals")) {
        disconnect(port, &QSerialPort::readyRead, this, &SerialDevice::identifyDeviceHandler);
        connect(port, &QSerialPort::readyRead, this, &SerialDevice::downloadVitalsHandler, unique);
        if (device.identified && !device.busy) {
            discardInput();
            if (device.mode == QLatin1String("BM")) {
                armStall(QStringLiteral("the answer to the download's opening command"));
                port->write("D\n");
            } else if (device.mode == QLatin1String("WM")) {
                armStall(QStringLiteral("the answer to the download's opening command"));
                port->write("BTR\n");
            }
        }
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
    qDebug() << "🟠" << Q_FUNC_INFO;
    const QList<PortEntry> ports = portLister ? portLister() : QList<PortEntry>();
    QStringList listed;
    for (const PortEntry &entry : ports) {
        if (!isDevicePort(entry))
            continue;
        listed.append(entry.systemLocation);
        if (serial->isOpen()) {
            // A further matching port in the same pass: the port is taken, so this open fails
            // and is only logged. The name of the port in use is kept.
            serial->open(QIODevice::ReadWrite);
            continue;
        }
        serial->setPortName(entry.systemLocation);
        if (!serial->open(QIODevice::ReadWrite)) {
            noteRefusedOpen(entry);
            continue;
        }
        forgetAllRefusals();
        device.connected = true;
        qDebug().noquote() << "🟡" << Q_FUNC_INFO
                           << "Found a device (possibly):" << entry.portName;
        device.portName = entry.portName;
        ClassStateHandler(QStringLiteral("toIdentify"));
        serial->write("ATD0\n");
    }
    forgetRefusals(listed);
}

bool SerialDevice::readInput()
{
    const QByteArray bytes = serial->readAll();
    // Hex digits of an awaited page are progress even before its line is whole; anything
    // else a device says is not.
    if (stallOnHexProgress) {
        for (const char c : bytes) {
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) {
                keepStallAlive();
                break;
            }
        }
    }
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
            qDebug().noquote() << "🔴" << Q_FUNC_INFO << why << "in state" << currentState
                               << "- restarting the link";
            ClassStateHandler(QStringLiteral("toScan"));
            emit deviceInfoChanged();
        }
        return false;
    }
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
    } else if (replyQuietElapsed && restWhenQuiet) {
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

void SerialDevice::replyQuiet()
{
    // The rest of a reply without a line break goes to the handler of the dialogue running.
    replyQuietElapsed = true;
    if (currentState == QLatin1String("toIdentify"))
        identifyDeviceHandler();
    else if (currentState == QLatin1String("toUpdateFirmware"))
        updateFirmwareHandler();
    else if (currentState == QLatin1String("toDownloadVitals"))
        downloadVitalsHandler();
    replyQuietElapsed = false;
}

void SerialDevice::identifyDeviceHandler()
{
    if (!readInput())
        return;
    // Each line is judged on its own, and only once it is whole: a reply that pauses in the
    // middle is never read in pieces. Once the dialogue has moved the link on, what is left
    // belongs to no step of it.
    const quint64 generation = linkGeneration;
    QByteArray bytes;
    while (generation == linkGeneration && takeLine(bytes, false)) {
        const QString text = textUpToNul(bytes);
        switch (identifyStep) {
        case 0:
            identifyName(text);
            break;
        case 1:
            identifyMac(text);
            break;
        case 2:
            identifyId(text);
            break;
        case 3:
            collectSummary(text);
            break;
        default:
            break;
        }
    }
}

void SerialDevice::identifyName(const QString &text)
{
    const QString reply = withoutLeadingOk(text);
    if (reply.trimmed().isEmpty()) {
        // Only the "OK" to "ATD0" (or white space): no name reply yet, and no reason to
        // restart. Should the name reply never come, the stall watchdog restarts the link.
        qDebug().noquote() << "❓" << identifyStep << identifySignature << text;
        return;
    }
    const QStringList tokens = devicecodec::replyTokens(reply);
    const bool working = reply.contains(QLatin1String("K217 W"));
    const bool boot = !working && reply.contains(QLatin1String("K217 B"));
    // A name reply is read up to its fourth token; a shorter one is not understood.
    if ((!working && !boot) || tokens.size() < 4) {
        qDebug().noquote() << "🔴" << identifyStep << identifySignature << text << "❓"
                           << "Retrying...";
        scheduleRetry();
        return;
    }

    // Fields the cloud will be told must be whole: a cut or garbled identity restarts the
    // identification instead.
    const bool wellFormed =
        working ? devicecodec::isDeviceUid(tokens.at(3)) : devicecodec::isBleDigits(tokens.at(3));
    if (!wellFormed) {
        qDebug().noquote() << "🔴" << identifyStep << identifySignature << text << "❓"
                           << "malformed identity - Retrying...";
        scheduleRetry();
        return;
    }

    device.mode = tokens.at(1);
    bool isNumber = false;
    device.fwVersion = tokens.at(2).toInt(&isNumber, 10);
    if (!isNumber)
        device.fwVersion = 0;

    if (working) {
        device.UID = tokens.at(3);
        if (device.fwVersion <= lastUnsupportedFirmware) {
            identifyStep = 0;
            discardInput();
            device.identified = true;
            ClassStateHandler(QStringLiteral("toIdle"));
            device.memoryInfo = noHealthData;
            emit notSupportedDevice();
            return;
        }
        identifyStep = 1;
        armStall(QStringLiteral("the MAC reply to \"ATI3\""));
        serial->write("ATI3\n");
        return;
    }

    device.nameBLE = QLatin1String("K217-") + tokens.at(3);
    if (device.nameBLE == zeroBle)
        device.nameBLE = QStringLiteral("UNKNOWN");
    identifyStep = 2;
    armStall(QStringLiteral("the ID reply to \"I\""));
    serial->write("I\n");
}

void SerialDevice::identifyMac(const QString &text)
{
    const QString reply = withoutLeadingOk(text);
    const QStringList tokens = devicecodec::replyTokens(reply);
    if (!reply.startsWith(QLatin1String("MAC")) || tokens.size() < 2) {
        qDebug().noquote() << "❓" << identifyStep << identifySignature << text;
        return;
    }
    if (!devicecodec::isBleDigits(tokens.at(1))) {
        qDebug().noquote() << "🔴" << identifyStep << identifySignature << text << "❓"
                           << "malformed identity - Retrying...";
        scheduleRetry();
        return;
    }
    device.nameBLE = QLatin1String("K217-") + tokens.at(1);
    if (device.nameBLE == zeroBle && macRetries >= maxMacRetries)
        device.nameBLE = QStringLiteral("UNKNOWN");
    if (device.nameBLE == zeroBle) {
        qDebug().noquote() << "❓" << identifyStep << identifySignature << text << macRetries;
        armStall(QStringLiteral("the MAC reply to \"ATI3\""));
        serial->write("ATI3\n");
        ++macRetries;
        return;
    }
    macRetries = 0;
    discardInput();
    identifyStep = 3;
    device.memoryInfo.clear();
    summaryPage.clear();
    armStall(QStringLiteral("the summary page, answer to \"ATA?\""), true);
    serial->write("ATA?\n");
}

void SerialDevice::identifyId(const QString &text)
{
    const QString reply = withoutLeadingOk(text);
    const QStringList tokens = devicecodec::replyTokens(reply);
    if (!reply.startsWith(QLatin1String("ID")) || tokens.size() < 2) {
        qDebug().noquote() << "❓" << identifyStep << identifySignature << text;
        return;
    }
    if (!devicecodec::isDeviceUid(tokens.at(1))) {
        qDebug().noquote() << "🔴" << identifyStep << identifySignature << text << "❓"
                           << "malformed identity - Retrying...";
        scheduleRetry();
        return;
    }
    device.idToken = tokens.at(0);
    device.UID = tokens.at(1);
    identifyStep = 3;
    device.memoryInfo.clear();
    summaryPage.clear();
    armStall(QStringLiteral("the first half of the summary page"), true);
    serial->write("R000FF000\n");
}

void SerialDevice::collectSummary(const QString &text)
{
    const int before = summaryPage.size();
    // White space may appear anywhere in the device's hex text and never counts towards the
    // page.
    summaryPage += text.simplified().remove(QLatin1Char(' '));
    const int count = summaryPage.size();

    if (count > before && !devicecodec::isHexText(summaryPage.mid(before))) {
        rejectSummary(QStringLiteral("the summary page holds text that is not hexadecimal"));
        return;
    }
    if (count < summaryChars) {
        if (count == summaryHalfChars && before < summaryHalfChars) {
            // Asked once: pieces that add nothing (a lone line feed) leave the count at 512
            // and must not ask again, or the extra halves would follow into the next job.
            armStall(QStringLiteral("the second half of the summary page"), true);
            serial->write("R000FF100\n");
        } else if (before < summaryHalfChars && count > summaryHalfChars
                   && device.mode == QLatin1String("BM")) {
            // A boot-mode device answers a read with exactly 512 digits: more is stray text,
            // and waiting for the page to fill up would wait for ever.
            rejectSummary(QStringLiteral("the first half of the summary page came with %1 "
                                         "characters instead of 512")
                              .arg(count));
        }
        return;
    }

    parseVitalsSummary(summaryPage);
    printDeviceInfo();
    identifyStep = 0;
    discardInput();
    device.identified = true;
    ClassStateHandler(QStringLiteral("toIdle"));
    emit deviceInfoChanged();
}

void SerialDevice::rejectSummary(const QString &why)
{
    qDebug().noquote() << "🔴" << identifyStep << identifySignature << why
                       << "- restarting the identification";
    ClassStateHandler(QStringLiteral("toScan"));
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
    // Every open first clears the last error (NoError), and only an open is refused: the
    // scan logs each refused port once (noteRefusedOpen) instead of two lines a pass.
    if (error == QSerialPort::NoError || error == QSerialPort::PermissionError)
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

void SerialDevice::armStall(const QString &awaitedAnswer, bool hexProgress)
{
    awaited = awaitedAnswer;
    stallOnHexProgress = hexProgress;
    stallTimer.start(stallTimeout);
}

void SerialDevice::keepStallAlive()
{
    if (stallTimer.isActive())
        stallTimer.start(stallTimeout);
}

void SerialDevice::stopStall()
{
    stallTimer.stop();
    stallOnHexProgress = false;
    awaited.clear();
}

void SerialDevice::stalled()
{
    qDebug().noquote() << "⏳" << Q_FUNC_INFO << "No answer for" << stallTimeout
                       << "ms while waiting for" << awaited << "in state" << currentState
                       << "- back to scanning, the device memory untouched";
    if (currentState == QLatin1String("toDownloadVitals")) {
        downloadStalled();
        return;
    }
    ClassStateHandler(QStringLiteral("toScan"));
    emit deviceInfoChanged();
}
