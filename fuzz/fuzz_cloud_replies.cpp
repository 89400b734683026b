// Every cloud reply reader on any body with any transport outcome: what each reads agrees
// with the reply's JSON, a refusal reads nothing else, nothing counts as success unless its
// rule holds, and what a well-formed reply carries is read back unchanged.
#include "cloud/cloudcodec.h"
#include "fuzzcheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using cloudcodec::ReplyStatus;

namespace {

bool hasCode(const QByteArray &body)
{
    return cloudcodec::replyObject(cloudcodec::replyText(body)).contains(QLatin1String("code"));
}

void checkSignIn(const QByteArray &body)
{
    const cloudcodec::SignInReply reply = cloudcodec::readSignInReply(body);
    FUZZ_CHECK(reply.refused == hasCode(body));
    if (reply.refused)
        FUZZ_CHECK(reply.token.isNull() && reply.userID == 0 && !reply.tokenUsable);
    FUZZ_CHECK(reply.tokenUsable == cloudcodec::isUsableToken(reply.token));
    if (reply.tokenUsable) {
        // It goes out as a Latin-1 header value: unchanged and without control characters.
        const QByteArray header = reply.token.toLatin1();
        FUZZ_CHECK(header.size() == 36 && QString::fromLatin1(header) == reply.token);
        for (const char c : header)
            FUZZ_CHECK(quint8(c) >= 0x20 && quint8(c) != 0x7F);
    }
}

void checkFirmware(const QByteArray &body, const ReplyStatus &status)
{
    const cloudcodec::FirmwareReply reply = cloudcodec::readFirmwareReply(body, status);
    FUZZ_CHECK(reply.usable == (!status.failed && !reply.image.isEmpty()));
    // Each byte needs at least one character of the body.
    FUZZ_CHECK(reply.image.size() <= body.size());
}

void checkPairing(const QByteArray &body)
{
    const QString text = cloudcodec::replyText(body);
    // The name looked for: that of the list's first element, so that matches happen.
    const QJsonDocument alone = QJsonDocument::fromJson(text.toUtf8());
    const QJsonObject first = alone.array().at(0).toObject();
    const QString name = first.value(QLatin1String("name")).toString();
    const QString uid = first.value(QLatin1String("uniqueNumber")).toString();
    const cloudcodec::PairingReply reply = cloudcodec::readPairingReply(body, name, uid);
    FUZZ_CHECK(reply.refused == hasCode(body));
    if (reply.refused)
        FUZZ_CHECK(reply.ids.isEmpty());
    FUZZ_CHECK(reply.matched() == !reply.ids.isEmpty());
    // A list sent by itself is read as that very list.
    if (alone.isArray()) {
        FUZZ_CHECK(!reply.refused);
        FUZZ_CHECK(cloudcodec::pairingList(text) == alone.array());
        QList<int> expected;
        for (const QJsonValue &element : alone.array()) {
            const QJsonObject object = element.toObject();
            const QJsonValue elementName = object.value(QLatin1String("name"));
            const QJsonValue number = object.value(QLatin1String("uniqueNumber"));
            // An entry that names a unique number must name this one.
            const bool otherNumber = number.isString()
                ? !number.toString().isEmpty() && number.toString() != uid
                : !number.isUndefined() && !number.isNull();
            if (elementName.isString() && elementName.toString() == name && !otherNumber)
                expected.append(object.value(QLatin1String("id")).toInt());
        }
        FUZZ_CHECK(reply.ids == expected);
    }
}

void checkUpdateCheck(const QByteArray &body, const ReplyStatus &status)
{
    const cloudcodec::UpdateOffer offer = cloudcodec::readUpdateCheckReply(body, status);
    FUZZ_CHECK(offer.answered == (status.httpStatus == 200));
    if (!offer.answered)
        FUZZ_CHECK(!offer.newer && offer.versionMajor == 0 && offer.versionMinor == 0
                   && offer.description.isNull());
    if (offer.newer)
        FUZZ_CHECK(offer.versionMajor == cloudcodec::appVersionMajor
                   && offer.versionMinor > cloudcodec::appVersionMinor);
}

void checkUpload(const QByteArray &body, const ReplyStatus &status)
{
    const cloudcodec::UploadReply reply = cloudcodec::readUploadReply(body, status);
    FUZZ_CHECK(reply.text == cloudcodec::replyText(body));
    FUZZ_CHECK(
        reply.confirmed
        == (status.httpStatus == 200 && !status.failed && reply.text == QLatin1String("true")));
}

// A well-formed sign-in reply built from the input reads back what it carries.
void checkSignInRoundTrip(const QByteArray &input)
{
    if (input.size() < 4)
        return;
    const int id = int(quint32(quint8(input.at(0))) << 24 | quint32(quint8(input.at(1))) << 16
                       | quint32(quint8(input.at(2))) << 8 | quint8(input.at(3)));
    const QString token = QString::fromUtf8(input.constData() + 4, input.size() - 4);
    const QJsonObject user {{QStringLiteral("id"), id}};
    const QByteArray body = QJsonDocument(QJsonObject {{QStringLiteral("token"), token},
                                                       {QStringLiteral("userDto"), user}})
                                .toJson(QJsonDocument::Compact);
    const cloudcodec::SignInReply reply = cloudcodec::readSignInReply(body);
    FUZZ_CHECK(!reply.refused);
    FUZZ_CHECK(reply.userID == id);
    FUZZ_CHECK(reply.token == token);
    FUZZ_CHECK(reply.tokenUsable == cloudcodec::isUsableToken(token));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte is the transport's outcome, the rest the body.
    static const int statuses[] = {200, 0, 201, 404, 500, 200, 200, 200};
    const ReplyStatus status {statuses[data[0] & 7], (data[0] & 8) != 0};
    const QByteArray body = fuzzBytes(data + 1, size - 1);

    checkSignIn(body);
    checkFirmware(body, status);
    checkPairing(body);
    checkUpdateCheck(body, status);
    checkUpload(body, status);
    checkSignInRoundTrip(body);
    return 0;
}
