// The identification dialogue: who the device is and what its memory holds. The name reply
// to "ATN?" says the mode; a working-mode device is then asked for its MAC ("ATI3") and its
// summary page ("ATA?"), a boot-mode device for its ID ("I") and the page in two reads
// ("R000FF000", "R000FF100"). Pure: lines and the time in, commands and events out.
#pragma once

#include "device/linkstep.h"

#include <QString>

class IdentificationDialogue
{
public:
    enum class Step { Name, Mac, Id, Summary, Done };
    // What the watchdog waits for.
    enum class Awaiting {
        Nothing,
        NameReply,
        MacReply,
        IdReply,
        SummaryPage, // the whole page to "ATA?", or its first half
        SummaryFirstHalf,
        SummarySecondHalf,
    };

    // What the device said about itself; complete once the dialogue ends Identified (the
    // first four fields already when it ends NotSupported).
    struct Identity
    {
        QString mode;
        int fwVersion = 0;
        QString UID;
        QString nameBLE; // "K217-" + 12 hex digits, or "UNKNOWN"
        QString idToken;
        QString summaryPage; // hex digits, 1024 or more
    };

    // How many times "ATI3" is repeated while the MAC comes back as all zeros.
    static constexpr int maxMacRetries = 50;

    // A new identification: "ATN?" and "ATD0".
    LinkStep start(qint64 now, int stallTimeoutMs);
    // One whole line of the device's text (decoded up to a NUL byte).
    LinkStep line(const QString &text, qint64 now);
    // Hex digits of the awaited summary page arrived, before their line is whole.
    void hexProgress(qint64 now);
    // The time: GaveUp once the watchdog expired.
    LinkStep tick(qint64 now);

    Step step() const { return current; }
    Awaiting awaiting() const { return waitingFor; }
    bool awaitsPageText() const;
    qint64 deadline() const { return watchdog.deadline(); }
    Identity identity() const { return found; }
    static QString describe(Awaiting awaiting);

private:
    LinkStep nameReply(const QString &text, qint64 now);
    LinkStep macReply(const QString &text, qint64 now);
    LinkStep idReply(const QString &text, qint64 now);
    LinkStep summaryText(const QString &text, qint64 now);
    LinkStep ask(const QByteArray &command, Awaiting next, qint64 now);

    Step current = Step::Done;
    Awaiting waitingFor = Awaiting::Nothing;
    Watchdog watchdog;
    int macRetries = 0;
    Identity found;
};
