#include "cloud/network.h"

#include "cloud/cloudcodec.h"
#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "common/programproof.h"
#include "logging/logmacros.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>

#include <limits>
#include <utility>

// The reply handlers are parts of the dispatcher: their records carry its name.
#define REPLY_LOG(level, text)                                                                     \
    do {                                                                                           \
        if (applog::ENABLE_LOG_LEVELS.enabled(level) && applog::Logger::getInstance())             \
            applog::Logger::getInstance()->log((text), (level), QStringLiteral("replyFinished"),   \
                                               __FILE__, static_cast<unsigned>(__LINE__));         \
    } while (false)

namespace {

// What a request is and what it is about travel with the request itself.
constexpr QNetworkRequest::Attribute kindAttribute = QNetworkRequest::User;
constexpr QNetworkRequest::Attribute subjectAttribute =
    QNetworkRequest::Attribute(QNetworkRequest::User + 1);
// The abandonment count when an upload was sent.
constexpr QNetworkRequest::Attribute epochAttribute =
    QNetworkRequest::Attribute(QNetworkRequest::User + 2);
// The account epoch when a request was sent.
constexpr QNetworkRequest::Attribute accountAttribute =
    QNetworkRequest::Attribute(QNetworkRequest::User + 3);
// A session file holds 18-byte records and nothing else.
constexpr qint64 sessionRecordSize = 18;

// A server's text in our diagnostics is cut here; an error page can be large.
constexpr int maxQuotedReplyLength = 512;

const QString signedInKey = QStringLiteral("signedIn");
const QString userKey = QStringLiteral("encu");
const QString passwordKey = QStringLiteral("encp");

QDebug cloudDebug(const char *where)
{
    return qDebug().noquote() << "🌐" << where;
}

QString quoted(const QString &text)
{
    if (text.size() <= maxQuotedReplyLength)
        return text;
    return text.left(maxQuotedReplyLength) + QStringLiteral("… (") + QString::number(text.size())
        + QStringLiteral(" characters)");
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

cloudcodec::ReplyStatus statusOf(const QNetworkReply *reply)
{
    return {httpStatus(reply), reply->error() != QNetworkReply::NoError};
}

QVariant subjectOf(const QNetworkReply *reply)
{
    return reply->request().attribute(subjectAttribute);
}

// Control characters in a header value would end the header early and start another.
bool isSafeHeaderValue(const QByteArray &value)
{
    for (const char c : value) {
        if (quint8(c) < 0x20 || quint8(c) == 0x7F)
            return false;
    }
    return true;
}

void setJsonContent(QNetworkRequest *request)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
}

} // namespace

Network::Network(QObject *parent, const CloudEndpoint &endpoint)
    : QObject(parent),
      manager(new QNetworkAccessManager(this)),
      settings(new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("Orvane"), QStringLiteral("Kestrane"))),
      limits(endpoint)
{
    // Credentials and the token travel only over verified TLS: any other scheme leaves the
    // address empty, so every request fails and its handler takes the failure path.
    if (endpoint.baseUrl.scheme() == QLatin1String("https") && endpoint.baseUrl.isValid()) {
        baseUrl = endpoint.baseUrl.adjusted(QUrl::StripTrailingSlash).toString(QUrl::FullyEncoded);
    } else {
        qWarning() << "🌐" << Q_FUNC_INFO
                   << "the cloud address is not an https URL:" << endpoint.baseUrl.toString();
        APPLOG_ERROR(QStringLiteral("network: error: the cloud address is not an https URL"));
    }
    installCaCertificates(endpoint.extraCaCertificates);
    connect(manager, &QNetworkAccessManager::finished, this, &Network::replyFinished);
}

Network::~Network()
{
    // Replies still in flight go with the manager, unread.
    disconnect(manager, nullptr, this, nullptr);
    delete manager;
    delete settings;
}

QString Network::settingsFilePath() const
{
    return settings->fileName();
}

QNetworkRequest Network::makeRequest(const QString &pathAndQuery, RequestKind kind,
                                     const QVariant &subject, bool withToken) const
{
    QNetworkRequest request(baseUrl.isEmpty() ? QUrl() : QUrl(baseUrl + pathAndQuery));
    request.setAttribute(kindAttribute, int(kind));
    request.setAttribute(accountAttribute, account);
    if (subject.isValid())
        request.setAttribute(subjectAttribute, subject);
    request.setTransferTimeout(limits.transferTimeoutMs);
    if (withToken && !token.isEmpty()) {
        const QByteArray value = token.toLatin1();
        if (isSafeHeaderValue(value))
            request.setRawHeader(QByteArrayLiteral("token"), value);
        else
            qWarning() << "🌐" << Q_FUNC_INFO << "the session token holds control characters;"
                       << "the request goes without it";
    }
    return request;
}

QNetworkReply *Network::send(const QByteArray &method, const QNetworkRequest &request,
                             const QByteArray &body)
{
    requestKind = RequestKind(request.attribute(kindAttribute).toInt());
    QNetworkReply *reply = method == "GET" ? manager->get(request)
        : method == "PUT"                  ? manager->put(request, body)
                                           : manager->post(request, body);
    bound(reply, requestKind);
    return reply;
}

void Network::bound(QNetworkReply *reply, RequestKind kind)
{
    const qint64 limit = kind == AppDownload ? limits.applicationReplyLimit
        : kind == FirmwareCheck              ? limits.firmwareReplyLimit
                                             : limits.jsonReplyLimit;
    const QString what = QString::fromLatin1(QMetaEnum::fromType<RequestKind>().valueToKey(kind));
    const auto end = [reply, what](const QString &why) {
        if (!reply->isRunning())
            return;
        qWarning().noquote() << "🌐" << what << "reply from" << reply->url().path()
                             << "aborted:" << why;
        APPLOG_ERROR(QStringLiteral("network: error: %1 reply aborted: %2").arg(what, why));
        reply->abort();
    };

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    const int deadlineMs = limits.requestDeadlineMs;
    connect(deadline, &QTimer::timeout, reply, [end, deadline] {
        end(QStringLiteral("no complete reply within %1 s").arg(deadline->interval() / 1000.0));
    });
    deadline->start(deadlineMs);

    const int perMiB = limits.deadlinePerMiBMs;
    connect(reply, &QNetworkReply::metaDataChanged, reply,
            [reply, end, limit, kind, deadline, deadlineMs, perMiB] {
                bool known = false;
                const qint64 announced =
                    reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
                if (!known)
                    return;
                if (announced > limit) {
                    end(QStringLiteral("it announces %1 bytes, more than the %2 a reply of its "
                                       "kind may have")
                            .arg(announced)
                            .arg(limit));
                    return;
                }
                // A large application may take its time, in proportion to its size.
                if (kind == AppDownload && deadline->isActive()) {
                    const qint64 scaled = deadlineMs + (announced >> 20) * qint64(perMiB);
                    deadline->start(int(qMin<qint64>(scaled, std::numeric_limits<int>::max())));
                }
            });
    // Checked at every arrival: the progress signal comes at most every 100 ms, while a
    // fast line brings many megabytes in that time.
    connect(reply, &QNetworkReply::readyRead, reply, [reply, end, limit] {
        bool known = false;
        const qint64 announced =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && announced > limit)
            end(QStringLiteral("it announces %1 bytes, more than the %2 a reply of its kind may "
                               "have")
                    .arg(announced)
                    .arg(limit));
        else if (reply->bytesAvailable() > limit)
            end(QStringLiteral("it passed the %1 bytes a reply of its kind may have").arg(limit));
    });
}

void Network::prepareSettingsFile()
{
    // The settings hold the encrypted credentials. Their folder and file are made owner-only
    // before the first byte is written (the settings library keeps the mode of a file that
    // exists), so that they are never readable by others, not even for a moment.
    const QString path = settings->fileName();
    QString error = makePrivateFolder(QFileInfo(path).absolutePath());
    if (error.isEmpty())
        error = makePrivateEmptyFile(path);
    if (!error.isEmpty())
        qWarning().noquote() << "🌐" << Q_FUNC_INFO << path << ":" << error;
}

void Network::writeSetting(const QString &key, const QVariant &value)
{
    prepareSettingsFile();
    settings->setValue(key, value);
    secureSettingsFile();
}

void Network::removeSettings(const QStringList &keys)
{
    prepareSettingsFile();
    for (const QString &key : keys)
        settings->remove(key);
    secureSettingsFile();
}

void Network::secureSettingsFile()
{
    settings->sync();
    if (settings->status() != QSettings::NoError)
        qWarning() << "🌐" << Q_FUNC_INFO
                   << "the settings could not be written:" << settings->fileName();
    // The encrypted credentials are the user's alone. (No file: nothing to do.)
    if (QFile::exists(settings->fileName()))
        QFile::setPermissions(settings->fileName(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void Network::checkSignedInStatus()
{
    if (!settings->value(signedInKey).toBool()) {
        emit notSignedin();
        return;
    }
    username = cloudcodec::decryptCredential(settings->value(userKey).toByteArray());
    password = cloudcodec::decryptCredential(settings->value(passwordKey).toByteArray());
    sigIn(username, password);
}

void Network::sigIn(const QString &username, const QString &pass)
{
    this->username = username;
    password = pass;
    QNetworkRequest request =
        makeRequest(QStringLiteral("/signin"), SignIn, QStringList {username, pass}, false);
    setJsonContent(&request);
    send("POST", request, cloudcodec::signInBody(username, pass));
}

void Network::signOut()
{
    prepareSettingsFile();
    settings->setValue(signedInKey, false);
    // Signed out means no credentials left behind for anyone to decrypt.
    removeSettings({userKey, passwordKey});
    // Nothing of the account stays in memory either: no request goes out with its token,
    // and no upload under its device id.
    token.clear();
    username.clear();
    password.clear();
    userID = 0;
    forgetDevice();
    ++account;
    abandonSessionUploads();
    emit signedOut();
}

void Network::pairDevice(const QString &nameBLE, const QString &UID)
{
    // The id answered for another device is not this one's.
    if (nameBLE != pairedName || UID != pairedUid) {
        deviceID = 0;
        pairedName.clear();
        pairedUid.clear();
    }
    this->nameBLE = nameBLE;
    pairingUid = UID;
    QNetworkRequest request = makeRequest(QStringLiteral("/api/device/pairDevice"), DevicePairing,
                                          QStringList {nameBLE, UID}, true);
    setJsonContent(&request);
    send("PUT", request, cloudcodec::pairingBody(nameBLE, UID));
}

void Network::updateFwVersion(const QString &nameBLE, int fwVersion)
{
    this->nameBLE = nameBLE;
    QNetworkRequest request = makeRequest(QStringLiteral("/api/device/updateFirmwareVersion"),
                                          FirmwareVersionReport, nameBLE, true);
    setJsonContent(&request);
    send("POST", request, cloudcodec::versionReportBody(nameBLE, fwVersion));
}

void Network::sendSession(const QString &fileName, const QString &timeStamp)
{
    sessionFileName = fileName;
    // Health data goes to the cloud only under the id the cloud gave this very device (a
    // sign-out forgets it).
    if (pairedName.isEmpty()) {
        refuseUpload(fileName, QStringLiteral("the device's pairing has not answered with its id"));
        return;
    }
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    auto *file = new QFile(fileName, multiPart);
    if (!file->open(QIODevice::ReadOnly)) {
        // An empty upload that the service confirms would delete a file whose data never
        // left: report the failure instead.
        delete multiPart;
        refuseUpload(fileName, QStringLiteral("cannot open the session file"));
        return;
    }
    if (file->size() == 0 || file->size() % sessionRecordSize != 0) {
        const qint64 size = file->size();
        delete multiPart;
        refuseUpload(fileName,
                     QStringLiteral("the session file holds %1 bytes, not a whole number of "
                                    "records")
                         .arg(size));
        return;
    }

    QHttpPart namePart;
    namePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QVariant(QStringLiteral("form-data; name=\"name\"")));
    namePart.setBody(fileName.toLatin1());
    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QVariant(QStringLiteral("form-data; name=\"file\"; filename=\"") + fileName
                                + QLatin1Char('"')));
    filePart.setBodyDevice(file);
    multiPart->append(namePart);
    multiPart->append(filePart);

    QNetworkRequest request =
        makeRequest(cloudcodec::uploadPath(deviceID, timeStamp), SessionUpload, fileName, true);
    request.setAttribute(epochAttribute, uploadEpoch);
    requestKind = SessionUpload;
    QNetworkReply *reply = manager->post(request, multiPart);
    multiPart->setParent(reply); // released with the reply
    uploadsInFlight.append(reply);
    bound(reply, SessionUpload);
    connect(reply, &QNetworkReply::uploadProgress, this, &Network::sessionUploadProgress,
            Qt::UniqueConnection);
    cloudDebug(Q_FUNC_INFO) << "Multipart:" << fileName;
}

void Network::refuseUpload(const QString &fileName, const QString &why)
{
    cloudDebug(Q_FUNC_INFO) << "not uploaded:" << fileName << "-" << why;
    APPLOG_ERROR(QStringLiteral("network: error: session not uploaded: ") + why);
    const quint64 epoch = uploadEpoch;
    QMetaObject::invokeMethod(
        this,
        [this, fileName, epoch] {
            if (epoch == uploadEpoch)
                reportUpload(fileName, false);
        },
        Qt::QueuedConnection);
}

void Network::reportUpload(const QString &fileName, bool success)
{
    emit sessionUploaded(fileName, success);
    emit sessionSent(success);
}

void Network::abandonSessionUploads()
{
    ++uploadEpoch;
    // Taken out first: aborting finishes a reply at once, and its handler must find it gone.
    const QList<QPointer<QNetworkReply>> abandoned = std::exchange(uploadsInFlight, {});
    for (const QPointer<QNetworkReply> &reply : abandoned) {
        if (reply && reply->isRunning()) {
            cloudDebug(Q_FUNC_INFO) << "aborting the upload of" << subjectOf(reply).toString();
            reply->abort();
        }
    }
}

void Network::forgetDevice()
{
    if (!pairedName.isEmpty() || !nameBLE.isEmpty())
        cloudDebug(Q_FUNC_INFO) << "forgetting the cloud id of" << pairedName;
    deviceID = 0;
    pairedName.clear();
    pairedUid.clear();
    pairingUid.clear();
    nameBLE.clear();
}

void Network::updateFwList()
{
    APPLOG_INFO(QStringLiteral("network: sent fw request "));
    QNetworkRequest request =
        makeRequest(QStringLiteral("/api/device/checkFirmware"), FirmwareCheck, QVariant(), true);
    setJsonContent(&request);
    send("POST", request, cloudcodec::firmwareCheckBody(userID));
}

void Network::checkAppUpdate()
{
    send("GET",
         makeRequest(QStringLiteral("/api/orvane/checkUpdate"), AppUpdateCheck, QVariant(), true));
}

void Network::appDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    cloudDebug(Q_FUNC_INFO) << "Bytes sent" << bytesReceived << "out of" << bytesTotal;
}

void Network::replyFinished(QNetworkReply *reply)
{
    // Released once the handler has returned, and with it an upload's multipart body.
    reply->deleteLater();
    const auto kind = RequestKind(reply->request().attribute(kindAttribute).toInt());
    if (kind == SessionUpload) {
        uploadsInFlight.removeAll(reply);
        if (reply->request().attribute(epochAttribute).toULongLong() != uploadEpoch) {
            cloudDebug(Q_FUNC_INFO)
                << "ignoring the reply to an abandoned upload of" << subjectOf(reply).toString();
            return;
        }
    }
    // What was asked for an account that has signed out since (or was replaced by another
    // sign-in) is of no use to the one signed in now: it is not acted upon.
    if (kind != SignIn && reply->request().attribute(accountAttribute).toULongLong() != account) {
        cloudDebug(Q_FUNC_INFO) << "ignoring the reply from" << reply->url().path()
                                << "to a request of an account no longer signed in";
        return;
    }
    const QByteArray body = reply->readAll();
    switch (kind) {
    case SignIn:
        signInReply(reply, body, Q_FUNC_INFO);
        break;
    case FirmwareCheck:
        firmwareReply(reply, body, Q_FUNC_INFO);
        break;
    case SessionUpload:
        uploadReply(reply, body, Q_FUNC_INFO);
        break;
    case AppUpdateCheck:
        updateCheckReply(reply, body, Q_FUNC_INFO);
        break;
    case AppDownload:
        appDownloadReply(reply, body, Q_FUNC_INFO);
        break;
    case DevicePairing:
        pairingReply(reply, body, Q_FUNC_INFO);
        break;
    case FirmwareVersionReport:
        versionReportReply(reply, Q_FUNC_INFO);
        break;
    case NoRequest:
        cloudDebug(Q_FUNC_INFO) << "reply to a request of no known kind:" << reply->url().path();
        REPLY_LOG(applog::LogLevel_ERROR,
                  QStringLiteral("network: error: reply to a request of no known kind"));
        break;
    }
}

void Network::signInReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    const cloudcodec::SignInReply read = cloudcodec::readSignInReply(body);
    if (read.refused) {
        writeSetting(signedInKey, false);
        emit incorrectCredentials();
        REPLY_LOG(applog::LogLevel_INFO, QStringLiteral("network: wrong credentials"));
        return;
    }
    // Another account than the one signed in (or none was): the pairing answered to the one
    // before is not this one's, nor is anything still on its way for it.
    const bool sameAccount = !token.isEmpty() && read.userID > 0 && read.userID == userID;
    token = read.token;
    userID = read.userID;
    REPLY_LOG(applog::LogLevel_INFO,
              QStringLiteral("network: sucsess sign in") + QString::number(userID));
    if (!sameAccount) {
        ++account;
        forgetDevice();
    }
    // A token that cannot travel in a header would leave every later request without it:
    // such a sign-in has failed.
    if (!read.tokenUsable) {
        cloudDebug(where) << "sign-in reply without a usable token: length" << token.size()
                          << "network error" << reply->error();
        REPLY_LOG(applog::LogLevel_ERROR,
                  QStringLiteral("network: error: the sign-in reply carries no usable token"));
        token.clear();
        return;
    }
    // The credentials this reply answers, also when another sign-in was sent meanwhile.
    const QStringList credentials = subjectOf(reply).toStringList();
    const QString user = credentials.value(0, username);
    const QString pass = credentials.value(1, password);
    emit signedInSuccess(user, pass);
    prepareSettingsFile();
    settings->setValue(signedInKey, true);
    settings->setValue(userKey, cloudcodec::encryptCredential(user));
    settings->setValue(passwordKey, cloudcodec::encryptCredential(pass));
    secureSettingsFile();
    updateFwList();
}

void Network::firmwareReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    const cloudcodec::FirmwareReply read = cloudcodec::readFirmwareReply(body, statusOf(reply));
    REPLY_LOG(applog::LogLevel_INFO,
              QStringLiteral("network: got latest fw: ") + QString::number(read.version));
    if (!read.usable) {
        // The image already on disk stays: an empty one must never be offered for flashing.
        cloudDebug(where) << "firmware reply without an image, network error" << reply->error()
                          << "HTTP status" << httpStatus(reply);
        REPLY_LOG(applog::LogLevel_ERROR,
                  QStringLiteral("network: got latest fw: no image in the reply, rev file kept"));
        return;
    }

    const QString filePath = applicationFilePath(QStringLiteral("rev.bin"));
    REPLY_LOG(applog::LogLevel_INFO,
              QStringLiteral("network: got latest fw: file lenght: ")
                  + QString::number(read.image.size()));
    // Written aside, proven and renamed over the old image, so a failed write keeps the old
    // one and a short image is never offered for flashing.
    QString error = makePrivateFolder(applicationFolderPath());
    if (error.isEmpty())
        error = writePrivateFile(filePath, read.image);
    if (!error.isEmpty()) {
        cloudDebug(where) << "rev.bin not written:" << error;
        REPLY_LOG(applog::LogLevel_ERROR,
                  QStringLiteral("network: got latest fw: error writing rev file"));
        return;
    }
    emit firmwareInfoFromCloud(filePath, read.version);
    checkAppUpdate();
}

void Network::uploadReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    // Each upload deletes its own file, also when several are in flight.
    const QVariant subject = subjectOf(reply);
    const QString fileName = subject.isValid() ? subject.toString() : sessionFileName;
    const cloudcodec::ReplyStatus status = statusOf(reply);
    const cloudcodec::UploadReply read = cloudcodec::readUploadReply(body, status);
    if (read.confirmed) {
        REPLY_LOG(applog::LogLevel_INFO, QStringLiteral("network: success sent session: "));
        // Whoever keeps the record of confirmed sessions writes it first; only then does the
        // file go.
        emit sessionUploaded(fileName, true);
        QFile::remove(fileName);
        emit sessionSent(true);
        return;
    }
    const char *errorName =
        QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
    cloudDebug(where) << quoted(read.text) << errorName << reply->errorString() << "HTTP status"
                      << status.httpStatus;
    reportUpload(fileName, false);
    REPLY_LOG(applog::LogLevel_ERROR,
              QStringLiteral("network: error: server replied while sending session")
                  + quoted(read.text));
}

void Network::updateCheckReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    const cloudcodec::UpdateOffer offer = cloudcodec::readUpdateCheckReply(body, statusOf(reply));
    if (!offer.answered) {
        cloudDebug(where) << "update check failed, HTTP status" << httpStatus(reply);
        return;
    }
    if (!offer.newer)
        return;
    cloudDebug(where) << offer.versionMajor << cloudcodec::appVersionMajor << offer.versionMinor
                      << cloudcodec::appVersionMinor;
    updateDescription = offer.description;
    if (!applicationDownload) {
        // A package manager installs it: nothing is downloaded that could be installed.
        cloudDebug(where) << "not downloaded: a package manager installs Orvane here";
        APPLOG_INFO(QStringLiteral("network: application %1.%2 available, not downloaded: a "
                                   "package manager installs it")
                        .arg(offer.versionMajor)
                        .arg(offer.versionMinor));
        offeredMajor = offer.versionMajor;
        offeredMinor = offer.versionMinor;
        emit appUpdateAvailable(updateDescription);
        emit preparationsDone();
        return;
    }
    // The version travels with the request, so that the download is proven against the
    // offer it belongs to.
    QNetworkReply *download =
        send("GET",
             makeRequest(QStringLiteral("/orvane"), AppDownload,
                         QVariantList {offer.versionMajor, offer.versionMinor}, true));
    connect(download, &QNetworkReply::downloadProgress, this, &Network::appDownloadProgress,
            Qt::UniqueConnection);
}

void Network::appDownloadReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    // Decoded from the bytes: the application can be many megabytes of JSON.
    const cloudcodec::ApplicationReply read =
        cloudcodec::readApplicationReply(body, statusOf(reply));
    if (read.answered && read.usable) {
        const QVariantList version = subjectOf(reply).toList();
        proveApplication(read.bytes, version.value(0).toInt(), version.value(1).toInt());
        return;
    }
    if (read.answered) {
        cloudDebug(where) << "application download without an application, network error"
                          << reply->error() << "body bytes" << body.size();
        REPLY_LOG(applog::LogLevel_ERROR,
                  QStringLiteral("network: error: no application in the download reply"));
    } else {
        cloudDebug(where) << "application download failed, HTTP status" << httpStatus(reply);
    }
    emit preparationsDone();
}

void Network::proveApplication(const QByteArray &bytes, int versionMajor, int versionMinor)
{
    if (applicationProof) {
        // A later download replaces the one still being proven, which ends unkept.
        cloudDebug(Q_FUNC_INFO) << "a newer download replaces the one being proven";
        delete applicationProof;
        applicationProof = nullptr;
        emit preparationsDone();
    }
    provingApplication = bytes;
    provingMajor = versionMajor;
    provingMinor = versionMinor;
    applicationProof = new ProgramProof(this);
    connect(applicationProof, &ProgramProof::finished, this, &Network::applicationProofFinished);
    applicationProof->start(bytes, versionMajor, versionMinor);
}

void Network::applicationProofFinished()
{
    ProgramProof *proof = applicationProof;
    applicationProof = nullptr;
    proof->deleteLater();
    const QByteArray bytes = std::exchange(provingApplication, QByteArray());
    const QString path = applicationFilePath(QStringLiteral("Orvane"));
    const QString version = QStringLiteral("%1.%2").arg(provingMajor).arg(provingMinor);
    if (!proof->proven()) {
        // An earlier download left in the folder belongs to an older offer.
        QFile::remove(path);
        cloudDebug(Q_FUNC_INFO) << "the downloaded application is refused:" << proof->refusal()
                                << proof->details();
        APPLOG_ERROR(QStringLiteral("network: error: the downloaded application for %1 is "
                                    "refused: %2 (%3)")
                         .arg(version, proof->refusal(), proof->details()));
        emit preparationsDone();
        return;
    }
    QString error = makePrivateFolder(applicationFolderPath());
    if (error.isEmpty())
        error = writePrivateFile(path, bytes);
    if (error.isEmpty()) {
        offeredMajor = provingMajor;
        offeredMinor = provingMinor;
        APPLOG_INFO(QStringLiteral("network: application %1 downloaded and proven").arg(version));
        emit appUpdateAvailable(updateDescription);
    } else {
        cloudDebug(Q_FUNC_INFO) << "the downloaded application not written:" << error;
        APPLOG_ERROR(QStringLiteral("network: error: cannot write the downloaded application"));
    }
    emit preparationsDone();
}

void Network::pairingReply(QNetworkReply *reply, const QByteArray &body, const char *where)
{
    cloudDebug(where) << "pairing reply, HTTP status" << httpStatus(reply);
    const QStringList subject = subjectOf(reply).toStringList();
    const QString name = subject.value(0, nameBLE);
    const QString uid = subject.value(1, pairingUid);
    if (name != nameBLE || uid != pairingUid) {
        // Another device (or none) is shown since: this answer is not about it.
        cloudDebug(where) << "ignoring the pairing reply for" << name << "- not the device shown";
        return;
    }
    const cloudcodec::PairingReply read = cloudcodec::readPairingReply(body, name, uid);
    if (read.refused) {
        // Paired to another account: no id of ours stands for this device.
        deviceID = 0;
        pairedName.clear();
        pairedUid.clear();
        REPLY_LOG(applog::LogLevel_ERROR, QStringLiteral("network: error: paired with other"));
        emit deviceIsPairedToOther();
        emit devicePairingFailed(name, uid);
        return;
    }
    // Every match is recorded; the last one decides.
    for (const int id : read.ids) {
        deviceID = id;
        cloudDebug(where) << "network: PAIRED WITH ID:" << deviceID;
        REPLY_LOG(applog::LogLevel_INFO,
                  QStringLiteral("network: PAIRED WITH ID: ") + QString::number(deviceID));
    }
    // A match without a usable id is no id: uploads would go out under device 0.
    const bool matched = read.matched() && deviceID > 0;
    if (matched) {
        pairedName = name;
        pairedUid = uid;
    } else {
        // No id for this device: the one answered for another device must not stand in.
        deviceID = 0;
        pairedName.clear();
        pairedUid.clear();
        cloudDebug(where) << "the pairing reply lists no device named" << name
                          << "with this unique number";
    }
    emit readyToSendData();
    if (matched)
        emit devicePaired(name, uid, deviceID);
    else
        emit devicePairingFailed(name, uid);
}

void Network::versionReportReply(QNetworkReply *reply, const char *where)
{
    const QVariant subject = subjectOf(reply);
    const QString name = subject.isValid() ? subject.toString() : nameBLE;
    if (httpStatus(reply) == 200)
        cloudDebug(where) << "FW version on cloud updated for" << name;
    else
        cloudDebug(where) << "FW version on cloud update FAILED ❌";
    emit preparationsDone();
}
