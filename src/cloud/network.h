// The application's client of the maker's cloud service: signs the user in and keeps the
// encrypted credentials, fetches the device firmware and a newer application after sign-in,
// pairs the device, reports its firmware version and uploads session files.
//
// Every request records its kind (and what it is about: the credentials, the BLE name or the
// session file) on itself, and replyFinished() reads them back from the reply's request, so
// replies of overlapping requests always reach their own handler.
#pragma once

#include "cloud/cloudendpoint.h"

#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class ProgramProof;
class QNetworkAccessManager;
class QNetworkRequest;
class QSettings;

class Network : public QObject
{
    Q_OBJECT

public:
    enum RequestKind {
        NoRequest,
        SignIn,
        FirmwareCheck,
        SessionUpload,
        AppUpdateCheck,
        AppDownload,
        DevicePairing,
        FirmwareVersionReport,
    };
    Q_ENUM(RequestKind)

    explicit Network(QObject *parent = nullptr,
                     const CloudEndpoint &endpoint = CloudEndpoint::fromBuild());
    ~Network() override;

    // Read-only views for diagnostics and tests.
    QString currentToken() const { return token; }
    int currentUserID() const { return userID; }
    int currentDeviceID() const { return deviceID; }
    // The BLE name and unique number of the device whose pairing answered with deviceID,
    // under the account signed in now; empty while none did.
    QString pairedDeviceName() const { return pairedName; }
    QString pairedDeviceUid() const { return pairedUid; }
    // Changes with every accepted sign-in and every sign-out: what was begun for one account
    // (a pairing, an upload, the firmware and update chain) never acts for the next.
    quint64 accountEpoch() const { return account; }
    RequestKind lastRequestKind() const { return requestKind; }
    QString settingsFilePath() const;

    // The application version behind the last appUpdateAvailable(): the version of the
    // download kept, or the version on offer where nothing is downloaded. 0.0 before one.
    int offeredVersionMajor() const { return offeredMajor; }
    int offeredVersionMinor() const { return offeredMinor; }

    // Whether a newer application is downloaded (the default). Where a package manager owns
    // the program nothing is: appUpdateAvailable() only tells that the version is out.
    void setApplicationDownload(bool enabled) { applicationDownload = enabled; }

public slots:
    void checkSignedInStatus();
    void sigIn(const QString &username, const QString &pass);
    void signOut();
    void pairDevice(const QString &nameBLE, const QString &UID);
    void updateFwVersion(const QString &nameBLE, int fwVersion);
    void sendSession(const QString &fileName, const QString &timeStamp);
    // Another device (or none) is shown: the cloud id answered for the last one is not this
    // one's, and a pairing reply still on its way for it is ignored.
    void forgetDevice();
    // The device link restarted: uploads still in flight belong to a download that is gone.
    // They are aborted and their outcome is never reported.
    void abandonSessionUploads();

private slots:
    void replyFinished(QNetworkReply *reply);
    void checkAppUpdate();
    void updateFwList();
    void appDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

signals:
    void firmwareInfoFromCloud(QString filePath, int version);
    void signedInSuccess(QString user, QString pass);
    void incorrectCredentials();
    void readyToSendData();
    void deviceIsPairedToOther();
    void sessionSent(bool success);
    // The outcome of one session upload, naming its file; emitted just before sessionSent().
    void sessionUploaded(QString fileName, bool success);
    // The device's pairing answered with its cloud id: its sessions may be uploaded.
    void devicePaired(QString nameBLE, QString uid, int id);
    // The device's pairing gave no id (refused, failed, or the device is not in the list).
    void devicePairingFailed(QString nameBLE, QString uid);
    // The user signed out: the token, the ids and the pairing are forgotten, uploads in flight
    // aborted.
    void signedOut();
    void sessionUploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void notSignedin();
    void appUpdateAvailable(QString message);
    void preparationsDone();

private:
    QNetworkRequest makeRequest(const QString &pathAndQuery, RequestKind kind,
                                const QVariant &subject, bool withToken) const;
    QNetworkReply *send(const QByteArray &method, const QNetworkRequest &request,
                        const QByteArray &body = QByteArray());
    // Bounds a reply in time and size: it is aborted (and so read as a failure) when its
    // deadline passes or it grows, or announces it will grow, past its kind's limit.
    void bound(QNetworkReply *reply, RequestKind kind);
    void writeSetting(const QString &key, const QVariant &value);
    void removeSettings(const QStringList &keys);
    void prepareSettingsFile();
    void secureSettingsFile();

    // Each reads its reply with the cloud codec, then acts on what it read.
    void signInReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void firmwareReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void uploadReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void updateCheckReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void appDownloadReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void pairingReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    // The downloaded application is kept and offered only once proven to be the version
    // offered, for this computer; preparationsDone() follows either way.
    void proveApplication(const QByteArray &bytes, int versionMajor, int versionMinor);
    void applicationProofFinished();
    void versionReportReply(QNetworkReply *reply, const char *where);
    // Reports a session upload that never left, after the caller's own signal has returned.
    void refuseUpload(const QString &fileName, const QString &why);
    void reportUpload(const QString &fileName, bool success);

    QNetworkAccessManager *manager;
    QSettings *settings;
    QString username;
    QString password;
    QString token;
    RequestKind requestKind = NoRequest;
    QString sessionFileName;
    QString updateDescription;
    int offeredMajor = 0;
    int offeredMinor = 0;
    bool applicationDownload = true;
    // The download being proven: its bytes and version, until the proof has finished.
    ProgramProof *applicationProof = nullptr;
    QByteArray provingApplication;
    int provingMajor = 0;
    int provingMinor = 0;
    QString nameBLE;
    int userID = 0;
    int deviceID = 0;
    QString pairedName; // the device deviceID was answered for
    QString pairedUid;
    QString pairingUid; // the unique number of the device whose pairing was asked for last
    quint64 account = 0; // see accountEpoch()
    // Uploads in flight, and the count of abandonments: an upload sent before the last one
    // reports nothing.
    QList<QPointer<QNetworkReply>> uploadsInFlight;
    quint64 uploadEpoch = 0;

    QString baseUrl; // without a trailing slash
    CloudEndpoint limits; // time-outs, deadlines and reply sizes
};
