// The application's client of the maker's cloud service: signs the user in and keeps the
// encrypted credentials, fetches the device firmware and a newer application after sign-in,
// pairs the device, reports its firmware version and uploads session files.
//
// Every request records its kind (and what it is about: the credentials, the BLE name or the
// session file) on itself, and replyFinished() reads them back from the reply's request, so
// replies of overlapping requests always reach their own handler.
#pragma once

#include "cloudendpoint.h"

#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
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
    RequestKind lastRequestKind() const { return requestKind; }
    QString settingsFilePath() const;

public slots:
    void checkSignedInStatus();
    void sigIn(const QString &username, const QString &pass);
    void signOut();
    void pairDevice(const QString &nameBLE, const QString &UID);
    void updateFwVersion(const QString &nameBLE, int fwVersion);
    void sendSession(const QString &fileName, const QString &timeStamp);

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
    void sessionUploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void notSignedin();
    void appUpdateAvailable(QString message);
    void preparationsDone();

private:
    QNetworkRequest makeRequest(const QString &pathAndQuery, RequestKind kind,
                                const QVariant &subject, bool withToken) const;
    QNetworkReply *send(const QByteArray &method, const QNetworkRequest &request,
                        const QByteArray &body = QByteArray());
    void writeSetting(const QString &key, const QVariant &value);
    void removeSettings(const QStringList &keys);
    void secureSettingsFile();

    void signInReply(QNetworkReply *reply, const QString &text, const char *where);
    void firmwareReply(QNetworkReply *reply, const QString &text, const char *where);
    void uploadReply(QNetworkReply *reply, const QString &text, const char *where);
    void updateCheckReply(QNetworkReply *reply, const QString &text, const char *where);
    void appDownloadReply(QNetworkReply *reply, const QByteArray &body, const char *where);
    void pairingReply(QNetworkReply *reply, const QString &text, const char *where);
    void versionReportReply(QNetworkReply *reply, const char *where);

    QNetworkAccessManager *manager;
    QSettings *settings;
    QString username;
    QString password;
    QString token;
    RequestKind requestKind = NoRequest;
    QString sessionFileName;
    QString updateDescription;
    QString nameBLE;
    int userID = 0;
    int deviceID = 0;

    QString baseUrl; // without a trailing slash
    int transferTimeoutMs;
};
