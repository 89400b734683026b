// The cloud client's pure functions where a table says more than the cloud suites: the reply
// readers facing what a broken or hostile service may send, the direct decoder of application
// downloads against the JSON library, and stored credentials that are damaged.
#include "cloud/cloudcodec.h"
#include "crypto/aescipher.h"
#include "testmain.h"

#include <QRandomGenerator>

using cloudcodec::ReplyStatus;

namespace {

const QByteArray goodToken = "0123456789abcdef0123456789abcdef-_.~";

// A sign-in reply carrying the given token text (JSON-escaped already) and user id text.
QByteArray signInBody(const QByteArray &token, const QByteArray &id = "1001")
{
    return R"({"token": ")" + token + R"(", "userDto": {"id": )" + id + "}}";
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out.append(char(v));
    return out;
}

// A stored value as the settings would hold it, made from any bytes, not only from text.
QByteArray storedFromBytes(const QByteArray &plain)
{
    AesCipher cipher(AesCipher::AES_128, AesCipher::ECB, AesCipher::ISO);
    return cipher.encode(plain, QByteArrayLiteral("MirtaqulVexobranPo"), QByteArray());
}

} // namespace

class TestCloudCodec : public QObject
{
    Q_OBJECT

private slots:
    void signInReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("userID");
        QTest::addColumn<bool>("usable");

        const QString good = QString::fromLatin1(goodToken);
        const QString good35 = good.left(35);
        QTest::newRow("accepted") << signInBody(goodToken) << false << good << 1001 << true;
        QTest::newRow("code 0 refuses, token unread")
            << QByteArray(R"({"code": 0, "token": ")" + goodToken + R"("})") << true << QString()
            << 0 << false;
        QTest::newRow("code null refuses")
            << QByteArray(R"({"code": null})") << true << QString() << 0 << false;
        QTest::newRow("35 characters")
            << signInBody(goodToken.left(35)) << false << good35 << 1001 << false;
        QTest::newRow("37 characters")
            << signInBody(goodToken + "x") << false << good + "x" << 1001 << false;
        QTest::newRow("line break inside")
            << signInBody(goodToken.left(34) + "\\r\\n") << false << good.left(34) + "\r\n"
            << 1001 << false;
        QTest::newRow("escaped NUL inside") << signInBody(goodToken.left(35) + "\\u0000") << false
                                            << good35 + QChar(0) << 1001 << false;
        QTest::newRow("DEL inside") << signInBody(goodToken.left(35) + "\\u007f") << false
                                    << good35 + QChar(0x7F) << 1001 << false;
        QTest::newRow("Latin-1 letter, not ASCII")
            << signInBody(goodToken.left(35) + "\\u00e9") << false << good35 + QChar(0xE9) << 1001
            << false;
        QTest::newRow("emoji: 36 UTF-16 units")
            << signInBody(goodToken.left(34) + "\\ud83d\\udd11") << false
            << good.left(34) + QStringLiteral("🔑") << 1001 << false;
        QTest::newRow("token a number")
            << QByteArray(R"({"token": 123456789012345678901234567890123456})") << false
            << QString() << 0 << false;
        QTest::newRow("user a list")
            << QByteArray(R"({"token": ")" + goodToken + R"(", "userDto": [{"id": 5}]})") << false
            << good << 0 << true;
        QTest::newRow("id a string")
            << signInBody(goodToken, R"("5")") << false << good << 0 << true;
        QTest::newRow("id a fraction")
            << signInBody(goodToken, "5.5") << false << good << 0 << true;
        QTest::newRow("id beyond int")
            << signInBody(goodToken, "2147483648") << false << good << 0 << true;
        QTest::newRow("an array") << QByteArray("[" + signInBody(goodToken) + "]") << false
                                  << QString() << 0 << false;
        QTest::newRow("a NUL byte ends the text")
            << signInBody(goodToken) + QByteArray("\0{\"code\": 1}", 12) << false << good << 1001
            << true;
        QTest::newRow("a NUL byte inside the token")
            << QByteArray("{\"token\": \"0123\0", 16) + goodToken + "\"}" << false << QString() << 0
            << false;
    }

    void signInReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QFETCH(QString, token);
        QFETCH(int, userID);
        QFETCH(bool, usable);

        const cloudcodec::SignInReply read = cloudcodec::readSignInReply(body);
        QCOMPARE(read.refused, refused);
        QCOMPARE(read.token, token);
        QCOMPARE(read.userID, userID);
        QCOMPARE(read.tokenUsable, usable);
    }

    void firmwareReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("usable");

        QTest::newRow("bytes wrap") << QByteArray(R"({"version": 12, "data": [1, 255, 256, -1]})")
                                    << false << 12 << bytesOf({1, 0xFF, 0, 0xFF}) << true;
        QTest::newRow("elements of other types")
            << QByteArray(R"({"version": 3, "data": ["7", null, true, [1], {"a": 1}, 9]})") << false
            << 3 << bytesOf({0, 0, 0, 0, 0, 9}) << true;
        QTest::newRow("huge and fractional elements")
            << QByteArray(R"({"version": 3, "data": [1e10, 2.5, 258.0, -1e300]})") << false << 3
            << bytesOf({0, 0, 2, 0}) << true;
        QTest::newRow("version a string") << QByteArray(R"({"version": "12", "data": [1]})")
                                          << false << 0 << bytesOf({1}) << true;
        QTest::newRow("version beyond int") << QByteArray(R"({"version": 4294967308, "data": [1]})")
                                            << false << 0 << bytesOf({1}) << true;
        QTest::newRow("no data") << QByteArray(R"({"version": 12})") << false << 12 << QByteArray()
                                 << false;
        QTest::newRow("data an object") << QByteArray(R"({"version": 12, "data": {"0": 1}})")
                                        << false << 12 << QByteArray() << false;
        QTest::newRow("data a string") << QByteArray(R"({"version": 12, "data": "AQID"})") << false
                                       << 12 << QByteArray() << false;
        QTest::newRow("an array") << QByteArray("[1, 2]") << false << 0 << QByteArray() << false;
        QTest::newRow("network error with an image")
            << QByteArray(R"({"version": 12, "data": [1, 2]})") << true << 12 << bytesOf({1, 2})
            << false;
        QTest::newRow("a NUL byte cuts the image")
            << QByteArray("{\"version\": 12, \"data\": [1,\0 2]}", 32) << false << 0 << QByteArray()
            << false;
    }

    void firmwareReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, failed);
        QFETCH(int, version);
        QFETCH(QByteArray, image);
        QFETCH(bool, usable);

        const cloudcodec::FirmwareReply read =
            cloudcodec::readFirmwareReply(body, ReplyStatus {failed ? 503 : 200, failed});
        QCOMPARE(read.version, version);
        QCOMPARE(read.image, image);
        QCOMPARE(read.usable, usable);
    }

    void pairingReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QList<int>>("ids");

        QTest::newRow("every match, in order") << QByteArray(
            R"([{"name": "A", "id": 5}, {"name": "B", "id": 7}, {"name": "A", "id": 9}])")
                                               << false << QList<int> {5, 9};
        QTest::newRow("letter case differs")
            << QByteArray(R"([{"name": "a", "id": 5}])") << false << QList<int>();
        QTest::newRow("refused") << QByteArray(R"({"code": 409})") << true << QList<int>();
        QTest::newRow("refused, code null")
            << QByteArray(R"({"code": null})") << true << QList<int>();
        QTest::newRow("an object without code")
            << QByteArray(R"({"name": "A", "id": 5})") << false << QList<int>();
        QTest::newRow("elements of other types")
            << QByteArray(R"(["A", 5, null, [{"name": "A", "id": 1}], {"name": 65, "id": 2}])")
            << false << QList<int>();
        QTest::newRow("id missing, a string, beyond int")
            << QByteArray(R"([{"name": "A"}, {"name": "A", "id": "3"}, {"name": "A", "id": 1e10}])")
            << false << QList<int> {0, 0, 0};
        QTest::newRow("name with a NUL after it")
            << QByteArray(R"([{"name": "A\u0000", "id": 5}])") << false << QList<int>();
        QTest::newRow("a NUL byte ends the list")
            << QByteArray("[{\"name\": \"A\", \"id\": 5}]\0[{\"name\": \"A\", \"id\": 6}]", 49)
            << false << QList<int> {5};
        QTest::newRow("not JSON") << QByteArray("oops") << false << QList<int>();
        QTest::newRow("empty body") << QByteArray() << false << QList<int>();
    }

    void pairingReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QFETCH(QList<int>, ids);

        const cloudcodec::PairingReply read =
            cloudcodec::readPairingReply(body, QStringLiteral("A"));
        QCOMPARE(read.refused, refused);
        QCOMPARE(read.ids, ids);
        QCOMPARE(read.matched(), !ids.isEmpty());
        QCOMPARE(read.id(), ids.isEmpty() ? 0 : ids.last());
    }

    void updateCheckReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<bool>("newer");
        QTest::addColumn<QString>("description");

        const auto offer = [](const QByteArray &major, const QByteArray &minor) {
            return R"({"versionMajor": )" + major + R"(, "versionMinor": )" + minor
                + R"(, "description": "New things"})";
        };
        const QString what = QStringLiteral("New things");
        QTest::newRow("7.5") << offer("7", "5") << 200 << true << true << what;
        QTest::newRow("7.4") << offer("7", "4") << 200 << true << false << what;
        QTest::newRow("8.0") << offer("8", "0") << 200 << true << false << what;
        QTest::newRow("7.0 and 5.0") << offer("7.0", "5.0") << 200 << true << true << what;
        QTest::newRow("minor a string") << offer("7", R"("5")") << 200 << true << false << what;
        QTest::newRow("minor a fraction") << offer("7", "5.5") << 200 << true << false << what;
        QTest::newRow("minor beyond int")
            << offer("7", "4294967301") << 200 << true << false << what;
        QTest::newRow("description not a string")
            << QByteArray(R"({"versionMajor": 7, "versionMinor": 5, "description": [1]})") << 200
            << true << true << QString();
        QTest::newRow("status 404") << offer("7", "5") << 404 << false << false << QString();
        QTest::newRow("status 201") << offer("7", "5") << 201 << false << false << QString();
        QTest::newRow("no answer") << QByteArray() << 0 << false << false << QString();
        QTest::newRow("an array") << QByteArray("[" + offer("7", "5") + "]") << 200 << true << false
                                  << QString();
    }

    void updateCheckReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, answered);
        QFETCH(bool, newer);
        QFETCH(QString, description);

        const cloudcodec::UpdateOffer offer =
            cloudcodec::readUpdateCheckReply(body, ReplyStatus {status, status != 200});
        QCOMPARE(offer.answered, answered);
        QCOMPARE(offer.newer, newer);
        QCOMPARE(offer.description, description);
    }

    void applicationReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("three bytes")
            << QByteArray("[0, 255, 256]") << 200 << false << true << true << bytesOf({0, 0xFF, 0});
        QTest::newRow("status 404")
            << QByteArray("[1]") << 404 << true << false << false << QByteArray();
        QTest::newRow("status 201")
            << QByteArray("[1]") << 201 << false << false << false << QByteArray();
        QTest::newRow("cut off on the way")
            << QByteArray("[1, 2]") << 200 << true << true << false << bytesOf({1, 2});
        QTest::newRow("empty array")
            << QByteArray("[]") << 200 << false << true << false << QByteArray();
        QTest::newRow("an object")
            << QByteArray(R"({"data": [1]})") << 200 << false << true << false << QByteArray();
        QTest::newRow("truncated")
            << QByteArray("[1, 2") << 200 << false << true << false << QByteArray();
    }

    void applicationReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, failed);
        QFETCH(bool, answered);
        QFETCH(bool, usable);
        QFETCH(QByteArray, bytes);

        const cloudcodec::ApplicationReply read =
            cloudcodec::readApplicationReply(body, ReplyStatus {status, failed});
        QCOMPARE(read.answered, answered);
        QCOMPARE(read.usable, usable);
        QCOMPARE(read.bytes, bytes);
    }

    void uploadReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("confirmed");

        QTest::newRow("true") << QByteArray("true") << 200 << false << true;
        QTest::newRow("True") << QByteArray("True") << 200 << false << false;
        QTest::newRow("line feed after") << QByteArray("true\n") << 200 << false << false;
        QTest::newRow("quoted") << QByteArray("\"true\"") << 200 << false << false;
        QTest::newRow("empty") << QByteArray() << 200 << false << false;
        QTest::newRow("status 201") << QByteArray("true") << 201 << false << false;
        QTest::newRow("status 500") << QByteArray("true") << 500 << true << false;
        QTest::newRow("network error after 200") << QByteArray("true") << 200 << true << false;
        QTest::newRow("no answer") << QByteArray() << 0 << true << false;
        // The service's text ends at a NUL byte, as every reply's does.
        QTest::newRow("a NUL byte after it")
            << QByteArray("true\0false", 10) << 200 << false << true;
        QTest::newRow("a NUL byte before it") << QByteArray("\0true", 5) << 200 << false << false;
    }

    void uploadReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, failed);
        QFETCH(bool, confirmed);

        const cloudcodec::UploadReply read =
            cloudcodec::readUploadReply(body, ReplyStatus {status, failed});
        QCOMPARE(read.confirmed, confirmed);
        QCOMPARE(read.text, cloudcodec::replyText(body));
    }

    void applicationBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isArray");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("wraps") << QByteArray("[0, 255, 256]") << true
                               << bytesOf({0x00, 0xFF, 0x00});
        QTest::newRow("compact, line feed")
            << QByteArray("[1,2,3]\n") << true << bytesOf({1, 2, 3});
        QTest::newRow("negatives, white space")
            << QByteArray(" \r\n\t[ -1 , -256 ,\n257 ]\t") << true << bytesOf({0xFF, 0x00, 0x01});
        QTest::newRow("minus zero") << QByteArray("[-0, 0]") << true << bytesOf({0, 0});
        QTest::newRow("nine and ten digits") << QByteArray("[999999999, 1000000000, -999999999]")
                                             << true << bytesOf({0xFF, 0x00, 0x01});
        QTest::newRow("beyond int") << QByteArray("[2147483647, 2147483648, -2147483649]") << true
                                    << bytesOf({0xFF, 0x00, 0x00});
        QTest::newRow("fractions, exponents") << QByteArray("[1.5, 2.0, 1e2, 1E2, -1.0, 255.99]")
                                              << true << bytesOf({0, 2, 100, 100, 0xFF, 0});
        QTest::newRow("not numbers")
            << QByteArray(R"(["7", null, true, {}, []])") << true << bytesOf({0, 0, 0, 0, 0});
        QTest::newRow("non-ASCII string")
            << QByteArray("[1, \"\xC3\xA9\"]") << true << bytesOf({1, 0});
        QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("[1, \"\xFF\"]") << true << bytesOf({1, 0});
        QTest::newRow("ends at a zero byte")
            << QByteArray("[5]\0[6, 7]", 10) << true << bytesOf({5});
        QTest::newRow("another member after it")
            << QByteArray(R"([1], "x": 2)") << true << bytesOf({1});
        QTest::newRow("empty array") << QByteArray("[]") << true << QByteArray();
        QTest::newRow("empty body") << QByteArray() << false << QByteArray();
        QTest::newRow("white space only") << QByteArray(" \n") << false << QByteArray();
        QTest::newRow("zero byte first") << QByteArray("\0[1]", 4) << false << QByteArray();
        QTest::newRow("trailing comma") << QByteArray("[1,]") << false << QByteArray();
        QTest::newRow("leading zero") << QByteArray("[01]") << false << QByteArray();
        QTest::newRow("bare minus") << QByteArray("[-]") << false << QByteArray();
        QTest::newRow("plus sign") << QByteArray("[+1]") << false << QByteArray();
        QTest::newRow("hexadecimal") << QByteArray("[0x10]") << false << QByteArray();
        QTest::newRow("missing comma") << QByteArray("[1 2]") << false << QByteArray();
        QTest::newRow("unterminated") << QByteArray("[1, 2") << false << QByteArray();
        QTest::newRow("number too large") << QByteArray("[1e400]") << false << QByteArray();
        QTest::newRow("garbage after") << QByteArray("[1] ]") << false << QByteArray();
        QTest::newRow("an object") << QByteArray(R"({"data": [1]})") << false << QByteArray();
        QTest::newRow("HTML") << QByteArray("<html>502</html>") << false << QByteArray();
    }

    void applicationBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, isArray);
        QFETCH(QByteArray, bytes);

        const cloudcodec::DecodedBytes direct = cloudcodec::decodeApplicationBody(body);
        const cloudcodec::DecodedBytes viaJson = cloudcodec::decodeApplicationBodyViaJson(body);
        QCOMPARE(viaJson.isArray, isArray);
        QCOMPARE(viaJson.bytes, bytes);
        QCOMPARE(direct.isArray, isArray);
        QCOMPARE(direct.bytes, bytes);
    }

    void largeBodiesAgree()
    {
        // Every byte value, negatives and wide numbers, with assorted white space.
        QRandomGenerator random(20240501);
        QByteArray body = "[";
        QByteArray expected;
        const char *const spaces[] = {"", " ", "\n", "\r\n  ", "\t"};
        for (int i = 0; i < 200000; ++i) {
            const int value = int(random.bounded(-70000, 70000));
            if (i)
                body += spaces[random.bounded(5)] + QByteArray(",") + spaces[random.bounded(5)];
            body += QByteArray::number(value);
            expected.append(char(value & 0xFF));
        }
        body += "]\n";
        const cloudcodec::DecodedBytes direct = cloudcodec::decodeApplicationBody(body);
        QVERIFY(direct.isArray);
        QCOMPARE(direct.bytes, expected);
        QCOMPARE(cloudcodec::decodeApplicationBodyViaJson(body).bytes, expected);

        // One odd element anywhere sends the whole body the long way, with the same result.
        body.insert(body.indexOf(',', body.size() / 2) + 1, " \"x\",");
        const cloudcodec::DecodedBytes odd = cloudcodec::decodeApplicationBody(body);
        QCOMPARE(odd.bytes, cloudcodec::decodeApplicationBodyViaJson(body).bytes);
        QCOMPARE(odd.bytes.size(), expected.size() + 1);
    }

    void credentialRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("cipherBytes");

        QTest::newRow("empty") << QString() << 16;
        QTest::newRow("15 bytes") << QString(15, QLatin1Char('a')) << 16;
        QTest::newRow("16 bytes") << QString(16, QLatin1Char('b')) << 32;
        QTest::newRow("17 bytes") << QString(17, QLatin1Char('c')) << 32;
        QTest::newRow("ends in a multi-byte character") << QStringLiteral("naïve-€") << 16;
        QTest::newRow("emoji") << QStringLiteral("🔑 key") << 16;
        // Restored whole: the text used to end at its first NUL and lose a character.
        QTest::newRow("NUL inside") << QStringLiteral("]++") + QChar(0) + QStringLiteral("x") << 16;
        QTest::newRow("NUL last") << QStringLiteral("pass") + QChar(0) << 16;
    }

    void credentialRoundTrip()
    {
        QFETCH(QString, text);
        QFETCH(int, cipherBytes);
        const QByteArray stored = cloudcodec::encryptCredential(text);
        QCOMPARE(stored.size(), cipherBytes);
        QVERIFY(!stored.contains(text.toUtf8()) || text.isEmpty());
        QCOMPARE(cloudcodec::decryptCredential(stored), text);
    }

    void damagedCredentials_data()
    {
        QTest::addColumn<QByteArray>("stored");

        const QByteArray good =
            cloudcodec::encryptCredential(QStringLiteral("someone@example.org"));
        QByteArray flipped = good;
        flipped[flipped.size() - 1] = char(flipped.at(flipped.size() - 1) ^ 0x5A);

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("15 bytes") << good.left(15);
        QTest::newRow("17 bytes") << good.left(17);
        QTest::newRow("one block short") << good.left(16);
        QTest::newRow("last block damaged") << flipped;
        QTest::newRow("zero bytes") << QByteArray(32, '\0');
        QTest::newRow("plain text") << QByteArray("plain-text-password-of-32-bytes!");
        // Well padded, but the bytes are no text: they used to come back as a wrong credential.
        QTest::newRow("invalid UTF-8") << storedFromBytes("\xC3(ab");
        QTest::newRow("cut sequence before the marker") << storedFromBytes("ab\xE2\x82");
    }

    void damagedCredentials()
    {
        QFETCH(QByteArray, stored);
        QCOMPARE(cloudcodec::decryptCredential(stored), QString());
    }
};

ORVANE_TEST_MAIN(TestCloudCodec)
#include "tst_cloudcodec.moc"
