// The flashing dialogue: the firmware image's F lines, then its C lines, each sent after the
// device's "OK", then the restart. Pure: lines and the time in, commands and events out.
#pragma once

#include "device/linkstep.h"

#include <QStringList>

class FlashingDialogue
{
public:
    enum class Step { Idle, Opening, SendingFLines, SendingCLines, AwaitingRestart };
    enum class Awaiting { Nothing, OpeningAnswer, Acknowledgement };

    // Progress units: an F line weighs 10, a C line 1.
    static constexpr int fLineWeight = 10;

    // A flashing of the prepared lines into a device in mode "WM" or "BM".
    LinkStep begin(const QStringList &fLines, const QStringList &cLines, const QString &mode,
                   qint64 now, int stallTimeoutMs);
    // One whole line of the device's answers.
    LinkStep line(const QByteArray &answer, qint64 now);
    // The time: GaveUp once the watchdog expired.
    LinkStep tick(qint64 now);
    void abandon();

    Step step() const { return current; }
    Awaiting awaiting() const { return waitingFor; }
    qint64 deadline() const { return watchdog.deadline(); }
    static QString describe(Awaiting awaiting);

private:
    LinkStep send(const QByteArray &command, qint64 now);

    Step current = Step::Idle;
    Awaiting waitingFor = Awaiting::Nothing;
    Watchdog watchdog;
    QStringList fLines;
    QStringList cLines;
    int lineIndex = 0;
};
