// The application download: the direct decoder and the JSON library agree on every body, a
// body that is a JSON array by itself is read as that array, and numbers written as the
// service writes them come back as their low bytes.
#include "cloud/cloudcodec.h"
#include "fuzzcheck.h"

#include <QJsonDocument>

namespace {

void checkAgreement(const QByteArray &body)
{
    const cloudcodec::DecodedBytes direct = cloudcodec::decodeApplicationBody(body);
    const cloudcodec::DecodedBytes viaJson = cloudcodec::decodeApplicationBodyViaJson(body);
    FUZZ_CHECK(direct.isArray == viaJson.isArray);
    FUZZ_CHECK(direct.bytes == viaJson.bytes);
    if (!direct.isArray)
        FUZZ_CHECK(direct.bytes.isEmpty());

    const QJsonDocument alone = QJsonDocument::fromJson(cloudcodec::replyText(body).toUtf8());
    if (alone.isArray()) {
        FUZZ_CHECK(direct.isArray);
        FUZZ_CHECK(direct.bytes == cloudcodec::byteValues(alone.array()));
    }

    const cloudcodec::ApplicationReply reply =
        cloudcodec::readApplicationReply(body, cloudcodec::ReplyStatus {200, false});
    FUZZ_CHECK(reply.answered);
    FUZZ_CHECK(reply.usable == (direct.isArray && !direct.bytes.isEmpty()));
    FUZZ_CHECK(reply.bytes == direct.bytes);
}

// The input as signed 16-bit numbers, written with white space taken from the input too.
void checkWrittenNumbers(const QByteArray &input)
{
    static const char *const spaces[] = {"", " ", "\n", "\r\n", "\t "};
    QByteArray body = "[";
    QByteArray expected;
    for (int i = 0; i + 1 < input.size(); i += 2) {
        const qint16 value = qint16(quint16(quint8(input.at(i))) << 8 | quint8(input.at(i + 1)));
        if (i > 0)
            body += QByteArray(spaces[quint8(input.at(i)) % 5]) + ',';
        body += spaces[quint8(input.at(i + 1)) % 5] + QByteArray::number(value);
        expected.append(char(value & 0xFF));
    }
    body += "]\n";
    const cloudcodec::DecodedBytes decoded = cloudcodec::decodeApplicationBody(body);
    FUZZ_CHECK(decoded.isArray);
    FUZZ_CHECK(decoded.bytes == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    checkAgreement(input);
    checkWrittenNumbers(input);
    return 0;
}
