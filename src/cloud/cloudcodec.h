// The text and byte work of the cloud client: request bodies, reading replies, decoding byte
// arrays sent as JSON, the update rule, the upload address and the credential cipher.
// Pure functions, no I/O, no object state: the client's handlers read a reply here, then act.
#pragma once

#include "buildconfig.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace cloudcodec {

// The running application's version, from the build.
constexpr int appVersionMajor = buildconfig::appVersionMajor;
constexpr int appVersionMinor = buildconfig::appVersionMinor;

// Request bodies: one JSON object in Qt's indented form, members sorted by key, UTF-8.
QByteArray signInBody(const QString &user, const QString &password);
QByteArray firmwareCheckBody(int userID);
QByteArray pairingBody(const QString &nameBLE, const QString &uniqueNumber);
QByteArray versionReportBody(const QString &nameBLE, int fwVersion);

// A reply body as text: UTF-8, ending at the first zero byte.
QString replyText(const QByteArray &body);

// The text parsed as a JSON object; anything else (empty, not JSON, an array) gives an empty
// object, so every member read from it is absent.
QJsonObject replyObject(const QString &text);

// One byte per element: the element read as an integer (0 when it is not a number) and its
// low 8 bits taken, so 256 gives 0x00 and -1 gives 0xFF.
QByteArray byteValues(const QJsonArray &array);

// The device list of a pairing reply: the text is read as the value of a member "obj"; an
// empty list unless that value is an array.
QJsonArray pairingList(const QString &text);

// The outcome of decoding an application download.
struct DecodedBytes
{
    bool isArray = false; // the body read as a JSON array
    QByteArray bytes;
};

// An application download body: the text (UTF-8 up to the first zero byte) read as the value
// of a member "data" and decoded as byteValues(). Bodies made only of small integers take a
// direct path that never builds a JSON document (the image may be many megabytes); anything
// else goes through the JSON library, so both give the same result.
DecodedBytes decodeApplicationBody(const QByteArray &body);

// The same through the JSON library alone: the reference the direct path must agree with.
DecodedBytes decodeApplicationBodyViaJson(const QByteArray &body);

// Only a newer minor version of the same major version is offered.
bool offersNewerVersion(int major, int minor);

// The path and query of a session upload, assembled as text without percent-encoding.
QString uploadPath(int deviceID, const QString &timeStamp);

// What the transport tells of a finished reply, besides its body.
struct ReplyStatus
{
    int httpStatus = 0; // 0 when no HTTP answer arrived
    bool failed = false; // the network layer reported an error (time-out, abort, TLS, HTTP)
};

// A session token the client can use: 36 characters, each printable ASCII, so that it
// travels unchanged as a Latin-1 header value and no control character ends that header.
bool isUsableToken(const QString &token);

// The sign-in reply. A member "code", whatever its value, is a refusal; the token and the
// user id are read only when there is none.
struct SignInReply
{
    bool refused = false;
    QString token; // null when absent or not a string
    int userID = 0; // "userDto"."id"; 0 when absent or not a whole number that fits an int
    bool tokenUsable = false;
};
SignInReply readSignInReply(const QByteArray &body);

// The firmware reply: {"version": n, "data": [bytes]}. Usable when nothing failed on the way
// and the image holds at least one byte; an empty image must never replace the stored one.
struct FirmwareReply
{
    int version = 0;
    QByteArray image; // byteValues() of "data"
    bool usable = false;
};
FirmwareReply readFirmwareReply(const QByteArray &body, const ReplyStatus &status);

// The pairing reply: an object with "code" (the device belongs to another account) or the
// account's device list. Every element whose "name" is the given BLE name exactly, and whose
// "uniqueNumber" (where it gives one) is the device's own, counts; the last one decides the id.
struct PairingReply
{
    bool refused = false;
    QList<int> ids; // "id" of each element named so, in list order
    bool matched() const { return !ids.isEmpty(); }
    int id() const { return ids.isEmpty() ? 0 : ids.last(); }
};
PairingReply readPairingReply(const QByteArray &body, const QString &nameBLE,
                              const QString &uniqueNumber);

// The application update check, read only when the service answered 200.
struct UpdateOffer
{
    bool answered = false; // HTTP 200
    int versionMajor = 0;
    int versionMinor = 0;
    QString description;
    bool newer = false; // answered and offersNewerVersion()
};
UpdateOffer readUpdateCheckReply(const QByteArray &body, const ReplyStatus &status);

// The application download, decoded only when the service answered 200. Usable when nothing
// failed on the way and the body is a non-empty byte array.
struct ApplicationReply
{
    bool answered = false; // HTTP 200
    bool usable = false;
    QByteArray bytes;
};
ApplicationReply readApplicationReply(const QByteArray &body, const ReplyStatus &status);

// A session upload is confirmed only by all three: HTTP 200, no network error and the body
// exactly "true". Anything else keeps the session file.
struct UploadReply
{
    bool confirmed = false;
    QString text; // the body as text, for the record of a failure
};
UploadReply readUploadReply(const QByteArray &body, const ReplyStatus &status);

// The credential cipher of the settings store (AES-128, ECB, ISO padding, fixed key).
QByteArray encryptCredential(const QString &text);
// The stored text back; a damaged or empty stored value gives an empty string.
QString decryptCredential(const QByteArray &stored);

} // namespace cloudcodec
