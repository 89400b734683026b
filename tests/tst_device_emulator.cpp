// The device emulator, checked from the host's side: the device model driven in virtual
// time, and the pty server through a real pseudo-terminal opened with plain POSIX calls.
#include "brevia/commandline.h"
#include "brevia/devicemodel.h"
#include "brevia/ptydevice.h"

#include "testmain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace brevia;
using namespace std::chrono_literals;

namespace {

QByteArray qb(const std::string &s)
{
    return QByteArray::fromStdString(s);
}

// Drives a DeviceModel in virtual time and collects every write it makes.
struct Bench
{
    DeviceModel model;
    TimePoint now {};

    explicit Bench(Scenario s = {}) : model(std::move(s)) { }

    std::vector<DeviceModel::Chunk> pass(std::chrono::milliseconds span)
    {
        const TimePoint end = now + span;
        std::vector<DeviceModel::Chunk> out;
        for (int guard = 0; guard < 100000; ++guard) {
            for (auto &c : model.takeDue(now))
                out.push_back(std::move(c));
            const auto next = model.nextWakeup();
            if (!next || *next > end)
                break;
            now = std::max(now, *next);
            model.advance(now);
        }
        now = end;
        model.advance(now);
        for (auto &c : model.takeDue(now))
            out.push_back(std::move(c));
        return out;
    }

    std::vector<DeviceModel::Chunk> send(const std::string &bytes,
                                         std::chrono::milliseconds span = 2000ms)
    {
        model.receive(bytes, now);
        return pass(span);
    }

    QByteArray text(const std::string &bytes, std::chrono::milliseconds span = 2000ms)
    {
        QByteArray all;
        for (const auto &c : send(bytes, span))
            all += qb(c.bytes);
        return all;
    }
};

uint32_t le(const QByteArray &b, int at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(b[at + i]);
    return v;
}

// Bitwise CRC-32 (IEEE 802.3), written independently of the emulator's table version.
uint32_t crc32(const QByteArray &data)
{
    uint32_t crc = 0xFFFFFFFF;
    for (char ch : data) {
        crc ^= uint8_t(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The hex digits of a one-line reply, decoded.
QByteArray hexReply(const QByteArray &reply)
{
    return QByteArray::fromHex(reply.trimmed());
}

QByteArray readCmd(uint32_t address)
{
    return "R" + QByteArray::number(address, 16).toUpper().rightJustified(8, '0') + "\n";
}

QByteArray firmwareLine(char kind, int index, const QByteArray &block)
{
    return kind + QByteArray::number(index, 16).toUpper().rightJustified(4, '0')
        + block.toHex().toUpper() + "\n";
}

QByteArray block(int size, int salt)
{
    QByteArray b(size, 0);
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + salt * 31) & 0xFF);
    return b;
}

Scenario sampleSessions()
{
    Scenario s;
    s.sessions = {{false, 1700000000, 30, {}},
                  {true, 0, 0, {}},
                  {false, 1700003600, 21, {}},
                  {false, 1700007200, 22, 0x20000},
                  {false, 1700010800, 64, {}}};
    return s;
}

// --- the host side of a pty, plain POSIX ---

int openPort(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios tio;
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void writeAll(int fd, const QByteArray &bytes)
{
    QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
}

// Reads until `done` holds or the time runs out; `reads` gets the size of every read.
QByteArray readUntil(int fd, const std::function<bool(const QByteArray &)> &done,
                     int timeoutMs = 5000, QList<int> *reads = nullptr)
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (!done(got) && timer.elapsed() < timeoutMs) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, int(n));
            if (reads)
                reads->append(int(n));
        }
    }
    return got;
}

auto endsWith(const QByteArray &tail)
{
    return [tail](const QByteArray &b) { return b.endsWith(tail); };
}

} // namespace

class TestDeviceEmulator : public QObject
{
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void zeroMacCount();
    void summaryLayout();
    void pagesHoldTheSessions();
    void eraseClearsDirectoryAndSessions();
    void flashingRebuildsImage();
    void flashingWithoutFLines();
    void firmwareViolations_data();
    void firmwareViolations();
    void restartDropsInputAndAnnouncesItself();
    void atd0Placement_data();
    void atd0Placement();
    void piecesAndPacing();
    void whitespace_data();
    void whitespace();
    void strayText();
    void badInput();
    void btrForms();
    void muteAndUnplugAfter();
    void scenarioValidation_data();
    void scenarioValidation();
    void commandLine_data();
    void commandLine();

    void helpNamesEveryFlag();
    void cliProcess();
    void ptyIdentificationAndPieces();
    void ptyUnplugAndPlugIn();
    void ptyClosedPortLosesReplies();
    void ptyUnplugAfterAndReplug();
    void ptyLogAndDumps();
};

void TestDeviceEmulator::replies_data()
{
    QTest::addColumn<bool>("boot");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // an ERROR reply also counts one violation
    auto row = [](const char *name, bool boot, const char *input, const char *expected) {
        QTest::newRow(name) << boot << QByteArray(input) << QByteArray(expected);
    };
    const char *bad = "ERROR unknown command\r\n";
    row("WM name", false, "ATN?\n", "K217 WM 1310 4B21C07DE5A19F03\r\n");
    row("WM ATD0", false, "ATD0\n", "OK\r\n");
    row("WM MAC", false, "ATI3\n", "MAC C8F09E4D21A7\r\n");
    row("WM BTR", false, "BTR\n", "ENTER BM\r\n");
    row("WM erase", false, "E000FF000\n", "ERASED OK\r\n");
    row("WM clock", false, "ATW 03/02/26 09:05:03\n", "OK\r\n");
    row("WM clock leap day", false, "ATW 02/29/24 23:59:59\n", "OK\r\n");
    row("WM clock not leap", false, "ATW 02/29/25 00:00:00\n", "ERROR bad time\r\n");
    row("WM clock month 13", false, "ATW 13/02/26 09:05:03\n", "ERROR bad time\r\n");
    row("WM clock short", false, "ATW 3/02/26 09:05:03\n", "ERROR bad time\r\n");
    row("WM boot command", false, "I\n", "ERROR not in boot mode\r\n");
    row("WM carriage return", false, "ATN?\r\n", bad);
    row("WM short address", false, "R1A00\n", "ERROR bad address\r\n");
    row("WM lower-case address", false, "R00001a00\n", "ERROR bad address\r\n");
    row("WM other erase", false, "E000FF100\n", bad);
    row("empty lines", false, "\n\n\n", "");
    row("BM name", true, "ATN?\n", "K217 BM 1310 C8F09E4D21A7\r\n");
    row("BM ID", true, "I\n", "ID 4B21C07DE5A19F03\r\n");
    row("BM D", true, "D\n", "OK\r\n");
    row("BM ATD0", true, "ATD0\n", "OK\r\n");
    row("BM MAC", true, "ATI3\n", bad);
    row("BM summary", true, "ATA?\n", bad);
    row("BM BTR", true, "BTR\n", bad);
    row("BM clock", true, "ATW 03/02/26 09:05:03\n", bad);
}

void TestDeviceEmulator::replies()
{
    QFETCH(bool, boot);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    Scenario s;
    s.mode = boot ? Mode::Boot : Mode::Working;
    Bench b(s);
    QCOMPARE(b.text(input.toStdString()), expected);
    QCOMPARE(b.model.violations().size(), size_t(expected.startsWith("ERROR") ? 1 : 0));
    int lines = 0;
    for (const QByteArray &line : input.split('\n'))
        lines += line.isEmpty() ? 0 : 1;
    QCOMPARE(int(b.model.commands().size()), lines);
}

void TestDeviceEmulator::zeroMacCount()
{
    Scenario s;
    s.zeroMacReplies = 3;
    Bench b(s);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(b.text("ATI3\n"), QByteArray("MAC 000000000000\r\n"));
    QCOMPARE(b.text("ATI3\n"), QByteArray("MAC C8F09E4D21A7\r\n"));
    QCOMPARE(b.text("ATI3\n"), QByteArray("MAC C8F09E4D21A7\r\n"));
}

void TestDeviceEmulator::summaryLayout()
{
    Bench b(sampleSessions());
    const QByteArray reply = b.text("ATA?\n");
    QCOMPARE(reply.size(), 1026);
    QVERIFY(reply.endsWith("\r\n"));
    QCOMPARE(reply.left(1024), reply.left(1024).toUpper());
    const QByteArray page = hexReply(reply);
    QCOMPARE(page.size(), 512);

    struct Entry
    {
        uint32_t time, address, records;
    };
    // 30 records take two pages, 21 one; slot 3 has its own address; slot 4 follows it.
    const Entry used[] = {{1700000000, 0x1A00, 30},
                          {0, 0, 0},
                          {1700003600, 0x1C00, 21},
                          {1700007200, 0x20000, 22},
                          {1700010800, 0x20200, 64}};
    for (int k = 0; k < 41; ++k) {
        const QByteArray entry = page.mid(12 * k, 12);
        if (k < 5 && k != 1) {
            QCOMPARE(le(entry, 0, 4), used[k].time);
            QCOMPARE(le(entry, 4, 4), used[k].address);
            QCOMPARE(le(entry, 8, 2), used[k].records);
        } else {
            QCOMPARE(entry, QByteArray(12, char(0xFF)));
        }
    }
    QCOMPARE(page.mid(492, 19), QByteArray(19, char(0xFF)));
    QCOMPARE(uint8_t(page[511]), uint8_t(crc32(page.left(511))));

    // The same bytes through two page reads, and the half-page variant of "ATA?".
    QCOMPARE(hexReply(b.text("R000FF000\n")) + hexReply(b.text("R000FF100\n")), page);
    Scenario half = sampleSessions();
    half.summaryFirstHalfOnly = true;
    Bench h(half);
    QCOMPARE(h.text("ATA?\n"), reply.left(512) + "\r\n");
}

void TestDeviceEmulator::pagesHoldTheSessions()
{
    Bench b(sampleSessions());
    QCOMPARE(b.model.sessionCount(), size_t(4));
    std::set<uint32_t> seenPages;
    for (size_t i = 0; i < b.model.sessionCount(); ++i) {
        const SessionInfo info = b.model.session(i);
        QCOMPARE(info.listed, info.records > 21);
        QCOMPARE(qb(b.model.expectedSessionFileName(i)),
                 QByteArray::number(info.startTime) + "000");
        // Read the session as the host does and build its file independently.
        QByteArray file;
        std::vector<std::set<uint8_t>> values(12);
        const int pages = (info.records + 20) / 21;
        for (int p = 0; p < pages; ++p) {
            const uint32_t address = info.address + 256 * p;
            QVERIFY(seenPages.insert(address).second); // sessions do not share pages
            const QByteArray page = hexReply(b.text(readCmd(address).toStdString()));
            QCOMPARE(page.size(), 256);
            QCOMPARE(
                page,
                qb(std::string(
                    reinterpret_cast<const char *>(b.model.readMemory(address, 256).data()), 256)));
            for (int j = 0; j < 21; ++j) {
                const QByteArray record = page.mid(12 * j, 12);
                if (p * 21 + j >= info.records) {
                    QCOMPARE(record, QByteArray(12, char(0xFF))); // unused slots of the last page
                    continue;
                }
                for (int k = 0; k < 12; ++k)
                    values[k].insert(uint8_t(record[k]));
                file += QByteArray(2, 0) + record.mid(2, 7) + QByteArray(9, 0);
            }
        }
        const auto expected = b.model.expectedSessionFile(i);
        QCOMPARE(file,
                 QByteArray(reinterpret_cast<const char *>(expected.data()), int(expected.size())));
        QCOMPARE(file.size(), 18 * info.records);
        for (int k = 0; k < 12; ++k)
            QVERIFY2(values[k].size() > 1, "every record byte varies");
    }
    // Nothing stored elsewhere, up to the top of the address space.
    QCOMPARE(hexReply(b.text("R00001000\n")), QByteArray(256, char(0xFF)));
    QCOMPARE(hexReply(b.text("RFFFFFF80\n")), QByteArray(256, char(0xFF)));
    // Another seed gives other records.
    Scenario other = sampleSessions();
    other.seed = 2;
    QVERIFY(DeviceModel(other).expectedSessionFile(0) != b.model.expectedSessionFile(0));
}

void TestDeviceEmulator::eraseClearsDirectoryAndSessions()
{
    Bench b(sampleSessions());
    QVERIFY(b.text("E000FF000\n").contains("OK"));
    QCOMPARE(b.model.eraseCount(), 1);
    QCOMPARE(b.text("ATA?\n"), QByteArray(1024, 'F') + "\r\n");
    QCOMPARE(hexReply(b.text("R00001A00\n")), QByteArray(256, char(0xFF)));
    // The expected files still describe what was there before.
    QCOMPARE(b.model.expectedSessionFile(0).size(), size_t(30 * 18));
}

void TestDeviceEmulator::flashingRebuildsImage()
{
    Scenario s;
    s.newFirmwareVersion = 1400;
    s.restartDelayMs = 150;
    Bench b(s);
    QCOMPARE(b.text("BTR\n"), QByteArray("ENTER BM\r\n"));
    QCOMPARE(b.text("D\n"), QByteArray("OK\r\n"));
    QCOMPARE(b.text("D\n"), QByteArray("OK\r\n"));
    // An upload that starts over with F line 0 keeps only the second attempt.
    QCOMPARE(b.text(firmwareLine('F', 0, block(256, 9)).toStdString()), QByteArray("OK\r\n"));
    QByteArray lines;
    QByteArray image;
    for (int i = 0; i < 3; ++i) {
        lines += firmwareLine('F', i, block(256, i));
        image += block(256, i);
    }
    lines += "D\n";
    for (int i = 0; i < 18; ++i) {
        lines += firmwareLine('C', i, block(64, 100 + i));
        image += block(64, 100 + i);
    }
    QCOMPARE(b.text(lines.toStdString()), QByteArray("OK\r\n").repeated(22));
    QVERIFY(b.model.violations().empty());
    QCOMPARE(b.model.imagesReceived(), 0);

    QCOMPARE(b.text("Z\n", 149ms), QByteArray());
    QCOMPARE(b.model.restartCount(), 1);
    QCOMPARE(b.model.imagesReceived(), 1);
    const auto flashed = b.model.flashedImage();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(flashed.data()), int(flashed.size())),
             image);
    QCOMPARE(b.text("", 1ms), QByteArray("BOOT K217 1400\r\n"));
    QCOMPARE(b.model.mode(), Mode::Working);
    QCOMPARE(b.model.firmwareVersion(), 1400);
    // A restart without an image keeps the version.
    b.model.behaviour().newFirmwareVersion = 1500;
    QCOMPARE(b.text("Z\n"), QByteArray("BOOT K217 1400\r\n"));
}

void TestDeviceEmulator::flashingWithoutFLines()
{
    Scenario s;
    s.mode = Mode::Boot;
    s.newFirmwareVersion = 1401;
    Bench b(s);
    QCOMPARE(b.text("D\nD\nD\n"), QByteArray("OK\r\n").repeated(3));
    QCOMPARE(b.text((firmwareLine('C', 0, block(64, 1)) + firmwareLine('C', 1, block(64, 2)))
                        .toStdString()),
             QByteArray("OK\r\n").repeated(2));
    QCOMPARE(b.text("Z\n"), QByteArray("BOOT K217 1401\r\n"));
    QCOMPARE(b.model.flashedImage().size(), size_t(128));
}

void TestDeviceEmulator::firmwareViolations_data()
{
    QTest::addColumn<QByteArray>("lines"); // after "D\n"; the last one is refused
    QTest::addColumn<QByteArray>("error");
    const QByteArray f0 = firmwareLine('F', 0, block(256, 0));
    const QByteArray f1 = firmwareLine('F', 1, block(256, 1));
    const QByteArray c0 = firmwareLine('C', 0, block(64, 0));
    QByteArray lower = f1;
    lower.replace(10, 1, "a");
    QByteArray shortPayload = f1;
    shortPayload.remove(10, 1);
    QTest::newRow("skipped F index") << f1 << QByteArray("ERROR out of order");
    QTest::newRow("lower-case payload") << f0 + lower << QByteArray("ERROR bad line");
    QTest::newRow("payload one digit short") << f0 + shortPayload << QByteArray("ERROR bad line");
    QTest::newRow("three-digit index") << "F000" + block(256, 0).toHex().toUpper() + "\n"
                                       << QByteArray("ERROR bad line");
    QTest::newRow("padded five-digit index") << "F00000" + block(256, 0).toHex().toUpper() + "\n"
                                             << QByteArray("ERROR bad line");
    QTest::newRow("F after the separator") << f0 + "D\n" + f1 << QByteArray("ERROR out of order");
    QTest::newRow("C before the separator") << f0 + c0 << QByteArray("ERROR out of order");
    QTest::newRow("skipped C index")
        << f0 + "D\n" + firmwareLine('C', 1, block(64, 0)) << QByteArray("ERROR out of order");
    QTest::newRow("C line of an F size")
        << f0 + "D\n" + firmwareLine('C', 0, block(256, 0)) << QByteArray("ERROR bad line");
    QTest::newRow("not a line") << QByteArray("FLASH\n") << QByteArray("ERROR bad line");
}

void TestDeviceEmulator::firmwareViolations()
{
    QFETCH(QByteArray, lines);
    QFETCH(QByteArray, error);
    Scenario s;
    s.mode = Mode::Boot;
    s.newFirmwareVersion = 2000;
    Bench b(s);
    const QByteArray reply = b.text(("D\n" + lines).toStdString());
    QVERIFY2(reply.endsWith(error + "\r\n"), reply.constData());
    QCOMPARE(reply.count("ERROR"), 1);
    QCOMPARE(b.model.violations().size(), size_t(1));
    // Nothing complete was sent, so a restart installs nothing.
    if (!lines.contains("D\n")) {
        b.text("Z\n");
        QCOMPARE(b.model.imagesReceived(), 0);
        QCOMPARE(b.model.firmwareVersion(), 1310);
    }
}

void TestDeviceEmulator::restartDropsInputAndAnnouncesItself()
{
    Scenario s;
    s.restartDelayMs = 200;
    s.mode = Mode::Boot;
    Bench b(s);
    QCOMPARE(b.text("Z\nATN?\n", 100ms), QByteArray()); // the rest of the write is dropped too
    QCOMPARE(b.text("ATN?\n", 99ms), QByteArray());
    QCOMPARE(qb(b.model.droppedInput()), QByteArray("ATN?\nATN?\n"));
    QCOMPARE(b.model.mode(), Mode::Boot);
    QCOMPARE(b.text("", 1ms), QByteArray("BOOT K217 1310\r\n"));
    QCOMPARE(b.model.mode(), Mode::Working);
    QCOMPARE(b.text("ATN?\n"), QByteArray("K217 WM 1310 4B21C07DE5A19F03\r\n"));
    QCOMPARE(b.model.commands(), (std::vector<std::string> {"Z\n", "ATN?\n"}));
    QCOMPARE(b.model.restartCount(), 1);
}

void TestDeviceEmulator::atd0Placement_data()
{
    QTest::addColumn<int>("placement");
    QTest::addColumn<QList<QByteArray>>("writes");
    const QByteArray name = "K217 WM 1310 4B21C07DE5A19F03\r\n";
    const QByteArray mac = "MAC C8F09E4D21A7\r\n";
    QTest::newRow("separate") << int(OkPlacement::Separate)
                              << QList<QByteArray> {name, "OK\r\n", mac};
    QTest::newRow("glued to name")
        << int(OkPlacement::GluedToName) << QList<QByteArray> {name + "OK\r\n", mac};
    QTest::newRow("glued to next")
        << int(OkPlacement::GluedToNext) << QList<QByteArray> {name, "OK\r\n" + mac};
    QTest::newRow("none") << int(OkPlacement::None) << QList<QByteArray> {name, mac};
}

void TestDeviceEmulator::atd0Placement()
{
    QFETCH(int, placement);
    QFETCH(QList<QByteArray>, writes);
    Scenario s;
    s.atd0Ok = OkPlacement(placement);
    Bench b(s);
    // The host sends both commands at once; the next one comes later.
    auto chunks = b.send("ATN?\nATD0\n");
    for (const auto &c : b.send("ATI3\n"))
        chunks.push_back(c);
    QList<QByteArray> got;
    for (const auto &c : chunks)
        got << qb(c.bytes);
    QCOMPARE(got, writes);
    // Writes of one moment leave at least the reply gap apart.
    for (size_t i = 1; i < chunks.size(); ++i)
        QVERIFY(chunks[i].due - chunks[i - 1].due >= 10ms);
}

void TestDeviceEmulator::piecesAndPacing()
{
    Scenario s;
    s.pieceSizes = {5, 3};
    s.pieceGapMs = 30;
    Bench b(s);
    const auto chunks = b.send("ATN?\n");
    QByteArray all;
    for (size_t i = 0; i < chunks.size(); ++i) {
        all += qb(chunks[i].bytes);
        QCOMPARE(chunks[i].bytes.size(),
                 i == 0 ? size_t(5) : std::min<size_t>(3, 31 - 5 - 3 * (i - 1)));
        QVERIFY(chunks[i].due - chunks[0].due == std::chrono::milliseconds(30 * i));
    }
    QCOMPARE(all, QByteArray("K217 WM 1310 4B21C07DE5A19F03\r\n"));

    // 1026 bytes at 9600 baud take 1068.75 ms, handed over a few bytes at a time.
    Scenario paced;
    paced.baud = 9600;
    Bench p(paced);
    const TimePoint start = p.now;
    const auto slices = p.send("ATA?\n", 3000ms);
    QVERIFY(slices.size() > 100);
    QVERIFY(slices.front().due > start);
    const auto last = slices.back().due - start;
    QVERIFY(last >= 1068ms && last <= 1070ms);
}

void TestDeviceEmulator::whitespace_data()
{
    QTest::addColumn<int>("where");
    QTest::addColumn<bool>("inReads");
    QTest::addColumn<bool>("inSummary");
    QTest::newRow("none") << int(Whitespace::None) << false << false;
    QTest::newRow("page reads") << int(Whitespace::PageReads) << true << false;
    QTest::newRow("all hex") << int(Whitespace::AllHex) << true << true;
}

void TestDeviceEmulator::whitespace()
{
    QFETCH(int, where);
    QFETCH(bool, inReads);
    QFETCH(bool, inSummary);
    Scenario s = sampleSessions();
    s.whitespace = Whitespace(where);
    Bench b(s);
    Bench plain(sampleSessions());
    for (const char *cmd : {"R00001A00\n", "R00001B00\n", "ATA?\n", "R000FF000\n"}) {
        const bool expectBlanks = cmd[0] == 'R' ? inReads : inSummary;
        const QByteArray reply = b.text(cmd);
        const QByteArray clean = plain.text(cmd);
        QVERIFY(reply.endsWith("\r\n"));
        const QByteArray body = reply.chopped(2);
        QCOMPARE(body.contains(' ') || body.contains('\n'), expectBlanks);
        QByteArray stripped = body;
        stripped.replace(' ', "").replace('\n', "").replace('\r', "");
        QCOMPARE(stripped + "\r\n", clean);
    }
}

void TestDeviceEmulator::strayText()
{
    Scenario s;
    s.strayReads = {2};
    s.strayText = "~x";
    Bench b(s);
    const QByteArray page = QByteArray(512, 'F');
    QCOMPARE(b.text("R00000000\n"), page + "\r\n");
    QCOMPARE(b.text("ATA?\n").size(), 1026); // not a page read
    QCOMPARE(b.text("R00000000\n"), page + "~x\r\n");
    QCOMPARE(b.text("R00000000\n"), page + "\r\n");
    s.strayReads.clear();
    s.strayAllReads = true;
    Bench all(s);
    QCOMPARE(all.text("R00000000\n"), page + "~x\r\n");
    QCOMPARE(all.text("R00000100\n"), page + "~x\r\n");
}

void TestDeviceEmulator::badInput()
{
    Bench b;
    QByteArray replies;
    replies += b.text(std::string("\x01\x02garbage\0zz\n", 13));
    replies += b.text("OK\n"); // a host echo must not be taken for a command
    // Over-long input in two writes: one report, then nothing until the next line feed.
    replies += b.text(std::string(3000, 'X'));
    replies += b.text(std::string(3000, 'Y') + "ATN?\n");
    replies += b.text("ATN?\n");
    QCOMPARE(replies,
             QByteArray("ERROR unknown command\r\nERROR unknown command\r\n"
                        "ERROR line too long\r\nK217 WM 1310 4B21C07DE5A19F03\r\n"));
    const auto violations = b.model.violations();
    QCOMPARE(violations.size(), size_t(3));
    QVERIFY(QByteArray::fromStdString(violations[0]).contains("\\x01\\x02garbage\\x00zz"));
    QVERIFY(QByteArray::fromStdString(violations[2]).contains("4096"));
    QCOMPARE(b.model.commands().size(), size_t(3));
    QCOMPARE(b.model.commands()[0], std::string("\x01\x02garbage\0zz\n", 13));

    // Every error reply of every mode stays clear of an acknowledgement or a restart text.
    for (Mode mode : {Mode::Working, Mode::Boot}) {
        Scenario s;
        s.mode = mode;
        Bench m(s);
        const QByteArray out =
            m.text("X\nR1\nATW\nII\nD0\nF1\nC1\nE1\nZ1\nBT\n" + std::string(5000, 'O') + "K\n");
        for (const QByteArray &line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            QVERIFY2(line.startsWith("ERROR"), line.constData());
            QVERIFY(!line.contains("OK"));
        }
    }
}

void TestDeviceEmulator::btrForms()
{
    Bench b;
    // Alone, without a line feed: taken once the line has been quiet for a moment.
    QCOMPARE(b.text("BTR", 10ms), QByteArray());
    QCOMPARE(b.text("", 100ms), QByteArray("ENTER BM\r\n"));
    QCOMPARE(b.model.commands(), std::vector<std::string> {"BTR"});
    Bench n;
    QCOMPARE(n.text("BTR\n"), QByteArray("ENTER BM\r\n"));
    QCOMPARE(n.model.commands(), std::vector<std::string> {"BTR\n"});
    // Directly followed by another command.
    Bench f;
    QCOMPARE(f.text("BTRATN?\n"), QByteArray("ENTER BM\r\nK217 BM 1310 C8F09E4D21A7\r\n"));
    QCOMPARE(f.model.commands(), (std::vector<std::string> {"BTR", "ATN?\n"}));
}

void TestDeviceEmulator::muteAndUnplugAfter()
{
    Scenario s;
    s.muteAfter = 2;
    Bench b(s);
    QCOMPARE(b.text("ATD0\nATD0\nATN?\n"), QByteArray("OK\r\nOK\r\n"));
    QCOMPARE(b.model.commands().size(), size_t(3));

    Bench m;
    m.model.setMuted(true);
    QCOMPARE(m.text("ATN?\n"), QByteArray());
    m.model.setMuted(false);
    QCOMPARE(m.text("ATD0\n"), QByteArray("OK\r\n"));

    Scenario u;
    u.unplugAfter = 2;
    Bench p(u);
    QCOMPARE(p.text("ATD0\n"), QByteArray("OK\r\n"));
    QVERIFY(!p.model.takeUnplugRequest());
    QCOMPARE(p.text("ATN?\nATD0\n"), QByteArray()); // pulled before answering
    QVERIFY(p.model.takeUnplugRequest());
    QCOMPARE(p.model.commands().size(), size_t(2));
}

void TestDeviceEmulator::scenarioValidation_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("complaint");
    QTest::newRow("too many slots") << 0 << QByteArray("41");
    QTest::newRow("FFFF records") << 1 << QByteArray("65535");
    QTest::newRow("overlapping sessions") << 2 << QByteArray("overlaps");
    QTest::newRow("over the directory") << 3 << QByteArray("directory");
    QTest::newRow("past the top") << 4 << QByteArray("past the end");
    QTest::newRow("bad BLE") << 5 << QByteArray("BLE");
    QTest::newRow("zero piece") << 6 << QByteArray("piece");
    QTest::newRow("UID with space") << 7 << QByteArray("UID");
}

void TestDeviceEmulator::scenarioValidation()
{
    QFETCH(int, which);
    QFETCH(QByteArray, complaint);
    Scenario s;
    switch (which) {
    case 0:
        s.sessions.resize(42);
        break;
    case 1:
        s.sessions = {{false, 1, 0xFFFF, {}}};
        break;
    case 2:
        s.sessions = {{false, 1, 30, {}}, {false, 2, 22, 0x1B00}};
        break;
    case 3:
        s.sessions = {{false, 1, 22, 0xFF100}};
        break;
    case 4:
        s.sessions = {{false, 1, 22, 0xFFFFFF00}};
        break;
    case 5:
        s.ble = "c8f09e4d21a7";
        break;
    case 6:
        s.pieceSizes = {4, 0};
        break;
    case 7:
        s.uid = "AB CD";
        break;
    }
    QVERIFY(qb(validateScenario(s)).contains(complaint));
    PtyDevice device(s);
    QVERIFY(!device.start());
    QVERIFY(qb(device.errorText()).contains(complaint));
    QVERIFY(device.ptyPath().empty());

    // Allocated sessions step over the directory page instead of running into it.
    Scenario big;
    big.sessions = {{false, 1, 65534, {}}, {false, 2, 65534, {}}};
    QVERIFY(validateScenario(big).empty());
    QCOMPARE(DeviceModel(big).session(1).address, uint32_t(0xFF200));
}

void TestDeviceEmulator::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error"); // empty: accepted
    QTest::newRow("unknown") << QStringList {"--frobnicate"} << QByteArray("unknown option");
    QTest::newRow("missing value") << QStringList {"--fw"} << QByteArray("needs a value");
    QTest::newRow("not a number") << QStringList {"--fw", "12a"} << QByteArray("whole number");
    QTest::newRow("negative") << QStringList {"--restart-delay-ms", "-5"}
                              << QByteArray("whole number");
    QTest::newRow("bad mode") << QStringList {"--mode", "XM"} << QByteArray("WM or BM");
    QTest::newRow("bad session") << QStringList {"--session", "17:"} << QByteArray("records");
    QTest::newRow("session FFFF") << QStringList {"--session", "17:65535"} << QByteArray("65534");
    QTest::newRow("bad address") << QStringList {"--session", "17:30@xyz"} << QByteArray("address");
    QTest::newRow("bad pieces") << QStringList {"--pieces", "3,,4"} << QByteArray("--pieces");
    QTest::newRow("flag with value") << QStringList {"--summary-half=1"} << QByteArray("no value");
    QTest::newRow("stray zero") << QStringList {"--stray-read", "0"} << QByteArray("--stray-read");
    QTest::newRow("overlap") << QStringList {"--session", "1:30", "--session", "2:22@1B00"}
                             << QByteArray("overlaps");
    QTest::newRow("everything") << QStringList {"--mode=BM",
                                                "--fw",
                                                "1300",
                                                "--new-fw",
                                                "1400",
                                                "--uid",
                                                "U1",
                                                "--ble",
                                                "00112233AABB",
                                                "--zero-mac",
                                                "4",
                                                "--session",
                                                "1700000000:30",
                                                "--session",
                                                "empty",
                                                "--session",
                                                "1700003600:22@0x20000",
                                                "--seed",
                                                "9",
                                                "--atd0-ok",
                                                "next",
                                                "--summary-half",
                                                "--pieces",
                                                "64,16",
                                                "--piece-gap-ms",
                                                "5",
                                                "--baud",
                                                "115200",
                                                "--whitespace",
                                                "reads",
                                                "--stray-read",
                                                "3",
                                                "--stray-text",
                                                "!!",
                                                "--mute-after",
                                                "7",
                                                "--unplug-after",
                                                "8",
                                                "--replug-after-ms",
                                                "500",
                                                "--restart-delay-ms",
                                                "50",
                                                "--link",
                                                "/tmp/x",
                                                "--log",
                                                "/tmp/l",
                                                "--dump-dir",
                                                "/tmp/d",
                                                "--name-reply",
                                                "K217 ZZ"}
                                << QByteArray();
}

void TestDeviceEmulator::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, error);
    std::vector<std::string> argv;
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    const CommandLine cli = parseCommandLine(argv);
    if (!error.isEmpty()) {
        QVERIFY2(qb(cli.error).contains(error), cli.error.c_str());
        return;
    }
    QVERIFY2(cli.error.empty(), cli.error.c_str());
    // This row uses every flag: each must be in the help text.
    for (const QString &a : args) {
        if (a.startsWith("--"))
            QVERIFY2(qb(usageText()).contains(a.section('=', 0, 0).toUtf8() + " "), qPrintable(a));
    }
    const Scenario &s = cli.scenario;
    QCOMPARE(s.mode, Mode::Boot);
    QCOMPARE(s.firmwareVersion, 1300);
    QCOMPARE(*s.newFirmwareVersion, 1400);
    QCOMPARE(s.sessions.size(), size_t(3));
    QVERIFY(s.sessions[1].empty);
    QCOMPARE(s.sessions[2].records, uint16_t(22));
    QCOMPARE(*s.sessions[2].address, uint32_t(0x20000));
    QCOMPARE(s.atd0Ok, OkPlacement::GluedToNext);
    QCOMPARE(s.pieceSizes, (std::vector<size_t> {64, 16}));
    QCOMPARE(s.whitespace, Whitespace::PageReads);
    QCOMPARE(s.strayReads, std::vector<int> {3});
    QCOMPARE(*s.unplugAfter, 8);
    QCOMPARE(s.replugAfterMs, 500);
    QCOMPARE(cli.linkPath, std::string("/tmp/x"));
    QCOMPARE(*s.nameReply, std::string("K217 ZZ"));
    QVERIFY(parseCommandLine({"--help"}).help);
}

void TestDeviceEmulator::helpNamesEveryFlag()
{
    const QString help = QString::fromStdString(usageText());
    QRegularExpression flag("--[a-z0-9-]+");
    QStringList documented;
    for (auto it = flag.globalMatch(help); it.hasNext();)
        documented << it.next().captured(0);
    QVERIFY(documented.size() > 25);
    for (const QString &f : documented) {
        const CommandLine cli = parseCommandLine({f.toStdString(), "1"});
        QVERIFY2(!qb(cli.error).contains("unknown option \"" + f.toUtf8()), qPrintable(f));
    }
}

void TestDeviceEmulator::cliProcess()
{
    const QString program =
        qEnvironmentVariable("ORVANE_TEST_BINARY_DIR") + "/tools/device-emulator/brevia-emulator";
    if (!QFileInfo(program).isExecutable())
        QSKIP("brevia-emulator is not built");

    QProcess bad;
    bad.start(program, {"--session", "1:30", "--baud", "fast"});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("--baud"));

    QTemporaryDir dir;
    const QString link = dir.filePath("dev");
    QProcess emu;
    emu.start(program, {"--link", link, "--session", "1700000000:30", "--restart-delay-ms", "20"});
    QVERIFY(emu.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(
        emu.canReadLine() && emu.bytesAvailable() > 0 && emu.peek(4096).count('\n') >= 2, 5000);
    const QString pty = QString::fromUtf8(emu.readLine()).trimmed();
    QCOMPARE(QString::fromUtf8(emu.readLine()).trimmed(), link);
    QVERIFY(pty.startsWith("/dev/pts/"));
    QCOMPARE(QFile::symLinkTarget(link), pty);

    const int fd = openPort(link.toStdString());
    writeAll(fd, "ATN?\n");
    QVERIFY(readUntil(fd, endsWith("\r\n")).startsWith("K217 WM 1310"));
    ::close(fd);

    ::kill(pid_t(emu.processId()), SIGUSR1);
    QTRY_VERIFY(!QFileInfo(link).isSymLink());
    ::kill(pid_t(emu.processId()), SIGUSR2);
    QTRY_VERIFY(QFileInfo(link).isSymLink());
    emu.terminate();
    QVERIFY(emu.waitForFinished(5000));
    QCOMPARE(emu.exitStatus(), QProcess::NormalExit);
    QCOMPARE(emu.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestDeviceEmulator::ptyIdentificationAndPieces()
{
    QTemporaryDir dir;
    Scenario s = sampleSessions();
    s.pieceSizes = {100};
    s.pieceGapMs = 40;
    PtyDevice device(s, dir.filePath("brevia").toStdString());
    QVERIFY2(device.start(), device.errorText().c_str());
    QVERIFY(!device.start()); // only once
    QCOMPARE(QFile::symLinkTarget(dir.filePath("brevia")),
             QString::fromStdString(device.ptyPath()));

    int fd = openPort(device.linkPath());
    QVERIFY(fd >= 0);
    writeAll(fd, "ATN?\nATD0\n");
    QCOMPARE(readUntil(fd, endsWith("OK\r\n")),
             QByteArray("K217 WM 1310 4B21C07DE5A19F03\r\nOK\r\n"));
    QList<int> reads;
    writeAll(fd, "ATA?\n");
    const QByteArray summary = readUntil(fd, endsWith("\r\n"), 5000, &reads);
    QCOMPARE(summary.size(), 1026);
    QCOMPARE(summary, QByteArray::fromStdString([&] {
                 Bench b(sampleSessions());
                 return b.text("ATA?\n").toStdString();
             }()));
    QVERIFY2(reads.size() >= 11, "each 100-byte piece arrives as a read of its own");
    for (int n : reads)
        QVERIFY(n <= 100);
    QCOMPARE(device.commands(), (std::vector<std::string> {"ATN?\n", "ATD0\n", "ATA?\n"}));

    // The host closes its port between scans; the device stays reachable.
    ::close(fd);
    QTest::qWait(100);
    QVERIFY(device.plugged());
    fd = openPort(device.ptyPath());
    QVERIFY(fd >= 0);
    writeAll(fd, "ATI3\n");
    QCOMPARE(readUntil(fd, endsWith("MAC C8F09E4D21A7\r\n")).right(18),
             QByteArray("MAC C8F09E4D21A7\r\n"));
    ::close(fd);
    device.stop();
    QVERIFY(!QFileInfo(dir.filePath("brevia")).isSymLink());
}

void TestDeviceEmulator::ptyUnplugAndPlugIn()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("dev");
    PtyDevice device(Scenario {}, link.toStdString());
    QVERIFY(device.start());
    const std::string first = device.ptyPath();
    const int fd = openPort(first);
    QVERIFY(fd >= 0);
    writeAll(fd, "ATD0\n");
    QCOMPARE(readUntil(fd, endsWith("OK\r\n")), QByteArray("OK\r\n"));

    device.unplug();
    QVERIFY(!device.plugged());
    QVERIFY(device.ptyPath().empty());
    QVERIFY(!QFileInfo(link).isSymLink());
    // The open port hangs up, as when a USB adapter is pulled.
    pollfd p {fd, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 2000) == 1);
    QVERIFY(p.revents & (POLLHUP | POLLERR));
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    QVERIFY(n == 0 || (n < 0 && errno == EIO));
    ::close(fd);

    QVERIFY(device.plugIn());
    QVERIFY(device.plugIn()); // already in: nothing changes
    QCOMPARE(device.plugCount(), 2);
    QCOMPARE(QFile::symLinkTarget(link), QString::fromStdString(device.ptyPath()));
    const int again = openPort(link.toStdString());
    QVERIFY(again >= 0);
    writeAll(again, "ATN?\n");
    QVERIFY(readUntil(again, endsWith("\r\n")).startsWith("K217 WM"));
    ::close(again);

    // A path that is not ours is never replaced.
    QFile plain(dir.filePath("file"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    PtyDevice clash(Scenario {}, plain.fileName().toStdString());
    QVERIFY(!clash.start());
    QVERIFY(qb(clash.errorText()).contains("not a symbolic link"));
    QVERIFY(QFileInfo(plain.fileName()).isFile());
}

void TestDeviceEmulator::ptyClosedPortLosesReplies()
{
    Scenario s;
    s.restartDelayMs = 100;
    PtyDevice device(s);
    QVERIFY(device.start());
    const std::string path = device.ptyPath();
    // What the device says while nobody has the port open is gone, as on a real serial port:
    // a reply racing the close, and a restart message long after it.
    size_t sent = 0;
    for (const char *cmd : {"ATD0\n", "Z\n"}) {
        const int fd = openPort(path);
        QVERIFY(fd >= 0);
        writeAll(fd, cmd);
        ::close(fd);
        sent += 2;
        QTRY_COMPARE(device.commands().size(), sent - 1);
        QCOMPARE(device.commands().back(), std::string(cmd));
        QTRY_VERIFY(!device.restarting());
        QTest::qWait(50);
        const int again = openPort(path);
        writeAll(again, "ATN?\n");
        QCOMPARE(readUntil(again, endsWith("\r\n")),
                 QByteArray("K217 WM 1310 4B21C07DE5A19F03\r\n"));
        ::close(again);
    }
}

void TestDeviceEmulator::ptyUnplugAfterAndReplug()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("dev");
    Scenario s;
    s.unplugAfter = 2;
    s.replugAfterMs = 300;
    PtyDevice device(s, link.toStdString());
    QVERIFY(device.start());
    const int fd = openPort(link.toStdString());
    writeAll(fd, "ATD0\n");
    QCOMPARE(readUntil(fd, endsWith("OK\r\n")), QByteArray("OK\r\n"));
    writeAll(fd, "ATN?\n");
    QTRY_VERIFY_WITH_TIMEOUT(!device.plugged(), 3000);
    pollfd p {fd, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 2000) == 1 && (p.revents & (POLLHUP | POLLERR)));
    ::close(fd);
    QTRY_VERIFY_WITH_TIMEOUT(device.plugged(), 3000);
    QCOMPARE(QFile::symLinkTarget(link), QString::fromStdString(device.ptyPath()));
    const int again = openPort(link.toStdString());
    writeAll(again, "ATD0\n");
    QCOMPARE(readUntil(again, endsWith("OK\r\n")), QByteArray("OK\r\n"));
    ::close(again);
}

void TestDeviceEmulator::ptyLogAndDumps()
{
    QTemporaryDir dir;
    Scenario s = sampleSessions();
    s.mode = Mode::Boot;
    s.newFirmwareVersion = 1320;
    s.restartDelayMs = 50;
    s.logPath = dir.filePath("log.jsonl").toStdString();
    s.dumpDir = dir.filePath("dump").toStdString();
    PtyDevice device(s);
    QVERIFY(device.start());

    // Expected files only for the sessions the host downloads.
    const QDir dump(dir.filePath("dump"));
    QCOMPARE(dump.entryList(QDir::Files),
             (QStringList {"1700000000000", "1700007200000", "1700010800000"}));
    QFile f(dump.filePath("1700007200000"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const auto expected = device.expectedSessionFile(2);
    QCOMPARE(f.readAll(),
             QByteArray(reinterpret_cast<const char *>(expected.data()), int(expected.size())));

    const int fd = openPort(device.ptyPath());
    const QByteArray image = block(256, 5) + block(64, 6);
    writeAll(fd,
             "D\n" + firmwareLine('F', 0, block(256, 5)) + "D\n"
                 + firmwareLine('C', 0, block(64, 6)));
    QCOMPARE(readUntil(fd, [](const QByteArray &b) { return b.count("OK") == 4; }),
             QByteArray("OK\r\n").repeated(4));
    writeAll(fd, "Z\n");
    QCOMPARE(readUntil(fd, endsWith("\r\n")), QByteArray("BOOT K217 1320\r\n"));
    QTRY_VERIFY(QFileInfo::exists(dump.filePath("flashed.bin")));
    QFile flashed(dump.filePath("flashed.bin"));
    QVERIFY(flashed.open(QIODevice::ReadOnly));
    QCOMPARE(flashed.readAll(), image);
    QCOMPARE(device.mode(), std::string("WM"));
    QCOMPARE(device.firmwareVersion(), 1320);
    writeAll(fd, QByteArray("ATW 03/02/26 09:05:03\n\x01\n", 24));
    QCOMPARE(readUntil(fd, endsWith("ERROR unknown command\r\n")),
             QByteArray("OK\r\nERROR unknown command\r\n"));
    QCOMPARE(device.clockSets(), std::vector<std::string> {"03/02/26 09:05:03"});
    ::close(fd);
    device.stop();

    QFile log(dir.filePath("log.jsonl"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList kinds;
    QStringList commands;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(line, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
        QVERIFY(o.contains("ms") && o.contains("data"));
        kinds << o.value("event").toString();
        if (kinds.last() == "command")
            commands << o.value("data").toString();
    }
    for (const char *kind :
         {"plug", "command", "reply", "restart", "image", "boot", "clock", "violation", "unplug"})
        QVERIFY2(kinds.contains(kind), kind);
    QCOMPARE(commands.first(), QString("D\n"));
    QCOMPARE(commands.last(), QString("\x01\n"));
}

ORVANE_TEST_MAIN(TestDeviceEmulator)

#include "tst_device_emulator.moc"
