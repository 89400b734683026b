// The device link's pure dialogues as lines in and commands out, the watchdog, the randomized
// check that nothing unconfirmed is erased; which ports are the bridge's, refused, probed less.
#include "downloadexercise.h"
#include "testmain.h"

#include "device/identification.h"
#include "device/portlister.h"
#include "device/portrefusals.h"
#include "device/probebackoff.h"

#include <functional>
#include <random>

using Event = LinkStep::Event;
using Writes = QList<QByteArray>;

namespace {

const QString uid = QStringLiteral("4B21C07DE5A19F03");

// The device's answer to a download command; a data page holds its address's low byte upwards.
QByteArray deviceAnswer(const QByteArray &command, const devicecodec::SessionTable &shown)
{
    if (command == "BTR\n" || command == "D\n")
        return "OK\r\n";
    if (command == "E000FF000\n")
        return "ERASED OK\r\n";
    if (!command.startsWith('R'))
        return {};
    const quint32 address = command.mid(1, 8).toUInt(nullptr, 16);
    const QByteArray directory = testsupport::summaryPageHex(shown);
    if (address >= 0xFF000)
        return (address == 0xFF000 ? directory.left(512) : directory.mid(512)) + "\r\n";
    QByteArray page;
    for (quint32 i = 0; i < 256; ++i)
        page += QByteArray::number((address + i) & 0xFF, 16).rightJustified(2, '0');
    return page + "\r\n";
}

// Plays a script of "<step>=<yield>" words, each step through `play`, and checks the yields.
void playScript(const QString &script, const std::function<QString(const QString &)> &play)
{
    QStringList yields;
    for (const QString &step : script.split(' '))
        yields << play(step.section('=', 0, 0));
    QCOMPARE(script + " gave " + yields.join(' '),
             script + " gave " + QString(script).remove(QRegularExpression("[^ ]*=")));
}

} // namespace

class TestDialogues : public QObject
{
    Q_OBJECT

private slots:
    void identification()
    {
        // Lines after "ATN?" and "ATD0", the commands asked next, the end and the BLE name found.
        const auto check = [](const char *row, const QStringList &lines, const Writes &asked,
                              Event ends, const QString &nameBLE = QString()) {
            IdentificationDialogue dialogue;
            QCOMPARE(dialogue.start(0, 1000).writes, (Writes {"ATN?\n", "ATD0\n"}));
            Writes writes;
            Event last = Event::None;
            for (const QString &line : lines) {
                const LinkStep step = dialogue.line(line, 10);
                writes += step.writes;
                last = step.event;
            }
            QVERIFY2(writes == asked && last == ends, row);
            if (ends == Event::Identified)
                QVERIFY2(dialogue.identity().nameBLE == nameBLE && dialogue.deadline() == -1
                             && dialogue.identity().summaryPage.size() == 1024,
                         row);
        };
        // The cases a real device can play are in tst_link's identification table.
        const QString half = QString(512, QLatin1Char('F'));
        const QString name = QStringLiteral("K217 WM 1310 4B21C07DE5A19F03");
        const QString mac = QStringLiteral("MAC C8F09E4D21A7");
        check("working mode, 64-character UID, page in halves",
              {"K217 WM 1310 " + QString(64, QLatin1Char('A')), mac, half, half},
              {"ATI3\n", "ATA?\n", "R000FF100\n"}, Event::Identified, "K217-C8F09E4D21A7");
        check("firmware 1294 goes on", {"K217 WM 1294 4B21C07DE5A19F03"}, {"ATI3\n"}, Event::None);
        check("UID with a dash", {"K217 WM 1310 4B21-C07D"}, {}, Event::Unrecognised);
        check("UID not ASCII", {"K217 WM 1310 4B21\u00C9"}, {}, Event::Unrecognised);
        check("UID of 65 characters", {"K217 WM 1310 " + QString(65, QLatin1Char('A'))}, {},
              Event::Unrecognised);
        check("boot BLE id not hex", {"K217 BM 1000 C8F09E4D21AG"}, {}, Event::Unrecognised);
        check("cut BLE id", {name, "MAC C8F09E"}, {"ATI3\n"}, Event::Unrecognised);
        check("ID not letters and digits", {"K217 BM 1000 C8F09E4D21A7", "ID 77_A"}, {"I\n"},
              Event::Unrecognised);
    }

    // Where the watchdog expires (tst_link's rows show that chatter never moves it).
    void watchdogDeadline()
    {
        IdentificationDialogue dialogue;
        dialogue.start(0, 1000);
        dialogue.line(QStringLiteral("K217 WM 1310 4B21C07DE5A19F03"), 400);
        dialogue.line(QStringLiteral("MAC C8F09E4D21A7"), 400);
        dialogue.hexProgress(700); // digits of the awaited page, before their line is whole
        QCOMPARE(dialogue.deadline(), qint64(1700));
        QCOMPARE(dialogue.tick(1699).event, Event::None);
        QCOMPARE(dialogue.tick(1700).event, Event::GaveUp);
    }

    // Commands ("$d" directory halves, "$p" the four pages), sizes of the files handed over, the
    // end. Sessions of 22 records at 0x1A00 and 42 at 0x1C00; "in cloud": confirmed earlier.
    void download_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QList<int>>("inCloud");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("writes");
        QTest::addColumn<QString>("files");
        QTest::addColumn<int>("ends");
        const auto row = [](const char *name, const char *mode, const QList<int> &inCloud,
                            const char *fault, const char *writes, const char *files, Event ends) {
            QTest::newRow(name) << QString(mode) << inCloud << QString(fault)
                                << QString(writes)
                                       .replace("$d", "R000FF000 R000FF100")
                                       .replace("$p", "R00001A00 R00001B00 R00001C00 R00001D00")
                                << QString(files) << int(ends);
        };
        const char *whole = "BTR $d $p $d E000FF000 $d Z";
        row("working mode, every session read", "WM", {}, "", whole, "396 756",
            Event::ErasureProven);
        row("a session confirmed earlier is not read", "WM", {0}, "",
            "BTR $d R00001C00 R00001D00 $d E000FF000 $d Z", "756", Event::ErasureProven);
        row("all confirmed earlier: only the erase", "WM", {0, 1}, "", "BTR $d $d E000FF000 $d Z",
            "", Event::ErasureProven);
        row("directory misread before the first page", "WM", {}, "misread at start", "BTR $d", "",
            Event::DirectoryChanged);
        row("directory changed before the erase", "WM", {}, "changed before erase", "BTR $d $p $d",
            "396 756", Event::DirectoryChanged);
        row("still full after the erase", "WM", {}, "full after erase", whole, "396 756",
            Event::ErasureUnproven);
        row("a failed upload: no page after the one already asked for", "WM", {}, "upload fails",
            "BTR $d R00001A00 R00001B00 R00001C00", "396", Event::SessionReady);
    }

    void download()
    {
        QFETCH(QString, mode);
        QFETCH(QList<int>, inCloud);
        QFETCH(QString, fault);
        QFETCH(QString, writes);
        QFETCH(QString, files);
        QFETCH(int, ends);
        const devicecodec::SessionTable sessions {{1767225600u, 22, 0x1A00},
                                                  {1767229200u, 42, 0x1C00}};
        devicecodec::SessionTable confirmed;
        for (const int index : inCloud)
            confirmed.append(sessions.at(index));
        DownloadDialogue dialogue;
        QStringList written, handedOver;
        LinkStep step = dialogue.begin(sessions, confirmed, {}, mode, uid, 7, 0, 1000);
        Event last = step.event;
        QByteArrayList asked = step.writes;
        bool erased = false;
        int directoryReads = 0;
        while (!asked.isEmpty() && written.size() < 100) {
            const QByteArray command = asked.takeFirst();
            written << QString::fromLatin1(command).trimmed();
            erased = erased || command == "E000FF000\n";
            directoryReads += command == "R000FF000\n";
            devicecodec::SessionTable shown =
                erased && fault != "full after erase" ? devicecodec::SessionTable() : sessions;
            if ((fault == "misread at start" && directoryReads == 1)
                || (fault == "changed before erase" && directoryReads == 2))
                shown[0][1] = 52;
            const QByteArray answer = deviceAnswer(command, shown);
            step = answer.isEmpty() ? LinkStep() : dialogue.line(answer, 0);
            asked += step.writes;
            last = step.event == Event::None ? last : step.event;
            if (step.event != Event::SessionReady)
                continue;
            // Saved; the next session asked for; the upload answered before the device answers.
            const QString path = "/home/u/orvane/" + step.sessionName;
            handedOver << QString::number(step.sessionBytes.size());
            step = dialogue.sessionSaved(path, step.sessionBytes.size(), 0);
            QCOMPARE(step.event, Event::None);
            asked += step.writes;
            QCOMPARE(dialogue.uploadFinished(uid, 7, path, fault != "upload fails"),
                     SyncLedger::Verdict::Recorded);
            step = dialogue.moveOn(uid, 7, 0);
            asked += step.writes;
            last = step.event == Event::None ? last : step.event;
        }
        QCOMPARE(written.join(' '), writes);
        QCOMPARE(handedOver.join(' '), files);
        QCOMPARE(last, Event(ends));
    }

    // Sessions are read while earlier ones upload, two waiting at most; the erase awaits all.
    void downloadReadsAhead()
    {
        const devicecodec::SessionTable sessions {
            {1767225600u, 22, 0x1A00}, {1767229200u, 22, 0x1C00}, {1767232800u, 22, 0x1E00}};
        DownloadDialogue dialogue;
        QStringList saved;
        LinkStep step = dialogue.begin(sessions, {}, {}, "BM", uid, 7, 0, 1000);
        // The device answers until the dialogue waits; files are saved, uploads not answered.
        const auto readOn = [&] {
            QStringList written;
            for (int guard = 0; guard < 40 && !step.writes.isEmpty(); ++guard) {
                for (const QByteArray &command : qAsConst(step.writes))
                    written << command.trimmed();
                step = dialogue.line(deviceAnswer(step.writes.last(), sessions), 0);
                if (step.event == Event::SessionReady) {
                    saved << "/home/u/orvane/" + step.sessionName;
                    step = dialogue.sessionSaved(saved.last(), step.sessionBytes.size(), 0);
                }
            }
            return written.join(' ');
        };
        QCOMPARE(readOn(), "D R000FF000 R000FF100 R00001A00 R00001B00 R00001C00 R00001D00");
        QCOMPARE(saved.size(), 2);
        // A confirmation frees a place: the third session is read.
        QCOMPARE(dialogue.uploadFinished(uid, 7, saved.at(0), true), SyncLedger::Verdict::Recorded);
        step = dialogue.moveOn(uid, 7, 0);
        QCOMPARE(readOn(), "R00001E00 R00001F00");
        QCOMPARE(saved.size(), 3);
        // Confirmed out of order; the directory is read again only once all are.
        QCOMPARE(dialogue.uploadFinished(uid, 7, saved.at(2), true), SyncLedger::Verdict::Recorded);
        QVERIFY(dialogue.moveOn(uid, 7, 0).writes.isEmpty());
        QCOMPARE(dialogue.uploadFinished(uid, 7, saved.at(1), true), SyncLedger::Verdict::Recorded);
        QCOMPARE(dialogue.moveOn(uid, 7, 0).writes, Writes {"R000FF000\n"});

        // A session an earlier sync still uploads is not read, but awaited and holds a place.
        step = dialogue.begin(sessions, {sessions.at(0)}, {{sessions.at(1), "/earlier/1"}}, "BM",
                              uid, 8, 0, 1000);
        QCOMPARE(readOn(), "D R000FF000 R000FF100 R00001E00 R00001F00");
        QCOMPARE(dialogue.uploadFinished(uid, 8, saved.last(), true),
                 SyncLedger::Verdict::Recorded);
        QVERIFY(dialogue.moveOn(uid, 8, 0).writes.isEmpty());
        QCOMPARE(dialogue.uploadFinished(uid, 8, "/earlier/1", true),
                 SyncLedger::Verdict::Recorded);
        QCOMPARE(dialogue.moveOn(uid, 8, 0).writes, Writes {"R000FF000\n"});
    }

    void downloadNeverErasesUnconfirmed()
    {
        int erases = 0, confirmations = 0, proven = 0;
        for (uint32_t seed = 1; seed <= 3000; ++seed) {
            std::mt19937 random(seed);
            testsupport::DownloadExercise exercise(
                [&random](uint32_t bound) { return bound ? uint32_t(random() % bound) : 0u; });
            QVERIFY2(exercise.run(400),
                     qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(exercise.violation())));
            erases += exercise.erases();
            confirmations += exercise.sessionsConfirmed();
            proven += exercise.erasuresProven();
        }
        // The runs reach the end of downloads often enough for the properties to be tried.
        QVERIFY2(erases > 300 && confirmations > 500 && proven > 100,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(erases).arg(confirmations).arg(proven)));
    }

    void portMatching_data()
    {
        // The bridge's description or USB ids, on a port named as the platform names serial nodes.
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<bool>("matches");
        const QString node = QLatin1String(devicePortNamePrefix) + QStringLiteral("USB0");
        const QString otherNode = QString(devicePortNamePrefix) == QLatin1String("tty")
            ? QStringLiteral("cu.usbserial-1")
            : QStringLiteral("ttyUSB0");
        const auto row = [](const char *name, const QString &port, const char *description,
                            int vendor, int product, bool matches) {
            QTest::newRow(name) << port << QString::fromLatin1(description) << vendor << product
                                << matches;
        };
        row("description", node, "XR21B1411", 0, 0, true);
        row("ids, description reprogrammed", node, "RS-485 cable", 0x04E2, 0x1411, true);
        row("ids, no description", node, "", 0x04E2, 0x1411, true);
        row("another Exar bridge", node, "XR21V1410", 0x04E2, 0x1410, false);
        row("another vendor's product 1411", node, "", 0x0403, 0x1411, false);
        row("another adapter", node, "FT232R USB UART", 0x0403, 0x6001, false);
        row("description in lower case", node, "xr21b1411", 0, 0, false);
        row("description not at the start", node, "USB XR21B1411", 0, 0, false);
        row("description, other platform's name", otherNode, "XR21B1411", 0, 0, false);
        row("ids, other platform's name", otherNode, "", 0x04E2, 0x1411, false);
    }

    void portMatching()
    {
        QFETCH(QString, name);
        QFETCH(QString, description);
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(bool, matches);
        PortEntry entry {name, description, QStringLiteral("/dev/") + name};
        entry.vendorId = quint16(vendor);
        entry.productId = quint16(product);
        QCOMPARE(isDevicePort(entry), matches);
    }

    void probeBackoff()
    {
        // Two failures forgiven, then 2 s doubling to 60 s. "F<ms>" failed (yields the pause),
        // "P<ms>" may it be probed, "/<node>" not on node "a", "A" answered, "U" no longer listed.
        for (const QString script :
             {"F0=0 P0=y F1000=0 P1000=y F2000=2000 P3999=n P4000=y F4000=4000 P7999=n P8000=y",
              "F0=0 F1000=0 A=- F2000=0 F3000=0 F4000=2000",
              "F0=0 F0=0 F0=2000 F0=4000 P100=n P100/b=y F200/b=0 F300/b=0 F400/b=2000",
              "F0=0 F0=0 F0=2000 U=- P1=y F1=0", "F0=0 F0=0 F0=2000 F0/b=0 P1/b=y P1=y",
              "F0=0 F0=0 F0=2000 F0=4000 F0=8000 F0=16000 F0=32000 F0=60000 F0=60000 P59999=n"}) {
            ProbeBackoff backoff;
            playScript(script, [&backoff](const QString &step) -> QString {
                const qint64 ms = step.mid(1).section('/', 0, 0).toLongLong();
                const QByteArray node = step.contains('/') ? step.section('/', 1).toLatin1() : "a";
                if (step.startsWith('F'))
                    return QString::number(backoff.failed("p", node, ms));
                if (step.startsWith('P'))
                    return backoff.mayProbe("p", node, ms) ? "y" : "n";
                if (step.startsWith('A'))
                    backoff.answered("p");
                else
                    backoff.keepListed({"q"});
                return "-";
            });
        }
    }

    void portRefusals()
    {
        // "D:port" access denied and "B:port" held elsewhere give "n" when news; a pass listing
        // ports ("L:a,b") or a port opened ("O") gives "c" when the access refusal is over.
        for (const QString script :
             {"D:a=n L:a=- D:a=- L:=c D:a=n L:a=-", "D:a=n O=c O=-", "B:a=n L:a=- B:a=- L:=- O=-",
              "D:a=n B:a=n L:a=c D:a=n", "D:a=n D:b=n L:a,b=- L:b=- L:=c",
              "D:a=n B:b=n L:a,b=- L:b=c B:b=-"}) {
            PortRefusals refusals;
            playScript(script, [&refusals](const QString &step) -> QString {
                const QString port = step.mid(2);
                const bool denied = step.startsWith('D');
                if (denied || step.startsWith('B'))
                    return refusals.note(port, denied ? "denied" : "locked", denied) ? "n" : "-";
                if (step.startsWith('O'))
                    refusals.clear();
                else
                    refusals.keepListed(port.split(',', Qt::SkipEmptyParts));
                return refusals.accessDeniedOver() ? "c" : "-";
            });
        }
    }
};

ORVANE_TEST_MAIN(TestDialogues)
#include "tst_dialogues.moc"
