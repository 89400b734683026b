// The flashing dialogue: the firmware image's F lines, then its C lines, each sent after the
// device's "OK", then the restart. Pure: lines and the time in, commands and events out.
#pragma once

#include "device/linkdialogue.h"

#include <QStringList>

class FlashingDialogue : public LinkDialogue
{
public:
    // What was sent last, and so what is awaited: the answer to the opening command, an "OK"
    // for each line, the restart message.
    enum class Step { Idle, Opening, SendingFLines, SendingCLines, AwaitingRestart };

    // Progress units: an F line weighs 10, a C line 1.
    static constexpr int fLineWeight = 10;

    // A flashing of the prepared lines into a device in mode "WM" or "BM".
    LinkStep begin(const QStringList &fLines, const QStringList &cLines, const QString &mode,
                   qint64 now, int stallTimeoutMs);
    // One of the device's answers.
    LinkStep line(const QByteArray &answer, qint64 now) override;
    // The device's "OK" and its restart message may come without a line end.
    bool wholeWhenQuiet() const override { return true; }
    bool awaitsPageText() const override { return false; }
    void abandon();

    Step step() const { return current; }

protected:
    QString awaitedText() const override;
    void end() override { abandon(); }

private:
    // Sends the next line of the list being sent and reports the progress.
    LinkStep sendLine(const QString &line, int progress, int maximum, qint64 now);

    Step current = Step::Idle;
    QStringList fLines;
    QStringList cLines;
    int lineIndex = 0;
};
