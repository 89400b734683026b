// The device link over a real pty to the emulated Brevia: identification, download and erase,
// flashing, lost devices, closed ports, ports that answer like no Brevia, the port watch.
#include "emulatorfixture.h"
#include "nodeaccess.h"
#include "testmain.h"

#include "brevia/commandline.h"
#include "common/appfolder.h"
#include "device/portwatch.h"

#include <QScopeGuard>
#include <QSerialPort>

#include <algorithm>
#include <optional>

using namespace testsupport;

namespace {

const QByteArray atn = "ATN?\n", atd0 = "ATD0\n", ati3 = "ATI3\n", ata = "ATA?\n";
const QByteArrayList wm {atn, atd0, ati3, ata}, bm {atn, atd0, "I\n", "R000FF000\n", "R000FF100\n"};
const QString status = QStringLiteral(" --babble STATUS BATTERY 87%\\n --babble-interval-ms 100");
const QString endless = QStringLiteral(" --babble-interval-ms 5 --babble ") + QString(2000, '5');
const QString ble = QStringLiteral("K217-C8F09E4D21A7");
// The links here look for the emulator's port this often instead of once a second.
constexpr int scanTickMs = 50;

template<typename... Cells>
void row(const char *name, const Cells &...cells)
{
    (QTest::newRow(name) << ... << cells);
}

// Sessions of 100 and 22 records, an unused slot, 21 records (never listed); then the options.
brevia::Scenario device(const QString &options)
{
    std::vector<std::string> arguments {"--session=1767225600:100", "--session=empty",
                                        "--session=1767312000:22", "--session=1767398400:21"};
    for (QString option : options.split(QStringLiteral("--"), Qt::SkipEmptyParts)) {
        option = option.trimmed();
        if (option.contains(' '))
            option[option.indexOf(' ')] = '=';
        arguments.push_back("--" + option.toStdString());
    }
    const brevia::CommandLine line = brevia::parseCommandLine(arguments);
    if (!line.error.empty())
        qFatal("%s", line.error.c_str());
    return line.scenario;
}

qint64 msBetween(brevia::TimePoint from, brevia::TimePoint to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// When the device was asked "ATN?", in milliseconds since the first time.
QList<qint64> probeTimes(const EmulatorFixture &emu)
{
    const QByteArrayList commands = emu.commands();
    const std::vector<brevia::TimePoint> times = emu.device.commandTimes();
    QList<qint64> probes;
    for (int i = 0; i < commands.size() && size_t(i) < times.size(); ++i) {
        if (commands[i] == atn)
            probes << msBetween(times.front(), times[i]);
    }
    return probes;
}

QStringList debugLines; // while a test captures them

int debugLinesTagged(const QString &tag)
{
    return int(std::count_if(debugLines.cbegin(), debugLines.cend(),
                             [&](const QString &line) { return line.startsWith(tag); }));
}

// An unused byte, the F block count (3 bytes), F blocks of 256, C blocks of 64, an unsent tail.
QByteArray firmware(int fBlocks, int cBlocks)
{
    const char header[] = {char(0x7E), char(fBlocks), 0, 0};
    QByteArray image(header, 4);
    for (int i = 0; i < fBlocks * 256 + cBlocks * 64 + 2; ++i)
        image.append(char((i * 37 + i / 256) & 0xFF));
    return image;
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDir().mkpath(applicationFolderPath())); }
    void identification_data();
    void identification();
    void download_data();
    void download();
    void flashing_data();
    void flashing();
    void portAccess();
    void doubtfulPort_data();
    void doubtfulPort();
    void portWatch();
};

void TestLink::identification_data()
{
    // The name identified ("": firmware too old to serve), or when the link scans again: after
    // the pause an unrecognised reply earns, at the watchdog, or at once.
    QTest::addColumn<QString>("options");
    QTest::addColumn<QByteArrayList>("sent");
    QTest::addColumn<QString>("outcome");
    const QByteArrayList halves = wm + QByteArrayList {"R000FF100\n"}, mac = wm.mid(0, 3);
    const QByteArrayList opening = wm.mid(0, 2), bmTwice = bm.mid(0, 4) + bm;
    QByteArrayList macs = mac;
    for (int i = 0; i < 50; ++i)
        macs << ati3;
    row("WM", "", wm, ble);
    row("BM, zero BLE id, old firmware", "--mode BM --fw 1000 --ble 000000000000", bm, "UNKNOWN");
    row("WM, firmware 1293", "--fw 1293", opening, "");
    row("unknown mode", "--name-reply K217 WX 1310 4B21C07DE5A19F03", wm, ble);
    row("BM, OK in front of the ID reply", "--mode BM --atd0-ok next", bm, ble);
    // Pauses longer than the quiet time a job's answer gets: an identity is never cut.
    row("WM, pieces 60 ms apart", "--pieces 10,10,10,4096 --piece-gap-ms 60", wm, ble);
    row("WM, summary by halves", "--summary-half --pieces 256,256,1", halves, ble);
    // Each piece of the summary page is progress, though the page takes longer than the watchdog.
    row("WM, summary trickling in", "--pieces 100 --piece-gap-ms 150", wm, ble);
    row("WM, 50 MACs of zeros", "--zero-mac 50", macs + QByteArrayList {ata}, ble);
    row("WM, 51 MACs of zeros", "--zero-mac 51", macs + QByteArrayList {ata}, "UNKNOWN");
    // Summary text that cannot be trusted restarts the identification at once.
    row("BM, non-hex after a summary half", "--mode BM --stray-read 1", bmTwice, ble);
    row("BM, hex past a summary half", "--mode BM --stray-read 1 --stray-text AB", bmTwice, ble);
    row("WM, non-hex after the second half", "--summary-half --stray-read 1", halves + halves, ble);
    row("name reply without K217", "--name-reply K218 XM 1310 4B21C07DE5A19F03", opening, "pause");
    // The "OK" to "ATD0" in the same read does not make up the missing identifier.
    row("name reply of three tokens", "--name-reply K217 WM 1310 --atd0-ok name", opening, "pause");
    row("nothing but OK to ATN?", "--name-reply OK", opening, "watchdog");
    row("status lines, no MAC reply", "--babble-after ATI3" + status, mac, "watchdog");
    row("status lines, no summary", "--babble-after ATA?" + status, wm, "at once");
    row("endless hex, no summary", "--babble-after ATA?" + endless, wm, "at once");
    // Pulled at the tenth "ATI3": a retry count kept over the replug would give "UNKNOWN".
    row("unplugged among MAC retries", "--zero-mac 59 --unplug-after 12", macs.mid(0, 12),
        "at once");
}

void TestLink::identification()
{
    QFETCH(QString, options);
    QFETCH(QByteArrayList, sent);
    QFETCH(QString, outcome);
    const brevia::Scenario scenario = device(options);
    const bool pause = outcome == "pause", watchdog = outcome == "watchdog";
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    SerialDevice link(nullptr, emu.lister());
    link.setScanInterval(scanTickMs);
    link.setStallTimeout(pause ? 3000 : watchdog ? 1500 : 1000);
    QSignalSpy notSupported(&link, &SerialDevice::notSupportedDevice);
    QSignalSpy changed(&link, &SerialDevice::deviceInfoChanged);
    QSignalSpy restarted(&link, &SerialDevice::linkRestarted);
    // The record as the first restart left it, before the next scan opens the port anew.
    std::optional<DeviceInfo> afterRestart;
    qint64 gaveUpAfter = -1; // since "ATN?"
    connect(&link, &SerialDevice::linkRestarted, this, [&] {
        if (afterRestart)
            return;
        afterRestart = link.getDevice();
        gaveUpAfter = msBetween(emu.device.commandTimes().front(), brevia::Clock::now());
    });

    if (pause || watchdog || outcome == "at once") {
        const qint64 residentBefore = residentBytes();
        QTRY_VERIFY_WITH_TIMEOUT(!restarted.isEmpty(), 8000);
        const int minMs = pause ? 900 : watchdog ? 1400 : 0;
        const int maxMs = pause ? 2000 : watchdog ? 2300 : 700;
        QVERIFY2(gaveUpAfter >= minMs && gaveUpAfter <= maxMs, QByteArray::number(gaveUpAfter));
        QCOMPARE(emu.commands().mid(0, sent.size()), sent); // and then, if anything, "ATN?" anew
        QCOMPARE(emu.commands().value(sent.size(), atn), atn);
        QVERIFY(!afterRestart->identified && !afterRestart->connected);
        QVERIFY2(residentBytes() - residentBefore < (16 << 20), "memory grew by 16 MiB or more");
        if (emu.device.plugged())
            return;
        // A hang-up is told once and not left spinning; plugged in again, the device is found.
        const qint64 cpuBefore = cpuTimeMs();
        QTest::qWait(1000);
        QVERIFY2(cpuTimeMs() - cpuBefore < 200, QByteArray::number(cpuTimeMs() - cpuBefore));
        QCOMPARE(changed.count(), 1);
        QVERIFY(emu.device.plugIn());
        QVERIFY(waitForIdentified(link));
        QCOMPARE(emu.count(ati3), 10 + 51);
        return;
    }
    QVERIFY(waitForIdentified(link, 15000));
    QCOMPARE(emu.commands(), sent);
    const bool served = !outcome.isEmpty();
    QCOMPARE(changed.count(), served ? 1 : 0);
    QCOMPARE(notSupported.count(), served ? 0 : 1);
    const DeviceInfo info = link.getDevice();
    QCOMPARE(info.mode, options.contains("WX") ? "WX" : brevia::modeText(scenario.mode));
    QCOMPARE(info.fwVersion, scenario.firmwareVersion);
    QCOMPARE(info.UID, QString::fromStdString(scenario.uid));
    QCOMPARE(info.nameBLE, outcome);
    QCOMPARE(info.idToken, info.mode == "BM" ? QStringLiteral("ID") : QString());
    QCOMPARE(info.numberOfRecords, served ? 122 : 0);
    // No download from a device not served or of unknown mode: what it wrote would come first.
    if (!served || info.mode == "WX")
        QCOMPARE(link.downloadVitals(), -1);
    link.sendCommand(atn);
    QTRY_COMPARE_WITH_TIMEOUT(emu.commands(), sent + QByteArrayList {atn}, 5000);
}

void TestLink::download_data()
{
    // Per file: 'c' confirmed, 'f' failed, 'o' confirms the file before, 'l' after a restart.
    // Ends: erased, held, kept (blocked: a folder in the file's place), lost, unacknowledged.
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("answers");
    QTest::addColumn<int>("reads"); // data pages read
    QTest::addColumn<QString>("end");
    row("BM, pages in pieces with white space",
        "--mode BM --whitespace reads --pieces 100,37,200 --piece-gap-ms 5", "cc", 7, "erased");
    row("an upload fails", "", "cf", 7, "held");
    row("a confirmation for another file", "", "co", 7, "held");
    row("a confirmation after a restart", "", "cl", 7, "held");
    // Page reads are counted from the directory's two halves, read before the first page.
    row("stray text between pages", "--stray-read 4", "", 2, "kept");
    row("endless hex instead of a page", "--babble-after R00001A00" + endless, "", 1, "kept");
    row("a folder where the session file goes", "", "", 5, "blocked");
    row("unplugged mid-session", "--unplug-after 9", "", 2, "lost");
    row("no acknowledgement", "--babble-after E000FF000" + status, "cc", 7, "unacknowledged");
}

void TestLink::download()
{
    QFETCH(QString, options);
    QFETCH(QString, answers);
    QFETCH(int, reads);
    QFETCH(QString, end);
    const brevia::Scenario scenario = device(options);
    EmulatorFixture emu(scenario);
    QVERIFY(emu.start());
    const QString folder = applicationFolderPath(), first = folder + '/' + emu.expectedFileName(0);
    auto cleanUp = qScopeGuard([&] { QDir().rmdir(first); });
    // A file of the same name from an earlier run is replaced, not appended to.
    QFile::remove(first);
    QVERIFY(end == "blocked" ? QDir().mkpath(first) : writeFile(first, QByteArray(5000, 'x')));
    const QByteArray directory = emu.memory(0x000FF000, 512);
    SerialDevice link(nullptr, emu.lister());
    link.setScanInterval(scanTickMs);
    QVERIFY(waitForIdentified(link));
    link.setStallTimeout(300); // shorter than an upload: none is awaited meanwhile

    // The window answers 450 ms after each file, as a network reply comes, and asks to move on.
    QStringList files, events;
    QSignalSpy restarted(&link, &SerialDevice::linkRestarted);
    connect(&link, &SerialDevice::sessionDownloadDone, this,
            [&](const QString &file, const QString &stamp) {
                files << file;
                events << stamp;
                const QChar how = answers.leftJustified(files.size(), 'c').at(files.size() - 1);
                const QString named = how == 'o' ? files.first() : file;
                QTimer::singleShot(450, &link, [&, how, named] {
                    if (how == 'l')
                        link.reboot();
                    link.sessionUploadFinished(named, how != 'f');
                    link.requestAddress();
                    events << "answered";
                });
            });
    connect(&link, &SerialDevice::vitalsDownloadDone, this, [&] { events << "done"; });
    // Identified anew after a failure (before the restart is seen here): told apart.
    connect(&link, &SerialDevice::deviceInfoChanged, this, [&] {
        const bool identifiedAnew = !restarted.isEmpty() && link.state() == "toIdle"
            && link.getDevice().numberOfSessions > 0;
        events << (identifiedAnew ? "identified" : "info");
    });
    QString message;
    qint64 gaveUpAfter = -1;
    connect(&link, &SerialDevice::vitalsDownloadFailed, this, [&](const QString &text) {
        message = text;
        gaveUpAfter = msBetween(emu.device.commandTimes().back(), brevia::Clock::now());
    });
    QSignalSpy progress(&link, &SerialDevice::sessionDownloadProgress);
    emu.device.say("0123456789ABCDEF0123456789ABCDEF\r\n\r\n"); // a late tail is no answer
    const int before = emu.commands().size();
    QCOMPARE(link.downloadVitals(), 0);
    QCOMPARE(link.downloadVitals(), -1);
    link.requestAddress(); // no file announced yet: asks for nothing
    if (end == "erased" || end == "held")
        QTRY_COMPARE_WITH_TIMEOUT(events.count("answered"), answers.size(), 10000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(restarted.count(), 1, 10000);

    if (end == "erased") {
        // Done only once the directory, read again after the erase, shows nothing.
        QTRY_COMPARE_WITH_TIMEOUT(events.count("done"), 1, 5000);
        // The second session was read while the first one's upload was on its way.
        QCOMPARE(events.mid(0, 6),
                 (QStringList {emu.expectedFileName(0), emu.expectedFileName(1), "answered",
                               "answered", "done", "info"}));
        // Nothing left to read, yet the device stays held until the link scans again.
        const QString image = testHome() + "/good.bin";
        QVERIFY(writeFile(image, firmware(1, 1)));
        QCOMPARE(link.getDevice().numberOfSessions, 0);
        QCOMPARE(link.downloadVitals() + link.updateFirmware(image), -2);
        QVERIFY(waitForIdentified(link));
    } else if (end == "held") {
        // The answer moves nothing on, and no watchdog ends the wait for the upload meanwhile.
        const int sentBefore = emu.commands().size();
        const auto movedOn = [&] {
            return emu.commands().size() > sentBefore || link.state() != "toDownloadVitals";
        };
        QVERIFY(answers.endsWith('l') || !QTest::qWaitFor(movedOn, 700));
    } else {
        // The device is shown without data only once a fresh read proved it empty.
        QCOMPARE(events.count("info"), 1);
        const QString told = end == "unacknowledged" ? "safely in the cloud" : "Nothing was erased";
        QVERIFY2(message.contains(told) == (end != "lost"), qPrintable(message));
        QVERIFY2(gaveUpAfter < 300 + 700, QByteArray::number(gaveUpAfter));
        // What stands in the way is named and left alone.
        QVERIFY(end != "blocked" || (message.contains(folder) && QFileInfo(first).isDir()));
    }

    // Opening, directory, pages, directory, erase, directory, restart; then identifications only.
    const QByteArrayList sent = emu.commands().mid(before);
    const QByteArrayList directoryRead {"R000FF000\n", "R000FF100\n"};
    QByteArrayList expected {scenario.mode == brevia::Mode::Boot ? "D\n" : "BTR\n"};
    expected << directoryRead;
    for (int page = 0; page < reads; ++page) // sessions 0 and 1 follow each other from 0x1A00
        expected << "R0000" + QByteArray::number(0x1A00 + page * 256, 16).toUpper() + '\n';
    if (answers == "cc")
        expected << directoryRead << "E000FF000\n";
    if (end == "erased")
        expected << directoryRead << "Z\n";
    QCOMPARE(sent.mid(0, expected.size()), expected);
    for (const QByteArray &command : sent.mid(expected.size()))
        QVERIFY2((wm + bm).contains(command), command.constData());
    QCOMPARE(emu.device.eraseCount(), end == "erased" ? 1 : 0);
    QCOMPARE(emu.memory(0x000FF000, 512), end == "erased" ? QByteArray(512, '\xFF') : directory);
    // The files, byte for byte as the device's records give them, named by their start time.
    QCOMPARE(files.size(), answers.size());
    for (int i = 0; i < files.size(); ++i) {
        QCOMPARE(files.at(i), folder + '/' + emu.expectedFileName(size_t(i)));
        QCOMPARE(readFile(files.at(i)), emu.expectedFile(size_t(i)));
    }
    // A report after each record but the download's very last.
    for (int i = 0; i < progress.count(); ++i)
        QCOMPARE(progress.at(i), (QVariantList {i + 1, 122}));
    QVERIFY(reads < 7 || progress.count() == 121);
}

void TestLink::flashing_data()
{
    // The commands sent, F and C lines by their first five characters; the progress reported.
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("fBlocks");
    QTest::addColumn<int>("cBlocks");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("progress");
    row("WM, whole image", "", 3, 5,
        "BTR D D F0000 F0001 F0002 D C0000 C0001 C0002 C0003 C0004 Z ATW",
        "0/35 10/35 20/35 31/36 32/36 33/36 34/36 35/36 1/1");
    row("BM, no F blocks", "--mode BM", 0, 3, "D D D C0000 C0001 C0002 Z ATW", "1/4 2/4 3/4 1/1");
    row("unplugged during F lines", "--unplug-after 9", 4, 2, "BTR D D F0000 F0001", "0/42 10/42");
    row("chatty during F lines", "--babble-after F0000" + status, 4, 2, "BTR D D F0000", "0/42");
}

void TestLink::flashing()
{
    QFETCH(QString, options);
    QFETCH(int, fBlocks);
    QFETCH(int, cBlocks);
    QFETCH(QString, sent);
    QFETCH(QString, progress);
    const bool done = sent.endsWith("ATW");
    EmulatorFixture emu(device(options));
    QVERIFY(emu.start());
    const QByteArray image = firmware(fBlocks, cBlocks);
    const QString path = testHome() + "/flash.bin";
    // Missing, or shorter than its header (the codec's table has the other damaged images).
    const QStringList damaged {testHome() + "/none", path + "1"};
    QVERIFY(writeFile(path, image) && writeFile(damaged[1], QByteArray(3, '\1')));
    SerialDevice link(nullptr, emu.lister());
    link.setScanInterval(scanTickMs);
    QVERIFY(waitForIdentified(link));
    link.setStallTimeout(800);
    QStringList reported;
    connect(&link, &SerialDevice::firmwareUpdateProgress, this,
            [&](int at, int of) { reported << QStringLiteral("%1/%2").arg(at).arg(of); });
    QSignalSpy finished(&link, &SerialDevice::firmwareUpdateDone);
    QSignalSpy restarted(&link, &SerialDevice::linkRestarted);
    const int start = emu.commands().size();
    for (const QString &file : damaged) // refused before anything is written
        QVERIFY2(link.updateFirmware(file) == -1 && !link.getDevice().busy, qPrintable(file));
    QCOMPARE(link.updateFirmware(path), 0);
    QCOMPARE(link.updateFirmware(path) + link.downloadVitals(), -2); // busy meanwhile
    if (done)
        QTRY_COMPARE_WITH_TIMEOUT(emu.device.clockSets().size(), size_t(1), 10000);
    else // gone, or given up within the watchdog's interval: the chatter keeps nothing alive
        QTRY_COMPARE_WITH_TIMEOUT(restarted.count(), 1, 1500);

    QStringList shapes;
    for (const QByteArray &c : emu.commands().mid(start, sent.count(' ') + 1))
        shapes << QString::fromLatin1(c.left(c.size() > 64 ? 5 : 9)).section(' ', 0, 0).trimmed();
    QCOMPARE(shapes.join(' '), sent);
    QCOMPARE(reported.join(' '), progress);
    QCOMPARE(finished.count(), done ? 1 : 0);
    const std::vector<uint8_t> bytes = emu.device.flashedImage();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())),
             done ? image.mid(4, fBlocks * 256 + cBlocks * 64) : QByteArray());
    QCOMPARE(emu.device.imagesReceived(), done ? 1 : 0);
    QVERIFY(emu.device.violations().empty());
}

void TestLink::portAccess()
{
    EmulatorFixture emu;
    QVERIFY(emu.start());
    // Held by another program: Qt reports that as a permission error too, but it is not one.
    QSerialPort other(emu.linkPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { debugLines << text; });
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    SerialDevice link(nullptr, emu.lister());
    link.setScanInterval(scanTickMs);
    QSignalSpy denied(&link, &SerialDevice::portAccessDenied);
    QSignalSpy cleared(&link, &SerialDevice::portAccessCleared);
    // Quiet at rest: what the passes find is told once, not once a pass.
    QTRY_VERIFY_WITH_TIMEOUT(emu.scanPasses() >= 10, 5000);
    QCOMPARE(denied.count(), 0);
    QCOMPARE(debugLinesTagged("🟠"), 1); // the port listed
    QCOMPARE(debugLinesTagged("🔒"), 1); // and held
    QCOMPARE(debugLinesTagged("🔴"), 0);
    other.close();

    // A node this user may not open: told once while listed, again when plugged in anew.
    NodeAccessBlock block(emu.linkPath());
    QString why;
    if (!block.blocked(&why))
        QSKIP(qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(denied.count(), 1, 5000);
    QCOMPARE(denied.at(0).at(0).toString(), emu.linkPath());
    const int passes = emu.scanPasses();
    QTRY_VERIFY_WITH_TIMEOUT(emu.scanPasses() >= passes + 2, 5000);
    QCOMPARE(denied.count(), 1);
    QCOMPARE(cleared.count(), 0);
    emu.setPorts({});
    QTRY_COMPARE_WITH_TIMEOUT(cleared.count(), 1, 5000);
    emu.setPorts({emu.bridgeEntry()});
    QTRY_COMPARE_WITH_TIMEOUT(denied.count(), 2, 5000);
    block.lift();
    QVERIFY(waitForIdentified(link));
    QCOMPARE(cleared.count(), 2);
    QCOMPARE(denied.count(), 2);
    // Listed, gone, listed again; held, denied, denied again once listed anew.
    QCOMPARE(debugLinesTagged("🟠"), 3);
    QCOMPARE(debugLinesTagged("🔒"), 3);
}

void TestLink::doubtfulPort_data()
{
    // A device that answers like no Brevia, under the back-off rule on a shorter clock.
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<int>("firstPauseMs");
    QTest::addColumn<int>("probes");
    row("never answers", "--mute-after 0", 150, 300, 6);
    row("no name reply", "--name-reply HELLO 1310", 3000, 1500, 4);
}

void TestLink::doubtfulPort()
{
    QFETCH(QString, options);
    QFETCH(int, stallMs);
    QFETCH(int, firstPauseMs);
    QFETCH(int, probes);
    const bool mute = options.contains("mute");
    EmulatorFixture emu(device(options));
    QVERIFY(emu.start());
    const ProbeBackoff::Rule rule {2, firstPauseMs, 5000};
    SerialDevice link(nullptr, emu.lister());
    link.setScanInterval(scanTickMs);
    link.setStallTimeout(stallMs);
    link.setProbeBackoff(rule);
    QTRY_VERIFY_WITH_TIMEOUT(probeTimes(emu).size() >= probes, 15000);

    // Each probe follows the failure before after its pause, or at once while forgiven.
    const QList<qint64> at = probeTimes(emu);
    const ProbeBackoff backoff(rule);
    const qint64 answerMs = mute ? stallMs : 0, restartMs = mute ? 0 : 1000;
    for (int k = 1; k < probes; ++k) {
        const qint64 gap = at[k] - at[k - 1];
        const qint64 expected = qMax(restartMs, backoff.pauseAfter(k)) + answerMs;
        QVERIFY2(gap >= expected - 60 && gap <= expected + scanTickMs + 350,
                 QByteArray::number(k + 1) + ": " + QByteArray::number(gap) + " ms");
    }

    // Plugged in again while it sits out its longest pause yet: probed at once.
    QTRY_COMPARE_WITH_TIMEOUT(link.state(), QStringLiteral("toScan"), 5000);
    QVERIFY(backoff.pauseAfter(probes) >= 1500);
    emu.device.unplug();
    QVERIFY(emu.device.plugIn());
    const auto pluggedIn = brevia::Clock::now();
    QTRY_COMPARE_WITH_TIMEOUT(probeTimes(emu).size(), probes + 1, 5000);
    const qint64 after = msBetween(pluggedIn, emu.device.commandTimes().back());
    QVERIFY2(after < 400, QByteArray::number(after));
}

void TestLink::portWatch()
{
    // Each plug and unplug of the emulator is told once and soon; the new node is another.
    EmulatorFixture emu;
    QVERIFY(emu.start());
    PortWatch watch({emu.linkPath()});
    QVERIFY(watch.watching());
    QSignalSpy changed(&watch, &PortWatch::changed);
    const QByteArray first = PortWatch::nodeIdentity(emu.linkPath());
    QVERIFY(!first.isEmpty());
    emu.device.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 1000);
    QVERIFY(PortWatch::nodeIdentity(emu.linkPath()).isEmpty());
    QVERIFY(emu.device.plugIn());
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 2, 1000);
    QCOMPARE(watch.generation(), quint64(2));
    const QByteArray second = PortWatch::nodeIdentity(emu.linkPath());
    QVERIFY(!second.isEmpty() && second != first);
    QVERIFY(!changed.wait(3 * PortWatch::settleMs)); // at rest, nothing more
}

ORVANE_TEST_MAIN(TestLink)
#include "tst_link.moc"
