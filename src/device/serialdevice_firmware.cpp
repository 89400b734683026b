// Firmware flashing: the image cut into F and C lines, each sent after the device's "OK",
// then the restart and a fresh identification of the restarted device.
#include "device/serialdevice.h"

#include "device/devicecodec.h"

#include <QDebug>
#include <QFile>

namespace {
// Steps of the flashing dialogue.
enum FlashStep : int {
    opening = 0,
    sendingFLines = 1,
    sendingCLines = 2,
    awaitingRestart = 3,
};
// Progress units: an F line weighs 10, a C line 1.
constexpr int fLineWeight = 10;
} // namespace

int SerialDevice::updateFirmware(const QString &filename)
{
    // A download holds the device until the link is back to scanning (its pages, the erase's
    // acknowledgement and the restart are still to come): a flashing now would take them over.
    if (device.busy || currentState == QLatin1String("toDownloadVitals"))
        return -1;
    fwLineIndex = 0;
    fLines.clear();
    cLines.clear();
    // Only a device in working or boot mode is told how to start.
    if (device.mode != QLatin1String("WM") && device.mode != QLatin1String("BM")) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused: unknown device mode" << device.mode;
        return -1;
    }

    QFile file(filename);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused: cannot open" << filename << ":"
                           << file.errorString();
        return -1;
    }
    const QByteArray image = file.readAll();
    file.close();
    // A damaged image is never written into the device.
    devicecodec::FirmwareLines lines = devicecodec::cutFirmwareImage(image);
    if (!lines.ok()) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused:" << filename << ":" << lines.error;
        return -1;
    }
    fLines = std::move(lines.fLines);
    cLines = std::move(lines.cLines);

    ClassStateHandler(QStringLiteral("toUpdateFirmware"));
    device.busy = true;
    return 0;
}

void SerialDevice::updateFirmwareHandler()
{
    if (!readInput())
        return;
    const quint64 generation = linkGeneration;
    QByteArray answer;
    while (generation == linkGeneration && takeLine(answer))
        flashingAnswer(answer);
}

void SerialDevice::flashingAnswer(const QByteArray &answer)
{
    const bool acknowledged = answer.contains("OK");
    const int fCount = fLines.size();
    const int cCount = cLines.size();

    switch (fwStep) {
    case opening:
        // Every answer gets a "D"; only an acknowledgement is progress that buys more time.
        if (acknowledged) {
            fwStep = sendingFLines;
            armStall(QStringLiteral("the acknowledgement of \"D\""));
        }
        serial->write("D\n");
        break;
    case sendingFLines:
        if (!acknowledged)
            break;
        if (fwLineIndex < fCount) {
            armStall(QStringLiteral("the acknowledgement of F line %1").arg(fwLineIndex));
            serial->write(fLines.at(fwLineIndex).toUtf8());
            emit firmwareUpdateProgress(fwLineIndex * fLineWeight, fCount * fLineWeight + cCount);
            ++fwLineIndex;
        } else {
            fwLineIndex = 0;
            fwStep = sendingCLines;
            armStall(QStringLiteral("the acknowledgement of \"D\" after the F lines"));
            serial->write("D\n");
        }
        break;
    case sendingCLines:
        if (!acknowledged)
            break;
        if (fwLineIndex < cCount) {
            armStall(QStringLiteral("the acknowledgement of C line %1").arg(fwLineIndex));
            serial->write(cLines.at(fwLineIndex).toUtf8());
            ++fwLineIndex;
            emit firmwareUpdateProgress(fCount * fLineWeight + fwLineIndex,
                                        fCount * fLineWeight + cCount + 1);
        } else {
            fwStep = awaitingRestart;
            // The restart message is given its own second by the retry below.
            stopStall();
            serial->write("Z\n");
            scheduleRetry();
            emit firmwareUpdateProgress(1, 1);
            fwLineIndex = 0;
        }
        break;
    case awaitingRestart:
        qDebug() << "💬" << Q_FUNC_INFO << answer;
        if (answer.startsWith("BOOT")) {
            setTime();
            // Closing the port drops unwritten bytes: the clock must reach the device first.
            serial->flush();
            emit firmwareUpdateDone();
            device.busy = false;
            ClassStateHandler(QStringLiteral("toScan"));
        }
        break;
    default:
        break;
    }
}
