// The identification dialogue: who the device is and what its memory holds. The name reply
// to "ATN?" says the mode; a working-mode device is then asked for its MAC ("ATI3") and its
// summary page ("ATA?"), a boot-mode device for its ID ("I") and the page in two reads
// ("R000FF000", "R000FF100"). Pure: lines and the time in, commands and events out.
#pragma once

#include "device/linkdialogue.h"

#include <QString>

class IdentificationDialogue : public LinkDialogue
{
public:
    // What the device is asked for, and so what it is waiting for: the name reply, the MAC
    // reply, the ID reply, the summary page (whole or by halves), nothing.
    enum class Step { Name, Mac, Id, Summary, Done };

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
    // One whole line of the device's text, decoded as UTF-8 up to a NUL byte.
    LinkStep line(const QByteArray &bytes, qint64 now) override;
    // One whole line of the device's text. A line the dialogue has no use for comes back as
    // the step's note.
    LinkStep line(const QString &text, qint64 now);
    // Every answer of the identification ends with a line feed.
    bool wholeWhenQuiet() const override { return false; }
    bool awaitsPageText() const override { return current == Step::Summary; }

    Step step() const { return current; }
    Identity identity() const { return found; }

protected:
    QString awaitedText() const override;
    void end() override;

private:
    LinkStep reply(const QString &text, qint64 now);
    LinkStep nameReply(const QString &text, qint64 now);
    LinkStep macReply(const QString &text, qint64 now);
    LinkStep idReply(const QString &text, qint64 now);
    LinkStep summaryText(const QString &text, qint64 now);
    LinkStep ended(LinkStep::Event event);

    Step current = Step::Done;
    int macRetries = 0;
    Identity found;
};
