// The one small interface through which the link serves whichever dialogue its state runs:
// the device's lines and the time go in, a LinkStep comes out of each, and the link's stall
// timer follows the dialogue's deadline. The dialogues are pure: they never touch a port, a
// file or a clock; the link passes the time in milliseconds.
#pragma once

#include "device/linkstep.h"

#include <QByteArray>
#include <QString>

// A deadline that only progress moves: an awaited answer, or digits of awaited page text.
// Anything else a device says leaves it where it is.
class Watchdog
{
public:
    void arm(qint64 now, int timeoutMs)
    {
        interval = timeoutMs;
        due = now + timeoutMs;
    }
    void progress(qint64 now)
    {
        if (armed())
            due = now + interval;
    }
    void stop() { due = -1; }
    bool armed() const { return due >= 0; }
    bool expired(qint64 now) const { return armed() && now >= due; }
    // When it expires; -1 while it is not armed.
    qint64 deadline() const { return due; }
    int timeout() const { return interval; }

private:
    qint64 due = -1;
    int interval = 0;
};

class LinkDialogue
{
public:
    virtual ~LinkDialogue() = default;

    // One whole line of the device's text, its line feed included; where wholeWhenQuiet(),
    // also an answer without a line end once the line has gone quiet after it.
    virtual LinkStep line(const QByteArray &line, qint64 now) = 0;
    // Whether the answer awaited now may come without a line end.
    virtual bool wholeWhenQuiet() const = 0;
    // Whether page text (hex digits) is awaited now.
    virtual bool awaitsPageText() const = 0;

    // Hex digits arrived before their line is whole: progress while page text is awaited.
    void hexProgress(qint64 now)
    {
        if (awaitsPageText())
            watchdog.progress(now);
    }
    // The time: GaveUp once the watchdog expired, and the dialogue ends.
    LinkStep tick(qint64 now)
    {
        if (!watchdog.expired(now))
            return LinkStep();
        LinkStep step;
        step.event = LinkStep::Event::GaveUp;
        step.why = QStringLiteral("no answer for %1 ms while waiting for %2")
                       .arg(watchdog.timeout())
                       .arg(awaitedText());
        end();
        return step;
    }
    // When the watchdog expires; -1 while nothing is awaited.
    qint64 deadline() const { return watchdog.deadline(); }

protected:
    // Asks the device: an awaited answer came, so the watchdog starts again for the next.
    LinkStep ask(const QByteArray &command, qint64 now)
    {
        watchdog.arm(now, watchdog.timeout());
        LinkStep step;
        step.writes << command;
        return step;
    }
    // What is awaited now, in words for the log.
    virtual QString awaitedText() const = 0;
    // The dialogue ends where it is (its watchdog expired): nothing of it goes on.
    virtual void end() = 0;

    Watchdog watchdog;
};
