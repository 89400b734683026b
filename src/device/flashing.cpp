#include "device/flashing.h"

#include "device/devicecodec.h"

LinkStep FlashingDialogue::begin(const QStringList &f, const QStringList &c, const QString &mode,
                                 qint64 now, int stallTimeoutMs)
{
    fLines = f;
    cLines = c;
    lineIndex = 0;
    current = Step::Opening;
    watchdog.arm(now, stallTimeoutMs);
    LinkStep step;
    step.writes << (mode == QLatin1String("BM") ? QByteArray("D\n") : QByteArray("BTR\n"));
    return step;
}

LinkStep FlashingDialogue::line(const QByteArray &answer, qint64 now)
{
    const bool acknowledged = devicecodec::isAcknowledgement(answer);
    const int fCount = fLines.size();
    const int cCount = cLines.size();
    switch (current) {
    case Step::Opening: {
        // Every answer gets a "D"; only an acknowledgement is progress that buys more time.
        if (!acknowledged) {
            LinkStep step;
            step.writes << "D\n";
            return step;
        }
        current = Step::SendingFLines;
        return ask("D\n", now);
    }
    case Step::SendingFLines: {
        if (!acknowledged)
            return LinkStep();
        // Progress counts the units sent before this line.
        if (lineIndex < fCount)
            return sendLine(fLines.at(lineIndex), lineIndex * fLineWeight,
                            fCount * fLineWeight + cCount, now);
        lineIndex = 0;
        current = Step::SendingCLines;
        return ask("D\n", now);
    }
    case Step::SendingCLines: {
        if (!acknowledged)
            return LinkStep();
        // Progress counts the units sent with this line, of one more than the image's.
        if (lineIndex < cCount)
            return sendLine(cLines.at(lineIndex), fCount * fLineWeight + lineIndex + 1,
                            fCount * fLineWeight + cCount + 1, now);
        // The restart message is given its own second by the link.
        current = Step::AwaitingRestart;
        watchdog.stop();
        lineIndex = 0;
        LinkStep step;
        step.writes << "Z\n";
        step.event = LinkStep::Event::ImageWritten;
        step.progress = 1;
        step.maximum = 1;
        return step;
    }
    case Step::AwaitingRestart: {
        LinkStep step;
        step.note = QString::fromLatin1(answer).trimmed();
        if (answer.startsWith("BOOT")) {
            current = Step::Idle;
            step.event = LinkStep::Event::Restarted;
        }
        return step;
    }
    case Step::Idle:
        break;
    }
    return LinkStep();
}

LinkStep FlashingDialogue::sendLine(const QString &line, int progress, int maximum, qint64 now)
{
    LinkStep step = ask(line.toUtf8(), now);
    step.event = LinkStep::Event::FlashingProgress;
    step.progress = progress;
    step.maximum = maximum;
    ++lineIndex;
    return step;
}

void FlashingDialogue::abandon()
{
    current = Step::Idle;
    watchdog.stop();
    lineIndex = 0;
}

QString FlashingDialogue::awaitedText() const
{
    switch (current) {
    case Step::Opening:
        return QStringLiteral("the answer to the flashing's opening command");
    case Step::SendingFLines:
    case Step::SendingCLines:
        return QStringLiteral("the device's \"OK\"");
    case Step::Idle:
    case Step::AwaitingRestart:
        break;
    }
    return QStringLiteral("nothing");
}
