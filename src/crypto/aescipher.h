// AES block cipher (FIPS-197) in ECB, CBC, CFB-128 and OFB modes with zero, PKCS#7 or ISO/IEC
// 7816-4 padding. Used by the credential store; create it on the stack, use it on one thread.
//
// Failures give a null QByteArray and a warning on the debug stream: a mode that needs an
// initialization vector without a 16-byte one, a key shorter than the key size needs, an ECB
// or CBC cipher text that is not whole blocks, or a mode or padding outside the enumerations.
// A key longer than the key size needs works as its leading bytes.
#pragma once

#include <QByteArray>
#include <QObject>

class AesCipher : public QObject
{
    Q_OBJECT

public:
    // Fixed underlying types keep a stray value (a cast int) well-defined, so it can be refused.
    enum Aes : int { AES_128 = 0, AES_192 = 1, AES_256 = 2 };
    Q_ENUM(Aes)
    enum Mode : int { ECB = 0, CBC = 1, CFB = 2, OFB = 3 };
    Q_ENUM(Mode)
    enum Padding : int { ZERO = 0, PKCS7 = 1, ISO = 2 };
    Q_ENUM(Padding)

    // A key size outside the enumeration works as AES_128.
    AesCipher(Aes keySize, Mode mode, Padding padding);

    // Pads the text (in every mode) and encrypts it.
    QByteArray encode(const QByteArray &text, const QByteArray &key, const QByteArray &iv);
    // Decrypts; the result keeps the padding. CFB and OFB accept any length, a short last
    // block giving an equally short last output block.
    QByteArray decode(const QByteArray &text, const QByteArray &key, const QByteArray &iv);
    QByteArray removePadding(const QByteArray &text);
    // The key schedule (16 * (rounds + 1) bytes). Key bytes beyond the ones the key size uses
    // are kept, unused, after the schedule.
    QByteArray expandKey(const QByteArray &key);

    static QByteArray Crypt(Aes keySize, Mode mode, const QByteArray &text, const QByteArray &key,
                            const QByteArray &iv, Padding padding);
    static QByteArray Decrypt(Aes keySize, Mode mode, const QByteArray &text, const QByteArray &key,
                              const QByteArray &iv, Padding padding);
    static QByteArray ExpandKey(Aes keySize, Mode mode, const QByteArray &key);
    static QByteArray RemovePadding(const QByteArray &text, Padding padding);

private:
    bool checkInput(const QByteArray &key, const QByteArray &iv, const char *caller) const;
    QByteArray paddingFor(int textLength) const;
    void encryptBlock(quint8 *state, const quint8 *roundKeys) const;
    void decryptBlock(quint8 *state, const quint8 *roundKeys) const;

    int keyWords; // Nk
    int keyBytes;
    int rounds; // Nr
    Mode mode;
    Padding padding;
};
