// The identification dialogue fed the fuzzer's bytes as the device's lines. Whatever it is
// told, a device counts as identified only with a whole identity: a BLE name of 12 hex digits
// (or "UNKNOWN"), a UID of letters and digits, a mode token and a summary page of at
// least 1024 hex digits; and it never asks for anything but its own commands.
#include "device/devicecodec.h"
#include "device/identification.h"
#include "fuzzcheck.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QSet<QByteArray> commands {"ATN?\n", "ATD0\n",      "ATI3\n",     "I\n",
                                            "ATA?\n", "R000FF000\n", "R000FF100\n"};
    IdentificationDialogue dialogue;
    qint64 now = 0;
    dialogue.start(now, 1000);
    for (const QByteArray &line : fuzzBytes(data, size).split('\n')) {
        now += 10;
        const LinkStep step = dialogue.line(QString::fromUtf8(line), now);
        for (const QByteArray &write : step.writes)
            FUZZ_CHECK(commands.contains(write));
        if (step.event == LinkStep::Event::Identified) {
            const IdentificationDialogue::Identity who = dialogue.identity();
            // The mode is the token the name reply's marker "K217 W" or "K217 B" began.
            FUZZ_CHECK(who.mode.startsWith(QLatin1Char('W'))
                       || who.mode.startsWith(QLatin1Char('B')));
            FUZZ_CHECK(who.nameBLE == QLatin1String("UNKNOWN")
                       || (who.nameBLE.startsWith(QLatin1String("K217-"))
                           && devicecodec::isBleDigits(who.nameBLE.mid(5))));
            FUZZ_CHECK(devicecodec::isDeviceUid(who.UID));
            FUZZ_CHECK(who.summaryPage.size() >= devicecodec::summaryDigits
                       && devicecodec::isHexText(who.summaryPage));
            break;
        }
        if (step.event != LinkStep::Event::None)
            break;
    }
    return 0;
}
