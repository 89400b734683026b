#include "device/flashing.h"

#include "device/devicecodec.h"

LinkStep FlashingDialogue::begin(const QStringList &f, const QStringList &c, const QString &mode,
                                 qint64 now, int stallTimeoutMs)
{
    fLines = f;
    cLines = c;
    lineIndex = 0;
    current = Step::Opening;
    waitingFor = Awaiting::OpeningAnswer;
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
        waitingFor = Awaiting::Acknowledgement;
        return send("D\n", now);
    }
    case Step::SendingFLines: {
        if (!acknowledged)
            return LinkStep();
        if (lineIndex < fCount) {
            LinkStep step = send(fLines.at(lineIndex).toUtf8(), now);
            step.event = LinkStep::Event::FlashingProgress;
            step.progress = lineIndex * fLineWeight;
            step.maximum = fCount * fLineWeight + cCount;
            ++lineIndex;
            return step;
        }
        lineIndex = 0;
        current = Step::SendingCLines;
        return send("D\n", now);
    }
    case Step::SendingCLines: {
        if (!acknowledged)
            return LinkStep();
        if (lineIndex < cCount) {
            LinkStep step = send(cLines.at(lineIndex).toUtf8(), now);
            ++lineIndex;
            step.event = LinkStep::Event::FlashingProgress;
            step.progress = fCount * fLineWeight + lineIndex;
            step.maximum = fCount * fLineWeight + cCount + 1;
            return step;
        }
        // The restart message is given its own second by the link.
        current = Step::AwaitingRestart;
        waitingFor = Awaiting::Nothing;
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

LinkStep FlashingDialogue::send(const QByteArray &command, qint64 now)
{
    watchdog.arm(now, watchdog.timeout());
    LinkStep step;
    step.writes << command;
    return step;
}

LinkStep FlashingDialogue::tick(qint64 now)
{
    if (!watchdog.expired(now))
        return LinkStep();
    LinkStep step;
    step.event = LinkStep::Event::GaveUp;
    step.why = QStringLiteral("no answer for %1 ms while waiting for %2")
                   .arg(watchdog.timeout())
                   .arg(describe(waitingFor));
    abandon();
    return step;
}

void FlashingDialogue::abandon()
{
    current = Step::Idle;
    waitingFor = Awaiting::Nothing;
    watchdog.stop();
    lineIndex = 0;
}

QString FlashingDialogue::describe(Awaiting awaiting)
{
    switch (awaiting) {
    case Awaiting::Nothing:
        return QStringLiteral("nothing");
    case Awaiting::OpeningAnswer:
        return QStringLiteral("the answer to the flashing's opening command");
    case Awaiting::Acknowledgement:
        return QStringLiteral("the device's \"OK\"");
    }
    return QString();
}
