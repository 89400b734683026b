// The cloud stand-in, driven over real HTTPS by Qt's network stack the way the app drives it:
// TLS with its own CA, every endpoint, the checks of what arrives, upload storage, overrides,
// the log and the command.
#include "standin/certificates.h"
#include "standin/server.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include <memory>

using namespace standin;

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

struct Reply
{
    int status = -1; // -1: no reply in time
    QByteArray body;
    QByteArray contentType;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
};

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

QByteArray qtJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray signInBody(const QString &user, const QString &password)
{
    return qtJson({{"nickNameOrEmail", user}, {"password", password}, {"platform", "DESKTOP"}});
}

// A well-formed session file: value bytes at offsets 2..8 of each 18-byte record.
QByteArray sessionFile(int records, int seed = 1)
{
    QByteArray bytes(records * 18, '\0');
    for (int r = 0; r < records; ++r) {
        for (int k = 2; k < 9; ++k)
            bytes[r * 18 + k] = char((seed + r * 7 + k) & 0xFF);
    }
    return bytes;
}

QByteArray part(const QByteArray &headers, const QByteArray &body)
{
    return "--XyZ\r\n" + headers + "\r\n" + body + "\r\n";
}

QByteArray form(const QByteArray &parts)
{
    return parts + "--XyZ--\r\n";
}

QByteArray namePart(const QByteArray &path)
{
    return part("Content-Disposition: form-data; name=\"name\"\r\n", path);
}

QByteArray filePart(const QByteArray &filename, const QByteArray &bytes)
{
    return part("Content-Disposition: form-data; name=\"file\"; filename=\"" + filename + "\"\r\n",
                bytes);
}

// Verifies against the CA alone; Qt's verify trusts only the default configuration's CAs.
QList<QSslError> verifyWithCa(const QSslCertificate &leaf, const QSslCertificate &ca,
                              const QString &host)
{
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.setCaCertificates({ca});
    QSslConfiguration::setDefaultConfiguration(trusting);
    const auto errors = QSslCertificate::verify({leaf}, host);
    QSslConfiguration::setDefaultConfiguration(saved);
    return errors;
}

QStringList texts(const std::vector<Violation> &violations)
{
    QStringList list;
    for (const auto &v : violations)
        list << q(v.text);
    return list;
}

} // namespace

class TestCloudStandin : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;
    QNetworkAccessManager manager;
    std::unique_ptr<Server> server;
    QString dataDir;
    int serverCount = 0;

    QString certs() const { return work.filePath("certs"); }

    bool startServer(const Scenario &scenario = Scenario())
    {
        dataDir = work.filePath("data" + QString::number(++serverCount));
        server = std::make_unique<Server>(scenario, certs().toStdString(), dataDir.toStdString());
        return server->start();
    }

    Reply send(const QByteArray &method, const QString &path, const QByteArray &body = {},
               const Headers &headers = {}, QHttpMultiPart *multi = nullptr,
               QNetworkAccessManager *client = nullptr, bool trustCa = true)
    {
        QNetworkRequest request(QUrl(q(server->baseUrl()) + path));
        if (trustCa) {
            QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
            ssl.setCaCertificates(QSslCertificate::fromPath(q(server->caCertificatePath())));
            request.setSslConfiguration(ssl);
        }
        for (const auto &header : headers)
            request.setRawHeader(header.first, header.second);
        QNetworkAccessManager &nam = client ? *client : manager;
        QNetworkReply *reply =
            multi ? nam.post(request, multi) : nam.sendCustomRequest(request, method, body);
        if (multi)
            multi->setParent(reply);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        Reply result;
        if (reply->isFinished() || finished.wait(20000)) {
            result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            result.body = reply->readAll();
            result.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
            result.error = reply->error();
        }
        reply->deleteLater();
        return result;
    }

    Reply sendJson(const QByteArray &method, const QString &path, const QByteArray &body,
                   bool withToken = true)
    {
        Headers headers {{"Content-Type", "application/json"}};
        if (withToken)
            headers.append({"token", QByteArray::fromStdString(server->issuedToken())});
        return send(method, path, body, headers);
    }

    Reply get(const QString &path)
    {
        return send("GET", path, {}, {{"token", QByteArray::fromStdString(server->issuedToken())}});
    }

    // The session upload exactly as the app builds it.
    Reply upload(const QString &file, const QByteArray &query)
    {
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart name;
        name.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QVariant("form-data; name=\"name\""));
        name.setBody(file.toLatin1());
        QHttpPart data;
        data.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QVariant("form-data; name=\"file\"; filename=\"" + file + "\""));
        auto *device = new QFile(file, multi);
        device->open(QIODevice::ReadOnly);
        data.setBodyDevice(device);
        multi->append(name);
        multi->append(data);
        return send("POST", "/api/medical/vitals/save?" + query, {},
                    {{"token", QByteArray::fromStdString(server->issuedToken())}}, multi);
    }

    Reply rawUpload(const QByteArray &query, const QByteArray &body)
    {
        return send("POST", "/api/medical/vitals/save?" + query, body,
                    {{"Content-Type", "multipart/form-data; boundary=XyZ"},
                     {"token", QByteArray::fromStdString(server->issuedToken())}});
    }

    QString writeSession(const QString &name, const QByteArray &bytes)
    {
        const QString path = work.filePath("app/" + name);
        QDir().mkpath(work.filePath("app"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return path;
    }

    void signIn()
    {
        const Reply reply = sendJson("POST", "/signin", signInBody("demo", "demo1234"), false);
        QCOMPARE(reply.status, 200);
        QCOMPARE(QJsonDocument::fromJson(reply.body)["token"].toString().size(), 36);
    }

    void pair(const QString &name, const QString &uid = "UID-1")
    {
        const Reply reply = sendJson("PUT", "/api/device/pairDevice",
                                     qtJson({{"bleName", name}, {"uniqueNumber", uid}}));
        QCOMPARE(reply.status, 200);
    }

    int deviceId(const std::string &name) const
    {
        for (const auto &d : server->devices()) {
            if (d.name == name)
                return d.id;
        }
        return -1;
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void cleanup()
    {
        // Idle keep-alive connections would hold the server's workers until they time out.
        manager.clearConnectionCache();
        server.reset();
    }

    void certificatesAreMadeOnceAndRenewedWhenBroken()
    {
        const QString dir = work.filePath("own-certs");
        const CertificateFiles first = ensureCertificates(dir.toStdString());
        QVERIFY2(first.error.empty(), first.error.c_str());
        QVERIFY(first.createdCa && first.createdServer);
        QVERIFY(!(QFile(q(first.caKey)).permissions() & (QFile::ReadGroup | QFile::ReadOther)));

        const auto ca = QSslCertificate::fromPath(q(first.caCertificate));
        const auto leaf = QSslCertificate::fromPath(q(first.serverCertificate));
        QCOMPARE(ca.size(), 1);
        QCOMPARE(leaf.size(), 1);
        QCOMPARE(leaf[0].issuerInfo(QSslCertificate::CommonName),
                 ca[0].subjectInfo(QSslCertificate::CommonName));
        const auto names = leaf[0].subjectAlternativeNames();
        QVERIFY(names.values(QSsl::IpAddressEntry).contains("127.0.0.1"));
        QVERIFY(names.values(QSsl::DnsEntry).contains("localhost"));
        QVERIFY(verifyWithCa(leaf[0], ca[0], "localhost").isEmpty());
        QCOMPARE(verifyWithCa(leaf[0], ca[0], "example.org").size(), 1);

        const auto read = [](const std::string &path) {
            QFile file(q(path));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray caPem = read(first.caCertificate);
        const QByteArray serverPem = read(first.serverCertificate);

        const CertificateFiles again = ensureCertificates(dir.toStdString());
        QVERIFY(!again.createdCa && !again.createdServer);
        QCOMPARE(read(again.serverCertificate), serverPem);

        // A broken server certificate is made again under the same CA.
        QFile broken(q(first.serverCertificate));
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        broken.write("-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n");
        broken.close();
        const CertificateFiles renewed = ensureCertificates(dir.toStdString());
        QVERIFY(!renewed.createdCa && renewed.createdServer);
        QCOMPARE(read(renewed.caCertificate), caPem);
        const auto newLeaf = QSslCertificate::fromPath(q(renewed.serverCertificate));
        QCOMPARE(newLeaf.size(), 1);
        QVERIFY(verifyWithCa(newLeaf[0], ca[0], "127.0.0.1").isEmpty());

        // A CA key that does not match its certificate replaces both.
        QVERIFY(QFile::remove(q(first.caKey)));
        QVERIFY(QFile::copy(q(first.serverKey), q(first.caKey)));
        const CertificateFiles replaced = ensureCertificates(dir.toStdString());
        QVERIFY(replaced.createdCa && replaced.createdServer);
        QVERIFY(read(replaced.caCertificate) != caPem);

        // A folder that cannot be made is an error, not a crash.
        const CertificateFiles impossible =
            ensureCertificates(q(first.caCertificate).toStdString() + "/sub");
        QVERIFY(!impossible.error.empty());
    }

    void tlsNeedsTheStandinCa()
    {
        QVERIFY(startServer());
        const Reply trusted = send("GET", "/login");
        QCOMPARE(trusted.status, 200);
        QVERIFY(trusted.contentType.startsWith("text/html"));
        QVERIFY(trusted.body.contains("<form"));

        QNetworkAccessManager stranger;
        const Reply refused = send("GET", "/login", {}, {}, nullptr, &stranger, false);
        QCOMPARE(refused.error, QNetworkReply::SslHandshakeFailedError);
        QCOMPARE(server->requests().size(), size_t(1));

        // The certificate also names localhost.
        QNetworkRequest byName(
            QUrl("https://localhost:" + QString::number(server->port()) + "/login"));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslCertificate::fromPath(q(server->caCertificatePath())));
        byName.setSslConfiguration(ssl);
        QNetworkReply *reply = manager.get(byName);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(20000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        reply->deleteLater();
    }

    void appConversationHasNoViolations()
    {
        Scenario scenario;
        scenario.firmwareFBlocks = 2;
        scenario.firmwareCBlocks = 3;
        scenario.appSize = 1000;
        QVERIFY(startServer(scenario));

        const Reply signin = sendJson("POST", "/signin", signInBody("demo", "demo1234"), false);
        QCOMPARE(signin.contentType, QByteArray("application/json"));
        const QJsonObject account = QJsonDocument::fromJson(signin.body).object();
        QCOMPARE(account["token"].toString(), q(server->issuedToken()));
        QCOMPARE(account["userDto"].toObject()["id"].toInt(), 1001);

        const Reply firmware =
            sendJson("POST", "/api/device/checkFirmware",
                     qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}}));
        const QJsonObject fw = QJsonDocument::fromJson(firmware.body).object();
        QCOMPARE(fw["version"].toInt(), 12);
        const QJsonArray data = fw["data"].toArray();
        QCOMPARE(data.size(), 4 + 2 * 256 + 3 * 64);
        QCOMPARE(data[0].toInt(), 0);
        QCOMPARE(data[1].toInt(), 2);
        QCOMPARE(data[2].toInt() + data[3].toInt(), 0);

        const Reply paired =
            sendJson("PUT", "/api/device/pairDevice",
                     qtJson({{"bleName", "Brevia-7F"}, {"uniqueNumber", "0012AB"}}));
        const QJsonArray list = QJsonDocument::fromJson(paired.body).array();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0]["name"].toString(), QString("Brevia-7F"));
        const int id = list[0]["id"].toInt();
        QVERIFY(id > 0);

        const Reply report = sendJson("POST", "/api/device/updateFirmwareVersion",
                                      qtJson({{"deviceName", "Brevia-7F"}, {"newVersion", 12}}));
        QCOMPARE(report.status, 200);
        QCOMPARE(server->reportedFirmwareVersions().at("Brevia-7F"), 12);

        const QByteArray session = sessionFile(22);
        const Reply sent = upload(writeSession("1700000000000", session),
                                  "deviceID=" + QByteArray::number(id) + "&date=1700000000000");
        QCOMPARE(sent.status, 200);
        QCOMPARE(sent.body, QByteArray("true"));
        QCOMPARE(server->storedUploads().size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(server->storedUploads()[0].bytes), session);

        const QJsonObject update =
            QJsonDocument::fromJson(get("/api/orvane/checkUpdate").body).object();
        QCOMPARE(update["versionMajor"].toInt(), 7);
        QCOMPARE(update["versionMinor"].toInt(), 5);
        QCOMPARE(QJsonDocument::fromJson(get("/orvane").body).array().size(), 1000);

        QVERIFY2(server->violations().empty(), qPrintable(texts(server->violations()).join("\n")));
        const auto records = server->requests();
        QCOMPARE(records.size(), size_t(7));
        QCOMPARE(q(records[0].tokenCheck), QString("absent"));
        for (size_t i = 1; i < records.size(); ++i)
            QCOMPARE(q(records[i].tokenCheck), QString("match"));
    }

    void qtJsonTextIsAccepted_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << "alice@example.com"
                               << "pass-1";
        QTest::newRow("quotes and backslash") << "a\"b\\c/d"
                                              << "p\"w";
        QTest::newRow("control characters")
            << QString::fromUtf8("tab\tnl\ncr\rbs\bff\f\x01\x1f\x7f") << "pw";
        QTest::newRow("non-ASCII")
            << QString::fromUtf8("Zoë Ångström 日本 🙂") << QString::fromUtf8("pässwörd");
        QTest::newRow("empty password") << "bob"
                                        << "";
    }

    void qtJsonTextIsAccepted()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        Scenario scenario;
        scenario.accounts = {{user.toStdString(), password.toStdString()}};
        scenario.userId = -7;
        QVERIFY(startServer(scenario));
        const Reply reply = sendJson("POST", "/signin", signInBody(user, password), false);
        QVERIFY(QJsonDocument::fromJson(reply.body)["token"].isString());
        sendJson("POST", "/api/device/checkFirmware",
                 qtJson({{"deviceType", "BREVIA"}, {"userID", -7}, {"version", 0}}));
        sendJson("PUT", "/api/device/pairDevice",
                 qtJson({{"bleName", user + "x"}, {"uniqueNumber", user + "y"}}));
        QCOMPARE(server->requests().size(), size_t(3));
        QVERIFY2(server->violations().empty(), qPrintable(texts(server->violations()).join("\n")));
    }

    void requestChecks_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("token"); // "ok": the issued one
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("violation");

        const QByteArray fw = "/api/device/checkFirmware";
        const QByteArray goodFw =
            qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}});
        const QByteArray json = "application/json";
        QTest::newRow("compact body")
            << QByteArray("POST") << QString(fw)
            << QJsonDocument(
                   QJsonObject {{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}})
                   .toJson(QJsonDocument::Compact)
            << json << QByteArray("ok") << 200 << "it looks compact";
        QTest::newRow("members out of order")
            << QByteArray("POST") << QString(fw)
            << QByteArray("{\n    \"userID\": 1001,\n    \"deviceType\": \"BREVIA\",\n    "
                          "\"version\": 0\n}\n")
            << json << QByteArray("ok") << 200
            << "not in ascending key order (found userID, deviceType, version)";
        QTest::newRow("wrong value")
            << QByteArray("POST") << QString(fw)
            << qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 3}}) << json
            << QByteArray("ok") << 200 << "member \"version\" is 3, expected 0";
        QTest::newRow("wrong user")
            << QByteArray("POST") << QString(fw)
            << qtJson({{"deviceType", "BREVIA"}, {"userID", 0}, {"version", 0}}) << json
            << QByteArray("ok") << 200 << "member \"userID\" is 0, expected 1001";
        QTest::newRow("missing member")
            << QByteArray("POST") << QString(fw)
            << qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}}) << json << QByteArray("ok")
            << 200 << "member \"version\" is missing";
        QTest::newRow("extra member")
            << QByteArray("PUT") << "/api/device/pairDevice"
            << qtJson({{"bleName", "B"}, {"extra", 1}, {"uniqueNumber", "U"}}) << json
            << QByteArray("ok") << 200 << "unexpected member \"extra\"";
        QTest::newRow("wrong type")
            << QByteArray("POST") << "/api/device/updateFirmwareVersion"
            << qtJson({{"deviceName", "B"}, {"newVersion", "3"}}) << json << QByteArray("ok") << 400
            << "member \"newVersion\" is a string, expected an integer";
        QTest::newRow("escaped non-ASCII")
            << QByteArray("PUT") << "/api/device/pairDevice"
            << QByteArray("{\n    \"bleName\": \"Zo\\u00eb\",\n    \"uniqueNumber\": \"U\"\n}\n")
            << json << QByteArray("ok") << 200 << "first difference at byte 20";
        QTest::newRow("not JSON") << QByteArray("POST") << QString(fw)
                                  << QByteArray("{\"deviceType\": ") << json << QByteArray("ok")
                                  << 200 << "not valid JSON";
        QTest::newRow("array body")
            << QByteArray("POST") << QString(fw) << QByteArray("[\n]\n") << json << QByteArray("ok")
            << 200 << "is an array, expected a JSON object";
        QTest::newRow("wrong content type")
            << QByteArray("POST") << QString(fw) << goodFw << QByteArray("text/plain")
            << QByteArray("ok") << 200 << "expected \"application/json\"";
        QTest::newRow("missing token") << QByteArray("POST") << QString(fw) << goodFw << json
                                       << QByteArray() << 200 << "the \"token\" header is missing";
        QTest::newRow("wrong token") << QByteArray("POST") << QString(fw) << goodFw << json
                                     << QByteArray("00000000-0000-4000-8000-000000000000") << 200
                                     << "differs from the token issued last";
        QTest::newRow("token on sign-in")
            << QByteArray("POST") << "/signin" << signInBody("demo", "demo1234") << json
            << QByteArray("ok") << 200 << "it must not";
        QTest::newRow("GET with a content type")
            << QByteArray("GET") << "/api/orvane/checkUpdate" << QByteArray() << json
            << QByteArray("ok") << 200 << "carries a Content-Type";
        QTest::newRow("query where none belongs")
            << QByteArray("GET") << "/orvane?x=1" << QByteArray() << QByteArray()
            << QByteArray("ok") << 200 << "unexpected query \"x=1\"";
        QTest::newRow("wrong method")
            << QByteArray("GET") << "/signin" << QByteArray() << QByteArray() << QByteArray() << 405
            << "GET is not the method of /signin";
        QTest::newRow("unknown path")
            << QByteArray("GET") << "/api/nothing" << QByteArray() << QByteArray()
            << QByteArray("ok") << 404 << "unknown path \"/api/nothing\"";
    }

    void requestChecks()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, token);
        QFETCH(int, status);
        QFETCH(QString, violation);

        QVERIFY(startServer());
        signIn();
        server->clearRecords();
        Headers headers;
        if (!contentType.isEmpty())
            headers.append({"Content-Type", contentType});
        if (!token.isEmpty())
            headers.append(
                {"token",
                 token == "ok" ? QByteArray::fromStdString(server->issuedToken()) : token});
        const Reply reply = send(method, path, body, headers);
        QCOMPARE(reply.status, status);
        QVERIFY(!reply.body.isEmpty());
        const QStringList found = texts(server->violations());
        QVERIFY2(found.filter(violation).size() == 1, qPrintable(found.join("\n")));
        QCOMPARE(server->requests().size(), size_t(1));
    }

    void uploadChecks_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("violation"); // empty: none at all

        const QByteArray q = "deviceID=101&date=1700000000000";
        const QByteArray path = "/home/u/orvane/1700000000000";
        const QByteArray good = sessionFile(3);
        QTest::newRow("as the app sends it")
            << q << form(namePart(path) + filePart(path, good)) << 200 << QString();
        QTest::newRow("Latin-1 name, UTF-8 filename")
            << q
            << form(namePart("/home/J\xE9r\xF4me/?/1700000000000")
                    + filePart("/home/J\xC3\xA9r\xC3\xB4me/\xE2\x82\xAC/1700000000000", good))
            << 200 << QString();
        QTest::newRow("parts swapped") << q << form(filePart(path, good) + namePart(path)) << 200
                                       << "the part \"file\" comes before the part \"name\"";
        QTest::newRow("part with a content type")
            << q
            << form(namePart(path)
                    + part("Content-Disposition: form-data; name=\"file\"; filename=\"" + path
                               + "\"\r\nContent-Type: application/octet-stream\r\n",
                           good))
            << 200 << "part 2 carries a Content-Type of its own";
        QTest::newRow("disposition spelled differently")
            << q
            << form(part("Content-Disposition: form-data;name=\"name\"\r\n", path)
                    + filePart(path, good))
            << 200 << "part 1's Content-Disposition is";
        QTest::newRow("three parts")
            << q << form(namePart(path) + filePart(path, good) + namePart(path)) << 200
            << "the form has 3 parts";
        QTest::newRow("different paths")
            << q << form(namePart("/a/1700000000000") + filePart(path, good)) << 200
            << "are not the same path";
        QTest::newRow("name is not the date")
            << q << form(namePart("/a/17") + filePart("/a/17", good)) << 200
            << "differs from the query's date";
        QTest::newRow("partial record") << q << form(namePart(path) + filePart(path, good.left(35)))
                                        << 200 << "35 bytes, not a whole number of 18-byte records";
        QByteArray dirty = good;
        dirty[18 + 9] = 1;
        dirty[36 + 0] = 1;
        QTest::newRow("non-zero padding")
            << q << form(namePart(path) + filePart(path, dirty)) << 200
            << "record 1 has non-zero bytes at offsets 9 (2 of 3 records are wrong)";
        QTest::newRow("empty file")
            << q << form(namePart(path) + filePart(path, "")) << 200 << "the session file is empty";
        QTest::newRow("device id not a number") << QByteArray("deviceID=abc&date=1700000000000")
                                                << form(namePart(path) + filePart(path, good))
                                                << 200 << "deviceID \"abc\" is not a number";
        QTest::newRow("device not paired") << QByteArray("deviceID=0&date=1700000000000")
                                           << form(namePart(path) + filePart(path, good)) << 200
                                           << "deviceID 0 is not a device of the account";
        QTest::newRow("date not digits") << QByteArray("deviceID=101&date=17x")
                                         << form(namePart("/a/17x") + filePart("/a/17x", good))
                                         << 200 << "date \"17x\" is not decimal digits";
        QTest::newRow("query order") << QByteArray("date=1700000000000&deviceID=101")
                                     << form(namePart(path) + filePart(path, good)) << 200
                                     << "expected \"deviceID=<number>&date=<decimal digits>\"";
        QTest::newRow("no closing boundary") << q << namePart(path) + filePart(path, good) << 400
                                             << "the body ends without its closing boundary";
        QTest::newRow("no file part")
            << q << form(namePart(path)) << 400 << "the form has no part named \"file\"";
    }

    void uploadChecks()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, violation);

        Scenario scenario;
        scenario.devices = {{"Brevia-7F", 101, "U"}};
        QVERIFY(startServer(scenario));
        signIn();
        server->clearRecords();
        const Reply reply = rawUpload(query, body);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.body, QByteArray(status == 200 ? "true" : "false"));
        const QStringList found = texts(server->violations());
        if (violation.isEmpty())
            QVERIFY2(found.isEmpty(), qPrintable(found.join("\n")));
        else
            QVERIFY2(found.filter(violation).size() == 1, qPrintable(found.join("\n")));
        // Whatever was wrong, a file that arrived is kept; nothing else is.
        QCOMPARE(server->storedUploads().size(), size_t(status == 200 ? 1 : 0));
    }

    void uploadsAreKeptAndFailAsTold()
    {
        Scenario scenario;
        scenario.devices = {{"Brevia-7F", 101, "U"}};
        scenario.failUploads = {2};
        // An upload of the same date from an earlier run is never replaced.
        const QString data = work.filePath("data" + QString::number(serverCount + 1));
        QDir().mkpath(data + "/sessions");
        QFile earlier(data + "/sessions/1700000000000");
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier");
        earlier.close();
        QVERIFY(startServer(scenario));
        QCOMPARE(dataDir, data);
        signIn();

        const QString file = writeSession("1700000000000", sessionFile(5));
        const QByteArray query = "deviceID=101&date=1700000000000";
        const Reply first = upload(file, query);
        const Reply second = upload(file, query);
        server->setNextUploadReply(202, "TRUE");
        const Reply third = upload(file, query);
        const Reply fourth = upload(file, query);
        QCOMPARE(first.body, QByteArray("true"));
        QCOMPARE(second.status, 500);
        QCOMPARE(second.body, QByteArray("false"));
        QCOMPARE(third.status, 202);
        QCOMPARE(third.body, QByteArray("TRUE"));
        QCOMPARE(fourth.body, QByteArray("true"));

        const auto uploads = server->storedUploads();
        QCOMPARE(uploads.size(), size_t(4));
        for (size_t i = 0; i < uploads.size(); ++i) {
            QCOMPARE(q(uploads[i].file),
                     data + "/sessions/1700000000000." + QString::number(i + 1));
            QFile stored(q(uploads[i].file));
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.readAll(), sessionFile(5));
        }
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));
        QVERIFY(q(server->requests()[1].notes.front())
                    .contains("exists already; stored as sessions/1700000000000.1"));
        QVERIFY(server->violations().empty());
    }

    void scenarioChanges()
    {
        QVERIFY(startServer());
        Scenario scenario = server->scenario();
        scenario.tokenLength = 35;
        scenario.refusalCode = 0;
        scenario.pairedToOther = true;
        scenario.appVersionMinor = 4;
        const QString image = writeSession("fw.bin", QByteArray("\x00\x01\x00\x00\xff\x80", 6));
        scenario.firmwareImageFile = image.toStdString();
        QVERIFY(server->setScenario(scenario));

        const Reply accepted = sendJson("POST", "/signin", signInBody("demo", "demo1234"), false);
        const QString token = QJsonDocument::fromJson(accepted.body)["token"].toString();
        QCOMPARE(token.size(), 35);
        QVERIFY(QRegularExpression("^[0-9a-f]+$").match(token).hasMatch());
        const Reply refused = sendJson("POST", "/signin", signInBody("demo", "wrong"), false);
        QCOMPARE(QJsonDocument::fromJson(refused.body).object(),
                 (QJsonObject {{"code", 0}, {"message", "Wrong nick name, e-mail or password"}}));
        QCOMPARE(server->issuedToken(), token.toStdString());

        const Reply paired = sendJson("PUT", "/api/device/pairDevice",
                                      qtJson({{"bleName", "B"}, {"uniqueNumber", "U"}}));
        QCOMPARE(QJsonDocument::fromJson(paired.body)["code"].toInt(), 409);
        QVERIFY(server->devices().empty());

        const Reply firmware =
            sendJson("POST", "/api/device/checkFirmware",
                     qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}}));
        QCOMPARE(QJsonDocument::fromJson(firmware.body)["data"].toArray(),
                 (QJsonArray {0, 1, 0, 0, 255, 128}));
        QCOMPARE(
            QJsonDocument::fromJson(get("/api/orvane/checkUpdate").body)["versionMinor"].toInt(),
            4);

        // An unusable scenario is refused and the running one stays.
        Scenario bad = scenario;
        bad.appFile = work.filePath("missing").toStdString();
        QVERIFY(!server->setScenario(bad));
        QVERIFY(q(server->errorString()).contains("missing"));
        bad = scenario;
        bad.statusOverrides["/orvane"] = 42;
        QVERIFY(!server->setScenario(bad));
        QCOMPARE(server->scenario().appFile, std::string());
        QVERIFY(server->violations().empty());
    }

    void overridesReplaceReplies()
    {
        Scenario scenario;
        scenario.statusOverrides["/orvane"] = 404;
        scenario.bodyOverrides["/api/device/checkFirmware"] = "{\"version\": 3}";
        scenario.bodyOverrides["/api/device/pairDevice"] =
            "[{\"name\": \"A\", \"id\": 5}, {\"name\": \"A\", \"id\": 9}]";
        scenario.statusOverrides["/api/medical/vitals/save"] = 503;
        scenario.bodyOverrides["/api/medical/vitals/save"] = "maybe";
        QVERIFY(startServer(scenario));
        signIn();

        QCOMPARE(get("/orvane").status, 404);
        const Reply firmware =
            sendJson("POST", "/api/device/checkFirmware",
                     qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}}));
        QCOMPARE(firmware.body, QByteArray("{\"version\": 3}"));
        QCOMPARE(firmware.contentType, QByteArray("application/json"));
        const Reply paired = sendJson("PUT", "/api/device/pairDevice",
                                      qtJson({{"bleName", "A"}, {"uniqueNumber", "U"}}));
        QCOMPARE(QJsonDocument::fromJson(paired.body).array().size(), 2);
        const QString file = writeSession("1700000000001", sessionFile(1));
        const Reply sent =
            upload(file, "deviceID=" + QByteArray::number(deviceId("A")) + "&date=1700000000001");
        QCOMPARE(sent.status, 503);
        QCOMPARE(sent.body, QByteArray("maybe"));
        QVERIFY(sent.contentType.startsWith("text/plain"));
        QVERIFY2(server->violations().empty(), qPrintable(texts(server->violations()).join("\n")));
    }

    void logHoldsNoSecrets()
    {
        Scenario scenario;
        scenario.accounts = {{"carol", "S3cret-Pass!"}};
        scenario.firmwareFBlocks = 1;
        scenario.firmwareCBlocks = 1;
        QVERIFY(startServer(scenario));
        sendJson("POST", "/signin", signInBody("carol", "Wrong-Guess-99"), false);
        sendJson("POST", "/signin",
                 "{\"nickNameOrEmail\": \"carol\", \"password\": \"Broken-Json-7", false);
        sendJson("POST", "/signin",
                 QJsonDocument(QJsonObject {{"nickNameOrEmail", "carol"},
                                            {"password", "S3cret-Pass!"},
                                            {"platform", "DESKTOP"}})
                     .toJson(QJsonDocument::Compact),
                 false);
        const QByteArray token = QByteArray::fromStdString(server->issuedToken());
        QCOMPARE(token.size(), 36);
        const Reply fwReply =
            sendJson("POST", "/api/device/checkFirmware",
                     qtJson({{"deviceType", "BREVIA"}, {"userID", 1001}, {"version", 0}}));
        QByteArray image;
        for (const auto value : QJsonDocument::fromJson(fwReply.body)["data"].toArray())
            image.append(char(value.toInt()));
        send("GET", "/orvane", {}, {{"token", token + "x"}});
        pair("Brevia-1");
        const QByteArray session = sessionFile(2);
        upload(writeSession("1700000000002", session),
               "deviceID=" + QByteArray::number(deviceId("Brevia-1")) + "&date=1700000000002");

        QFile file(q(server->logPath()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray log = file.readAll();
        const QList<QByteArray> lines = log.trimmed().split('\n');
        QCOMPARE(lines.size(), 7);
        QByteArray decoded;
        for (int i = 0; i < lines.size(); ++i) {
            const QJsonObject record = QJsonDocument::fromJson(lines[i]).object();
            QCOMPARE(record["seq"].toInt(), i + 1);
            decoded += QByteArray::fromBase64(record["bodyBase64"].toString().toLatin1());
            decoded += record["bodyText"].toString().toUtf8();
        }
        for (const QByteArray &secret : {QByteArray("S3cret-Pass!"), QByteArray("Wrong-Guess-99"),
                                         QByteArray("Broken-Json-7"), token}) {
            QVERIFY2(!log.contains(secret), secret.constData());
            QVERIFY2(!decoded.contains(secret), secret.constData());
        }

        const QJsonObject signin = QJsonDocument::fromJson(lines[2]).object();
        QCOMPARE(
            signin["bodyText"].toString(),
            QString(
                "{\"nickNameOrEmail\":\"carol\",\"password\":\"***\",\"platform\":\"DESKTOP\"}"));
        QVERIFY(signin["replyBody"].toString().contains("\"token\":\"***\""));
        const QJsonObject firmware = QJsonDocument::fromJson(lines[3]).object();
        QCOMPARE(firmware["headers"]["token"].toString(), QString("[matches issued token]"));
        QCOMPARE(firmware["replyBytes"]["count"].toInt(), 4 + 256 + 64);
        QCOMPARE(firmware["replyBytes"]["sha256"].toString().toLatin1(),
                 QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        const QJsonObject app = QJsonDocument::fromJson(lines[4]).object();
        QCOMPARE(app["token"].toString(), QString("mismatch"));
        QCOMPARE(app["violations"].toArray().size(), 1);
        const QJsonObject sent = QJsonDocument::fromJson(lines[6]).object();
        QVERIFY(sent["contentType"].toString().startsWith("multipart/form-data; boundary="));
        QVERIFY(QByteArray::fromBase64(sent["bodyBase64"].toString().toLatin1()).contains(session));
        QCOMPARE(sent["replyBody"].toString(), QString("true"));
    }

    void startFailsCleanly()
    {
        QVERIFY(startServer());
        Server second(Scenario(), certs().toStdString(), work.filePath("other").toStdString());
        QVERIFY(!second.start(server->port()));
        QVERIFY(q(second.errorString()).contains("cannot listen"));
        Scenario missing;
        missing.firmwareImageFile = work.filePath("no-such-image").toStdString();
        Server third(missing, certs().toStdString(), work.filePath("other").toStdString());
        QVERIFY(!third.start());
        QVERIFY(q(third.errorString()).contains("no-such-image"));
        // A stopped server starts again.
        const int port = server->port();
        server->stop();
        QVERIFY(server->start(port));
        QCOMPARE(get("/login").status, 200);
    }

    void commandLine()
    {
        const QString buildDir = qEnvironmentVariable(
            "ORVANE_TEST_BINARY_DIR", QCoreApplication::applicationDirPath() + "/..");
        const QString program = buildDir + "/tools/cloud-standin/cloud-standin";
        QVERIFY2(QFile::exists(program), qPrintable(program));

        const auto run = [&](const QStringList &arguments, int expectedCode) {
            QProcess process;
            process.start(program, arguments);
            const bool finished = process.waitForFinished(20000);
            return std::make_tuple(finished && process.exitCode() == expectedCode,
                                   process.readAllStandardOutput(), process.readAllStandardError());
        };
        for (const QStringList &bad :
             {QStringList {"--certs", certs(), "--data"},
              QStringList {"--certs", certs(), "--data", "d", "--port", "70000"},
              QStringList {"--bogus"}, QStringList {"--data", "d"},
              QStringList {"--certs", certs(), "--data", "d", "--status", "/orvane=abc"},
              QStringList {"--certs", certs(), "--data", "d", "--fw-blocks", "1,1", "--fw-image",
                           "x"}}) {
            const auto [ok, out, err] = run(bad, 2);
            QVERIFY2(ok, qPrintable(bad.join(' ')));
            QVERIFY2(err.startsWith("cloud-standin: "), err.constData());
        }
        const auto [initOk, caPath, initErr] = run({"--certs", certs(), "--init-only"}, 0);
        QVERIFY2(initOk, initErr.constData());
        QCOMPARE(caPath.trimmed(), QFile::encodeName(certs() + "/ca.pem"));

        const QString portFile = work.filePath("port");
        QProcess process;
        process.start(program,
                      {"--certs", certs(), "--data", work.filePath("cli-data"), "--port-file",
                       portFile, "--no-update", "--quiet"});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(portFile), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        QFile file(portFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const int port = file.readAll().trimmed().toInt();
        QCOMPARE(process.readLine().trimmed(),
                 "cloud-standin listening on https://127.0.0.1:" + QByteArray::number(port));

        QNetworkRequest request(
            QUrl("https://127.0.0.1:" + QString::number(port) + "/api/orvane/checkUpdate"));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslCertificate::fromPath(certs() + "/ca.pem"));
        request.setSslConfiguration(ssl);
        QNetworkAccessManager client;
        QNetworkReply *reply = client.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(20000));
        QCOMPARE(QJsonDocument::fromJson(reply->readAll())["versionMinor"].toInt(), 4);
        delete reply;
        client.clearConnectionCache();

        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(!QFile::exists(portFile));
        QFile log(work.filePath("cli-data/requests.jsonl"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count('\n'), 1);
    }
};

ORVANE_TEST_MAIN(TestCloudStandin)
#include "tst_cloud_standin.moc"
