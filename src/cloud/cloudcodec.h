// The text and byte work of the cloud client: request bodies, reading replies, decoding byte
// arrays sent as JSON, the update rule, the upload address and the credential cipher.
// Pure functions, no I/O, no object state.
#pragma once

#include "buildconfig.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
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

// The credential cipher of the settings store (AES-128, ECB, ISO padding, fixed key).
QByteArray encryptCredential(const QString &text);
// The stored text back; a damaged or empty stored value gives an empty string.
QString decryptCredential(const QByteArray &stored);

} // namespace cloudcodec
