#include "sync/syncrecord.h"

#include "common/privatefiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QString formatName = QStringLiteral("orvane-sync-record/1");
constexpr double maxUnsigned32 = 4294967295.0;
constexpr double maxInt = 2147483647.0;

QByteArray checkOf(const QJsonArray &sessions)
{
    return QCryptographicHash::hash(QJsonDocument(sessions).toJson(QJsonDocument::Compact),
                                    QCryptographicHash::Sha256)
        .toHex();
}

// A whole number in [minimum, maximum], or nothing.
bool wholeNumber(const QJsonValue &value, double minimum, double maximum, double *out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < minimum
        || number > maximum)
        return false;
    *out = number;
    return true;
}

bool lowerHex(const QString &text, int length)
{
    return text.size() == length && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                   || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

QJsonObject toJson(const ConfirmedSession &session)
{
    return {
        {QStringLiteral("device"), session.deviceUid},
        {QStringLiteral("startTime"), double(session.startTime)},
        {QStringLiteral("records"), double(session.records)},
        {QStringLiteral("startAddress"), double(session.startAddress)},
        {QStringLiteral("sha256"), QString::fromLatin1(session.sha256.toHex())},
        {QStringLiteral("cloudDeviceId"), session.cloudDeviceId},
        {QStringLiteral("account"), session.account},
        {QStringLiteral("confirmedAt"), session.confirmedAt.toUTC().toString(Qt::ISODateWithMs)}};
}

// One entry, checked field by field; false with `why` when anything is off.
bool fromJson(const QJsonValue &value, ConfirmedSession *session, QString *why)
{
    const QJsonObject object = value.toObject();
    double startTime = 0, records = 0, address = 0, cloudId = 0, account = 0;
    const QString uid = object.value(QLatin1String("device")).toString();
    const QString sha = object.value(QLatin1String("sha256")).toString();
    const QDateTime at = QDateTime::fromString(
        object.value(QLatin1String("confirmedAt")).toString(), Qt::ISODateWithMs);
    if (!value.isObject())
        *why = QStringLiteral("an entry is not an object");
    else if (!devicecodec::isDeviceUid(uid))
        *why = QStringLiteral("an entry names no device");
    else if (!wholeNumber(object.value(QLatin1String("startTime")), 0, maxUnsigned32, &startTime)
             || !wholeNumber(object.value(QLatin1String("records")), 1, 65534, &records)
             || !wholeNumber(object.value(QLatin1String("startAddress")), 0, maxUnsigned32,
                             &address))
        *why = QStringLiteral("an entry's directory row is not three whole numbers in range");
    else if (!lowerHex(sha, 64))
        *why = QStringLiteral("an entry's SHA-256 is not 64 hex digits");
    else if (!wholeNumber(object.value(QLatin1String("cloudDeviceId")), 1, maxInt, &cloudId)
             || !wholeNumber(object.value(QLatin1String("account")), 1, maxInt, &account))
        *why = QStringLiteral("an entry's cloud device id or account is not a positive number");
    else if (!at.isValid())
        *why = QStringLiteral("an entry's confirmation time is not a time");
    else {
        session->deviceUid = uid;
        session->startTime = quint32(startTime);
        session->records = quint32(records);
        session->startAddress = quint32(address);
        session->sha256 = QByteArray::fromHex(sha.toLatin1());
        session->cloudDeviceId = int(cloudId);
        session->account = int(account);
        session->confirmedAt = at.toUTC();
        return true;
    }
    return false;
}

} // namespace

bool ConfirmedSession::operator==(const ConfirmedSession &other) const
{
    return deviceUid == other.deviceUid && startTime == other.startTime && records == other.records
        && startAddress == other.startAddress && sha256 == other.sha256
        && cloudDeviceId == other.cloudDeviceId && account == other.account
        && confirmedAt == other.confirmedAt;
}

QList<ConfirmedSession> SyncRecord::parse(const QByteArray &bytes, QString *why)
{
    QString problem;
    QList<ConfirmedSession> sessions;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject object = document.object();
    const QJsonValue list = object.value(QLatin1String("sessions"));
    if (bytes.size() > maxFileBytes)
        problem = QStringLiteral("it is larger than %1 bytes").arg(maxFileBytes);
    else if (error.error != QJsonParseError::NoError)
        problem = QStringLiteral("it is not JSON (%1 at offset %2)")
                      .arg(error.errorString())
                      .arg(error.offset);
    else if (!document.isObject() || object.value(QLatin1String("format")) != formatName)
        problem = QStringLiteral("it is not a sync record of this version");
    else if (!list.isArray() || list.toArray().size() > maxSessions)
        problem = QStringLiteral("it holds no list of sessions, or too many");
    else if (object.value(QLatin1String("check")).toString().toLatin1() != checkOf(list.toArray()))
        problem = QStringLiteral("its check does not match its entries");
    else {
        for (const QJsonValue &entry : list.toArray()) {
            ConfirmedSession session;
            if (!fromJson(entry, &session, &problem))
                break;
            sessions.append(session);
        }
    }
    if (!problem.isEmpty())
        sessions.clear();
    if (why)
        *why = problem;
    return sessions;
}

QByteArray SyncRecord::serialize(const QList<ConfirmedSession> &sessions)
{
    QJsonArray list;
    for (const ConfirmedSession &session : sessions)
        list.append(toJson(session));
    const QJsonObject object {{QStringLiteral("format"), formatName},
                              {QStringLiteral("sessions"), list},
                              {QStringLiteral("check"), QString::fromLatin1(checkOf(list))}};
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

devicecodec::SessionTable SyncRecord::confirmedRows(const QList<ConfirmedSession> &sessions,
                                                    const QString &deviceUid, int account,
                                                    int cloudDeviceId,
                                                    const devicecodec::SessionTable &directory)
{
    devicecodec::SessionTable rows;
    // Nothing can be told apart without a device, an account and a cloud id.
    if (deviceUid.isEmpty() || account <= 0 || cloudDeviceId <= 0)
        return rows;
    for (const devicecodec::SessionRow &row : directory) {
        const bool confirmed =
            std::any_of(sessions.cbegin(), sessions.cend(), [&](const ConfirmedSession &s) {
                return s.deviceUid == deviceUid && s.account == account
                    && s.cloudDeviceId == cloudDeviceId && s.row() == row;
            });
        if (confirmed && !rows.contains(row))
            rows.append(row);
    }
    return rows;
}

SyncRecord::SyncRecord(QString path) : filePath(std::move(path)) { }

QString SyncRecord::load()
{
    entries.clear();
    QFile file(filePath);
    if (!file.exists())
        return QString();
    if (QFileInfo(file).size() > maxFileBytes)
        return QStringLiteral("it is larger than %1 bytes").arg(maxFileBytes);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("it cannot be read (%1)").arg(file.errorString());
    QString why;
    entries = parse(file.read(maxFileBytes + 1), &why);
    return why;
}

QString SyncRecord::add(const ConfirmedSession &session)
{
    QList<ConfirmedSession> next = entries;
    next.append(session);
    while (next.size() > maxSessions)
        next.removeFirst();
    const QString error = save(next);
    if (error.isEmpty())
        entries = next;
    return error;
}

QString SyncRecord::forget(const QString &deviceUid, const devicecodec::SessionTable &directory)
{
    QList<ConfirmedSession> next = entries;
    next.erase(std::remove_if(next.begin(), next.end(),
                              [&](const ConfirmedSession &s) {
                                  return s.deviceUid == deviceUid
                                      && (directory.isEmpty() || !directory.contains(s.row()));
                              }),
               next.end());
    if (next.size() == entries.size())
        return QString();
    const QString error = save(next);
    if (error.isEmpty())
        entries = next;
    return error;
}

QString SyncRecord::save(const QList<ConfirmedSession> &sessions)
{
    QString error = makePrivateFolder(QFileInfo(filePath).absolutePath());
    if (error.isEmpty())
        error = writePrivateFile(filePath, serialize(sessions));
    return error;
}
