// The pure byte and text work of both links and the credentials' cipher; failing rows say who.
#include "cloud/cloudcodec.h"
#include "crypto/aescipher.h"
#include "device/devicecodec.h"
#include "downloadexercise.h"
#include "testmain.h"

#include <ctime>

using namespace devicecodec;
using cloudcodec::ReplyStatus;

#define COMPARE_ROW(row, actual, expected)                                                         \
    QVERIFY2(QString(actual) == QString(expected),                                                 \
             qPrintable(QStringLiteral("%1: got \"%2\", expected \"%3\"")                          \
                            .arg(QString(row), QString(actual), QString(expected))))

namespace {

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// The parts as text, separated by single spaces.
template<typename... Parts>
QString words(const Parts &...parts)
{
    return QStringList {QVariant::fromValue(parts).toString()...}.join(' ');
}

// A summary page of these sessions (time, records, address), the rest erased.
QString page(const SessionTable &sessions)
{
    return QString::fromLatin1(testsupport::summaryPageHex(sessions));
}

// What a summary page gives: the kept rows (time/records/address), the records, the memory used.
QString seen(const MemorySummary &summary)
{
    QStringList rows;
    for (const SessionRow &row : summary.rows)
        rows << QStringLiteral("%1/%2/%3")
                    .arg(row.value(0))
                    .arg(row.value(1))
                    .arg(row.value(2), 0, 16);
    return rows.join(' ')
        + QStringLiteral(" = %1 %2%").arg(summary.numberOfRecords).arg(summary.memoryUsed);
}

// A firmware image: a header announcing `fBlocks` blocks of 256 bytes, then `body` bytes.
QByteArray image(quint32 fBlocks, int body)
{
    QByteArray out("\x5A");
    out.append(char(fBlocks)).append(char(fBlocks >> 8)).append(char(fBlocks >> 16));
    for (int i = 0; i < body; ++i)
        out.append(char(i * 7 + i / 256));
    return out;
}

const QByteArray nistPlain =
    hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const QByteArray nistIv = hex("000102030405060708090a0b0c0d0e0f");
const QByteArray key128 = hex("2b7e151628aed2a6abf7158809cf4f3c");

} // namespace

class TestCodecs : public QObject
{
    Q_OBJECT

private slots:
    void summaryPage();
    void textsAndCommands();
    void pageText();
    void firmwareImage();
    void signInReply();
    void firmwareAndPairingReplies();
    void applicationReplies();
    void applicationBody();
    void credentials();
    void aes();
};

// moc cannot read raw string literals: the bodies stay out of its sight.
#ifndef Q_MOC_RUN

void TestCodecs::summaryPage()
{
    const QString full = page({{10, 22, 0x100}, {20, 23, 0x200}, {30, 24, 0x300}});
    const SessionRow gap {0xFFFFFFFF, 0xFFFF, 0xFFFFFFFF}; // an unused slot: all FF
    const QList<std::tuple<const char *, QString, const char *>> rows {
        {"erased", QString(1024, QLatin1Char('F')), " = 0 0%"},
        {"21 records are not listed, 22 are",
         page({{1700000000, 21, 0x1A00}, {1700000001, 22, 0x1B00}}), "1700000001/22/1b00 = 22 2%"},
        {"largest values", page({{0xFFFFFFFE, 0xFFFE, 0xFFFFFF00}}),
         "4294967294/65534/ffffff00 = 65534 2%"},
        {"gaps keep directory order",
         page({gap, {1000, 3600, 0x2000}, {5, 0, 0x100}, {2000, 61, 0x1000}, {500, 22, 0x3000}}),
         "1000/3600/2000 2000/61/1000 500/22/3000 = 3683 7%"},
        {"only the records field decides FFFF", page({{0xFFFFFFFF, 0x22, 0xFFFFFFFF}}),
         "4294967295/34/ffffffff = 34 2%"},
        // Time and address that do not parse read 0; records that do not parse skip.
        {"non-hex fields",
         page({{0, 30, 0x1A00}, {9, 0, 0x1}, {1234, 40, 0}})
             .replace(0, 8, "12Z45678")
             .replace(40, 4, "X100")
             .replace(56, 8, "g0000000"),
         "0/30/1a00 1234/40/0 = 70 4%"},
        {"cut inside the third records field", full.left(67), "10/22/100 20/23/200 = 45 4%"},
        {"cut after it", full.left(68), "10/22/100 20/23/200 30/24/300 = 69 7%"}};
    for (const auto &[name, text, expected] : rows) {
        const MemorySummary summary = decodeSummaryPage(text);
        COMPARE_ROW(name, seen(summary), expected);
        QCOMPARE(summary.numberOfSessions, summary.rows.size());
        QCOMPARE(summary.memoryInfo, memoryInfoText(summary.rows.size(), summary.numberOfRecords));
    }
    // The memory used is the share of the 41 directory slots, rounded down.
    SessionTable entries;
    for (quint32 k = 0; k < 41; ++k)
        entries << SessionRow {1000 + k, 22, 0x100 * k};
    QCOMPARE(decodeSummaryPage(page(entries.mid(0, 40))).memoryUsed, 97);
    const MemorySummary fullDirectory = decodeSummaryPage(page(entries));
    QCOMPARE(fullDirectory.memoryUsed, 100);
    QCOMPARE(fullDirectory.rows.last(), (SessionRow {1040u, 22u, 0x2800u}));
}

void TestCodecs::textsAndCommands()
{
    QCOMPARE(memoryInfoText(3, 3683),
             QStringLiteral("3 sessions with\none hour one minute 23 seconds duration"));
    const QList<QPair<quint64, QString>> durations {{0, "0 seconds"},
                                                    {1, "one second"},
                                                    {120, "2 minutes \nand 0 seconds"},
                                                    {3600, "one hour 0 seconds"},
                                                    {7322, "2 hours 2 minutes \nand 2 seconds"}};
    for (const auto &duration : durations)
        QCOMPARE(durationText(duration.first), duration.second);

    QCOMPARE(pageReadCommand(0x123456789), QByteArray("R123456789\n"));
    // Two zero bytes, record bytes 2..8, nine zero bytes; a pair that does not parse is 0.
    QCOMPARE(fileRecord("123456789ABCDEF011223344"), hex("000056789ABCDEF011") + QByteArray(9, 0));
    QCOMPARE(fileRecord("1234567Z9ABCDEF0112233"), hex("000056009ABCDEF011") + QByteArray(9, 0));
    QCOMPARE(fileRecord("FFFFAB"), hex("0000AB") + QByteArray(15, '\0'));

    // The device's clock runs on UTC: two hours behind this test's zone.
    qputenv("TZ", "XST-2");
    tzset();
    QCOMPARE(setTimeCommand(QDateTime(QDate(2026, 3, 2), QTime(11, 5, 3))),
             QByteArray("ATW 03/02/26 09:05:03\n"));
    QCOMPARE(setTimeCommand(QDateTime(QDate(2026, 1, 1), QTime(1, 0))),
             QByteArray("ATW 12/31/25 23:00:00\n"));
    QCOMPARE(setTimeCommand(QDateTime()), QByteArray());
}

void TestCodecs::pageText()
{
    // The lines the device sends after one read command: 0 incomplete, 1 complete, 2 broken.
    const QByteArray page = QByteArray(255, 'A').toHex() + "0F"; // 512 digits
    const QList<std::tuple<const char *, QByteArrayList, int>> rows {
        {"one line", {page + "\r\n"}, 1},
        {"no line end yet", {page}, 0},
        {"breaks and spaces inside", {page.left(99) + " \n", page.mid(99) + " \r\n"}, 1},
        {"blank line first", {"\r\n", page + "\n"}, 1},
        {"one digit short", {page.left(511) + "\r\n"}, 0},
        {"stray text after the digits", {page + "#?\r\n"}, 2},
        {"a digit too many", {page + "0\r\n"}, 2},
        {"NUL byte", {QByteArray("12\0", 3)}, 2},
        {"lines after completion are not read", {page + "\r\n", "ZZ\r\n"}, 1}};
    for (const auto &[name, lines, status] : rows) {
        PageAssembler assembler;
        int last = 0;
        for (const QByteArray &line : lines)
            last = int(assembler.add(line));
        COMPARE_ROW(name, QString::number(last), QString::number(status));
        if (status == 1)
            QCOMPARE(assembler.digits(), page);
        QCOMPARE(assembler.error().isEmpty(), status != 2);
        // The next page starts from nothing.
        assembler.clear();
        QCOMPARE(assembler.add("0A\n"), PageAssembler::Status::Incomplete);
        QCOMPARE(assembler.digits(), QByteArray("0A"));
    }
}

void TestCodecs::firmwareImage()
{
    // The F and C lines an image gives and the index of the last; damaged images are refused.
    const QList<std::tuple<const char *, QByteArray, const char *>> rows {
        {"646 bytes", image(2, 642), "cut 2 2 C0001"},
        {"no F block", image(0, 130), "cut 0 2 C0001"},
        {"27 F blocks, nothing after", image(27, 27 * 256), "cut 27 0 F001A"},
        {"3 bytes", hex("5A0100"), "refused 0 0"},
        {"a byte short of 2 blocks", image(2, 511), "refused 0 0"},
        {"largest count announced", image(0xFFFFFF, 1024), "refused 0 0"},
        {"header only", image(0, 0), "refused 0 0"},
        {"no whole C block", image(0, 63), "refused 0 0"}};
    for (const auto &[name, bytes, expected] : rows) {
        const FirmwareLines lines = cutFirmwareImage(bytes);
        const QStringList all = lines.fLines + lines.cLines;
        QStringList got {lines.ok() ? "cut" : "refused", QString::number(lines.fLines.size()),
                         QString::number(lines.cLines.size())};
        if (!all.isEmpty())
            got << all.last().left(5);
        COMPARE_ROW(name, got.join(' '), expected);
        // Each line: its letter and index, the block in upper-case hex, a line feed.
        int at = 4;
        for (const QString &line : all) {
            const int size = line.startsWith('F') ? 256 : 64;
            QCOMPARE(line.mid(5).toLatin1(), bytes.mid(at, size).toHex().toUpper() + "\n");
            at += size;
        }
    }
}

void TestCodecs::signInReply()
{
    // A member "code" refuses; a usable token is 36 printable ASCII characters.
    const QByteArray good = "0123456789abcdef0123456789abcdef-_.~";
    const auto reply = [](const QByteArray &token, const QByteArray &id = "1001") {
        return R"({"token": ")" + token + R"(", "userDto": {"id": )" + id + "}}";
    };
    // refused, token usable, user id, token length
    const QList<std::pair<QByteArray, const char *>> rows {
        {reply(good), "false true 1001 36"},
        {R"({"code": 0, "token": ")" + good + R"("})", "true false 0 0"},
        {R"({"code": null})", "true false 0 0"},
        {reply(good.left(35)), "false false 1001 35"},
        {reply(good.left(34) + "\\r\\n"), "false false 1001 36"},
        {reply(good.left(35) + "\\u007f"), "false false 1001 36"},
        {R"({"token": 123456789012345678901234567890123456})", "false false 0 0"},
        {reply(good, R"("5")"), "false true 0 36"},
        {reply(good) + QByteArray("\0{\"code\": 1}", 12), "false true 1001 36"}};
    for (const auto &[body, expected] : rows) {
        const auto read = cloudcodec::readSignInReply(body);
        COMPARE_ROW(body, words(read.refused, read.tokenUsable, read.userID, read.token.size()),
                    expected);
    }
    QCOMPARE(cloudcodec::readSignInReply(reply(good)).token, QString(good));
}

void TestCodecs::firmwareAndPairingReplies()
{
    // Version, image and whether it may replace the stored one.
    const QList<std::tuple<QByteArray, bool, const char *>> firmware {
        {R"({"version": 12, "data": [1, 255, 256, -1]})", false, "12 01ff00ff true"},
        {R"({"version": 3, "data": ["7", null, true, [1], {"a": 1}, 9.0]})", false,
         "3 000000000009 true"},
        {R"({"version": 12})", false, "12  false"},
        {R"({"version": 12, "data": [1, 2]})", true, "12 0102 false"},
        {QByteArray("{\"version\": 12, \"data\": [1,\0 2]}", 32), false, "0  false"}};
    for (const auto &[body, failed, expected] : firmware) {
        const auto read =
            cloudcodec::readFirmwareReply(body, ReplyStatus {failed ? 503 : 200, failed});
        COMPARE_ROW(body, words(read.version, QString(read.image.toHex()), read.usable), expected);
    }

    // Refused, and the ids of the devices named "A" whose unique number, if any, is "U1".
    const QList<std::pair<QByteArray, const char *>> pairing {
        {R"([{"name": "A", "id": 5, "uniqueNumber": "U2"}, {"name": "A", "id": 6}])", "0 6"},
        {R"([{"name": "A", "id": 5, "uniqueNumber": "U1"}, {"name": "A", "id": 7,)"
         R"( "uniqueNumber": "u1"}, {"name": "A", "id": 8, "uniqueNumber": ""}])",
         "0 5 8"},
        {R"([{"name": "A", "id": 5, "uniqueNumber": 1}, {"name": "A", "id": 6,)"
         R"( "uniqueNumber": null}])",
         "0 6"},
        {R"([{"name": "A", "id": 5}, {"name": "B", "id": 7}, {"name": "A", "id": 9}])", "0 5 9"},
        {R"([{"name": "a", "id": 5}])", "0"},
        {R"({"code": 409})", "1"},
        {R"({"code": null})", "1"},
        {R"(["A", 5, null, [{"name": "A", "id": 1}], {"name": 65, "id": 2}])", "0"},
        {R"([{"name": "A"}, {"name": "A", "id": "3"}, {"name": "A", "id": 1e10}])", "0 0 0 0"},
        {QByteArray("[{\"name\": \"A\", \"id\": 5}]\0[{\"name\": \"A\", \"id\": 6}]", 49), "0 5"},
        {"not JSON", "0"}};
    for (const auto &[body, expected] : pairing) {
        const cloudcodec::PairingReply read = cloudcodec::readPairingReply(body, "A", "U1");
        QStringList got {QString::number(read.refused)};
        for (const int id : read.ids)
            got << QString::number(id);
        COMPARE_ROW(body, got.join(' '), expected);
        QCOMPARE(read.matched(), !read.ids.isEmpty());
        QCOMPARE(read.id(), read.ids.isEmpty() ? 0 : read.ids.last());
    }
}

void TestCodecs::applicationReplies()
{
    // The update check (the running version is 7.4): answered, newer, description.
    const auto offer = [](const char *major, const char *minor) {
        return QByteArray(R"({"versionMajor": )") + major + R"(, "versionMinor": )" + minor
            + R"(, "description": "New"})";
    };
    const QList<std::tuple<QByteArray, int, const char *>> updates {
        {offer("7", "5"), 200, "true true New"},  {offer("7", "4"), 200, "true false New"},
        {offer("8", "0"), 200, "true false New"}, {offer("7", R"("5")"), 200, "true false New"},
        {offer("7", "5"), 201, "false false "},   {QByteArray(), 0, "false false "}};
    for (const auto &[body, status, expected] : updates) {
        const auto read =
            cloudcodec::readUpdateCheckReply(body, ReplyStatus {status, status != 200});
        COMPARE_ROW(body, words(read.answered, read.newer, read.description), expected);
    }

    // The application download: answered, usable, bytes.
    const auto download = [](const QByteArray &body, int status, bool failed = false) {
        const auto read = cloudcodec::readApplicationReply(body, ReplyStatus {status, failed});
        return words(read.answered, read.usable, QString(read.bytes.toHex()));
    };
    QCOMPARE(download("[0, 255, 256]", 200), QStringLiteral("true true 00ff00"));
    QCOMPARE(download("[1, 2]", 200, true), QStringLiteral("true false 0102")); // cut off
    QCOMPARE(download("[1]", 404, true), QStringLiteral("false false "));
    QCOMPARE(download("[1]", 201), QStringLiteral("false false "));
    QCOMPARE(download("[]", 200), QStringLiteral("true false "));
    QCOMPARE(download(R"({"data": [1]})", 200), QStringLiteral("true false "));

    // Only HTTP 200 without a network error and a body of "true" (up to a NUL) confirm an upload.
    const auto confirmed = [](const QByteArray &body, int status = 200, bool failed = false) {
        const auto read = cloudcodec::readUploadReply(body, ReplyStatus {status, failed});
        return read.text == cloudcodec::replyText(body) && read.confirmed;
    };
    QVERIFY(confirmed("true") && confirmed(QByteArray("true\0false", 10)));
    QVERIFY(!confirmed("True") && !confirmed("true\n") && !confirmed("\"true\"") && !confirmed(""));
    QVERIFY(!confirmed(QByteArray("\0true", 5)) && !confirmed("true", 201));
    QVERIFY(!confirmed("true", 500, true) && !confirmed("true", 200, true));
}

void TestCodecs::applicationBody()
{
    // The direct path and the JSON library agree on every body: arrays and their bytes...
    const QList<std::pair<QByteArray, const char *>> arrays {
        {"[0, 255, 256]", "00ff00"},
        {"[1,2,3]\n", "010203"},
        {" \r\n\t[ -1 , -256 ,\n257 ]\t", "ff0001"},
        {"[-0, 0]", "0000"},
        {"[2147483647, 2147483648, -2147483649]", "ff0000"},
        {"[1.5, 2.0, 1e2, 1E2, -1.0, 255.99]", "00026464ff00"},
        {R"(["7", null, true, {}, []])", "0000000000"},
        {"[1, \"\xFF\"]", "0100"},
        {QByteArray("[5]\0[6, 7]", 10), "05"},
        {R"([1], "x": 2)", "01"},
        {"[]", ""}};
    // ...and bodies that are no array at all, one after each "|".
    QList<std::pair<QByteArray, const char *>> rows = arrays;
    QList<QByteArray> others =
        QByteArray(R"(| |[1,]|[01]|[-]|[+1]|[0x10]|[1 2]|[1, 2|[1e400]|[1] ]|{"data": [1]}|<)")
            .split('|');
    for (const QByteArray &body : others << QByteArray("\0[1]", 4))
        rows.append({body, "no array"});
    for (const auto &[body, expected] : rows) {
        for (const auto &decoded : {cloudcodec::decodeApplicationBody(body),
                                    cloudcodec::decodeApplicationBodyViaJson(body)}) {
            COMPARE_ROW(body, decoded.isArray ? QString(decoded.bytes.toHex()) : "no array",
                        expected);
            QVERIFY(decoded.isArray || decoded.bytes.isEmpty());
        }
    }
}

void TestCodecs::credentials()
{
    const QStringList texts {QString(),
                             QString(15, 'a'),
                             QString(16, 'b'),
                             "naïve-€",
                             QStringLiteral("]++") + QChar(0) + "x",
                             QStringLiteral("pass") + QChar(0)};
    for (const QString &text : texts) {
        const QByteArray stored = cloudcodec::encryptCredential(text);
        QCOMPARE(stored.size(), (text.toUtf8().size() / 16 + 1) * 16);
        QVERIFY(!stored.contains(text.toUtf8()) || text.isEmpty());
        QCOMPARE(cloudcodec::decryptCredential(stored), text);
    }
    // Damaged values give nothing, never a wrong credential.
    const QByteArray good = cloudcodec::encryptCredential("someone@example.org");
    QByteArray flipped = good;
    flipped[31] = char(flipped.at(31) ^ 0x5A);
    AesCipher cipher(AesCipher::AES_128, AesCipher::ECB, AesCipher::ISO);
    const QByteArray key = "MirtaqulVexobranPo";
    for (const QByteArray &stored :
         {QByteArray(), good.left(15), good.left(17), good.left(16), flipped, QByteArray(32, 0),
          QByteArray("plain-text-password-of-32-bytes!"), cipher.encode("\xC3(ab", key, {}),
          cipher.encode("ab\xE2\x82", key, {})})
        QCOMPARE(cloudcodec::decryptCredential(stored), QString());
}

void TestCodecs::aes()
{
    // FIPS-197 C, SP 800-38A F.1.1, F.2.1, F.3.13, F.4.1: whole blocks get a block of PKCS7 or
    // ISO padding, none of ZERO; ECB reads no vector; key bytes past the key size change nothing.
    using A = AesCipher;
    const QByteArray fipsKey =
        hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const QByteArray fipsPlain = hex("00112233445566778899aabbccddeeff");
    const QByteArray pkcs7Block(16, char(16)), isoBlock = hex("80") + QByteArray(15, 0);
    const QList<std::tuple<A::Aes, A::Mode, A::Padding, QByteArray, QByteArray, const char *>>
        rows {{A::AES_128, A::ECB, A::ZERO, fipsKey.left(16), fipsPlain,
               "69c4e0d86a7b0430d8cdb78070b4c55a"},
              {A::AES_192, A::ECB, A::ZERO, fipsKey.left(24), fipsPlain,
               "dda97ca4864cdfe06eaf70a0ec0d7191"},
              {A::AES_256, A::ECB, A::ZERO, fipsKey, fipsPlain, "8ea2b7ca516745bfeafc49904b496089"},
              {A::AES_128, A::ECB, A::ZERO, key128, nistPlain,
               "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
               "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
              {A::AES_128, A::CBC, A::ZERO, key128, nistPlain,
               "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
               "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
              {A::AES_128, A::CFB, A::PKCS7, key128, nistPlain,
               "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
               "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
              {A::AES_128, A::OFB, A::ISO, key128, nistPlain,
               "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
               "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"}};
    for (const auto &[size, mode, padding, key, plain, cipher] : rows) {
        AesCipher aes(size, mode, padding);
        const QByteArray iv = mode == A::ECB ? QByteArray("never read") : nistIv;
        const QByteArray block = padding == A::PKCS7 ? pkcs7Block
            : padding == A::ISO                      ? isoBlock
                                                     : QByteArray();
        const QByteArray encoded = aes.encode(plain, key + "surplus", iv);
        QCOMPARE(encoded.size(), plain.size() + block.size());
        QCOMPARE(encoded.left(plain.size()).toHex(), QByteArray(cipher));
        QCOMPARE(aes.decode(encoded, key, iv), plain + block);
        QCOMPARE(aes.removePadding(aes.decode(encoded, key, iv)), plain);
    }
    // Each padding on a text three bytes short of a block.
    const QList<std::pair<A::Padding, QByteArray>> paddings {{A::ZERO, QByteArray(3, 0)},
                                                             {A::PKCS7, QByteArray(3, 3)},
                                                             {A::ISO, QByteArray("\x80\0\0", 3)}};
    for (const auto &[padding, tail] : paddings) {
        AesCipher aes(A::AES_128, A::ECB, padding);
        const QByteArray text = "thirteen byte";
        QCOMPARE(aes.decode(aes.encode(text, key128, {}), key128, {}), text + tail);
        QCOMPARE(A::RemovePadding(text + tail, padding), text);
    }

    // Unsafe input gives a null array: short key, wrong vector size, broken blocks, unknown values.
    const QByteArray text = "some text", blocks(32, 'c');
    QVERIFY(A::Crypt(A::AES_128, A::ECB, text, key128.left(15), {}, A::ISO).isNull());
    QVERIFY(A::Crypt(A::AES_192, A::CBC, text, key128, nistIv, A::ISO).isNull());
    QVERIFY(A::Decrypt(A::AES_256, A::OFB, blocks, fipsKey.left(31), nistIv, A::ISO).isNull());
    for (const A::Mode mode : {A::CBC, A::CFB, A::OFB})
        for (const QByteArray &iv : {QByteArray(), nistIv.left(15), nistIv + "x"})
            QVERIFY(A::Crypt(A::AES_128, mode, text, key128, iv, A::ISO).isNull()
                    && A::Decrypt(A::AES_128, mode, blocks, key128, iv, A::ISO).isNull());
    for (const A::Mode mode : {A::ECB, A::CBC})
        for (const int length : {1, 15, 17})
            QVERIFY(
                A::Decrypt(A::AES_128, mode, blocks.left(length), key128, nistIv, A::ISO).isNull());
    QVERIFY(A::Crypt(A::AES_128, A::Mode(4), text, key128, nistIv, A::ISO).isNull());
    QVERIFY(A::Crypt(A::AES_128, A::ECB, text, key128, {}, A::Padding(3)).isNull());
    // An unknown key size works as AES-128.
    QCOMPARE(A::Crypt(A::Aes(7), A::ECB, text, key128, {}, A::ISO),
             A::Crypt(A::AES_128, A::ECB, text, key128, {}, A::ISO));
}

#endif

ORVANE_TEST_MAIN(TestCodecs)
#include "tst_codecs.moc"
