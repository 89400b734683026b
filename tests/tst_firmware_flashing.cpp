// Firmware flashing against the emulated Brevia on a real pty: the lines sent, the progress
// reported, the restart and the refusals that keep a damaged image out of the device.
#include "emulatorfixture.h"
#include "testmain.h"

#include "device/serialdevice.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

using testsupport::EmulatorFixture;

Q_DECLARE_METATYPE(brevia::Mode)

namespace {

using Progress = QList<QPair<int, int>>;

// A firmware image: byte 0 unused, N little-endian in bytes 1..3, N blocks of 256 bytes,
// then blocks of 64 bytes and a short tail that is never sent.
QByteArray makeImage(int fBlocks, int cBlocks, int tail = 0, int announced = -1)
{
    const int n = announced < 0 ? fBlocks : announced;
    QByteArray image;
    image.append(char(0x7E));
    image.append(char(n & 0xFF));
    image.append(char((n >> 8) & 0xFF));
    image.append(char((n >> 16) & 0xFF));
    const int body = fBlocks * 256 + cBlocks * 64 + tail;
    for (int i = 0; i < body; ++i)
        image.append(char((i * 37 + i / 256) & 0xFF));
    return image;
}

// What the device should hold: the blocks, without header and tail.
QByteArray blocksOf(const QByteArray &image, int fBlocks, int cBlocks)
{
    return image.mid(4, fBlocks * 256 + cBlocks * 64);
}

QByteArray flashed(const EmulatorFixture &emu)
{
    const std::vector<uint8_t> bytes = emu.device.flashedImage();
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

// Each command reduced to what tells it apart: "F0001", "C0004", or the whole command.
QStringList shapes(const QByteArrayList &commands)
{
    QStringList out;
    for (const QByteArray &c : commands) {
        if ((c.startsWith('F') || c.startsWith('C')) && c.size() > 64)
            out.append(QString::fromLatin1(c.left(5)));
        else
            out.append(QString::fromLatin1(c).trimmed());
    }
    return out;
}

Progress progressOf(const QSignalSpy &spy)
{
    Progress out;
    for (const QList<QVariant> &args : spy)
        out.append({args.at(0).toInt(), args.at(1).toInt()});
    return out;
}

} // namespace

class TestFirmwareFlashing : public QObject
{
    Q_OBJECT

private slots:
    void wholeFlash_data();
    void wholeFlash();
    void lateRestartMessage();
    void refusals();
    void unplugDuringFLines();
    void chattyDeviceDuringFLines();
    void imageWithoutFLines();

private:
    QString writeImage(const QByteArray &image, const QString &name = QStringLiteral("rev.bin"))
    {
        const QString path = files.path() + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return QString();
        return path;
    }

    QTemporaryDir files;
};

void TestFirmwareFlashing::wholeFlash_data()
{
    QTest::addColumn<brevia::Mode>("mode");
    // Up to F line 0: the opening command and the "D" after each answer of step 0.
    QTest::addColumn<QStringList>("opening");
    QTest::newRow("from working mode")
        << brevia::Mode::Working << QStringList {"BTR", "D", "D"}; // "ENTER BM" is no "OK"
    QTest::newRow("from boot mode") << brevia::Mode::Boot << QStringList {"D", "D"};
}

void TestFirmwareFlashing::wholeFlash()
{
    QFETCH(brevia::Mode, mode);
    QFETCH(QStringList, opening);
    brevia::Scenario scenario;
    scenario.mode = mode;
    scenario.newFirmwareVersion = 1320;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));

    const QByteArray image = makeImage(3, 5, 2);
    const QString path = writeImage(image);
    QSignalSpy progress(&link, &SerialDevice::firmwareUpdateProgress);
    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    const int start = emu.commands().size();
    QCOMPARE(link.updateFirmware(path), 0);

    // The link is busy for other jobs while the lines go out.
    QVERIFY(link.getDevice().busy);
    QCOMPARE(link.updateFirmware(path), -1);
    QCOMPARE(link.downloadVitals(), -1);

    QVERIFY(done.wait(10000));
    QElapsedTimer sinceRestart;
    sinceRestart.start();
    QCOMPARE(done.count(), 1);
    QCOMPARE(progressOf(progress),
             (Progress {{0, 35},
                        {10, 35},
                        {20, 35},
                        {31, 36},
                        {32, 36},
                        {33, 36},
                        {34, 36},
                        {35, 36},
                        {1, 1}}));
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 100));

    // The clock is set once the device announced its restart, and reaches it before the
    // port closes.
    QTRY_COMPARE_WITH_TIMEOUT(emu.device.clockSets().size(), size_t(1), 3000);
    const QStringList expected = opening + QStringList {"F0000", "F0001", "F0002", "D",     "C0000",
                                                        "C0001", "C0002", "C0003", "C0004", "Z"};
    const QByteArrayList sent = emu.commands().mid(start);
    QCOMPARE(shapes(sent.mid(0, expected.size())), expected);
    QVERIFY(sent.value(expected.size()).startsWith("ATW "));
    QCOMPARE(flashed(emu), blocksOf(image, 3, 5));
    QCOMPARE(emu.device.imagesReceived(), 1);

    // The restarted device is found again with its new version.
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().fwVersion, 1320);
    QCOMPARE(link.getDevice().mode, QStringLiteral("WM"));
    QCOMPARE(done.count(), 1);
    // The restart timer set with "Z" does not cut off the identification that followed.
    QVERIFY(QTest::qWaitFor([&] { return sinceRestart.elapsed() > 1300; }, 2000));
    QCOMPARE(link.state(), QStringLiteral("toIdle"));
    QCOMPARE(emu.commands().mid(start).count("ATN?\n"), 1);
    QVERIFY(emu.device.violations().empty());
}

void TestFirmwareFlashing::lateRestartMessage()
{
    brevia::Scenario scenario;
    scenario.restartDelayMs = 1500;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));

    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    QSignalSpy progress(&link, &SerialDevice::firmwareUpdateProgress);
    QCOMPARE(link.updateFirmware(writeImage(makeImage(1, 1))), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(1).toInt() == 1, 5000);
    QElapsedTimer sinceRestart;
    sinceRestart.start();
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));
    QVERIFY2(sinceRestart.elapsed() >= 900, QByteArray::number(sinceRestart.elapsed()));

    // Found again once the device is back, but the flashing is not reported as done.
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(done.count(), 0);
    QVERIFY(emu.device.clockSets().empty());
    QCOMPARE(emu.device.imagesReceived(), 1);
}

void TestFirmwareFlashing::refusals()
{
    EmulatorFixture emu;
    emu.device.setMuted(true);
    QVERIFY(emu.start());
    const QString good = writeImage(makeImage(1, 1), QStringLiteral("good.bin"));
    SerialDevice link(nullptr, emu.lister());

    QCOMPARE(link.updateFirmware(good), -1); // scanning
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toIdentify")));
    QCOMPARE(link.updateFirmware(good), -1); // identifying
    emu.device.setMuted(false);
    link.reboot();
    QVERIFY(testsupport::waitForIdentified(link));

    const struct
    {
        const char *what;
        QString path;
    } refused[] = {
        {"missing file", files.path() + QStringLiteral("/none.bin")},
        {"empty file", writeImage(QByteArray(), QStringLiteral("empty.bin"))},
        {"shorter than its header",
         writeImage(QByteArray("\x00\x01\x00", 3), QStringLiteral("short.bin"))},
        {"fewer F blocks than announced",
         writeImage(makeImage(1, 3, 0, 2), QStringLiteral("truncated.bin"))},
        {"no block at all", writeImage(makeImage(0, 0, 63), QStringLiteral("blockless.bin"))},
    };
    const int sent = emu.commands().size();
    for (const auto &image : refused) {
        QVERIFY2(link.updateFirmware(image.path) == -1, image.what);
        QVERIFY2(!link.getDevice().busy, image.what);
    }
    QTest::qWait(300);
    QCOMPARE(emu.commands().size(), sent);
    QCOMPARE(link.state(), QStringLiteral("toIdle"));
}

void TestFirmwareFlashing::unplugDuringFLines()
{
    // Pulled at F line 1: "ATN?", "ATD0", "ATI3", "ATA?", "BTR", "D", "D", F line 0, F line 1.
    brevia::Scenario scenario;
    scenario.unplugAfter = 9;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));

    const QByteArray image = makeImage(4, 2);
    const QString path = writeImage(image);
    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QCOMPARE(link.updateFirmware(path), 0);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 100));
    QVERIFY(!link.getDevice().connected);

    // Still in boot mode when it comes back; a second flashing goes through.
    QVERIFY(emu.device.plugIn());
    QVERIFY(testsupport::waitForIdentified(link));
    QCOMPARE(link.getDevice().mode, QStringLiteral("BM"));
    QCOMPARE(done.count(), 0);
    QCOMPARE(link.updateFirmware(path), 0);
    QVERIFY(done.wait(10000));
    QCOMPARE(flashed(emu), blocksOf(image, 4, 2));
    QCOMPARE(emu.device.imagesReceived(), 1);
}

void TestFirmwareFlashing::chattyDeviceDuringFLines()
{
    // The first F line is answered with status lines, never "OK": the flashing gives up
    // within the watchdog's interval instead of being kept alive by the chatter.
    brevia::Scenario scenario;
    scenario.babbleAfter = "F0000";
    scenario.babbleIntervalMs = 100;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));
    link.setStallTimeout(800);
    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    QCOMPARE(link.updateFirmware(writeImage(makeImage(4, 2))), 0);
    QTRY_VERIFY_WITH_TIMEOUT(emu.count("D\n") >= 2, 5000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(testsupport::waitForState(link, QStringLiteral("toScan"), 3000));
    QVERIFY2(clock.elapsed() < 1500, QByteArray::number(clock.elapsed()));
    QCOMPARE(done.count(), 0);
    QCOMPARE(emu.device.imagesReceived(), 0);
}

void TestFirmwareFlashing::imageWithoutFLines()
{
    brevia::Scenario scenario;
    scenario.mode = brevia::Mode::Boot;
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    QVERIFY(testsupport::waitForIdentified(link));

    const QByteArray image = makeImage(0, 3, 10);
    QSignalSpy progress(&link, &SerialDevice::firmwareUpdateProgress);
    QSignalSpy done(&link, &SerialDevice::firmwareUpdateDone);
    const int start = emu.commands().size();
    QCOMPARE(link.updateFirmware(writeImage(image)), 0);
    QVERIFY(done.wait(10000));
    QCOMPARE(shapes(emu.commands().mid(start, 7)),
             (QStringList {"D", "D", "D", "C0000", "C0001", "C0002", "Z"}));
    QCOMPARE(progressOf(progress), (Progress {{1, 4}, {2, 4}, {3, 4}, {1, 1}}));
    QCOMPARE(flashed(emu), blocksOf(image, 0, 3));
}

ORVANE_TEST_MAIN(TestFirmwareFlashing)
#include "tst_firmware_flashing.moc"
