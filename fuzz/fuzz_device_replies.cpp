// The device's short replies as the link reads them (UTF-8 up to a NUL byte): split into
// tokens, read as little-endian hex numbers, and cut into session file records.
#include "common/nultext.h"
#include "device/devicecodec.h"
#include "fuzzcheck.h"

namespace {

// The white space that separates a reply's tokens: ASCII only.
bool isSeparator(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || (u >= '\t' && u <= '\r');
}

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

void checkTokens(const QString &text)
{
    QString joined;
    for (const QString &token : devicecodec::replyTokens(text)) {
        FUZZ_CHECK(!token.isEmpty());
        for (const QChar c : token)
            FUZZ_CHECK(!isSeparator(c));
        joined += token;
    }
    QString withoutSpace;
    for (const QChar c : text) {
        if (!isSeparator(c))
            withoutSpace += c;
    }
    FUZZ_CHECK(joined == withoutSpace);
}

// The device writes numbers least significant byte first, two digits a byte; a lone last
// digit is a byte of its own. A number that does not fit 32 bits, or text that is not hex,
// reads as 0.
void checkLittleEndian(const QString &text)
{
    const quint32 value = devicecodec::littleEndianHexValue(text);
    bool hex = !text.isEmpty();
    for (const QChar c : text)
        hex = hex && hexDigit(c) >= 0;
    if (!hex) {
        FUZZ_CHECK(value == 0);
        return;
    }
    quint64 expected = 0;
    bool fits = true;
    for (int i = 0; i < text.size(); i += 2) {
        int byte = hexDigit(text.at(i));
        if (i + 1 < text.size())
            byte = byte * 16 + hexDigit(text.at(i + 1));
        const int shift = 4 * i;
        if (byte != 0 && shift >= 32)
            fits = false;
        else if (byte != 0)
            expected |= quint64(byte) << shift;
    }
    fits = fits && expected <= 0xFFFFFFFFu;
    FUZZ_CHECK(value == (fits ? quint32(expected) : 0u));
}

// A session file record: two zero bytes, record bytes 2..8 (characters 4..17), nine zero
// bytes; a pair that is missing or not hex gives 0.
void checkFileRecord(const QString &text)
{
    const QByteArray record = devicecodec::fileRecord(text);
    FUZZ_CHECK(record.size() == 18);
    for (int i = 0; i < 18; ++i) {
        const int at = 4 + 2 * (i - 2);
        int expected = 0;
        if (i >= 2 && i <= 8 && at + 1 < text.size()) {
            const int high = hexDigit(text.at(at));
            const int low = hexDigit(text.at(at + 1));
            if (high >= 0 && low >= 0)
                expected = high * 16 + low;
        }
        FUZZ_CHECK(quint8(record.at(i)) == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = textUpToNul(fuzzBytes(data, size));
    checkTokens(text);
    checkLittleEndian(text);
    checkFileRecord(text);
    return 0;
}
