// AesCipher against the published FIPS-197 and NIST SP 800-38A vectors, its paddings, the
// vector and key rules, the credential-store use and the refusal of bad input.
#include "crypto/aescipher.h"
#include "testmain.h"

#include <QRegularExpression>

namespace {

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

const QByteArray fipsPlain = hex("00112233445566778899aabbccddeeff");
const QByteArray nistPlain = hex("6bc1bee22e409f96e93d7e117393172a"
                                 "ae2d8a571e03ac9c9eb76fac45af8e51"
                                 "30c81c46a35ce411e5fbc1191a0a52ef"
                                 "f69f2445df4f9b17ad2b417be66c3710");
const QByteArray nistIv = hex("000102030405060708090a0b0c0d0e0f");
const QByteArray nistKey128 = hex("2b7e151628aed2a6abf7158809cf4f3c");
const QByteArray nistKey192 = hex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b");
const QByteArray nistKey256 = hex("603deb1015ca71be2b73aef0857d7781"
                                  "1f352c073b6108d72d9810a30914dff4");
const QByteArray credentialKey = "MirtaqulVexobranPo";

const QRegularExpression shortKeyWarning("key of \\d+ bytes, shorter than");

} // namespace

class TestAesCipher : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswer_data();
    void knownAnswer();
    void surplusKeyBytesAreIgnored_data();
    void surplusKeyBytesAreIgnored();
    void paddingIsAddedAndKeptByDecode_data();
    void paddingIsAddedAndKeptByDecode();
    void removePadding_data();
    void removePadding();
    void badVectorGivesNull_data();
    void badVectorGivesNull();
    void ecbIgnoresVector();
    void credentialStoreRoundTrip_data();
    void credentialStoreRoundTrip();
    void streamModesDecodeShortLastBlock_data();
    void streamModesDecodeShortLastBlock();
    void shortKeyIsRefused_data();
    void shortKeyIsRefused();
    void partialBlockIsRefused_data();
    void partialBlockIsRefused();
    void valuesOutsideTheEnumerations();
};

void TestAesCipher::knownAnswer_data()
{
    QTest::addColumn<AesCipher::Aes>("keySize");
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("cipher");

    using A = AesCipher;
    QTest::newRow("FIPS-197 C.1") << A::AES_128 << A::ECB << hex("000102030405060708090a0b0c0d0e0f")
                                  << QByteArray() << fipsPlain
                                  << hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("FIPS-197 C.2") << A::AES_192 << A::ECB
                                  << hex("000102030405060708090a0b0c0d0e0f1011121314151617")
                                  << QByteArray() << fipsPlain
                                  << hex("dda97ca4864cdfe06eaf70a0ec0d7191");
    QTest::newRow("FIPS-197 C.3")
        << A::AES_256 << A::ECB
        << hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f") << QByteArray()
        << fipsPlain << hex("8ea2b7ca516745bfeafc49904b496089");

    struct Nist
    {
        const char *name;
        A::Aes keySize;
        A::Mode mode;
        const char *cipher;
    };
    const Nist rows[] = {
        {"F.1.1 ECB-AES128", A::AES_128, A::ECB,
         "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
         "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
        {"F.1.3 ECB-AES192", A::AES_192, A::ECB,
         "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
         "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
        {"F.1.5 ECB-AES256", A::AES_256, A::ECB,
         "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
         "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
        {"F.2.1 CBC-AES128", A::AES_128, A::CBC,
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"F.2.3 CBC-AES192", A::AES_192, A::CBC,
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"F.2.5 CBC-AES256", A::AES_256, A::CBC,
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {"F.3.13 CFB128-AES128", A::AES_128, A::CFB,
         "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
         "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
        {"F.3.15 CFB128-AES192", A::AES_192, A::CFB,
         "cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a"
         "2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff"},
        {"F.3.17 CFB128-AES256", A::AES_256, A::CFB,
         "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
         "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
        {"F.4.1 OFB-AES128", A::AES_128, A::OFB,
         "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
         "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
        {"F.4.3 OFB-AES192", A::AES_192, A::OFB,
         "cdc80d6fddf18cab34c25909c99a4174fcc28b8d4c63837c09e81700c1100401"
         "8d9a9aeac0f6596f559c6d4daf59a5f26d9f200857ca6c3e9cac524bd9acc92a"},
        {"F.4.5 OFB-AES256", A::AES_256, A::OFB,
         "dc7e84bfda79164b7ecd8486985d38604febdc6740d20b3ac88f6ad82a4fb08d"
         "71ab47a086e86eedf39d1c5bba97c4080126141d67f37be8538f5a8be740e484"},
    };
    for (const Nist &row : rows) {
        const QByteArray key = row.keySize == A::AES_128 ? nistKey128
            : row.keySize == A::AES_192                  ? nistKey192
                                                         : nistKey256;
        // ECB takes no vector; a null one shows that it is not even looked at.
        const QByteArray iv = row.mode == A::ECB ? QByteArray() : nistIv;
        QTest::newRow(row.name) << row.keySize << row.mode << key << iv << nistPlain
                                << hex(row.cipher);
    }
}

void TestAesCipher::knownAnswer()
{
    QFETCH(AesCipher::Aes, keySize);
    QFETCH(AesCipher::Mode, mode);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, cipher);

    // Texts of whole blocks under ZERO padding get no padding block.
    AesCipher aes(keySize, mode, AesCipher::ZERO);
    QCOMPARE(aes.encode(plain, key, iv).toHex(), cipher.toHex());
    QCOMPARE(aes.decode(cipher, key, iv).toHex(), plain.toHex());
}

void TestAesCipher::surplusKeyBytesAreIgnored_data()
{
    QTest::addColumn<AesCipher::Aes>("keySize");
    QTest::addColumn<QByteArray>("longKey");
    QTest::addColumn<int>("used");
    QTest::addColumn<int>("scheduleBytes");

    QTest::newRow("credential key, AES_128") << AesCipher::AES_128 << credentialKey << 16 << 176;
    QTest::newRow("AES_192") << AesCipher::AES_192 << nistKey192 + "xyz" << 24 << 208;
    QTest::newRow("AES_256") << AesCipher::AES_256 << nistKey256 + "\x01" << 32 << 240;
}

void TestAesCipher::surplusKeyBytesAreIgnored()
{
    QFETCH(AesCipher::Aes, keySize);
    QFETCH(QByteArray, longKey);
    QFETCH(int, used);
    QFETCH(int, scheduleBytes);

    const QByteArray key = longKey.left(used);
    const QByteArray text = "surplus key bytes must not change the cipher text";
    for (AesCipher::Mode mode : {AesCipher::ECB, AesCipher::CBC, AesCipher::CFB, AesCipher::OFB}) {
        const QByteArray cipher =
            AesCipher::Crypt(keySize, mode, text, key, nistIv, AesCipher::ISO);
        QVERIFY(!cipher.isEmpty());
        QCOMPARE(AesCipher::Crypt(keySize, mode, text, longKey, nistIv, AesCipher::ISO), cipher);
        QCOMPARE(AesCipher::Decrypt(keySize, mode, cipher, longKey, nistIv, AesCipher::ISO),
                 AesCipher::Decrypt(keySize, mode, cipher, key, nistIv, AesCipher::ISO));
    }

    // The surplus is pushed behind the schedule, not mixed into it.
    const QByteArray schedule = AesCipher::ExpandKey(keySize, AesCipher::ECB, key);
    const QByteArray longSchedule = AesCipher::ExpandKey(keySize, AesCipher::ECB, longKey);
    QCOMPARE(schedule.size(), scheduleBytes);
    QCOMPARE(longSchedule, schedule + longKey.mid(used));
}

void TestAesCipher::paddingIsAddedAndKeptByDecode_data()
{
    QTest::addColumn<AesCipher::Padding>("padding");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<QByteArray>("pad");

    const QByteArray iso1 = "\x80";
    QTest::newRow("ZERO empty") << AesCipher::ZERO << 0 << QByteArray();
    QTest::newRow("ZERO 5") << AesCipher::ZERO << 5 << QByteArray(11, '\0');
    QTest::newRow("ZERO 16") << AesCipher::ZERO << 16 << QByteArray();
    QTest::newRow("ZERO 31") << AesCipher::ZERO << 31 << QByteArray(1, '\0');
    QTest::newRow("PKCS7 empty") << AesCipher::PKCS7 << 0 << QByteArray(16, '\x10');
    QTest::newRow("PKCS7 5") << AesCipher::PKCS7 << 5 << QByteArray(11, '\x0b');
    QTest::newRow("PKCS7 15") << AesCipher::PKCS7 << 15 << QByteArray(1, '\x01');
    QTest::newRow("PKCS7 16") << AesCipher::PKCS7 << 16 << QByteArray(16, '\x10');
    QTest::newRow("ISO empty") << AesCipher::ISO << 0 << iso1 + QByteArray(15, '\0');
    QTest::newRow("ISO 15") << AesCipher::ISO << 15 << iso1;
    QTest::newRow("ISO 16") << AesCipher::ISO << 16 << iso1 + QByteArray(15, '\0');
    QTest::newRow("ISO 17") << AesCipher::ISO << 17 << iso1 + QByteArray(14, '\0');
}

void TestAesCipher::paddingIsAddedAndKeptByDecode()
{
    QFETCH(AesCipher::Padding, padding);
    QFETCH(int, textLength);
    QFETCH(QByteArray, pad);

    QByteArray text;
    for (int i = 0; i < textLength; ++i)
        text.append(char('A' + i % 26));

    for (AesCipher::Mode mode : {AesCipher::ECB, AesCipher::CBC, AesCipher::CFB, AesCipher::OFB}) {
        AesCipher aes(AesCipher::AES_128, mode, padding);
        const QByteArray cipher = aes.encode(text, nistKey128, nistIv);
        QVERIFY(!cipher.isNull()); // null is the failure value
        QCOMPARE(cipher.size(), textLength + pad.size());
        const QByteArray decoded = aes.decode(cipher, nistKey128, nistIv);
        QCOMPARE(decoded.toHex(), (text + pad).toHex());
        QCOMPARE(aes.removePadding(decoded), text);
    }
}

void TestAesCipher::removePadding_data()
{
    QTest::addColumn<AesCipher::Padding>("padding");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");

    const auto bytes = [](const char *data, int size) { return QByteArray(data, size); };
    QTest::newRow("PKCS7 last byte 0x00")
        << AesCipher::PKCS7 << bytes("abc\0", 4) << bytes("abc\0", 4);
    // Long enough that 0x90 read unsigned (144) would be a count within the text.
    const QByteArray long90 = QByteArray(200, 'a') + '\x90';
    QTest::newRow("PKCS7 last byte 0x90") << AesCipher::PKCS7 << long90 << long90;
    QTest::newRow("PKCS7 count beyond text")
        << AesCipher::PKCS7 << bytes("\x05\x05", 2) << bytes("\x05\x05", 2);
    QTest::newRow("PKCS7 count is text")
        << AesCipher::PKCS7 << bytes("\x02\x02", 2) << QByteArray();
    QTest::newRow("PKCS7 count 3")
        << AesCipher::PKCS7 << bytes("ab\x03\x03\x03", 5) << QByteArray("ab");
    QTest::newRow("ISO no marker") << AesCipher::ISO << QByteArray("abc") << QByteArray();
    QTest::newRow("ISO last marker wins")
        << AesCipher::ISO << bytes("a\x80z\x80\0\0", 6) << bytes("a\x80z", 3);
    QTest::newRow("ISO marker last") << AesCipher::ISO << bytes("abc\x80", 4) << QByteArray("abc");
    QTest::newRow("ZERO trailing zeros")
        << AesCipher::ZERO << bytes("a\0b\0\0\0", 6) << bytes("a\0b", 3);
    QTest::newRow("ZERO all zeros") << AesCipher::ZERO << QByteArray(16, '\0') << QByteArray();
    QTest::newRow("ZERO none") << AesCipher::ZERO << QByteArray("ab") << QByteArray("ab");
    for (AesCipher::Padding p : {AesCipher::ZERO, AesCipher::PKCS7, AesCipher::ISO})
        QTest::addRow("empty, %d", int(p)) << p << QByteArray() << QByteArray();
}

void TestAesCipher::removePadding()
{
    QFETCH(AesCipher::Padding, padding);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);

    QCOMPARE(AesCipher::RemovePadding(text, padding).toHex(), expected.toHex());
    QCOMPARE(AesCipher(AesCipher::AES_256, AesCipher::OFB, padding).removePadding(text).toHex(),
             expected.toHex());
}

void TestAesCipher::badVectorGivesNull_data()
{
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<QByteArray>("iv");

    for (AesCipher::Mode mode : {AesCipher::CBC, AesCipher::CFB, AesCipher::OFB}) {
        QTest::addRow("mode %d, null", int(mode)) << mode << QByteArray();
        QTest::addRow("mode %d, empty", int(mode)) << mode << QByteArray("");
        QTest::addRow("mode %d, 15 bytes", int(mode)) << mode << nistIv.left(15);
        QTest::addRow("mode %d, 17 bytes", int(mode)) << mode << nistIv + "x";
    }
}

void TestAesCipher::badVectorGivesNull()
{
    QFETCH(AesCipher::Mode, mode);
    QFETCH(QByteArray, iv);

    AesCipher aes(AesCipher::AES_128, mode, AesCipher::PKCS7);
    const QRegularExpression warning("initialization vector of \\d+ bytes");
    QTest::ignoreMessage(QtWarningMsg, warning);
    QVERIFY(aes.encode("some text", nistKey128, iv).isNull());
    QTest::ignoreMessage(QtWarningMsg, warning);
    QVERIFY(aes.decode(QByteArray(32, 'c'), nistKey128, iv).isNull());
}

void TestAesCipher::ecbIgnoresVector()
{
    const QByteArray text = "ECB has no chaining, so no vector";
    const QByteArray expected = AesCipher::Crypt(AesCipher::AES_192, AesCipher::ECB, text,
                                                 nistKey192, nistIv, AesCipher::PKCS7);
    QCOMPARE(expected.size(), 48);
    for (const QByteArray &iv :
         {QByteArray(), nistIv.left(15), nistIv + "x", QByteArray(16, 'z')}) {
        QCOMPARE(AesCipher::Crypt(AesCipher::AES_192, AesCipher::ECB, text, nistKey192, iv,
                                  AesCipher::PKCS7),
                 expected);
        QCOMPARE(AesCipher::Decrypt(AesCipher::AES_192, AesCipher::ECB, expected, nistKey192, iv,
                                    AesCipher::PKCS7)
                     .left(text.size()),
                 text);
    }
}

void TestAesCipher::credentialStoreRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("utf8Bytes");

    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("15 bytes") << QStringLiteral("Pässwörter-12") << 15;
    QTest::newRow("16 bytes") << QStringLiteral("Pässwörter-123") << 16;
    QTest::newRow("32 bytes") << QStringLiteral("José.Müller@exämple.org€123") << 32;
    QTest::newRow("Cyrillic") << QStringLiteral("ключ") << 8;
}

void TestAesCipher::credentialStoreRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(int, utf8Bytes);

    const QByteArray plain = text.toUtf8();
    QCOMPARE(plain.size(), utf8Bytes);

    const QByteArray cipher = AesCipher::Crypt(AesCipher::AES_128, AesCipher::ECB, plain,
                                               credentialKey, QByteArray(), AesCipher::ISO);
    QCOMPARE(cipher.size(), (utf8Bytes / 16 + 1) * 16);
    QVERIFY(!cipher.contains(plain) || plain.isEmpty());

    const QByteArray decoded = AesCipher::Decrypt(AesCipher::AES_128, AesCipher::ECB, cipher,
                                                  credentialKey, QByteArray(), AesCipher::ISO);
    QCOMPARE(decoded.size(), cipher.size());
    QCOMPARE(AesCipher::RemovePadding(decoded, AesCipher::ISO), plain);

    // The store reads the text up to its first zero byte (a 15-byte text has none); the 0x80
    // marker then decodes as one replacement character that it drops.
    const int firstZero = decoded.indexOf('\0');
    QString restored = QString::fromUtf8(firstZero < 0 ? decoded : decoded.left(firstZero));
    restored.chop(1);
    QCOMPARE(restored, text);
}

void TestAesCipher::streamModesDecodeShortLastBlock_data()
{
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<int>("length");

    for (AesCipher::Mode mode : {AesCipher::CFB, AesCipher::OFB}) {
        for (int length : {0, 1, 15, 17, 40, 63})
            QTest::addRow("mode %d, %d bytes", int(mode), length) << mode << length;
    }
}

void TestAesCipher::streamModesDecodeShortLastBlock()
{
    QFETCH(AesCipher::Mode, mode);
    QFETCH(int, length);

    AesCipher aes(AesCipher::AES_256, mode, AesCipher::ZERO);
    const QByteArray cipher = aes.encode(nistPlain, nistKey256, nistIv);
    // A detached copy of exactly `length` bytes, so that a read past it is an overflow.
    const QByteArray truncated(cipher.constData(), length);
    const QByteArray decoded = aes.decode(truncated, nistKey256, nistIv);
    QVERIFY(!decoded.isNull());
    QCOMPARE(decoded.toHex(), nistPlain.left(length).toHex());
}

void TestAesCipher::shortKeyIsRefused_data()
{
    QTest::addColumn<AesCipher::Aes>("keySize");
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<QByteArray>("key");

    QTest::newRow("AES_128 ECB, 15 bytes")
        << AesCipher::AES_128 << AesCipher::ECB << credentialKey.left(15);
    QTest::newRow("AES_128 CFB, empty") << AesCipher::AES_128 << AesCipher::CFB << QByteArray();
    QTest::newRow("AES_192 CBC, 16 bytes") << AesCipher::AES_192 << AesCipher::CBC << nistKey128;
    QTest::newRow("AES_192 OFB, 23 bytes")
        << AesCipher::AES_192 << AesCipher::OFB << nistKey192.left(23);
    QTest::newRow("AES_256 ECB, 31 bytes")
        << AesCipher::AES_256 << AesCipher::ECB << nistKey256.left(31);
    QTest::newRow("AES_256 CBC, 24 bytes") << AesCipher::AES_256 << AesCipher::CBC << nistKey192;
}

void TestAesCipher::shortKeyIsRefused()
{
    QFETCH(AesCipher::Aes, keySize);
    QFETCH(AesCipher::Mode, mode);
    QFETCH(QByteArray, key);

    AesCipher aes(keySize, mode, AesCipher::ISO);
    QTest::ignoreMessage(QtWarningMsg, shortKeyWarning);
    QVERIFY(aes.encode("secret", key, nistIv).isNull());
    QTest::ignoreMessage(QtWarningMsg, shortKeyWarning);
    QVERIFY(aes.decode(QByteArray(32, 'c'), key, nistIv).isNull());
    QTest::ignoreMessage(QtWarningMsg, shortKeyWarning);
    QVERIFY(aes.expandKey(key).isNull());
}

void TestAesCipher::partialBlockIsRefused_data()
{
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<int>("length");

    for (AesCipher::Mode mode : {AesCipher::ECB, AesCipher::CBC}) {
        for (int length : {1, 15, 17, 33})
            QTest::addRow("mode %d, %d bytes", int(mode), length) << mode << length;
    }
}

void TestAesCipher::partialBlockIsRefused()
{
    QFETCH(AesCipher::Mode, mode);
    QFETCH(int, length);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not a whole number of 16 byte blocks"));
    const QByteArray decoded = AesCipher::Decrypt(AesCipher::AES_128, mode, QByteArray(length, 'c'),
                                                  credentialKey, nistIv, AesCipher::ISO);
    QVERIFY(decoded.isNull());
}

void TestAesCipher::valuesOutsideTheEnumerations()
{
    const QByteArray text = "stray enumeration values";

    // An unknown key size works as AES_128.
    const auto strayKeySize = static_cast<AesCipher::Aes>(7);
    QCOMPARE(
        AesCipher::Crypt(strayKeySize, AesCipher::CBC, text, nistKey256, nistIv, AesCipher::PKCS7),
        AesCipher::Crypt(AesCipher::AES_128, AesCipher::CBC, text, nistKey256, nistIv,
                         AesCipher::PKCS7));
    QCOMPARE(AesCipher::ExpandKey(strayKeySize, AesCipher::ECB, nistKey128).size(), 176);

    const auto strayMode = static_cast<AesCipher::Mode>(4);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown mode 4"));
    QVERIFY(
        AesCipher::Crypt(AesCipher::AES_128, strayMode, text, nistKey128, nistIv, AesCipher::ISO)
            .isNull());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown mode 4"));
    QVERIFY(AesCipher::Decrypt(AesCipher::AES_128, strayMode, QByteArray(16, 'c'), nistKey128,
                               nistIv, AesCipher::ISO)
                .isNull());

    const auto strayPadding = static_cast<AesCipher::Padding>(3);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown padding 3"));
    QVERIFY(
        AesCipher::Crypt(AesCipher::AES_128, AesCipher::ECB, text, nistKey128, nistIv, strayPadding)
            .isNull());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown padding 3"));
    QCOMPARE(AesCipher::RemovePadding("abc\x80", strayPadding), QByteArray("abc\x80"));
}

ORVANE_TEST_MAIN(TestAesCipher)

#include "tst_aescipher.moc"
