// The cloud client's pure functions where a table says more than the cloud suites: the direct
// decoder of application downloads against the JSON library, and stored credentials that are
// damaged.
#include "cloud/cloudcodec.h"
#include "testmain.h"

#include <QRandomGenerator>

class TestCloudCodec : public QObject
{
    Q_OBJECT

private slots:
    void applicationBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isArray");
        QTest::addColumn<QByteArray>("bytes");

        const auto bytes = [](std::initializer_list<int> values) {
            QByteArray out;
            for (const int v : values)
                out.append(char(v));
            return out;
        };
        QTest::newRow("wraps") << QByteArray("[0, 255, 256]") << true << bytes({0x00, 0xFF, 0x00});
        QTest::newRow("compact, line feed") << QByteArray("[1,2,3]\n") << true << bytes({1, 2, 3});
        QTest::newRow("negatives, white space")
            << QByteArray(" \r\n\t[ -1 , -256 ,\n257 ]\t") << true << bytes({0xFF, 0x00, 0x01});
        QTest::newRow("minus zero") << QByteArray("[-0, 0]") << true << bytes({0, 0});
        QTest::newRow("nine and ten digits") << QByteArray("[999999999, 1000000000, -999999999]")
                                             << true << bytes({0xFF, 0x00, 0x01});
        QTest::newRow("beyond int") << QByteArray("[2147483647, 2147483648, -2147483649]") << true
                                    << bytes({0xFF, 0x00, 0x00});
        QTest::newRow("fractions, exponents") << QByteArray("[1.5, 2.0, 1e2, 1E2, -1.0, 255.99]")
                                              << true << bytes({0, 2, 100, 100, 0xFF, 0});
        QTest::newRow("not numbers")
            << QByteArray(R"(["7", null, true, {}, []])") << true << bytes({0, 0, 0, 0, 0});
        QTest::newRow("non-ASCII string")
            << QByteArray("[1, \"\xC3\xA9\"]") << true << bytes({1, 0});
        QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("[1, \"\xFF\"]") << true << bytes({1, 0});
        QTest::newRow("ends at a zero byte") << QByteArray("[5]\0[6, 7]", 10) << true << bytes({5});
        QTest::newRow("another member after it")
            << QByteArray(R"([1], "x": 2)") << true << bytes({1});
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
    }

    void damagedCredentials()
    {
        QFETCH(QByteArray, stored);
        QCOMPARE(cloudcodec::decryptCredential(stored), QString());
    }
};

ORVANE_TEST_MAIN(TestCloudCodec)
#include "tst_cloudcodec.moc"
