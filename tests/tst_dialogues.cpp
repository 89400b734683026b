// The device link's pure dialogues: identification and flashing as tables of lines in and
// commands out, the watchdog that only progress moves, and a randomized check that the
// download never asks for the erase unless every session of that download was confirmed.
#include "downloadexercise.h"
#include "testmain.h"

#include "device/flashing.h"
#include "device/identification.h"

#include <QtTest>

#include <random>

using testsupport::DownloadExercise;

Q_DECLARE_METATYPE(LinkStep::Event)

namespace {

const QString page1024 = QString(1024, QLatin1Char('F'));

} // namespace

class TestDialogues : public QObject
{
    Q_OBJECT

private slots:
    void identification_data();
    void identification();
    void watchdogMovesOnProgressOnly();
    void flashing();
    void downloadNeverErasesUnconfirmed();
};

void TestDialogues::identification_data()
{
    // The lines the device sends after "ATN?" and "ATD0", and how the dialogue ends.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<QByteArray>>("asked"); // commands after the opening two
    QTest::addColumn<LinkStep::Event>("ends");
    QTest::addColumn<QString>("nameBLE");

    const QString name = QStringLiteral("K217 WM 1310 4B21C07DE5A19F03");
    const QString mac = QStringLiteral("MAC C8F09E4D21A7");
    QTest::newRow("working mode") << QStringList {QStringLiteral("OK"), name, mac, page1024}
                                  << QList<QByteArray> {"ATI3\n", "ATA?\n"}
                                  << LinkStep::Event::Identified
                                  << QStringLiteral("K217-C8F09E4D21A7");
    QTest::newRow("working mode, page in halves")
        << QStringList {name, mac, page1024.left(512), page1024.left(512)}
        << QList<QByteArray> {"ATI3\n", "ATA?\n", "R000FF100\n"} << LinkStep::Event::Identified
        << QStringLiteral("K217-C8F09E4D21A7");
    QTest::newRow("boot mode, zero BLE id")
        << QStringList {QStringLiteral("K217 BM 1000 000000000000"), QStringLiteral("ID 77AA"),
                        page1024.left(512), page1024.left(512)}
        << QList<QByteArray> {"I\n", "R000FF000\n", "R000FF100\n"} << LinkStep::Event::Identified
        << QStringLiteral("UNKNOWN");
    QTest::newRow("firmware 1293 is not supported")
        << QStringList {QStringLiteral("K217 WM 1293 4B21C07DE5A19F03")} << QList<QByteArray> {}
        << LinkStep::Event::NotSupported << QString();
    QTest::newRow("firmware 1294 goes on")
        << QStringList {QStringLiteral("K217 WM 1294 4B21C07DE5A19F03")}
        << QList<QByteArray> {"ATI3\n"} << LinkStep::Event::None << QString();
    QTest::newRow("neither marker")
        << QStringList {QStringLiteral("K218 XM 1310 4B21")} << QList<QByteArray> {}
        << LinkStep::Event::Unrecognised << QString();
    QTest::newRow("too few tokens")
        << QStringList {QStringLiteral("K217 WM 1310")} << QList<QByteArray> {}
        << LinkStep::Event::Unrecognised << QString();
    QTest::newRow("cut BLE id") << QStringList {name, QStringLiteral("MAC C8F09E")}
                                << QList<QByteArray> {"ATI3\n"} << LinkStep::Event::Unrecognised
                                << QString();
    QTest::newRow("status lines while the MAC is awaited")
        << QStringList {name, QStringLiteral("STATUS 87%"), QStringLiteral("OK")}
        << QList<QByteArray> {"ATI3\n"} << LinkStep::Event::None << QString();
    QTest::newRow("text in the summary page")
        << QStringList {name, mac, QStringLiteral("FFFF#?")}
        << QList<QByteArray> {"ATI3\n", "ATA?\n"} << LinkStep::Event::Broken << QString();
    QTest::newRow("boot mode, more than half a page in one read")
        << QStringList {QStringLiteral("K217 BM 1310 C8F09E4D21A7"), QStringLiteral("ID 77AA"),
                        page1024.left(514)}
        << QList<QByteArray> {"I\n", "R000FF000\n"} << LinkStep::Event::Broken << QString();
}

void TestDialogues::identification()
{
    QFETCH(QStringList, lines);
    QFETCH(QList<QByteArray>, asked);
    QFETCH(LinkStep::Event, ends);
    QFETCH(QString, nameBLE);
    IdentificationDialogue dialogue;
    const LinkStep opening = dialogue.start(0, 1000);
    QCOMPARE(opening.writes, (QList<QByteArray> {"ATN?\n", "ATD0\n"}));
    QList<QByteArray> writes;
    LinkStep::Event last = LinkStep::Event::None;
    for (const QString &line : lines) {
        const LinkStep step = dialogue.line(line, 10);
        writes += step.writes;
        last = step.event;
    }
    QCOMPARE(writes, asked);
    QCOMPARE(last, ends);
    if (ends == LinkStep::Event::Identified) {
        QCOMPARE(dialogue.identity().nameBLE, nameBLE);
        QVERIFY(dialogue.identity().summaryPage.size() >= 1024);
        QCOMPARE(dialogue.deadline(), qint64(-1));
    }
}

void TestDialogues::watchdogMovesOnProgressOnly()
{
    IdentificationDialogue dialogue;
    dialogue.start(0, 1000);
    dialogue.line(QStringLiteral("K217 WM 1310 4B21C07DE5A19F03"), 400); // awaited: re-armed
    QCOMPARE(dialogue.deadline(), qint64(1400));
    dialogue.line(QStringLiteral("STATUS 87%"), 900); // chatter: no time bought
    dialogue.line(QStringLiteral("OK"), 1300);
    QCOMPARE(dialogue.deadline(), qint64(1400));
    QCOMPARE(dialogue.tick(1399).event, LinkStep::Event::None);
    QCOMPARE(dialogue.tick(1400).event, LinkStep::Event::GaveUp);

    // Digits of an awaited page move it before their line is whole.
    dialogue.start(0, 1000);
    dialogue.line(QStringLiteral("K217 WM 1310 4B21C07DE5A19F03"), 0);
    dialogue.line(QStringLiteral("MAC C8F09E4D21A7"), 0);
    dialogue.hexProgress(700);
    QCOMPARE(dialogue.deadline(), qint64(1700));
}

void TestDialogues::flashing()
{
    // Two F lines and one C line into a working-mode device that acknowledges everything
    // after chatter at the start.
    FlashingDialogue dialogue;
    const QStringList f {QStringLiteral("F0000AA\n"), QStringLiteral("F0001BB\n")};
    const QStringList c {QStringLiteral("C0000CC\n")};
    QList<QByteArray> writes = dialogue.begin(f, c, QStringLiteral("WM"), 0, 1000).writes;
    QList<QPair<int, int>> progress;
    LinkStep::Event last = LinkStep::Event::None;
    for (const QByteArray &answer :
         {QByteArray("ENTER BM\r\n"), QByteArray("OK\r\n"), QByteArray("STATUS\r\n"),
          QByteArray("OK\r\n"), QByteArray("OK\r\n"), QByteArray("OK\r\n"), QByteArray("OK\r\n"),
          QByteArray("OK\r\n"), QByteArray("BOOT K217 1320\r\n")}) {
        const LinkStep step = dialogue.line(answer, 1);
        writes += step.writes;
        if (step.event == LinkStep::Event::FlashingProgress
            || step.event == LinkStep::Event::ImageWritten)
            progress.append({step.progress, step.maximum});
        last = step.event;
    }
    QCOMPARE(writes,
             (QList<QByteArray> {"BTR\n", "D\n", "D\n", "F0000AA\n", "F0001BB\n", "D\n",
                                 "C0000CC\n", "Z\n"}));
    QCOMPARE(progress, (QList<QPair<int, int>> {{0, 21}, {10, 21}, {21, 22}, {1, 1}}));
    QCOMPARE(last, LinkStep::Event::Restarted);
}

void TestDialogues::downloadNeverErasesUnconfirmed()
{
    // Thousands of runs: pages clean, cut, joined or with stray text; outcomes right, wrong,
    // late or missing; restarts and expiries in between.
    int erases = 0;
    int confirmations = 0;
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        DownloadExercise exercise(
            [&random](uint32_t bound) { return bound ? uint32_t(random() % bound) : 0u; });
        QVERIFY2(exercise.run(400),
                 qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(exercise.violation())));
        erases += exercise.erases();
        confirmations += exercise.sessionsConfirmed();
    }
    // The runs reach the end of downloads often enough for the property to be tried.
    qInfo("%d erases, %d confirmations over 3000 runs", erases, confirmations);
    QVERIFY(erases > 300);
    QVERIFY(confirmations > 1000);
}

ORVANE_TEST_MAIN(TestDialogues)
#include "tst_dialogues.moc"
