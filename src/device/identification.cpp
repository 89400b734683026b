#include "device/identification.h"

#include "common/nultext.h"
#include "device/devicecodec.h"

namespace {

LinkStep event(LinkStep::Event event, const QString &why = QString())
{
    LinkStep step;
    step.event = event;
    step.why = why;
    return step;
}

QString bleName(const QString &digits)
{
    return QLatin1String("K217-") + digits;
}

} // namespace

LinkStep IdentificationDialogue::start(qint64 now, int stallTimeoutMs)
{
    // Every identification starts afresh, even when the last one was cut off.
    found = Identity();
    macRetries = 0;
    current = Step::Name;
    watchdog.arm(now, stallTimeoutMs);
    LinkStep step = ask("ATN?\n", now);
    // Its answer, if any, is read as a leading "OK" of a later reply.
    step.writes << "ATD0\n";
    return step;
}

LinkStep IdentificationDialogue::line(const QByteArray &bytes, qint64 now)
{
    return line(textUpToNul(bytes), now);
}

LinkStep IdentificationDialogue::line(const QString &text, qint64 now)
{
    LinkStep step = reply(text, now);
    if (step.event == LinkStep::Event::None && step.writes.isEmpty())
        step.note = text;
    return step;
}

LinkStep IdentificationDialogue::reply(const QString &text, qint64 now)
{
    switch (current) {
    case Step::Name:
        return nameReply(text, now);
    case Step::Mac:
        return macReply(text, now);
    case Step::Id:
        return idReply(text, now);
    case Step::Summary:
        return summaryText(text, now);
    case Step::Done:
        break;
    }
    return LinkStep();
}

LinkStep IdentificationDialogue::nameReply(const QString &text, qint64 now)
{
    const QString reply = devicecodec::withoutLeadingOk(text);
    // Only the "OK" to "ATD0" (or white space): no name reply yet, and no reason to restart.
    if (reply.trimmed().isEmpty())
        return LinkStep();
    const devicecodec::NameReply name = devicecodec::parseNameReply(reply);
    if (name.kind == devicecodec::NameReply::Kind::Unrecognised)
        return event(LinkStep::Event::Unrecognised, QStringLiteral("not a name reply"));
    // Fields the cloud will be told must be whole: a cut or garbled identity restarts.
    if (!name.wellFormed)
        return event(LinkStep::Event::Unrecognised, QStringLiteral("malformed identity"));

    found.mode = name.mode;
    found.fwVersion = name.fwVersion;
    if (name.kind == devicecodec::NameReply::Kind::Working) {
        found.UID = name.identity;
        if (found.fwVersion <= devicecodec::lastUnsupportedFirmware)
            return ended(LinkStep::Event::NotSupported);
        current = Step::Mac;
        return ask("ATI3\n", now);
    }
    found.nameBLE = bleName(name.identity);
    if (found.nameBLE == QLatin1String(devicecodec::zeroBleName))
        found.nameBLE = QLatin1String(devicecodec::unknownBleName);
    current = Step::Id;
    return ask("I\n", now);
}

LinkStep IdentificationDialogue::macReply(const QString &text, qint64 now)
{
    const devicecodec::KeyedReply mac =
        devicecodec::parseMacReply(devicecodec::withoutLeadingOk(text));
    if (!mac.recognised)
        return LinkStep(); // the answer to "ATD0", a status line: still waiting
    if (!mac.wellFormed)
        return event(LinkStep::Event::Unrecognised, QStringLiteral("malformed identity"));
    found.nameBLE = bleName(mac.value);
    if (found.nameBLE == QLatin1String(devicecodec::zeroBleName)) {
        if (macRetries < maxMacRetries) {
            ++macRetries;
            return ask("ATI3\n", now);
        }
        found.nameBLE = QLatin1String(devicecodec::unknownBleName);
    }
    macRetries = 0;
    current = Step::Summary;
    found.summaryPage.clear();
    LinkStep step = ask("ATA?\n", now);
    step.discardInput = true;
    return step;
}

LinkStep IdentificationDialogue::idReply(const QString &text, qint64 now)
{
    const devicecodec::KeyedReply id =
        devicecodec::parseIdReply(devicecodec::withoutLeadingOk(text));
    if (!id.recognised)
        return LinkStep();
    if (!id.wellFormed)
        return event(LinkStep::Event::Unrecognised, QStringLiteral("malformed identity"));
    found.idToken = id.key;
    found.UID = id.value;
    current = Step::Summary;
    found.summaryPage.clear();
    return ask("R000FF000\n", now);
}

LinkStep IdentificationDialogue::summaryText(const QString &text, qint64 now)
{
    using devicecodec::summaryDigits;
    using devicecodec::summaryHalfDigits;
    QString &page = found.summaryPage;
    const int before = page.size();
    // White space may appear anywhere in the device's hex text and never counts.
    page += text.simplified().remove(QLatin1Char(' '));
    const int count = page.size();
    if (count > before && !devicecodec::isHexText(page.mid(before)))
        return event(LinkStep::Event::Broken,
                     QStringLiteral("the summary page holds text that is not hexadecimal"));
    if (count > before)
        watchdog.progress(now);
    if (count >= summaryDigits)
        return ended(LinkStep::Event::Identified);
    if (count == summaryHalfDigits && before < summaryHalfDigits) {
        // Asked once: lines that add nothing leave the count at 512 and must not ask again,
        // or the extra halves would follow into the next job.
        return ask("R000FF100\n", now);
    }
    if (before < summaryHalfDigits && count > summaryHalfDigits
        && found.mode == QLatin1String("BM")) {
        // A boot-mode device answers a read with exactly 512 digits: more is stray text, and
        // waiting for the page to fill up would wait for ever.
        return event(LinkStep::Event::Broken,
                     QStringLiteral("the first half of the summary page came with %1 "
                                    "characters instead of 512")
                         .arg(count));
    }
    return LinkStep();
}

LinkStep IdentificationDialogue::ended(LinkStep::Event how)
{
    end();
    // Whatever the device sends from here on answers nothing of this dialogue.
    LinkStep step = event(how);
    step.discardInput = true;
    return step;
}

void IdentificationDialogue::end()
{
    current = Step::Done;
    watchdog.stop();
}

QString IdentificationDialogue::awaitedText() const
{
    switch (current) {
    case Step::Name:
        return QStringLiteral("the name reply to \"ATN?\"");
    case Step::Mac:
        return QStringLiteral("the MAC reply to \"ATI3\"");
    case Step::Id:
        return QStringLiteral("the ID reply to \"I\"");
    case Step::Summary:
        // The second half is asked for once the first 512 digits are in.
        if (found.summaryPage.size() >= devicecodec::summaryHalfDigits)
            return QStringLiteral("the second half of the summary page");
        if (found.mode == QLatin1String("BM"))
            return QStringLiteral("the first half of the summary page");
        return QStringLiteral("the summary page, answer to \"ATA?\"");
    case Step::Done:
        break;
    }
    return QStringLiteral("nothing");
}
