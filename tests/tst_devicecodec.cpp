#include "device/devicecodec.h"
#include "testmain.h"

#include <QtTest>

#include <ctime>

using namespace devicecodec;

Q_DECLARE_METATYPE(SessionTable)

namespace {

// Written here independently of the code under test: bytes as the device shows them.
QString upperHex(const QByteArray &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    for (const char b : bytes) {
        out += QLatin1Char(digits[(quint8(b) >> 4) & 0xF]);
        out += QLatin1Char(digits[quint8(b) & 0xF]);
    }
    return out;
}

QString littleEndian(quint64 value, int bytes)
{
    QByteArray raw;
    for (int i = 0; i < bytes; ++i)
        raw.append(char((value >> (8 * i)) & 0xFF));
    return upperHex(raw);
}

// One 12-byte directory entry: start time, start address, records count, two unread bytes.
QString entry(quint32 startTime, quint32 startAddress, quint16 records)
{
    return littleEndian(startTime, 4) + littleEndian(startAddress, 4) + littleEndian(records, 2)
        + QStringLiteral("0000");
}

QString unusedEntry()
{
    return QString(24, QLatin1Char('F'));
}

// A full summary page: the given entries, the rest of the page erased ("F").
QString page(const QStringList &entries)
{
    QString text = entries.join(QString());
    text += QString(1024 - text.size(), QLatin1Char('F'));
    return text;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out.append(char(v));
    return out;
}

// A firmware image: header with N F blocks, then `bodySize` bytes counting up from `seed`.
QByteArray image(quint32 fBlocks, int bodySize, int seed = 0)
{
    QByteArray out =
        bytes({0x5A, int(fBlocks & 0xFF), int((fBlocks >> 8) & 0xFF), int((fBlocks >> 16) & 0xFF)});
    for (int i = 0; i < bodySize; ++i)
        out.append(char((seed + i) & 0xFF));
    return out;
}

} // namespace

class TestDeviceCodec : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void tokens_data();
    void tokens();
    void littleEndianFields_data();
    void littleEndianFields();

    void duration_data();
    void duration();
    void summary_data();
    void summary();
    void fullDirectory_data();
    void fullDirectory();
    void description_data();
    void description();

    void hexBytes_data();
    void hexBytes();
    void crc_data();
    void crc();
    void crcReport_data();
    void crcReport();

    void readCommand_data();
    void readCommand();
    void pageText_data();
    void pageText();
    void record_data();
    void record();
    void timeCommand_data();
    void timeCommand();

    void lineIndex_data();
    void lineIndex();
    void firmwareImageOf646Bytes();
    void firmwareWithoutFBlocks();
    void firmwareLongImage();
    void firmwareRefused_data();
    void firmwareRefused();
};

void TestDeviceCodec::initTestCase()
{
    // A fixed zone two hours east of UTC, so that local time and UTC differ visibly.
    qputenv("TZ", "XST-2");
    tzset();
}

void TestDeviceCodec::tokens_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("name reply") << "K217 WM 1300 A1B2C3\r\n"
                                << QStringList {"K217", "WM", "1300", "A1B2C3"};
    QTest::newRow("runs of mixed white space") << "  MAC\t\t0011AABBCCDD \n OK\n"
                                               << QStringList {"MAC", "0011AABBCCDD", "OK"};
    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("white space only") << " \r\n\t " << QStringList();
}

void TestDeviceCodec::tokens()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(replyTokens(text), expected);
}

void TestDeviceCodec::littleEndianFields_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<bool>("isHex");

    QTest::newRow("four bytes") << "78563412" << 0x12345678u << true;
    QTest::newRow("lower case") << "efbeadde" << 0xDEADBEEFu << true;
    QTest::newRow("records count") << "1600" << 22u << true;
    QTest::newRow("all ones") << "FFFFFFFF" << 0xFFFFFFFFu << true;
    QTest::newRow("odd trailing digit") << "123" << 0x312u << true;
    QTest::newRow("empty") << "" << 0u << false;
    QTest::newRow("not hex") << "12G4" << 0u << false;
    QTest::newRow("0x prefix") << "0x12" << 0u << false;
    QTest::newRow("space") << " 1600" << 0u << false;
    QTest::newRow("sign") << "-1" << 0u << false;
    QTest::newRow("wider than 32 bits") << "0000000001" << 0u << true;
}

void TestDeviceCodec::littleEndianFields()
{
    QFETCH(QString, hex);
    QFETCH(quint32, value);
    QFETCH(bool, isHex);
    QCOMPARE(littleEndianHexValue(hex), value);
    QCOMPARE(isHexText(hex), isHex);
}

void TestDeviceCodec::duration_data()
{
    QTest::addColumn<quint64>("total");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0") << quint64(0) << "0 seconds";
    QTest::newRow("1") << quint64(1) << "one second";
    QTest::newRow("22") << quint64(22) << "22 seconds";
    QTest::newRow("61") << quint64(61) << "one minute one second";
    QTest::newRow("120") << quint64(120) << "2 minutes \nand 0 seconds";
    QTest::newRow("3599") << quint64(3599) << "59 minutes \nand 59 seconds";
    QTest::newRow("3600") << quint64(3600) << "one hour 0 seconds";
    QTest::newRow("3661") << quint64(3661) << "one hour one minute one second";
    QTest::newRow("7200") << quint64(7200) << "2 hours 0 seconds";
    QTest::newRow("7322") << quint64(7322) << "2 hours 2 minutes \nand 2 seconds";
    QTest::newRow("41 full sessions")
        << quint64(41) * 65534 << "746 hours 21 minutes \nand 34 seconds";
}

void TestDeviceCodec::duration()
{
    QFETCH(quint64, total);
    QFETCH(QString, expected);
    QCOMPARE(durationText(total), expected);
}

void TestDeviceCodec::summary_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<SessionTable>("rows");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("used");
    QTest::addColumn<QString>("info");

    const QString none = QStringLiteral("No health data stored in the device");

    QTest::newRow("erased page") << QString(1024, QLatin1Char('F')) << SessionTable() << 0 << 0
                                 << none;
    QTest::newRow("21 records are not listed")
        << page({entry(1700000000, 0x1A00, 21)}) << SessionTable() << 0 << 0 << none;
    QTest::newRow("22 records are listed")
        << page({entry(1700000000, 0x1A00, 22)}) << SessionTable {{1700000000u, 22u, 0x1A00u}} << 22
        << 2 << "1 sessions with\n22 seconds duration";
    QTest::newRow("largest count")
        << page({entry(0xFFFFFFFE, 0xFFFFFF00, 0xFFFE)})
        << SessionTable {{0xFFFFFFFEu, 0xFFFEu, 0xFFFFFF00u}} << 65534 << 2
        << "1 sessions with\n18 hours 12 minutes \nand 14 seconds duration";
    QTest::newRow("gaps keep directory order")
        << page({unusedEntry(), entry(1000, 0x2000, 3600), entry(5, 0x100, 0),
                 entry(2000, 0x1000, 61), unusedEntry(), entry(500, 0x3000, 22)})
        << SessionTable {{1000u, 3600u, 0x2000u}, {2000u, 61u, 0x1000u}, {500u, 22u, 0x3000u}}
        << 3683 << 7 << "3 sessions with\none hour one minute 23 seconds duration";
    QTest::newRow("only the records field decides FFFF")
        << page({QStringLiteral("FFFFFFFFFFFFFFFF2200FFFF")})
        << SessionTable {{0xFFFFFFFFu, 34u, 0xFFFFFFFFu}} << 34 << 2
        << "1 sessions with\n34 seconds duration";

    // Start time and address that do not parse become 0; a records field that does not parse
    // counts 0 and skips the entry.
    QString badTime = entry(0, 0x1A00, 30);
    badTime.replace(0, 8, QStringLiteral("12Z45678"));
    QString badAddress = entry(1234, 0, 40);
    badAddress.replace(8, 8, QStringLiteral("g0000000"));
    QString badRecords = entry(99, 0x100, 0);
    badRecords.replace(16, 4, QStringLiteral("X100"));
    QTest::newRow("non-hex fields") << page({badTime, badRecords, badAddress})
                                    << SessionTable {{0u, 30u, 0x1A00u}, {1234u, 40u, 0u}} << 70
                                    << 4 << "2 sessions with\none minute 10 seconds duration";

    // A page cut inside entry 2: entries 0 and 1 decode, the rest is not there.
    const QString full = page({entry(10, 0x100, 22), entry(20, 0x200, 23), entry(30, 0x300, 24)});
    QTest::newRow("short page") << full.left(2 * 24 + 19)
                                << SessionTable {{10u, 22u, 0x100u}, {20u, 23u, 0x200u}} << 45 << 4
                                << "2 sessions with\n45 seconds duration";
    QTest::newRow("page ending after a records field")
        << full.left(2 * 24 + 20)
        << SessionTable {{10u, 22u, 0x100u}, {20u, 23u, 0x200u}, {30u, 24u, 0x300u}} << 69 << 7
        << "3 sessions with\none minute 9 seconds duration";
    QTest::newRow("empty page") << QString() << SessionTable() << 0 << 0 << none;
}

void TestDeviceCodec::summary()
{
    QFETCH(QString, page);
    QFETCH(SessionTable, rows);
    QFETCH(int, records);
    QFETCH(int, used);
    QFETCH(QString, info);

    const MemorySummary summary = decodeSummaryPage(page);
    QCOMPARE(summary.rows, rows);
    QCOMPARE(summary.numberOfSessions, rows.size());
    QCOMPARE(summary.numberOfRecords, records);
    QCOMPARE(summary.memoryUsed, used);
    QCOMPARE(summary.memoryInfo, info);
}

void TestDeviceCodec::fullDirectory_data()
{
    QTest::addColumn<int>("kept");
    QTest::addColumn<int>("used");

    QTest::newRow("20") << 20 << 48;
    QTest::newRow("40") << 40 << 97;
    QTest::newRow("41") << 41 << 100;
}

void TestDeviceCodec::fullDirectory()
{
    QFETCH(int, kept);
    QFETCH(int, used);

    QStringList entries;
    for (int k = 0; k < 41; ++k)
        entries << (k < kept ? entry(1000 + k, 0x1000 + 0x100 * k, 22 + k) : unusedEntry());
    const MemorySummary summary = decodeSummaryPage(page(entries));

    QCOMPARE(summary.numberOfSessions, kept);
    QCOMPARE(summary.memoryUsed, used);
    QCOMPARE(summary.rows.size(), kept);
    QCOMPARE(summary.rows.last(),
             (SessionRow {quint32(1000 + kept - 1), quint32(22 + kept - 1),
                          quint32(0x1000 + 0x100 * (kept - 1))}));
    QCOMPARE(summary.numberOfRecords, 22 * kept + kept * (kept - 1) / 2);
}

void TestDeviceCodec::description_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<SessionRow>("row");
    QTest::addColumn<QString>("expected");

    // 2026-03-02 09:05:03 UTC, shown in the test's local zone (UTC+2).
    QTest::newRow("first row")
        << 0 << SessionRow {1772442303u, 22u, 0x1A00u}
        << "Session:0 Start time:02 Mar 2026 11:05:03 +0200 Start address:0x01a00 Records "
           "count:22";
    QTest::newRow("large values")
        << 12 << SessionRow {0u, 65534u, 0xFFFFFFFFu}
        << "Session:12 Start time:01 Jan 1970 02:00:00 +0200 Start address:0x0ffffffff Records "
           "count:65534";
    QTest::newRow("missing fields")
        << 3 << SessionRow {}
        << "Session:3 Start time:01 Jan 1970 02:00:00 +0200 Start address:0x00 Records count:0";
}

void TestDeviceCodec::description()
{
    QFETCH(int, index);
    QFETCH(SessionRow, row);
    QFETCH(QString, expected);
    QCOMPARE(sessionDescription(index, row), expected);
}

void TestDeviceCodec::hexBytes_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("mixed case") << "00FFa5" << bytes({0x00, 0xFF, 0xA5});
    QTest::newRow("bad pair gives 0") << "0G12zz7f" << bytes({0x00, 0x12, 0x00, 0x7F});
    QTest::newRow("one bad digit spoils its pair only") << "1 23" << bytes({0x00, 0x23});
    QTest::newRow("lone trailing character dropped") << "ABC" << bytes({0xAB});
    QTest::newRow("empty") << "" << QByteArray();
}

void TestDeviceCodec::hexBytes()
{
    QFETCH(QString, hex);
    QFETCH(QByteArray, expected);
    QCOMPARE(hexToBytes(hex), expected);
}

void TestDeviceCodec::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("check value") << QByteArray("123456789") << 0xCBF43926u;
    QTest::newRow("sentence") << QByteArray("The quick brown fox jumps over the lazy dog")
                              << 0x414FA339u;
    QTest::newRow("32 zero bytes") << QByteArray(32, '\0') << 0x190A55ADu;
    QTest::newRow("erased page data") << QByteArray(511, '\xFF') << 3378246441u;
}

void TestDeviceCodec::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(quint32, expected);
    QCOMPARE(crc32(data), expected);
}

void TestDeviceCodec::crcReport_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("expected");

    QTest::newRow("erased page with check byte A5") << QString(1022, QLatin1Char('F')) + "A5"
                                                    << "A5 165 3378246441";
    QTest::newRow("check characters that do not parse") << QString(1022, QLatin1Char('F')) + "ZZ"
                                                        << "ZZ 0 3378246441";
    QTest::newRow("longer text: only characters 0..1023 count")
        << QString(1022, QLatin1Char('F')) + "0a" + "1234"
        << "0a 10 3378246441";
    QTest::newRow("short page") << "0102"
                                << " 0 3066839698";
}

void TestDeviceCodec::crcReport()
{
    QFETCH(QString, page);
    QFETCH(QString, expected);
    QCOMPARE(summaryCrcReport(page), expected);
}

void TestDeviceCodec::readCommand_data()
{
    QTest::addColumn<quint64>("address");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first page") << quint64(0x1A00) << QByteArray("R00001A00\n");
    QTest::newRow("next page") << quint64(0x1B00) << QByteArray("R00001B00\n");
    QTest::newRow("summary page") << quint64(0xFF000) << QByteArray("R000FF000\n");
    QTest::newRow("zero") << quint64(0) << QByteArray("R00000000\n");
    QTest::newRow("more than 8 digits") << quint64(0x123456789) << QByteArray("R123456789\n");
}

void TestDeviceCodec::readCommand()
{
    QFETCH(quint64, address);
    QFETCH(QByteArray, expected);
    QCOMPARE(pageReadCommand(address), expected);
}

void TestDeviceCodec::pageText_data()
{
    // The lines the device sends after one read command, and what the page makes of them.
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QString>("status"); // after the last line: "incomplete", "complete", "broken"

    const QByteArray page = QByteArray(255, 'A').toHex().left(510) + "0F"; // 512 digits
    const QByteArray half1 = page.left(256), half2 = page.mid(256);
    QTest::newRow("one line") << QByteArrayList {page + "\r\n"} << "complete";
    QTest::newRow("no line end yet") << QByteArrayList {page} << "incomplete";
    QTest::newRow("line breaks and spaces inside")
        << QByteArrayList {half1.left(100) + " \n", half1.mid(100) + "\r\n", " " + half2 + " \r\n"}
        << "complete";
    QTest::newRow("blank line first") << QByteArrayList {"\r\n", page + "\n"} << "complete";
    QTest::newRow("one digit short") << QByteArrayList {page.left(511) + "\r\n"} << "incomplete";
    QTest::newRow("stray line before the page")
        << QByteArrayList {"A\r\n", page.left(511), page.right(1) + "\r\n"} << "broken";
    QTest::newRow("stray hex line before the page")
        << QByteArrayList {"0A\r\n", page + "\r\n"} << "broken";
    QTest::newRow("stray text after the digits") << QByteArrayList {page + "#?\r\n"} << "broken";
    QTest::newRow("a digit too many") << QByteArrayList {page + "0\r\n"} << "broken";
    QTest::newRow("NUL byte") << QByteArrayList {QByteArray("12\0", 3)} << "broken";
    QTest::newRow("lines after completion are not read")
        << QByteArrayList {page + "\r\n", "ZZ\r\n"} << "complete";
}

void TestDeviceCodec::pageText()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(QString, status);
    PageAssembler assembler;
    PageAssembler::Status last = PageAssembler::Status::Incomplete;
    for (const QByteArray &line : lines)
        last = assembler.add(line);
    const QString seen = last == PageAssembler::Status::Complete ? QStringLiteral("complete")
        : last == PageAssembler::Status::Broken                  ? QStringLiteral("broken")
                                                                 : QStringLiteral("incomplete");
    QCOMPARE(seen, status);
    if (last == PageAssembler::Status::Complete)
        QCOMPARE(assembler.digits().size(), 512);
    QCOMPARE(assembler.error().isEmpty(), last != PageAssembler::Status::Broken);
    // The next page starts from nothing.
    assembler.clear();
    QCOMPARE(assembler.add("0A\n"), PageAssembler::Status::Incomplete);
    QCOMPARE(assembler.digits(), QByteArray("0A"));
}

void TestDeviceCodec::record_data()
{
    QTest::addColumn<QString>("deviceRecord");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray nineZeros(9, '\0');
    QTest::newRow("example") << "123456789ABCDEF011223344"
                             << bytes({0, 0, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11}) + nineZeros;
    QTest::newRow("bad pair") << "1234567Z9ABCDEF0112233"
                              << bytes({0, 0, 0x56, 0x00, 0x9A, 0xBC, 0xDE, 0xF0, 0x11})
            + nineZeros;
    QTest::newRow("short record") << "FFFFAB" << bytes({0, 0, 0xAB}) + QByteArray(15, '\0');
    QTest::newRow("empty") << "" << QByteArray(18, '\0');
}

void TestDeviceCodec::record()
{
    QFETCH(QString, deviceRecord);
    QFETCH(QByteArray, expected);
    QCOMPARE(fileRecord(deviceRecord), expected);
}

void TestDeviceCodec::timeCommand_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray command("ATW 03/02/26 09:05:03\n");
    const QDate day(2026, 3, 2);
    QTest::newRow("UTC") << QDateTime(day, QTime(9, 5, 3), Qt::UTC) << command;
    QTest::newRow("offset +05:30")
        << QDateTime(day, QTime(14, 35, 3), Qt::OffsetFromUTC, 19800) << command;
    QTest::newRow("local time, UTC+2") << QDateTime(day, QTime(11, 5, 3), Qt::LocalTime) << command;
    QTest::newRow("day changes in UTC")
        << QDateTime(QDate(2026, 1, 1), QTime(1, 0, 0), Qt::LocalTime)
        << QByteArray("ATW 12/31/25 23:00:00\n");
    QTest::newRow("invalid") << QDateTime() << QByteArray();
}

void TestDeviceCodec::timeCommand()
{
    QFETCH(QDateTime, now);
    QFETCH(QByteArray, expected);
    const QByteArray command = setTimeCommand(now);
    QCOMPARE(command, expected);
    if (!expected.isEmpty())
        QCOMPARE(command.size(), 22);
}

void TestDeviceCodec::lineIndex_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0") << 0 << "0000";
    QTest::newRow("26") << 26 << "001A";
    QTest::newRow("0xFFFF") << 0xFFFF << "FFFF";
    QTest::newRow("0x10000") << 0x10000 << "10000";
    QTest::newRow("0xABCDE") << 0xABCDE << "ABCDE";
    QTest::newRow("negative") << -1 << "";
}

void TestDeviceCodec::lineIndex()
{
    QFETCH(int, index);
    QFETCH(QString, expected);
    QCOMPARE(firmwareLineIndex(index), expected);
}

void TestDeviceCodec::firmwareImageOf646Bytes()
{
    const QByteArray img = image(2, 642);
    QCOMPARE(img.size(), 646);
    const FirmwareLines lines = cutFirmwareImage(img);

    QVERIFY2(lines.ok(), qPrintable(lines.error));
    QCOMPARE(lines.fLines.size(), 2);
    QCOMPARE(lines.cLines.size(), 2);
    QCOMPARE(lines.fLines.at(0), "F0000" + upperHex(img.mid(4, 256)) + "\n");
    QCOMPARE(lines.fLines.at(1), "F0001" + upperHex(img.mid(260, 256)) + "\n");
    QCOMPARE(lines.cLines.at(0), "C0000" + upperHex(img.mid(516, 64)) + "\n");
    QCOMPARE(lines.cLines.at(1), "C0001" + upperHex(img.mid(580, 64)) + "\n");
    for (const QString &line : lines.fLines)
        QCOMPARE(line.size(), 518);
    for (const QString &line : lines.cLines)
        QCOMPARE(line.size(), 134);
}

void TestDeviceCodec::firmwareWithoutFBlocks()
{
    const QByteArray img = image(0, 130, 0xA0);
    const FirmwareLines lines = cutFirmwareImage(img);

    QVERIFY2(lines.ok(), qPrintable(lines.error));
    QVERIFY(lines.fLines.isEmpty());
    QCOMPARE(lines.cLines,
             (QStringList {"C0000" + upperHex(img.mid(4, 64)) + "\n",
                           "C0001" + upperHex(img.mid(68, 64)) + "\n"}));
}

void TestDeviceCodec::firmwareLongImage()
{
    // 27 F blocks exactly, nothing after them.
    const QByteArray img = image(27, 27 * 256, 7);
    const FirmwareLines lines = cutFirmwareImage(img);

    QVERIFY2(lines.ok(), qPrintable(lines.error));
    QCOMPARE(lines.fLines.size(), 27);
    QVERIFY(lines.cLines.isEmpty());
    QCOMPARE(lines.fLines.at(26), "F001A" + upperHex(img.mid(4 + 26 * 256, 256)) + "\n");
}

void TestDeviceCodec::firmwareRefused_data()
{
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("3 bytes") << bytes({0x00, 0x01, 0x00});
    QTest::newRow("one byte short of 2 blocks") << image(2, 511);
    QTest::newRow("1 block announced, none present") << image(1, 200);
    QTest::newRow("largest count announced") << image(0xFFFFFF, 1024);
    QTest::newRow("header only") << image(0, 0);
    QTest::newRow("no whole C block") << image(0, 63);
}

void TestDeviceCodec::firmwareRefused()
{
    QFETCH(QByteArray, image);
    const FirmwareLines lines = cutFirmwareImage(image);
    QVERIFY(!lines.ok());
    QVERIFY(lines.fLines.isEmpty());
    QVERIFY(lines.cLines.isEmpty());
}

ORVANE_TEST_MAIN(TestDeviceCodec)

#include "tst_devicecodec.moc"
