// The vitals download against the emulated Brevia on a real pty: session files, progress,
// the read and erase commands, and every way a download can end without losing data.
#include "emulatorfixture.h"
#include "testmain.h"

#include "common/appfolder.h"
#include "device/serialdevice.h"

#include <QElapsedTimer>
#include <QFile>

using testsupport::EmulatorFixture;

Q_DECLARE_METATYPE(std::string)

namespace {

const QByteArray erase = "E000FF000\n";
constexpr uint32_t summaryAddress = 0x000FF000;

brevia::SessionSpec session(uint32_t startTime, uint16_t records)
{
    return brevia::SessionSpec {false, startTime, records, std::nullopt};
}

// Sessions of 22, 42 and 100 records, with a 21-record one (never listed) among them. The
// first lies at 0x1A00.
brevia::Scenario threeSessions()
{
    brevia::Scenario scenario;
    scenario.sessions = {session(1767225600u, 22), session(1767229200u, 21),
                         session(1767232800u, 42), session(1767236400u, 100)};
    return scenario;
}

QByteArrayList pageReads(const QByteArrayList &commands)
{
    QByteArrayList reads;
    for (const QByteArray &c : commands) {
        if (c.startsWith('R') && c != "R000FF000\n" && c != "R000FF100\n")
            reads.append(c);
    }
    return reads;
}

// Plays the window's part: after each session file, confirms its upload (queued, as a
// network reply would come) or, for the session numbered failAt, reports a failed upload.
struct Uploads
{
    QStringList fileNames;
    QStringList timeStamps;
    QStringList events; // "file", "done", "info" in the order the link emitted them

    Uploads(SerialDevice &link, int failAt = -1, int replyDelayMs = 0)
    {
        QObject::connect(
            &link, &SerialDevice::sessionDownloadDone, &link,
            [this, &link, failAt, replyDelayMs](const QString &fileName, const QString &timeStamp) {
                fileNames.append(fileName);
                timeStamps.append(timeStamp);
                events.append(QStringLiteral("file"));
                const bool fail = fileNames.size() - 1 == failAt;
                QTimer::singleShot(replyDelayMs, &link, [&link, fail, fileName] {
                    link.sessionUploadFinished(fileName, !fail);
                    if (fail)
                        link.reboot();
                    else
                        link.requestAddress();
                });
            });
        QObject::connect(&link, &SerialDevice::vitalsDownloadDone, &link,
                         [this] { events.append(QStringLiteral("done")); });
        QObject::connect(&link, &SerialDevice::deviceInfoChanged, &link,
                         [this] { events.append(QStringLiteral("info")); });
    }
};

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// A sound firmware image of one F block and one C block, for the refusals below.
QString firmwareImage()
{
    const QString path = applicationFolderPath() + QStringLiteral("/download-test.bin");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QByteArray("\x00\x01\x00\x00", 4) + QByteArray(256 + 64, '\x5A'));
    return path;
}

// Nothing more is written for a while: the negative checks below need a short settle.
void settle()
{
    QTest::qWait(300);
}

} // namespace

class TestVitalsDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeDownload();
    void pagesInPiecesReplaceFiles();
    void failedUploadKeepsEverything();
    void unplugMidSession();
    void strayTextAbandons_data();
    void strayTextAbandons();
    void unwritableSessionFile();
    void misbehavingDevice_data();
    void misbehavingDevice();
    void refusals();
};

void TestVitalsDownload::initTestCase()
{
    QVERIFY(testsupport::makeApplicationFolder());
}

void TestVitalsDownload::wholeDownload()
{
    EmulatorFixture emu(threeSessions());
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 3);
    QCOMPARE(link.getDevice().numberOfRecords, 164);

    Uploads uploads(link);
    QSignalSpy progress(&link, &SerialDevice::sessionDownloadProgress);
    QSignalSpy done(&link, &SerialDevice::vitalsDownloadDone);
    const int before = emu.commands().size();
    QCOMPARE(link.downloadVitals(), 0);
    // A confirmation before any session file was announced asks for nothing.
    link.requestAddress();
    QVERIFY(done.wait(10000));
    // Until the link is back to scanning the download holds the device: a flashing started
    // now would take the erase's acknowledgement and the restart would never be sent.
    QCOMPARE(link.updateFirmware(firmwareImage()), -1);

    // The directory shows no health data from the moment the erase was sent.
    QCOMPARE(uploads.events, (QStringList {"file", "file", "file", "done", "info"}));
    const DeviceInfo after = link.getDevice();
    QCOMPARE(after.memoryInfo, QStringLiteral("No health data stored in the device"));
    QCOMPARE(after.numberOfSessions, 0);
    QCOMPARE(after.memoryUsed, 0);
    QCOMPARE(link.downloadVitals(), -1); // nothing left until identified again

    // Files byte for byte as the device's records give them, named by start time.
    const size_t listed[] = {0, 2, 3};
    QCOMPARE(uploads.fileNames.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QString name = emu.expectedFileName(listed[i]);
        QCOMPARE(uploads.timeStamps.at(i), name);
        QCOMPARE(name.size(), 13);
        QCOMPARE(uploads.fileNames.at(i), applicationFolderPath() + QLatin1Char('/') + name);
        QCOMPARE(fileContent(uploads.fileNames.at(i)), emu.expectedFile(listed[i]));
    }

    // One progress report per record but the very last.
    QCOMPARE(progress.count(), 163);
    for (int i = 0; i < progress.count(); ++i) {
        QCOMPARE(progress.at(i).at(0).toInt(), i + 1);
        QCOMPARE(progress.at(i).at(1).toInt(), 164);
    }

    // The erase is acknowledged, the device told to restart once, then found afresh.
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.restartCount(), 1, 5000);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));
    QVERIFY(testsupport::waitForIdentified(link));
    const QByteArrayList sent = emu.commands().mid(before);
    QCOMPARE(sent.first(), QByteArray("BTR\n"));
    const QByteArrayList reads = pageReads(sent);
    QCOMPARE(reads.size(), 2 + 2 + 5);
    QCOMPARE(reads.at(0), QByteArray("R00001A00\n"));
    QCOMPARE(reads.at(1), QByteArray("R00001B00\n"));
    QCOMPARE(sent.count(erase), 1);
    QCOMPARE(emu.device.eraseCount(), 1);
    const int eraseAt = sent.indexOf(erase);
    QCOMPARE(sent.lastIndexOf(reads.last()), eraseAt - 1);
    QCOMPARE(sent.mid(eraseAt, 3), (QByteArrayList {erase, "Z\n", "ATN?\n"}));
    QCOMPARE(sent.count("Z\n"), 1);
    QCOMPARE(link.getDevice().numberOfSessions, 0);
    QCOMPARE(emu.memory(summaryAddress, 512), QByteArray(512, '\xFF'));
    QCOMPARE(link.downloadVitals(), -1);
    QVERIFY(emu.device.violations().empty());
}

void TestVitalsDownload::pagesInPiecesReplaceFiles()
{
    // A boot-mode device whose page text comes in pieces, with spaces and line breaks
    // sprinkled in (the summary page's reads too).
    brevia::Scenario scenario;
    scenario.mode = brevia::Mode::Boot;
    scenario.sessions = {session(1767225600u, 42), session(1767240000u, 22)};
    scenario.whitespace = brevia::Whitespace::PageReads;
    scenario.pieceSizes = {100, 37, 200};
    scenario.pieceGapMs = 5;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());

    // A file of the same name from an earlier run is replaced, not appended to.
    const QString stale = applicationFolderPath() + QLatin1Char('/') + emu.expectedFileName(0);
    {
        QFile file(stale);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(5000, 'x'));
    }

    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
    Uploads uploads(link);
    QSignalSpy done(&link, &SerialDevice::vitalsDownloadDone);
    QCOMPARE(link.downloadVitals(), 0);
    QVERIFY(done.wait(10000));
    QCOMPARE(uploads.fileNames.size(), 2);
    QCOMPARE(uploads.fileNames.at(0), stale);
    QCOMPARE(fileContent(uploads.fileNames.at(0)), emu.expectedFile(0));
    QCOMPARE(fileContent(uploads.fileNames.at(1)), emu.expectedFile(1));
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.eraseCount(), 1, 5000);
}

void TestVitalsDownload::failedUploadKeepsEverything()
{
    EmulatorFixture emu(threeSessions());
    QVERIFY(emu.start());
    const QByteArray directory = emu.memory(summaryAddress, 512);
    const QByteArray pages = emu.memory(0x1A00, 12 * 256);

    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    // The uploads take longer than the stall watchdog's interval: no answer is awaited
    // while an upload runs, so the watchdog must not end the download.
    link.setStallTimeout(300);
    Uploads uploads(link, 1, 600); // the second session's upload fails
    QCOMPARE(link.downloadVitals(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(uploads.fileNames.size(), 2, 10000);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));

    // The second file waits in the application folder; the device keeps all three.
    QCOMPARE(fileContent(uploads.fileNames.at(1)), emu.expectedFile(2));
    QCOMPARE(emu.count(erase), 0);
    QCOMPARE(emu.device.eraseCount(), 0);
    QCOMPARE(emu.memory(summaryAddress, 512), directory);
    QCOMPARE(emu.memory(0x1A00, 12 * 256), pages);

    // A confirmation that comes late, after the reboot, sends nothing.
    int sent = emu.commands().size();
    link.sessionUploadFinished(uploads.fileNames.at(1), true);
    link.requestAddress();
    settle();
    QCOMPARE(emu.commands().size(), sent);

    // Nor after the device was identified again.
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 3);
    sent = emu.commands().size();
    link.sessionUploadFinished(uploads.fileNames.at(1), true);
    link.requestAddress();
    settle();
    QCOMPARE(emu.commands().size(), sent);
    QCOMPARE(emu.device.eraseCount(), 0);
}

void TestVitalsDownload::unplugMidSession()
{
    // Pulled at the second page read of the first session: "ATN?", "ATD0", "ATI3", "ATA?",
    // "BTR", then the reads.
    brevia::Scenario scenario;
    scenario.sessions = {session(1767225600u, 42), session(1767240000u, 22)};
    scenario.unplugAfter = 7;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    Uploads uploads(link);
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QCOMPARE(link.downloadVitals(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 100));
    QVERIFY(!link.getDevice().connected);
    QVERIFY(uploads.fileNames.isEmpty());
    link.requestAddress(); // a late confirmation finds no download
    QCOMPARE(emu.device.eraseCount(), 0);

    // Back in: identified cleanly, everything still there, and a new download completes.
    QVERIFY(emu.device.plugIn());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
    QSignalSpy done(&link, &SerialDevice::vitalsDownloadDone);
    QCOMPARE(link.downloadVitals(), 0);
    QVERIFY(done.wait(10000));
    QCOMPARE(uploads.fileNames.size(), 2);
    QCOMPARE(fileContent(uploads.fileNames.at(0)), emu.expectedFile(0));
    QCOMPARE(fileContent(uploads.fileNames.at(1)), emu.expectedFile(1));
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.eraseCount(), 1, 5000);
}

void TestVitalsDownload::strayTextAbandons_data()
{
    QTest::addColumn<std::string>("strayText");
    QTest::newRow("not hexadecimal") << std::string("#?");
    QTest::newRow("hex digits") << std::string("AB");
}

void TestVitalsDownload::strayTextAbandons()
{
    QFETCH(std::string, strayText);
    brevia::Scenario scenario;
    scenario.sessions = {session(1767225600u, 42), session(1767240000u, 22)};
    scenario.strayText = strayText;
    scenario.strayReads = {2}; // the first session's second page
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    const QByteArray directory = emu.memory(summaryAddress, 512);
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    Uploads uploads(link);
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QCOMPARE(link.downloadVitals(), 0);

    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 5000));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(pageReads(emu.commands()).size(), 2);
    QVERIFY(uploads.fileNames.isEmpty());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
    QCOMPARE(emu.device.eraseCount(), 0);
    QCOMPARE(emu.memory(summaryAddress, 512), directory);
}

void TestVitalsDownload::unwritableSessionFile()
{
    brevia::Scenario scenario;
    scenario.sessions = {session(1767300000u, 22), session(1767340000u, 42)};
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    // A folder where the first session's file belongs.
    const QString blocked = applicationFolderPath() + QLatin1Char('/') + emu.expectedFileName(0);
    QVERIFY(QDir().mkpath(blocked));

    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    Uploads uploads(link);
    QSignalSpy failed(&link, &SerialDevice::vitalsDownloadFailed);
    QCOMPARE(link.downloadVitals(), 0);

    // The download ends at the session: no file announced, no further read, no erase, the
    // link back to scanning and the user told where saving failed.
    QVERIFY(failed.wait(5000));
    QVERIFY(failed.first().first().toString().contains(applicationFolderPath()));
    QVERIFY(failed.first().first().toString().contains(QLatin1String("Nothing was erased")));
    QCOMPARE(link.state(), QStringLiteral("toScan"));
    QVERIFY(uploads.fileNames.isEmpty());
    QCOMPARE(pageReads(emu.commands()).size(), 2);
    QVERIFY(QFileInfo(blocked).isDir()); // what stood there is left alone
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
    QCOMPARE(emu.device.eraseCount(), 0);
    QVERIFY(QDir(blocked).removeRecursively());
}

void TestVitalsDownload::misbehavingDevice_data()
{
    // Instead of an awaited answer the device keeps talking; the download ends within the
    // watchdog's interval, with the device erased only where every upload was confirmed.
    QTest::addColumn<std::string>("babbleAfter");
    QTest::addColumn<std::string>("babble");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<QString>("told"); // what the user is told
    QTest::newRow("status lines instead of a page")
        << std::string("R00001A00") << std::string("STATUS BATTERY 87%\r\n") << 100
        << "could not read";
    QTest::newRow("endless hex digits instead of a page")
        << std::string("R00001A00") << std::string(2000, '5') << 5 << "could not read";
    QTest::newRow("status lines instead of the erase's acknowledgement")
        << std::string("E000FF000") << std::string("STATUS BATTERY 87%\r\n") << 100
        << "safely in the cloud";
}

void TestVitalsDownload::misbehavingDevice()
{
    QFETCH(std::string, babbleAfter);
    QFETCH(std::string, babble);
    QFETCH(int, intervalMs);
    QFETCH(QString, told);
    brevia::Scenario scenario;
    scenario.sessions = {session(1767225600u, 22)};
    scenario.babbleAfter = babbleAfter;
    scenario.babble = babble;
    scenario.babbleIntervalMs = intervalMs;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    constexpr int stallMs = 800;
    link.setStallTimeout(stallMs);
    Uploads uploads(link);
    QSignalSpy failed(&link, &SerialDevice::vitalsDownloadFailed);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.downloadVitals(), 0);
    QVERIFY(failed.wait(5000));
    QVERIFY2(clock.elapsed() < stallMs + 1500, QByteArray::number(clock.elapsed()));
    QVERIFY2(failed.first().first().toString().contains(told),
             qPrintable(failed.first().first().toString()));
    QCOMPARE(link.state(), QStringLiteral("toScan"));
    QCOMPARE(emu.count(erase), babbleAfter == "E000FF000" ? 1 : 0);
}

void TestVitalsDownload::refusals()
{
    // Only a 21-record session: the device lists nothing to download.
    brevia::Scenario scenario;
    scenario.sessions = {session(1767225600u, 21)};
    EmulatorFixture emu(scenario);
    emu.device.setMuted(true);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());

    QCOMPARE(link.downloadVitals(), -1); // scanning
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QCOMPARE(link.downloadVitals(), -1); // identifying

    emu.device.setMuted(false);
    link.reboot();
    QVERIFY(testsupport::waitForIdentified(link));
    QVERIFY(link.getDevice().sessionsInfo.isEmpty());
    const int sent = emu.commands().size();
    QCOMPARE(link.downloadVitals(), -1); // empty table
    settle();
    QCOMPARE(emu.commands().size(), sent);
    QCOMPARE(link.state(), QStringLiteral("toIdle"));
}

ORVANE_TEST_MAIN(TestVitalsDownload)
#include "tst_vitals_download.moc"
