#include "cloud/cloudcodec.h"

#include "common/nultext.h"

#include "crypto/aescipher.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>

namespace cloudcodec {

namespace {

const QByteArray credentialKey = QByteArrayLiteral("MirtaqulVexobranPo");
constexpr int cipherBlockBytes = 16;

QByteArray indented(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads "[ int, int, ... ]" with optional white space, each int at most nine digits and
// without fraction or exponent. Anything else makes it give up (nullopt-like: false), leaving
// the body to the JSON library. Never reads outside [begin, end).
bool decodeSmallIntegerArray(const char *begin, const char *end, QByteArray *out)
{
    const char *p = begin;
    const auto skipSpace = [&p, end] {
        while (p < end && isJsonSpace(*p))
            ++p;
    };
    skipSpace();
    if (p == end || *p != '[')
        return false;
    ++p;
    skipSpace();
    QByteArray bytes;
    if (p < end && *p == ']') {
        ++p;
        skipSpace();
        if (p != end)
            return false;
        *out = bytes;
        return true;
    }
    // One element per comma and one more: the exact size for a well-formed body.
    bytes.reserve(int(std::count(p, end, ',')) + 1);
    for (;;) {
        const bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        if (p == end || !isDigit(*p))
            return false;
        int value = 0;
        if (*p == '0') {
            ++p;
        } else {
            int digits = 0;
            while (p < end && isDigit(*p)) {
                if (++digits > 9)
                    return false;
                value = value * 10 + (*p - '0');
                ++p;
            }
        }
        // A fraction, an exponent or a digit after a leading zero: the long way.
        if (p < end && (*p == '.' || *p == 'e' || *p == 'E' || isDigit(*p)))
            return false;
        bytes.append(char((negative ? -value : value) & 0xFF));
        skipSpace();
        if (p == end)
            return false;
        if (*p == ',') {
            ++p;
            skipSpace();
            continue;
        }
        if (*p != ']')
            return false;
        ++p;
        skipSpace();
        if (p != end)
            return false;
        *out = bytes;
        return true;
    }
}

} // namespace

QByteArray signInBody(const QString &user, const QString &password)
{
    return indented({{QStringLiteral("nickNameOrEmail"), user},
                     {QStringLiteral("password"), password},
                     {QStringLiteral("platform"), QStringLiteral("DESKTOP")}});
}

QByteArray firmwareCheckBody(int userID)
{
    return indented({{QStringLiteral("deviceType"), QStringLiteral("BREVIA")},
                     {QStringLiteral("userID"), userID},
                     {QStringLiteral("version"), 0}});
}

QByteArray pairingBody(const QString &nameBLE, const QString &uniqueNumber)
{
    return indented(
        {{QStringLiteral("bleName"), nameBLE}, {QStringLiteral("uniqueNumber"), uniqueNumber}});
}

QByteArray versionReportBody(const QString &nameBLE, int fwVersion)
{
    return indented(
        {{QStringLiteral("deviceName"), nameBLE}, {QStringLiteral("newVersion"), fwVersion}});
}

QString replyText(const QByteArray &body)
{
    return textUpToNul(body);
}

QJsonObject replyObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QByteArray byteValues(const QJsonArray &array)
{
    QByteArray bytes;
    bytes.reserve(array.size());
    for (const QJsonValue &element : array)
        bytes.append(char(element.toInt() & 0xFF));
    return bytes;
}

QJsonArray pairingList(const QString &text)
{
    return replyObject(QStringLiteral("{\"obj\": ") + text + QLatin1Char('}'))
        .value(QStringLiteral("obj"))
        .toArray();
}

DecodedBytes decodeApplicationBody(const QByteArray &body)
{
    DecodedBytes decoded;
    const char *begin = body.constData();
    if (decodeSmallIntegerArray(begin, begin + lengthUpToNul(body), &decoded.bytes)) {
        decoded.isArray = true;
        return decoded;
    }
    return decodeApplicationBodyViaJson(body);
}

DecodedBytes decodeApplicationBodyViaJson(const QByteArray &body)
{
    const QJsonValue data =
        replyObject(QStringLiteral("{ \"data\": ") + replyText(body) + QStringLiteral("\n}"))
            .value(QStringLiteral("data"));
    DecodedBytes decoded;
    decoded.isArray = data.isArray();
    decoded.bytes = byteValues(data.toArray());
    return decoded;
}

bool offersNewerVersion(int major, int minor)
{
    return major == appVersionMajor && minor > appVersionMinor;
}

QString uploadPath(int deviceID, const QString &timeStamp)
{
    return QStringLiteral("/api/medical/vitals/save?deviceID=") + QString::number(deviceID)
        + QStringLiteral("&date=") + timeStamp;
}

bool isUsableToken(const QString &token)
{
    constexpr int tokenLength = 36;
    if (token.size() != tokenLength)
        return false;
    for (const QChar c : token) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

SignInReply readSignInReply(const QByteArray &body)
{
    const QJsonObject object = replyObject(replyText(body));
    SignInReply reply;
    reply.refused = object.contains(QLatin1String("code"));
    if (reply.refused)
        return reply;
    reply.token = object.value(QLatin1String("token")).toString();
    reply.userID =
        object.value(QLatin1String("userDto")).toObject().value(QLatin1String("id")).toInt();
    reply.tokenUsable = isUsableToken(reply.token);
    return reply;
}

FirmwareReply readFirmwareReply(const QByteArray &body, const ReplyStatus &status)
{
    const QJsonObject object = replyObject(replyText(body));
    FirmwareReply reply;
    reply.version = object.value(QLatin1String("version")).toInt();
    reply.image = byteValues(object.value(QLatin1String("data")).toArray());
    reply.usable = !status.failed && !reply.image.isEmpty();
    return reply;
}

PairingReply readPairingReply(const QByteArray &body, const QString &nameBLE,
                              const QString &uniqueNumber)
{
    const QString text = replyText(body);
    PairingReply reply;
    reply.refused = replyObject(text).contains(QLatin1String("code"));
    if (reply.refused)
        return reply;
    for (const QJsonValue &element : pairingList(text)) {
        const QJsonObject device = element.toObject();
        const QJsonValue name = device.value(QLatin1String("name"));
        if (!name.isString() || name.toString() != nameBLE)
            continue;
        // Two devices can carry one name (the placeholder of a device without a BLE id):
        // where the entry names its unique number, it must be this device's.
        const QJsonValue number = device.value(QLatin1String("uniqueNumber"));
        const bool numbered = number.isString() ? !number.toString().isEmpty()
                                                : !number.isUndefined() && !number.isNull();
        if (numbered && (!number.isString() || number.toString() != uniqueNumber))
            continue;
        reply.ids.append(device.value(QLatin1String("id")).toInt());
    }
    return reply;
}

UpdateOffer readUpdateCheckReply(const QByteArray &body, const ReplyStatus &status)
{
    UpdateOffer offer;
    offer.answered = status.httpStatus == 200;
    if (!offer.answered)
        return offer;
    const QJsonObject object = replyObject(replyText(body));
    offer.versionMajor = object.value(QLatin1String("versionMajor")).toInt();
    offer.versionMinor = object.value(QLatin1String("versionMinor")).toInt();
    offer.description = object.value(QLatin1String("description")).toString();
    offer.newer = offersNewerVersion(offer.versionMajor, offer.versionMinor);
    return offer;
}

ApplicationReply readApplicationReply(const QByteArray &body, const ReplyStatus &status)
{
    ApplicationReply reply;
    reply.answered = status.httpStatus == 200;
    if (!reply.answered)
        return reply;
    const DecodedBytes decoded = decodeApplicationBody(body);
    reply.bytes = decoded.bytes;
    reply.usable = !status.failed && decoded.isArray && !decoded.bytes.isEmpty();
    return reply;
}

UploadReply readUploadReply(const QByteArray &body, const ReplyStatus &status)
{
    UploadReply reply;
    reply.text = replyText(body);
    reply.confirmed =
        status.httpStatus == 200 && !status.failed && reply.text == QLatin1String("true");
    return reply;
}

QByteArray encryptCredential(const QString &text)
{
    AesCipher cipher(AesCipher::AES_128, AesCipher::ECB, AesCipher::ISO);
    return cipher.encode(text.toUtf8(), credentialKey, QByteArray());
}

QString decryptCredential(const QByteArray &stored)
{
    if (stored.isEmpty() || stored.size() % cipherBlockBytes != 0)
        return QString();
    AesCipher cipher(AesCipher::AES_128, AesCipher::ECB, AesCipher::ISO);
    const QByteArray plain = cipher.decode(stored, credentialKey, QByteArray());
    if (plain.size() != stored.size())
        return QString();
    // What encryptCredential() made ends in the padding: 0x80 and up to fifteen zero bytes.
    // Anything else is a damaged value, not a credential.
    int marker = plain.size() - 1;
    while (marker >= 0 && plain.at(marker) == '\0')
        --marker;
    if (marker < 0 || quint8(plain.at(marker)) != 0x80 || plain.size() - marker > cipherBlockBytes)
        return QString();
    // The text is every byte before the marker, NUL bytes included. Bytes that are not the
    // UTF-8 of some text are a damaged value too.
    const QByteArray utf8 = plain.left(marker);
    const QString text = QString::fromUtf8(utf8.constData(), utf8.size());
    if (text.toUtf8() != utf8)
        return QString();
    return text;
}

} // namespace cloudcodec
