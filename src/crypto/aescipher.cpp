#include "aescipher.h"

#include <QDebug>

#include <algorithm>
#include <array>

namespace {

constexpr int blockBytes = 16;

constexpr quint8 xtime(quint8 x)
{
    return quint8((x << 1) ^ ((x & 0x80) ? 0x1b : 0x00));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr quint8 gmul(quint8 a, quint8 b)
{
    quint8 product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

constexpr quint8 rotl8(quint8 x, int n)
{
    return quint8((x << n) | (x >> (8 - n)));
}

struct Tables
{
    std::array<quint8, 256> sbox {};
    std::array<quint8, 256> invSbox {};
    std::array<quint8, 11> rcon {};
};

// The S-box is built from its definition (multiplicative inverse, then the affine map) rather
// than typed in, so a transcription slip cannot hide in it.
constexpr Tables makeTables()
{
    Tables t;
    // 3 generates the multiplicative group: exp/log tables give the inverses.
    std::array<quint8, 255> exp {};
    std::array<int, 256> log {};
    quint8 p = 1;
    for (int i = 0; i < 255; ++i) {
        exp[i] = p;
        log[p] = i;
        p = gmul(p, 3);
    }
    for (int x = 0; x < 256; ++x) {
        const quint8 inv = x ? exp[(255 - log[x]) % 255] : 0;
        const quint8 s =
            quint8(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
        t.sbox[x] = s;
        t.invSbox[s] = quint8(x);
    }
    quint8 rc = 0x01;
    for (int i = 1; i < 11; ++i) {
        t.rcon[i] = rc;
        rc = xtime(rc);
    }
    return t;
}

constexpr Tables tables = makeTables();
static_assert(tables.sbox[0x00] == 0x63 && tables.sbox[0x53] == 0xed, "S-box");
static_assert(tables.invSbox[0x63] == 0x00 && tables.rcon[10] == 0x36, "inverse S-box, Rcon");

void addRoundKey(quint8 *state, const quint8 *roundKey)
{
    for (int i = 0; i < blockBytes; ++i)
        state[i] ^= roundKey[i];
}

void subBytes(quint8 *state, const std::array<quint8, 256> &box)
{
    for (int i = 0; i < blockBytes; ++i)
        state[i] = box[state[i]];
}

// Byte i of the block is row i % 4, column i / 4; row r turns left by r (or right, inverse).
void shiftRows(quint8 *state, bool inverse)
{
    quint8 in[blockBytes];
    std::copy(state, state + blockBytes, in);
    for (int r = 1; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const int shifted = r + 4 * ((c + r) % 4);
            if (inverse)
                state[shifted] = in[r + 4 * c];
            else
                state[r + 4 * c] = in[shifted];
        }
    }
}

// Multiplies each column by the circulant matrix whose first row is m.
void mixColumns(quint8 *state, const quint8 (&m)[4])
{
    for (int c = 0; c < 4; ++c) {
        quint8 *col = state + 4 * c;
        const quint8 a[4] = {col[0], col[1], col[2], col[3]};
        for (int r = 0; r < 4; ++r) {
            col[r] = gmul(a[0], m[(4 - r) % 4]) ^ gmul(a[1], m[(5 - r) % 4])
                ^ gmul(a[2], m[(6 - r) % 4]) ^ gmul(a[3], m[(7 - r) % 4]);
        }
    }
}

constexpr quint8 mixForward[4] = {0x02, 0x03, 0x01, 0x01};
constexpr quint8 mixInverse[4] = {0x0e, 0x0b, 0x0d, 0x09};

const quint8 *bytes(const QByteArray &a)
{
    return reinterpret_cast<const quint8 *>(a.constData());
}

quint8 *bytes(QByteArray &a)
{
    return reinterpret_cast<quint8 *>(a.data());
}

} // namespace

AesCipher::AesCipher(Aes keySize, Mode mode, Padding padding) : mode(mode), padding(padding)
{
    switch (keySize) {
    case AES_192:
        keyWords = 6;
        rounds = 12;
        break;
    case AES_256:
        keyWords = 8;
        rounds = 14;
        break;
    case AES_128:
    default:
        keyWords = 4;
        rounds = 10;
        break;
    }
    keyBytes = 4 * keyWords;
}

QByteArray AesCipher::expandKey(const QByteArray &key)
{
    if (key.size() < keyBytes) {
        qWarning() << "🔐" << Q_FUNC_INFO << "key of" << key.size() << "bytes, shorter than the"
                   << keyBytes << "bytes the key size needs";
        return QByteArray();
    }
    // New words go in right after the ones built so far, so surplus key bytes end up behind
    // the schedule.
    QByteArray w = key;
    const int totalWords = 4 * (rounds + 1);
    for (int i = keyWords; i < totalWords; ++i) {
        const quint8 *prev = bytes(w) + 4 * (i - 1);
        quint8 temp[4] = {prev[0], prev[1], prev[2], prev[3]};
        if (i % keyWords == 0) {
            const quint8 first = temp[0];
            temp[0] = quint8(tables.sbox[temp[1]] ^ tables.rcon[i / keyWords]);
            temp[1] = tables.sbox[temp[2]];
            temp[2] = tables.sbox[temp[3]];
            temp[3] = tables.sbox[first];
        } else if (keyWords > 6 && i % keyWords == 4) {
            for (quint8 &b : temp)
                b = tables.sbox[b];
        }
        const quint8 *back = bytes(w) + 4 * (i - keyWords);
        char word[4];
        for (int j = 0; j < 4; ++j)
            word[j] = char(back[j] ^ temp[j]);
        w.insert(4 * i, word, 4);
    }
    return w;
}

void AesCipher::encryptBlock(quint8 *state, const quint8 *roundKeys) const
{
    addRoundKey(state, roundKeys);
    for (int round = 1; round < rounds; ++round) {
        subBytes(state, tables.sbox);
        shiftRows(state, false);
        mixColumns(state, mixForward);
        addRoundKey(state, roundKeys + blockBytes * round);
    }
    subBytes(state, tables.sbox);
    shiftRows(state, false);
    addRoundKey(state, roundKeys + blockBytes * rounds);
}

void AesCipher::decryptBlock(quint8 *state, const quint8 *roundKeys) const
{
    addRoundKey(state, roundKeys + blockBytes * rounds);
    for (int round = rounds - 1; round >= 1; --round) {
        shiftRows(state, true);
        subBytes(state, tables.invSbox);
        addRoundKey(state, roundKeys + blockBytes * round);
        mixColumns(state, mixInverse);
    }
    shiftRows(state, true);
    subBytes(state, tables.invSbox);
    addRoundKey(state, roundKeys);
}

bool AesCipher::checkInput(const QByteArray &key, const QByteArray &iv, const char *caller) const
{
    if (mode < ECB || mode > OFB) {
        qWarning() << "🔐" << caller << "unknown mode" << int(mode);
        return false;
    }
    if (mode != ECB && (iv.isNull() || iv.size() != blockBytes)) {
        qWarning() << "🔐" << caller << "initialization vector of" << iv.size()
                   << "bytes, the mode needs" << blockBytes;
        return false;
    }
    // Checked here too so that the warning names the operation the caller asked for.
    if (key.size() < keyBytes) {
        qWarning() << "🔐" << caller << "key of" << key.size() << "bytes, shorter than the"
                   << keyBytes << "bytes the key size needs";
        return false;
    }
    return true;
}

QByteArray AesCipher::paddingFor(int textLength) const
{
    const int k = blockBytes - textLength % blockBytes;
    switch (padding) {
    case ZERO:
        return QByteArray(k == blockBytes ? 0 : k, '\0');
    case PKCS7:
        return QByteArray(k, char(k));
    case ISO:
        return QByteArray(1, char(0x80)) + QByteArray(k - 1, '\0');
    }
    return QByteArray();
}

QByteArray AesCipher::encode(const QByteArray &text, const QByteArray &key, const QByteArray &iv)
{
    if (!checkInput(key, iv, Q_FUNC_INFO))
        return QByteArray();
    if (padding < ZERO || padding > ISO) {
        qWarning() << "🔐" << Q_FUNC_INFO << "unknown padding" << int(padding);
        return QByteArray();
    }
    const QByteArray roundKeys = expandKey(key);
    const quint8 *rk = bytes(roundKeys);

    QByteArray out = text + paddingFor(text.size());
    if (out.isNull()) // null is kept for failures; a null text under ZERO padding is not one
        out = QByteArray("");
    quint8 *data = bytes(out);
    quint8 chain[blockBytes];
    if (mode != ECB)
        std::copy(bytes(iv), bytes(iv) + blockBytes, chain);

    for (int offset = 0; offset < out.size(); offset += blockBytes) {
        quint8 *block = data + offset;
        switch (mode) {
        case ECB:
            encryptBlock(block, rk);
            break;
        case CBC:
            for (int i = 0; i < blockBytes; ++i)
                block[i] ^= chain[i];
            encryptBlock(block, rk);
            std::copy(block, block + blockBytes, chain);
            break;
        case CFB:
            encryptBlock(chain, rk);
            for (int i = 0; i < blockBytes; ++i)
                block[i] ^= chain[i];
            std::copy(block, block + blockBytes, chain);
            break;
        case OFB:
            encryptBlock(chain, rk);
            for (int i = 0; i < blockBytes; ++i)
                block[i] ^= chain[i];
            break;
        }
    }
    return out;
}

QByteArray AesCipher::decode(const QByteArray &text, const QByteArray &key, const QByteArray &iv)
{
    if (!checkInput(key, iv, Q_FUNC_INFO))
        return QByteArray();
    if ((mode == ECB || mode == CBC) && text.size() % blockBytes != 0) {
        qWarning() << "🔐" << Q_FUNC_INFO << "cipher text of" << text.size()
                   << "bytes is not a whole number of" << blockBytes << "byte blocks";
        return QByteArray();
    }
    const QByteArray roundKeys = expandKey(key);
    const quint8 *rk = bytes(roundKeys);

    QByteArray out(text.size(), Qt::Uninitialized);
    const quint8 *in = bytes(text);
    quint8 *data = bytes(out);
    quint8 chain[blockBytes];
    if (mode != ECB)
        std::copy(bytes(iv), bytes(iv) + blockBytes, chain);

    for (int offset = 0; offset < text.size(); offset += blockBytes) {
        // Only CFB and OFB can meet a short last block.
        const int length = std::min(blockBytes, text.size() - offset);
        const quint8 *cipherBlock = in + offset;
        quint8 *plainBlock = data + offset;
        switch (mode) {
        case ECB:
            std::copy(cipherBlock, cipherBlock + blockBytes, plainBlock);
            decryptBlock(plainBlock, rk);
            break;
        case CBC:
            std::copy(cipherBlock, cipherBlock + blockBytes, plainBlock);
            decryptBlock(plainBlock, rk);
            for (int i = 0; i < blockBytes; ++i)
                plainBlock[i] ^= chain[i];
            std::copy(cipherBlock, cipherBlock + blockBytes, chain);
            break;
        case CFB:
            encryptBlock(chain, rk);
            for (int i = 0; i < length; ++i)
                plainBlock[i] = cipherBlock[i] ^ chain[i];
            // A short block is the last one, so the partial copy never feeds another block.
            std::copy(cipherBlock, cipherBlock + length, chain);
            break;
        case OFB:
            encryptBlock(chain, rk);
            for (int i = 0; i < length; ++i)
                plainBlock[i] = cipherBlock[i] ^ chain[i];
            break;
        }
    }
    return out;
}

QByteArray AesCipher::removePadding(const QByteArray &text)
{
    return RemovePadding(text, padding);
}

QByteArray AesCipher::Crypt(Aes keySize, Mode mode, const QByteArray &text, const QByteArray &key,
                            const QByteArray &iv, Padding padding)
{
    AesCipher cipher(keySize, mode, padding);
    return cipher.encode(text, key, iv);
}

QByteArray AesCipher::Decrypt(Aes keySize, Mode mode, const QByteArray &text, const QByteArray &key,
                              const QByteArray &iv, Padding padding)
{
    AesCipher cipher(keySize, mode, padding);
    return cipher.decode(text, key, iv);
}

QByteArray AesCipher::ExpandKey(Aes keySize, Mode mode, const QByteArray &key)
{
    AesCipher cipher(keySize, mode, ZERO);
    return cipher.expandKey(key);
}

QByteArray AesCipher::RemovePadding(const QByteArray &text, Padding padding)
{
    if (text.isEmpty())
        return text;
    switch (padding) {
    case ISO: {
        const int marker = text.lastIndexOf(char(0x80));
        return marker < 0 ? QByteArray("") : text.left(marker);
    }
    case PKCS7: {
        const int count = qint8(text.back());
        return count >= 1 && count <= text.size() ? text.left(text.size() - count) : text;
    }
    case ZERO: {
        int length = text.size();
        while (length > 0 && text.at(length - 1) == '\0')
            --length;
        return text.left(length);
    }
    }
    qWarning() << "🔐" << Q_FUNC_INFO << "unknown padding" << int(padding);
    return text;
}
