// Firmware flashing as the link carries it out: the image is read and cut into lines, the
// flashing dialogue says what to send when, and the restarted device is identified afresh.
#include "device/serialdevice.h"

#include "device/devicecodec.h"

#include <QDebug>
#include <QFile>

int SerialDevice::updateFirmware(const QString &filename)
{
    // A download holds the device until the link is back to scanning (its pages, the erase's
    // acknowledgement and the restart are still to come): a flashing now would take them over.
    if (device.busy || currentState == QLatin1String("toDownloadVitals"))
        return -1;
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
    const devicecodec::FirmwareLines lines = devicecodec::cutFirmwareImage(image);
    if (!lines.ok()) {
        qDebug().noquote() << "💬" << Q_FUNC_INFO << "Refused:" << filename << ":" << lines.error;
        return -1;
    }

    ClassStateHandler(QStringLiteral("toUpdateFirmware"));
    // What the device said before the job began answers nothing of the job.
    discardInput();
    flashingStep(flashing.begin(lines.fLines, lines.cLines, device.mode, now(), stallTimeout));
    device.busy = true;
    return 0;
}

void SerialDevice::updateFirmwareHandler()
{
    bool sawHexDigits = false;
    if (!readInput(&sawHexDigits))
        return;
    const quint64 generation = linkGeneration;
    QByteArray answer;
    while (generation == linkGeneration && takeLine(answer, true))
        flashingStep(flashing.line(answer, now()));
}

void SerialDevice::flashingStep(const LinkStep &step)
{
    write(step);
    followDeadline(flashing.deadline());
    if (!step.note.isEmpty())
        qDebug().noquote() << "💬"
                           << "void SerialDevice::updateFirmwareHandler()" << step.note;
    switch (step.event) {
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
        device.busy = false;
        ClassStateHandler(QStringLiteral("toScan"));
        break;
    case LinkStep::Event::GaveUp:
        qDebug().noquote() << "⏳"
                           << "void SerialDevice::updateFirmwareHandler()" << step.why
                           << "- back to scanning";
        ClassStateHandler(QStringLiteral("toScan"));
        emit deviceInfoChanged();
        break;
    default:
        break;
    }
}

void SerialDevice::flashingStalled()
{
    flashingStep(flashing.tick(now()));
}
