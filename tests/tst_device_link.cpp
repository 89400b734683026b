// The device link against the emulated Brevia on a real pty: discovery, identification in
// both modes and every reply shape, the small commands, and recovery from unplugging,
// garbage and silence.
#include "emulatorfixture.h"
#include "testmain.h"

#include "device/serialdevice.h"

#include <QElapsedTimer>
#include <QTemporaryFile>

using testsupport::EmulatorFixture;

Q_DECLARE_METATYPE(brevia::Mode)
Q_DECLARE_METATYPE(brevia::OkPlacement)
Q_DECLARE_METATYPE(std::string)

namespace {

const QByteArray atn = "ATN?\n";
const QByteArray atd0 = "ATD0\n";
const QByteArray ati3 = "ATI3\n";
const QByteArray ata = "ATA?\n";

brevia::Scenario withSessions()
{
    brevia::Scenario scenario;
    scenario.sessions = {
        {false, 1767225600u, 100, std::nullopt},
        {true, 0, 0, std::nullopt}, // an unused slot between used ones
        {false, 1767312000u, 22, std::nullopt},
        {false, 1767398400u, 21, std::nullopt}, // too short to be listed
    };
    return scenario;
}

} // namespace

class TestDeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void workingModeIdentification();
    void bootModeIdentification();
    void firmwareSupportBoundary_data();
    void firmwareSupportBoundary();
    void allZeroMac_data();
    void allZeroMac();
    void atd0OkPlacement_data();
    void atd0OkPlacement();
    void splitReplies_data();
    void splitReplies();
    void loneOkIsNoReasonToRestart();
    void summaryInPieces();
    void unrecognisedNameReply_data();
    void unrecognisedNameReply();
    void malformedSummary_data();
    void malformedSummary();
    void stallWatchdog();
    void misbehavingDevice_data();
    void misbehavingDevice();
    void malformedIdentity_data();
    void malformedIdentity();
    void lateTailIsNotAnAnswer();
    void lostDevice_data();
    void lostDevice();
    void portFilters();
    void uniqueConnections();
    void unknownModeStartsNoJob();
};

void TestDeviceLink::workingModeIdentification()
{
    EmulatorFixture emu(withSessions());
    QVERIFY2(emu.start(), emu.device.errorText().c_str());
    SerialDevice link(nullptr, emu.lister());
    QCOMPARE(link.state(), QStringLiteral("toScan"));
    QVERIFY(link.getDevice().busy);

    // What the window would see at the moment it is told.
    QString stateAtSignal;
    DeviceInfo atSignal;
    int changes = 0;
    connect(&link, &SerialDevice::deviceInfoChanged, this, [&] {
        ++changes;
        stateAtSignal = link.state();
        atSignal = link.getDevice();
    });
    QSignalSpy notSupported(&link, &SerialDevice::notSupportedDevice);

    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(changes, 1);
    QCOMPARE(stateAtSignal, QStringLiteral("toIdle"));
    QCOMPARE(notSupported.count(), 0);

    const DeviceInfo info = link.getDevice();
    QCOMPARE(atSignal.busy, false);
    QCOMPARE(info.portName, emu.bridgeEntry().portName);
    QCOMPARE(info.nameBLE, QStringLiteral("K217-C8F09E4D21A7"));
    QCOMPARE(info.UID, QStringLiteral("4B21C07DE5A19F03"));
    QCOMPARE(info.mode, QStringLiteral("WM"));
    QCOMPARE(info.fwVersion, 1310);
    QCOMPARE(info.idToken, QString());
    QCOMPARE(info.numberOfSessions, 2);
    QCOMPARE(info.numberOfRecords, 122);
    QCOMPARE(info.memoryUsed, 4);
    QCOMPARE(info.memoryInfo,
             QStringLiteral("2 sessions with\n2 minutes \nand 2 seconds duration"));
    QCOMPARE(info.sessionsInfo.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const brevia::SessionInfo s = emu.device.session(size_t(i == 0 ? 0 : 1));
        QCOMPARE(info.sessionsInfo.at(i),
                 (devicecodec::SessionRow {s.startTime, s.records, s.address}));
    }
    QCOMPARE(info.sessionsDescription.size(), 2);
    QVERIFY(info.sessionsDescription.at(1).startsWith(QLatin1String("Session:1 Start time:")));
    QVERIFY(info.connected);
    QVERIFY(info.identified);
    QVERIFY(!info.busy);
    QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0, ati3, ata}));

    // The clock: "ATW MM/dd/yy HH:mm:ss\n" in UTC, 22 bytes.
    const QDateTime before = QDateTime::currentDateTimeUtc();
    QVERIFY(QMetaObject::invokeMethod(&link, "setTime"));
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.clockSets().size(), size_t(1), 5000);
    const QDateTime after = QDateTime::currentDateTimeUtc();
    const QByteArray clockCommand = emu.commands().last();
    QCOMPARE(clockCommand.size(), 22);
    QVERIFY(clockCommand.startsWith("ATW ") && clockCommand.endsWith('\n'));
    const QString sent = QString::fromStdString(emu.device.clockSets().front());
    const QStringList candidates {before.toString(QStringLiteral("MM/dd/yy HH:mm:ss")),
                                  after.toString(QStringLiteral("MM/dd/yy HH:mm:ss"))};
    QVERIFY2(candidates.contains(sent), qPrintable(sent + " vs UTC " + candidates.join(',')));

    // Raw bytes go out unchanged, NUL bytes included.
    const QByteArray raw("A\0B\0\n", 5);
    link.sendCommand(raw);
    QTRY_VERIFY_WITH_TIMEOUT(emu.commands().contains(raw), 5000);

    // A working-mode device is asked into boot mode with the bare three bytes.
    link.toggleBootMode();
    QTRY_COMPARE_WITH_TIMEOUT(emu.commands().last(), QByteArray("BTR"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.mode(), std::string("BM"), 5000);
    QCOMPARE(link.state(), QStringLiteral("toIdle"));
    QCOMPARE(link.getDevice().mode, QStringLiteral("WM")); // learned again only by identifying
}

void TestDeviceLink::bootModeIdentification()
{
    brevia::Scenario scenario = withSessions();
    scenario.mode = brevia::Mode::Boot;
    scenario.firmwareVersion = 1000;
    scenario.ble = "000000000000";
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);

    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(changed.count(), 1);
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.mode, QStringLiteral("BM"));
    QCOMPARE(info.fwVersion, 1000); // no version test in boot mode
    QCOMPARE(info.nameBLE, QStringLiteral("UNKNOWN"));
    QCOMPARE(info.idToken, QStringLiteral("ID"));
    QCOMPARE(info.UID, QStringLiteral("4B21C07DE5A19F03"));
    QCOMPARE(info.numberOfSessions, 2);
    QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0, "I\n", "R000FF000\n", "R000FF100\n"}));

    // A boot-mode device is told to leave boot mode, which restarts it.
    link.toggleBootMode();
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.restartCount(), 1, 5000);
    QCOMPARE(emu.commands().last(), QByteArray("Z\n"));
    QVERIFY(emu.device.violations().empty());
}

void TestDeviceLink::firmwareSupportBoundary_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("supported");
    QTest::newRow("1293 too old") << 1293 << false;
    QTest::newRow("1294 served") << 1294 << true;
}

void TestDeviceLink::firmwareSupportBoundary()
{
    QFETCH(int, version);
    QFETCH(bool, supported);
    brevia::Scenario scenario;
    scenario.firmwareVersion = version;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QSignalSpy notSupported(&link, &SerialDevice::notSupportedDevice);

    QVERIFY(testsupport::waitForIdentified(link));
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.fwVersion, version);
    QCOMPARE(info.mode, QStringLiteral("WM"));
    QVERIFY(info.connected);
    QVERIFY(!info.busy);
    if (supported) {
        QCOMPARE(changed.count(), 1);
        QCOMPARE(notSupported.count(), 0);
        QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0, ati3, ata}));
    } else {
        QCOMPARE(notSupported.count(), 1);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(info.UID, QStringLiteral("4B21C07DE5A19F03"));
        QCOMPARE(info.nameBLE, QString());
        QCOMPARE(info.memoryInfo, QStringLiteral("No health data stored in the device"));
        QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0}));
        // Nothing to download from a device that cannot be served.
        QCOMPARE(link.downloadVitals(), -1);
    }
}

void TestDeviceLink::allZeroMac_data()
{
    QTest::addColumn<int>("zeroReplies");
    QTest::addColumn<QString>("nameBLE");
    QTest::newRow("50 zero replies") << 50 << QStringLiteral("K217-C8F09E4D21A7");
    QTest::newRow("51 zero replies") << 51 << QStringLiteral("UNKNOWN");
}

void TestDeviceLink::allZeroMac()
{
    QFETCH(int, zeroReplies);
    QFETCH(QString, nameBLE);
    brevia::Scenario scenario;
    scenario.zeroMacReplies = zeroReplies;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().nameBLE, nameBLE);
    QCOMPARE(emu.count(ati3), 51);
    QCOMPARE(emu.commands().last(), ata);
}

void TestDeviceLink::atd0OkPlacement_data()
{
    QTest::addColumn<brevia::Mode>("mode");
    QTest::addColumn<brevia::OkPlacement>("placement");
    QTest::newRow("WM, on its own") << brevia::Mode::Working << brevia::OkPlacement::Separate;
    QTest::newRow("WM, glued to the name reply")
        << brevia::Mode::Working << brevia::OkPlacement::GluedToName;
    QTest::newRow("WM, in front of the MAC reply")
        << brevia::Mode::Working << brevia::OkPlacement::GluedToNext;
    QTest::newRow("BM, in front of the ID reply")
        << brevia::Mode::Boot << brevia::OkPlacement::GluedToNext;
}

void TestDeviceLink::atd0OkPlacement()
{
    QFETCH(brevia::Mode, mode);
    QFETCH(brevia::OkPlacement, placement);
    brevia::Scenario scenario = withSessions();
    scenario.mode = mode;
    scenario.atd0Ok = placement;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.nameBLE, QStringLiteral("K217-C8F09E4D21A7"));
    QCOMPARE(info.UID, QStringLiteral("4B21C07DE5A19F03"));
    QCOMPARE(info.numberOfSessions, 2);
    QCOMPARE(emu.count(atn), 1); // through on the first attempt
}

void TestDeviceLink::splitReplies_data()
{
    QTest::addColumn<brevia::Mode>("mode");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("gapMs");
    QTest::newRow("WM, a 9600 baud line") << brevia::Mode::Working << 9600 << 0 << 0;
    QTest::newRow("BM, a 9600 baud line") << brevia::Mode::Boot << 9600 << 0 << 0;
    QTest::newRow("WM, pieces of 5 bytes") << brevia::Mode::Working << 0 << 5 << 10;
    QTest::newRow("BM, pieces of 5 bytes") << brevia::Mode::Boot << 0 << 5 << 10;
    // Longer than the quiet time between pieces: a reply must still never be cut.
    QTest::newRow("WM, 10-byte pieces 60 ms apart") << brevia::Mode::Working << 0 << 10 << 60;
    QTest::newRow("BM, 10-byte pieces 60 ms apart") << brevia::Mode::Boot << 0 << 10 << 60;
}

void TestDeviceLink::splitReplies()
{
    // Every reply reaches the link in several reads ("K217 W" + "M 1310 ..."): the link
    // waits for the whole reply instead of judging each piece, and gets through at once.
    QFETCH(brevia::Mode, mode);
    QFETCH(int, baud);
    QFETCH(int, pieceSize);
    QFETCH(int, gapMs);
    brevia::Scenario scenario = withSessions();
    scenario.mode = mode;
    scenario.baud = baud;
    if (pieceSize > 0) {
        // Slow pieces only at the start of each reply, where the identity is.
        scenario.pieceSizes = {size_t(pieceSize)};
        if (gapMs > scenario.replyGapMs)
            scenario.pieceSizes = {size_t(pieceSize), size_t(pieceSize), size_t(pieceSize), 4096};
        scenario.pieceGapMs = gapMs;
    }
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link, 15000));
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.mode,
             mode == brevia::Mode::Working ? QStringLiteral("WM") : QStringLiteral("BM"));
    QCOMPARE(info.fwVersion, 1310);
    QCOMPARE(info.nameBLE, QStringLiteral("K217-C8F09E4D21A7"));
    QCOMPARE(info.UID, QStringLiteral("4B21C07DE5A19F03"));
    QCOMPARE(info.numberOfSessions, 2);
    QCOMPARE(emu.count(atn), 1); // through on the first attempt
}

void TestDeviceLink::loneOkIsNoReasonToRestart()
{
    // The device answers "ATN?" with nothing but "OK": the link keeps waiting for a name
    // reply instead of restarting a second later, until the stall watchdog gives up.
    brevia::Scenario scenario;
    scenario.nameReply = "OK";
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    link.setStallTimeout(2500);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    QTest::qWait(1600); // past the one-second restart of an unrecognised reply
    QCOMPARE(link.state(), QStringLiteral("toIdentify"));
    QVERIFY(link.getDevice().connected);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 5000));
    QVERIFY(sinceOpen.elapsed() >= 2000);
    QCOMPARE(emu.count(atn), 1);
}

void TestDeviceLink::summaryInPieces()
{
    // Only the first half comes to "ATA?"; each reply arrives in pieces of 256 characters
    // and its line end as a lone carriage return and a lone line feed.
    brevia::Scenario scenario = withSessions();
    scenario.summaryFirstHalfOnly = true;
    scenario.pieceSizes = {256, 256, 1};
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0, ati3, ata, "R000FF100\n"}));
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.numberOfSessions, 2);
    QCOMPARE(info.numberOfRecords, 122);
}

void TestDeviceLink::unrecognisedNameReply_data()
{
    QTest::addColumn<QString>("nameReply");
    QTest::addColumn<brevia::OkPlacement>("placement");
    QTest::newRow("neither marker")
        << QStringLiteral("K218 XM 1310 4B21C07DE5A19F03") << brevia::OkPlacement::Separate;
    QTest::newRow("too few tokens")
        << QStringLiteral("K217 WM 1310") << brevia::OkPlacement::Separate;
    // The "OK" to "ATD0" in the same read must not make up the missing identifier.
    QTest::newRow("too few tokens, OK glued after")
        << QStringLiteral("K217 WM 1310") << brevia::OkPlacement::GluedToName;
}

void TestDeviceLink::unrecognisedNameReply()
{
    QFETCH(QString, nameReply);
    QFETCH(brevia::OkPlacement, placement);
    brevia::Scenario scenario;
    scenario.nameReply = nameReply.toStdString();
    scenario.atd0Ok = placement;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 5000));
    QVERIFY2(sinceOpen.elapsed() >= 900, QByteArray::number(sinceOpen.elapsed()));
    const DeviceInfo info = link.getDevice();
    QVERIFY(!info.connected);
    QVERIFY(info.busy);
    QCOMPARE(info.mode, QString());
    // Nothing but the opening commands; on a busy machine the next scan may have sent them
    // again already.
    const QByteArrayList commands = emu.commands();
    QCOMPARE(commands.mid(0, 2), (QByteArrayList {atn, atd0}));
    for (const QByteArray &command : commands)
        QVERIFY2(command == atn || command == atd0, command.constData());
    // The next scan opens the port again and starts over.
    QTRY_COMPARE_WITH_TIMEOUT(emu.count(atn), 2, 5000);
}

void TestDeviceLink::malformedSummary_data()
{
    QTest::addColumn<brevia::Mode>("mode");
    QTest::addColumn<std::string>("strayText");
    QTest::newRow("BM, non-hex after the first half") << brevia::Mode::Boot << std::string("#?");
    QTest::newRow("BM, hex digits past 512") << brevia::Mode::Boot << std::string("AB");
    QTest::newRow("WM, non-hex after the second half")
        << brevia::Mode::Working << std::string("#?");
}

void TestDeviceLink::malformedSummary()
{
    QFETCH(brevia::Mode, mode);
    QFETCH(std::string, strayText);
    brevia::Scenario scenario = withSessions();
    scenario.mode = mode;
    scenario.summaryFirstHalfOnly = true;
    scenario.strayText = strayText;
    scenario.strayReads = {1}; // only the first read of a page gets it
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QStringList states;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (states.isEmpty() || states.last() != link.state())
            states.append(link.state());
    });
    watch.start(5);

    // Thrown out at once and identified cleanly on the next attempt.
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(emu.count(atn), 2);
    QCOMPARE(states, (QStringList {"toScan", "toIdentify", "toScan", "toIdentify", "toIdle"}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(link.getDevice().numberOfSessions, 2);
}

void TestDeviceLink::stallWatchdog()
{
    // Replies trickle in: each piece of the summary page keeps the watchdog from firing,
    // although the whole page takes longer than its interval.
    brevia::Scenario scenario = withSessions();
    scenario.pieceSizes = {100};
    scenario.pieceGapMs = 120;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    link.setStallTimeout(400);
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(emu.count(atn), 1);

    // Not armed while idle.
    QTest::qWait(600);
    QCOMPARE(link.state(), QStringLiteral("toIdle"));

    // A device that falls silent in the middle of an identification.
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    const int answered = emu.commands().size() + 2;
    emu.device.adjust([answered](brevia::Scenario &s) { s.muteAfter = answered; });
    link.reboot();
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));
    QVERIFY(changed.count() >= 1);
    QVERIFY(!link.getDevice().connected);
    QCOMPARE(emu.commands().mid(emu.commands().size() - 3), (QByteArrayList {atn, atd0, ati3}));

    emu.device.adjust([](brevia::Scenario &s) { s.muteAfter.reset(); });
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().nameBLE, QStringLiteral("K217-C8F09E4D21A7"));
}

void TestDeviceLink::misbehavingDevice_data()
{
    // Instead of the answer awaited, the device keeps talking: the link gives up within the
    // stall watchdog's interval, and what it holds meanwhile stays small.
    QTest::addColumn<std::string>("babbleAfter");
    QTest::addColumn<std::string>("babble");
    QTest::addColumn<int>("intervalMs");
    QTest::newRow("status lines instead of the MAC reply")
        << std::string("ATI3") << std::string("STATUS BATTERY 87%\r\n") << 100;
    QTest::newRow("status lines instead of the summary")
        << std::string("ATA?") << std::string("STATUS BATTERY 87%\r\n") << 100;
    QTest::newRow("endless text without a line break")
        << std::string("ATI3") << std::string(2000, 'x') << 5;
    QTest::newRow("endless hex digits without a line break")
        << std::string("ATA?") << std::string(2000, '5') << 5;
}

void TestDeviceLink::misbehavingDevice()
{
    QFETCH(std::string, babbleAfter);
    QFETCH(std::string, babble);
    QFETCH(int, intervalMs);
    brevia::Scenario scenario = withSessions();
    scenario.babbleAfter = babbleAfter;
    scenario.babble = babble;
    scenario.babbleIntervalMs = intervalMs;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    constexpr int stallMs = 800;
    link.setStallTimeout(stallMs);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    const qint64 residentBefore = testsupport::residentBytes();
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 5000));
    const qint64 gaveUpAfter = sinceOpen.elapsed();
    QVERIFY2(gaveUpAfter < stallMs + 700, QByteArray::number(gaveUpAfter));
    QVERIFY(!link.getDevice().identified);
    const qint64 grown = testsupport::residentBytes() - residentBefore;
    QVERIFY2(grown < (16 << 20), QByteArray::number(grown));
    qInfo("gave up after %lld ms, resident memory grew by %lld KiB", gaveUpAfter, grown / 1024);
}

void TestDeviceLink::malformedIdentity_data()
{
    // A reply of the right kind whose identity is cut or garbled restarts the identification:
    // nothing half-read is ever sent to the cloud.
    QTest::addColumn<brevia::Mode>("mode");
    QTest::addColumn<std::string>("nameReply");
    QTest::newRow("boot mode, BLE id of 6 digits")
        << brevia::Mode::Boot << std::string("K217 BM 1310 C8F09E");
    QTest::newRow("boot mode, BLE id not hexadecimal")
        << brevia::Mode::Boot << std::string("K217 BM 1310 C8F09E4D21ZZ");
    QTest::newRow("working mode, UID with punctuation")
        << brevia::Mode::Working << std::string("K217 WM 1310 4B21-C07");
}

void TestDeviceLink::malformedIdentity()
{
    QFETCH(brevia::Mode, mode);
    QFETCH(std::string, nameReply);
    brevia::Scenario scenario = withSessions();
    scenario.mode = mode;
    scenario.nameReply = nameReply;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));
    QTRY_COMPARE_WITH_TIMEOUT(emu.count(atn), 2, 5000);
    QCOMPARE(changed.count(), 0);
    QVERIFY(!link.getDevice().identified);
    QCOMPARE(emu.count(ati3) + emu.count("I\n"), 0);
}

void TestDeviceLink::lateTailIsNotAnAnswer()
{
    // Text the device sent while the link was idle (the tail of a page, a blank line) is not
    // the answer to the next job's opening command, however late it arrives.
    brevia::Scenario scenario = withSessions();
    scenario.mode = brevia::Mode::Boot;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QSignalSpy files(&link, &SerialDevice::sessionDownloadDone);
    QSignalSpy failed(&link, &SerialDevice::vitalsDownloadFailed);
    emu.device.say("0123456789ABCDEF0123456789ABCDEF\r\n\r\n");
    QCOMPARE(link.downloadVitals(), 0);
    QVERIFY(files.wait(5000));
    QCOMPARE(failed.count(), 0);
    QCOMPARE(emu.count("R00001A00\n"), 1);
}

void TestDeviceLink::lostDevice_data()
{
    QTest::addColumn<bool>("whileIdentifying");
    QTest::newRow("identifying") << true;
    QTest::newRow("idle") << false;
}

void TestDeviceLink::lostDevice()
{
    QFETCH(bool, whileIdentifying);
    brevia::Scenario scenario = withSessions();
    if (whileIdentifying) {
        // Pulled at the tenth "ATI3" while the MAC still reads as zeros, with nine zero
        // replies used. A stale retry count would take "UNKNOWN" after the replug; a fresh
        // one reaches the device's real identifier on its 51st "ATI3".
        scenario.zeroMacReplies = 9 + 50;
        scenario.unplugAfter = 2 + 10;
    }
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());

    DeviceInfo atSignal;
    QString stateAtSignal;
    int changes = 0;
    connect(&link, &SerialDevice::deviceInfoChanged, this, [&] {
        ++changes;
        atSignal = link.getDevice();
        stateAtSignal = link.state();
    });

    if (whileIdentifying) {
        QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
        QTRY_VERIFY_WITH_TIMEOUT(!emu.device.plugged(), 5000);
    } else {
        QVERIFY(testsupport::waitForIdentified(link));
        changes = 0;
        emu.device.unplug();
    }
    QTRY_COMPARE_WITH_TIMEOUT(changes, 1, 5000);
    QCOMPARE(atSignal.connected, false);
    QCOMPARE(atSignal.identified, false);
    QCOMPARE(atSignal.nameBLE, QString());
    QCOMPARE(atSignal.numberOfSessions, 0);
    QVERIFY(atSignal.sessionsInfo.isEmpty());
    QCOMPARE(atSignal.portName, emu.bridgeEntry().portName);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 100));
    QVERIFY(link.getDevice().busy);

    // The hang-up is not left spinning.
    const qint64 cpuBefore = testsupport::cpuTimeMs();
    QTest::qWait(1000);
    const qint64 cpuUsed = testsupport::cpuTimeMs() - cpuBefore;
    QVERIFY2(cpuUsed < 200, QByteArray::number(cpuUsed) + " ms of CPU in one idle second");
    QCOMPARE(changes, 1);

    // Plugged in again: a new pty at the same link, identified from its first step.
    const int atnBefore = emu.count(atn);
    QVERIFY(emu.device.plugIn());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(emu.count(atn), atnBefore + 1);
    QCOMPARE(link.getDevice().nameBLE, QStringLiteral("K217-C8F09E4D21A7"));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
    if (whileIdentifying)
        QCOMPARE(emu.count(ati3), 10 + 51);
}

void TestDeviceLink::portFilters()
{
    EmulatorFixture emu(withSessions());
    QVERIFY(emu.start());
    PortEntry wrongDescription = emu.bridgeEntry();
    wrongDescription.description = QStringLiteral("FT232R USB UART");
    PortEntry wrongName = emu.bridgeEntry();
    wrongName.portName = QStringLiteral("xx.") + wrongName.portName;
    emu.setPorts({wrongDescription, wrongName});

    SerialDevice link(nullptr, emu.lister());
    QTRY_VERIFY_WITH_TIMEOUT(emu.scanPasses() >= 2, 5000);
    QVERIFY(emu.commands().isEmpty());
    QCOMPARE(link.state(), QStringLiteral("toScan"));
    QVERIFY(!link.getDevice().connected);

    // Two matching ports in one pass: the first is opened, the second fails to open and
    // leaves the link as it is.
    const PortEntry first = emu.bridgeEntry(QStringLiteral("-a"));
    const PortEntry second = emu.bridgeEntry(QStringLiteral("-b"));
    emu.setPorts({wrongDescription, first, second});
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().portName, first.portName);
    QCOMPARE(emu.commands(), (QByteArrayList {atn, atd0, ati3, ata}));
    QCOMPARE(link.getDevice().numberOfSessions, 2);
}

void TestDeviceLink::uniqueConnections()
{
    EmulatorFixture emu;
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));

    // One F block and two C blocks.
    QTemporaryFile image;
    QVERIFY(image.open());
    QByteArray bytes(4 + 256 + 128, '\x5A');
    bytes[0] = 0;
    bytes[1] = 1;
    bytes[2] = 0;
    bytes[3] = 0;
    image.write(bytes);
    image.close();

    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    const int start = emu.commands().size();
    QCOMPARE(link.updateFirmware(image.fileName()), 0);
    // Entering the job's state again connects nothing twice.
    QVERIFY(QMetaObject::invokeMethod(&link, "ClassStateHandler",
                                      Q_ARG(QString, QStringLiteral("toUpdateFirmware"))));
    QVERIFY(QMetaObject::invokeMethod(&link, "ClassStateHandler",
                                      Q_ARG(QString, QStringLiteral("toUpdateFirmware"))));
    QVERIFY(done.wait(5000));
    // Step 0 writes "D" after every answer: a handler running twice would write it twice.
    const QByteArrayList sent = emu.commands().mid(start, 4);
    QCOMPARE(sent.mid(0, 3), (QByteArrayList {"BTR\n", "D\n", "D\n"}));
    QVERIFY(sent.at(3).startsWith("F0000"));
    QCOMPARE(emu.count("D\n"), 3);
    QVERIFY(emu.device.violations().empty());
}

void TestDeviceLink::unknownModeStartsNoJob()
{
    // "K217 W" matches, but the mode token is neither "WM" nor "BM": no job could be told
    // how to start, so none is reported as started.
    brevia::Scenario scenario = withSessions();
    scenario.nameReply = "K217 WX 1310 4B21C07DE5A19F03";
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().mode, QStringLiteral("WX"));
    QCOMPARE(link.getDevice().numberOfSessions, 2);

    QTemporaryFile image;
    QVERIFY(image.open());
    image.write(QByteArray(4 + 64, '\0'));
    image.close();
    const int sent = emu.commands().size();
    QCOMPARE(link.downloadVitals(), -1);
    QCOMPARE(link.updateFirmware(image.fileName()), -1);
    QTest::qWait(200);
    QCOMPARE(emu.commands().size(), sent);
    QCOMPARE(link.state(), QStringLiteral("toIdle"));
}

ORVANE_TEST_MAIN(TestDeviceLink)
#include "tst_device_link.moc"
