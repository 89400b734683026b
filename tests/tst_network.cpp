// The cloud client against the cloud stand-in over real TLS: what goes on the wire, sign-in
// and the stored credentials, the chain after sign-in, pairing and the firmware-version
// report. Every debug line and log record is captured and checked for secrets at the end.
#include "common/appfolder.h"
#include "cloud/cloudcodec.h"
#include "cloud/network.h"
#include "standinfixture.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>

#include <sys/stat.h>

#include <iterator>
#include <memory>

using testsupport::DiagnosticsCapture;
using testsupport::StandinFixture;

namespace {

const QString demoUser = QStringLiteral("demo");
const QString demoPassword = QStringLiteral("demo1234");
const QByteArray previousImage = QByteArrayLiteral("previous image");
const QByteArray previousApplication = QByteArrayLiteral("previous application");

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

int fileMode(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

QSettings storedSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvane"),
                     QStringLiteral("Kestrane"));
}

bool hasHeader(const standin::RequestRecord &record, const std::string &name)
{
    for (const auto &header : record.headers) {
        if (header.first == name)
            return true;
    }
    return false;
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private:
    StandinFixture standin;
    std::unique_ptr<DiagnosticsCapture> diagnostics;
    std::unique_ptr<Network> network;
    QStringList secrets; // must never appear in a debug line or the log

    Network *makeNetwork()
    {
        network = std::make_unique<Network>(nullptr, standin.endpoint());
        return network.get();
    }

    static QNetworkAccessManager *managerOf(Network *client)
    {
        return client->findChild<QNetworkAccessManager *>();
    }

    void setScenario(const standin::Scenario &scenario)
    {
        QVERIFY(standin.server().setScenario(scenario));
    }

    // Signs in as the demo user and waits for the end of the chain (the application download).
    void signInThroughChain(Network *client)
    {
        QSignalSpy done(client, &Network::preparationsDone);
        client->sigIn(demoUser, demoPassword);
        QVERIFY(done.wait(20000));
    }

    standin::RequestRecord lastRequest()
    {
        const auto records = standin.server().requests();
        return records.empty() ? standin::RequestRecord() : records.back();
    }

private slots:
    void initTestCase()
    {
        diagnostics = std::make_unique<DiagnosticsCapture>();
        secrets << demoPassword;
    }

    void init()
    {
        QSettings settings = storedSettings();
        settings.clear();
        settings.sync();
        QFile::remove(applicationFilePath(QStringLiteral("rev.bin")));
        QFile::remove(applicationFilePath(QStringLiteral("Orvane")));
        diagnostics->clear();
        QVERIFY2(standin.start(), qPrintable(standin.errorString()));
    }

    void cleanup()
    {
        if (standin.isRunning() && !standin.server().issuedToken().empty())
            secrets << q(standin.server().issuedToken());
        network.reset(); // closes its connections, so the server stops at once
        standin.stop();
    }

    void cleanupTestCase()
    {
        const QString everything = diagnostics->finishAndReadEverything();
        diagnostics.reset();
        QVERIFY(everything.contains(QStringLiteral("🌐"))); // the capture works
        for (const QString &secret : qAsConst(secrets)) {
            if (secret.size() >= 4)
                QVERIFY2(!everything.contains(secret), qPrintable("a secret was written out"));
        }
    }

    void wireBytesOfEveryRequest()
    {
        Network *client = makeNetwork();
        signInThroughChain(client);
        QSignalSpy ready(client, &Network::readyToSendData);
        client->pairDevice(QStringLiteral("BREVIA-7"), QStringLiteral("UID-0042"));
        QVERIFY(ready.wait(20000));
        QCOMPARE(client->currentDeviceID(), 101);
        QSignalSpy done(client, &Network::preparationsDone);
        client->updateFwVersion(QStringLiteral("BREVIA-7"), 13);
        QVERIFY(done.wait(20000));

        QByteArray session(3 * 18, '\0');
        for (int i = 0; i < session.size(); ++i) {
            if (i % 18 >= 2 && i % 18 < 9)
                session[i] = char(0x41 + i);
        }
        const QString path = applicationFilePath(QStringLiteral("1700000000000"));
        writeFile(path, session);
        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000000000"));
        QVERIFY(sent.wait(20000));
        QCOMPARE(sent.first().first().toBool(), true);

        const auto records = standin.server().requests();
        QCOMPARE(records.size(), size_t(7)); // one request per step, none repeated
        struct Expected
        {
            const char *method;
            const char *path;
            const char *contentType;
            const char *token;
            QByteArray body;
        };
        const Expected expected[] = {
            {"POST", "/signin", "application/json", "absent",
             "{\n    \"nickNameOrEmail\": \"demo\",\n    \"password\": \"demo1234\",\n"
             "    \"platform\": \"DESKTOP\"\n}\n"},
            {"POST", "/api/device/checkFirmware", "application/json", "match",
             "{\n    \"deviceType\": \"BREVIA\",\n    \"userID\": 1001,\n    \"version\": 0\n}\n"},
            {"GET", "/api/orvane/checkUpdate", "", "match", ""},
            {"GET", "/orvane", "", "match", ""},
            {"PUT", "/api/device/pairDevice", "application/json", "match",
             "{\n    \"bleName\": \"BREVIA-7\",\n    \"uniqueNumber\": \"UID-0042\"\n}\n"},
            {"POST", "/api/device/updateFirmwareVersion", "application/json", "match",
             "{\n    \"deviceName\": \"BREVIA-7\",\n    \"newVersion\": 13\n}\n"},
        };
        for (size_t i = 0; i < std::size(expected); ++i) {
            const auto &record = records[i];
            QCOMPARE(q(record.method), QString::fromLatin1(expected[i].method));
            QCOMPARE(q(record.path), QString::fromLatin1(expected[i].path));
            QCOMPARE(q(record.contentType), QString::fromLatin1(expected[i].contentType));
            QCOMPARE(q(record.tokenCheck), QString::fromLatin1(expected[i].token));
            QCOMPARE(QByteArray::fromStdString(record.body), expected[i].body);
            QVERIFY(record.query.empty());
        }
        QVERIFY(!hasHeader(records[0], "token"));

        // The upload: the query as text, then the two parts exactly, in order.
        const auto &upload = records[6];
        QCOMPARE(q(upload.method), QStringLiteral("POST"));
        QCOMPARE(q(upload.path), QStringLiteral("/api/medical/vitals/save"));
        QCOMPARE(q(upload.query), QStringLiteral("deviceID=101&date=1700000000000"));
        QCOMPARE(q(upload.tokenCheck), QStringLiteral("match"));
        QVERIFY(q(upload.contentType).startsWith(QStringLiteral("multipart/form-data; boundary=")));
        const QByteArray body = QByteArray::fromStdString(upload.body);
        const QByteArray boundary = body.left(body.indexOf("\r\n"));
        QVERIFY(boundary.startsWith("--") && boundary.size() > 2);
        const QByteArray latin1Path = path.toLatin1();
        const QByteArray form = boundary
            + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + latin1Path + "\r\n"
            + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\""
            + path.toUtf8() + "\"\r\n\r\n" + session + "\r\n" + boundary + "--\r\n";
        QCOMPARE(body, form);

        QVERIFY(standin.server().violations().empty());
    }

    void noTokenBeforeSignIn()
    {
        Network *client = makeNetwork();
        QSignalSpy ready(client, &Network::readyToSendData);
        QSignalSpy done(client, &Network::preparationsDone);
        client->pairDevice(QStringLiteral("BREVIA-1"), QStringLiteral("UID-1"));
        client->updateFwVersion(QStringLiteral("BREVIA-1"), 4);
        QVERIFY(ready.count() == 1 || ready.wait(20000));
        QVERIFY(done.count() == 1 || done.wait(20000));
        const auto records = standin.server().requests();
        QCOMPARE(records.size(), size_t(2));
        for (const auto &record : records) {
            QCOMPARE(q(record.tokenCheck), QStringLiteral("absent"));
            QVERIFY(!hasHeader(record, "token"));
        }
    }

    void tokenWithControlCharactersIsNotSent()
    {
        // A token of the right length that would end the header line and start another one:
        // the sign-in has failed, and no later request carries it.
        standin::Scenario scenario;
        scenario.bodyOverrides["/signin"] =
            R"({"token": "0123456789abcdef0123456789abcd\r\nX: 1", "userDto": {"id": 5}})";
        setScenario(scenario);

        Network *client = makeNetwork();
        QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
        QSignalSpy success(client, &Network::signedInSuccess);
        client->sigIn(demoUser, demoPassword);
        QVERIFY(handled.wait(20000));
        QCOMPARE(success.count(), 0);
        QVERIFY(client->currentToken().isEmpty());
        QCOMPARE(client->lastRequestKind(), Network::SignIn); // the chain does not start
        QVERIFY(diagnostics->recordTexts(applog::LogLevel_ERROR)
                    .contains(QStringLiteral("network: error: the sign-in reply carries no "
                                             "usable token")));
        client->pairDevice(QStringLiteral("BREVIA-1"), QStringLiteral("UID-1"));
        QVERIFY(handled.wait(20000));
        const auto record = lastRequest();
        QCOMPARE(q(record.path), QStringLiteral("/api/device/pairDevice"));
        QCOMPARE(q(record.tokenCheck), QStringLiteral("absent"));
        QVERIFY(!hasHeader(record, "x"));
    }

    void boundedReplies_data()
    {
        // A cloud that trickles or sends too much: every request ends, as a failure, within
        // its deadline, and nothing larger than its kind's limit is held.
        QTest::addColumn<QString>("reply");
        QTest::newRow("upload answered a byte at a time") << "trickled upload";
        QTest::newRow("sign-in answered a byte at a time") << "trickled sign-in";
        QTest::newRow("firmware announcing too much") << "large firmware";
        QTest::newRow("firmware too large once unpacked") << "large packed firmware";
        QTest::newRow("application sent in chunks past its limit") << "large application";
        QTest::newRow("pairing list past its limit") << "large pairing list";
    }

    void boundedReplies()
    {
        QFETCH(QString, reply);
        constexpr int deadlineMs = 1500;
        standin::Scenario scenario;
        if (reply == QLatin1String("trickled upload"))
            scenario.tricklePaths["/api/medical/vitals/save"] = 600; // "true" takes 2.4 s
        if (reply == QLatin1String("trickled sign-in"))
            scenario.tricklePaths["/signin"] = 300;
        if (reply.contains(QLatin1String("firmware")))
            scenario.firmwareFBlocks = 200; // 51 KB of image, about 180 KB of JSON
        // Sent as it is, its length announced; packed, only the bytes received tell.
        scenario.compressReplies = reply != QLatin1String("large firmware");
        if (reply == QLatin1String("large application")) {
            scenario.appVersionMinor = 5;
            scenario.appSize = 200 << 10; // about 700 KB of JSON
            scenario.chunkedPaths.insert("/orvane");
        }
        if (reply == QLatin1String("large pairing list")) {
            std::string list = "[";
            for (int i = 0; i < 4000; ++i)
                list += (i ? "," : "") + std::string(R"({"name": "OTHER", "id": 1})");
            scenario.bodyOverrides["/api/device/pairDevice"] = list + "]";
        }
        setScenario(scenario);
        CloudEndpoint endpoint = standin.endpoint(5000); // bytes keep coming: no idle time-out
        endpoint.requestDeadlineMs = deadlineMs;
        endpoint.jsonReplyLimit = 64 << 10;
        endpoint.firmwareReplyLimit = 64 << 10;
        endpoint.applicationReplyLimit = 256 << 10;
        network = std::make_unique<Network>(nullptr, endpoint);
        Network *client = network.get();
        const QString revBin = applicationFilePath(QStringLiteral("rev.bin"));
        writeFile(revBin, "old image");

        QElapsedTimer clock;
        if (reply == QLatin1String("trickled upload")) {
            QSignalSpy paired(client, &Network::devicePaired);
            client->sigIn(demoUser, demoPassword);
            client->pairDevice(QStringLiteral("BREVIA-7"), QStringLiteral("UID-7"));
            QVERIFY(paired.wait(20000));
            const QString path = applicationFilePath(QStringLiteral("1700000001000"));
            writeFile(path, QByteArray(18 * 3, '\x11'));
            QSignalSpy sent(client, &Network::sessionSent);
            clock.start();
            client->sendSession(path, QStringLiteral("1700000001000"));
            QVERIFY(sent.wait(10000));
            QCOMPARE(sent.first().first().toBool(), false);
            QVERIFY(QFile::exists(path));
            QFile::remove(path);
        } else if (reply == QLatin1String("trickled sign-in")) {
            QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
            QSignalSpy success(client, &Network::signedInSuccess);
            clock.start();
            client->sigIn(demoUser, demoPassword);
            QVERIFY(handled.wait(10000));
            QCOMPARE(success.count(), 0);
        } else if (reply == QLatin1String("large pairing list")) {
            QSignalSpy failed(client, &Network::devicePairingFailed);
            clock.start();
            client->pairDevice(QStringLiteral("A"), QStringLiteral("UID-A"));
            QVERIFY(failed.wait(10000));
            QCOMPARE(client->currentDeviceID(), 0);
        } else {
            QSignalSpy firmware(client, &Network::firmwareInfoFromCloud);
            QSignalSpy update(client, &Network::appUpdateAvailable);
            QSignalSpy done(client, &Network::preparationsDone);
            QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
            clock.start();
            client->sigIn(demoUser, demoPassword);
            if (reply.contains(QLatin1String("firmware"))) {
                QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 2, 10000); // sign-in, firmware
                QCOMPARE(firmware.count(), 0);
                QCOMPARE(readFile(revBin), QByteArray("old image"));
            } else {
                QVERIFY(done.wait(10000));
                QCOMPARE(firmware.count(), 1);
                QCOMPARE(update.count(), 0);
                QVERIFY(!QFile::exists(applicationFilePath(QStringLiteral("Orvane"))));
            }
        }
        const qint64 gaveUpAfter = clock.elapsed();
        QVERIFY2(gaveUpAfter < deadlineMs + 1000, QByteArray::number(gaveUpAfter));
        if (reply.startsWith(QLatin1String("large"))) {
            const QStringList errors = diagnostics->recordTexts(applog::LogLevel_ERROR);
            const QString expected = reply == QLatin1String("large firmware")
                ? QStringLiteral("reply aborted: it announces")
                : QStringLiteral("reply aborted: it passed");
            QVERIFY2(errors.filter(expected).size() == 1,
                     qPrintable(errors.join(QLatin1Char('|'))));
        }
        qInfo("gave up after %lld ms", gaveUpAfter);
    }

    void signInOutcomes_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("tokenLength");
        QTest::addColumn<int>("refusalCode");
        QTest::addColumn<QString>("outcome");

        QTest::newRow("accepted") << demoPassword << 36 << 401 << "accepted";
        QTest::newRow("refused, code 0") << "wrong-one" << 36 << 0 << "refused";
        QTest::newRow("refused, code 401") << "wrong-one" << 36 << 401 << "refused";
        QTest::newRow("token of 35") << demoPassword << 35 << 401 << "odd token";
        QTest::newRow("token of 37") << demoPassword << 37 << 401 << "odd token";
    }

    void signInOutcomes()
    {
        QFETCH(QString, password);
        QFETCH(int, tokenLength);
        QFETCH(int, refusalCode);
        QFETCH(QString, outcome);
        secrets << password;

        standin::Scenario scenario;
        scenario.tokenLength = tokenLength;
        scenario.refusalCode = refusalCode;
        setScenario(scenario);

        // A sign-in stored before: what a refusal or an odd token must (not) touch.
        const QByteArray oldUser = cloudcodec::encryptCredential(QStringLiteral("earlier"));
        const QByteArray oldPassword = cloudcodec::encryptCredential(QStringLiteral("earlier-pw"));
        {
            QSettings settings = storedSettings();
            settings.setValue("signedIn", true);
            settings.setValue("encu", oldUser);
            settings.setValue("encp", oldPassword);
        }

        Network *client = makeNetwork();
        QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
        QSignalSpy success(client, &Network::signedInSuccess);
        QSignalSpy refused(client, &Network::incorrectCredentials);
        client->sigIn(demoUser, password);
        QVERIFY(handled.wait(20000));

        QSettings settings = storedSettings();
        const QStringList info = diagnostics->recordTexts(applog::LogLevel_INFO);
        if (outcome == QLatin1String("refused")) {
            QCOMPARE(refused.count(), 1);
            QCOMPARE(success.count(), 0);
            QCOMPARE(settings.value("signedIn").toBool(), false);
            QCOMPARE(settings.value("encu").toByteArray(), oldUser);
            QVERIFY(client->currentToken().isEmpty());
            QCOMPARE(client->currentUserID(), 0);
            QVERIFY(info.contains(QStringLiteral("network: wrong credentials")));
            QCOMPARE(client->lastRequestKind(), Network::SignIn);
            return;
        }
        QCOMPARE(refused.count(), 0);
        // An odd token is no token: nothing will carry it.
        QCOMPARE(client->currentToken(),
                 outcome == QLatin1String("odd token") ? QString()
                                                       : q(standin.server().issuedToken()));
        QCOMPARE(client->currentUserID(), 1001);
        QVERIFY(info.contains(QStringLiteral("network: sucsess sign in1001")));
        if (outcome == QLatin1String("odd token")) {
            QCOMPARE(success.count(), 0);
            QCOMPARE(settings.value("signedIn").toBool(), true);
            QCOMPARE(settings.value("encu").toByteArray(), oldUser);
            QCOMPARE(settings.value("encp").toByteArray(), oldPassword);
            QCOMPARE(client->lastRequestKind(), Network::SignIn); // the chain does not start
            return;
        }
        QCOMPARE(success.count(), 1);
        QCOMPARE(success.first().at(0).toString(), demoUser);
        QCOMPARE(success.first().at(1).toString(), demoPassword);
        QCOMPARE(settings.value("signedIn").toBool(), true);
        QCOMPARE(cloudcodec::decryptCredential(settings.value("encu").toByteArray()), demoUser);
        QCOMPARE(client->lastRequestKind(), Network::FirmwareCheck);
    }

    void credentialsSurviveRestart_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("userCipherBytes");
        QTest::addColumn<int>("passwordCipherBytes");

        QTest::newRow("16-byte user name") << "sixteen-bytes-ok"
                                           << "pass-1234" << 32 << 16;
        QTest::newRow("32-byte user name") << "thirty-two-bytes-of-user-name-32"
                                           << "pass-5678" << 48 << 16;
        QTest::newRow("16 UTF-8 bytes, non-ASCII") << QStringLiteral("Zoë Ångströms") // 16 bytes
                                                   << QStringLiteral("pässwörd €uro") << 32 << 32;
        QTest::newRow("empty password") << "nobody@example.org"
                                        << "" << 32 << 16;
        QTest::newRow("CJK") << QStringLiteral("北京の利用者") << QStringLiteral("秘密の言葉です")
                             << 32 << 32;
    }

    void credentialsSurviveRestart()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, userCipherBytes);
        QFETCH(int, passwordCipherBytes);
        secrets << password;

        standin::Scenario scenario;
        scenario.accounts = {{user.toStdString(), password.toStdString()}};
        setScenario(scenario);

        Network *first = makeNetwork();
        QSignalSpy success(first, &Network::signedInSuccess);
        QSignalSpy done(first, &Network::preparationsDone);
        first->sigIn(user, password);
        QVERIFY(done.wait(20000));
        QCOMPARE(success.count(), 1);

        const QString settingsFile = first->settingsFilePath();
        QVERIFY(settingsFile.startsWith(testsupport::testHome()));
        QCOMPARE(fileMode(settingsFile), 0600);
        {
            QSettings settings = storedSettings();
            QCOMPARE(settings.value("encu").toByteArray().size(), userCipherBytes);
            QCOMPARE(settings.value("encp").toByteArray().size(), passwordCipherBytes);
        }
        const QByteArray onDisk = readFile(settingsFile);
        QVERIFY(onDisk.contains("signedIn=true"));
        if (!password.isEmpty())
            QVERIFY(!onDisk.contains(password.toUtf8()));

        // The next start signs in by itself with what it decrypts.
        network.reset();
        Network *next = makeNetwork();
        QSignalSpy restored(next, &Network::signedInSuccess);
        next->checkSignedInStatus();
        QVERIFY(restored.wait(20000));
        QCOMPARE(restored.first().at(0).toString(), user);
        QCOMPARE(restored.first().at(1).toString(), password);
    }

    void wrongStoredPasswordAsksAgain()
    {
        signInThroughChain(makeNetwork());
        network.reset();

        standin::Scenario scenario;
        scenario.accounts = {{"demo", "changed-elsewhere"}};
        setScenario(scenario);
        secrets << QStringLiteral("changed-elsewhere");

        Network *next = makeNetwork();
        QSignalSpy refused(next, &Network::incorrectCredentials);
        QSignalSpy success(next, &Network::signedInSuccess);
        next->checkSignedInStatus();
        QVERIFY(refused.wait(20000));
        QCOMPARE(success.count(), 0);
        QCOMPARE(storedSettings().value("signedIn").toBool(), false);
        QCOMPARE(fileMode(next->settingsFilePath()), 0600);
    }

    void signOutForgetsCredentials()
    {
        Network *client = makeNetwork();
        signInThroughChain(client);
        const QString settingsFile = client->settingsFilePath();
        client->signOut();
        {
            QSettings settings = storedSettings();
            QCOMPARE(settings.value("signedIn").toBool(), false);
            QVERIFY(!settings.contains("encu"));
            QVERIFY(!settings.contains("encp"));
        }
        QCOMPARE(fileMode(settingsFile), 0600);
        network.reset();
        standin.server().clearRecords();

        Network *next = makeNetwork();
        QSignalSpy notSignedIn(next, &Network::notSignedin);
        next->checkSignedInStatus();
        QCOMPARE(notSignedIn.count(), 1);
        QCOMPARE(next->lastRequestKind(), Network::NoRequest);
    }

    void chainRunsInOrder()
    {
        Network *client = makeNetwork();
        QStringList order;
        connect(client, &Network::signedInSuccess, this, [&] { order << "signedInSuccess"; });
        connect(client, &Network::firmwareInfoFromCloud, this,
                [&](const QString &path, int version) {
                    order << QStringLiteral("firmware %1 %2").arg(path).arg(version);
                });
        connect(client, &Network::appUpdateAvailable, this,
                [&](const QString &message) { order << "update: " + message; });
        connect(client, &Network::preparationsDone, this, [&] { order << "preparationsDone"; });
        signInThroughChain(client);

        const QString revPath = applicationFilePath(QStringLiteral("rev.bin"));
        QCOMPARE(order,
                 QStringList({"signedInSuccess", "firmware " + revPath + " 12",
                              "update: Orvane 7.5 from the cloud stand-in", "preparationsDone"}));
        const auto records = standin.server().requests();
        QCOMPARE(records.size(), size_t(4));
        QCOMPARE(q(records[1].path), QStringLiteral("/api/device/checkFirmware"));
        QCOMPARE(q(records[2].path), QStringLiteral("/api/orvane/checkUpdate"));
        QCOMPARE(q(records[3].path), QStringLiteral("/orvane"));
        // The files hold exactly the bytes the service sent.
        const QByteArray image = readFile(revPath);
        QCOMPARE(image.size(), int(records[1].replyByteCount));
        QCOMPARE(sha256(image), q(records[1].replySha256));
        const QByteArray application = readFile(applicationFilePath(QStringLiteral("Orvane")));
        QCOMPARE(application.size(), 4096);
        QCOMPARE(sha256(application), q(records[3].replySha256));
        QVERIFY(
            diagnostics->recordTexts(applog::LogLevel_INFO)
                .contains(
                    QStringLiteral("network: got latest fw: file lenght: %1").arg(image.size())));
        QVERIFY(standin.server().violations().empty());

        // Records name their writer: the request's slot or the reply dispatcher.
        QStringList writers;
        for (const auto &record : diagnostics->records())
            writers << record.function + ": " + record.text;
        QCOMPARE(writers.mid(0, 4),
                 QStringList({"replyFinished: network: sucsess sign in1001",
                              "updateFwList: network: sent fw request ",
                              "replyFinished: network: got latest fw: 12",
                              "replyFinished: network: got latest fw: file lenght: "
                                  + QString::number(image.size())}));
    }

    void firmwareReplies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("version");

        QTest::newRow("bytes wrap") << QByteArray(R"({"version": 12, "data": [1, 255, 256, -1]})")
                                    << 200 << true << QByteArray("\x01\xFF\x00\xFF", 4) << 12;
        QTest::newRow("string element") << QByteArray(R"({"version": 3, "data": [1, "7", 2]})")
                                        << 200 << true << QByteArray("\x01\x00\x02", 3) << 3;
        QTest::newRow("version 0 still chains")
            << QByteArray(R"({"data": [5]})") << 200 << true << QByteArray("\x05") << 0;
        QTest::newRow("no data") << QByteArray(R"({"version": 12})") << 200 << false
                                 << previousImage << 0;
        QTest::newRow("empty array")
            << QByteArray(R"({"version": 12, "data": []})") << 200 << false << previousImage << 0;
        QTest::newRow("not JSON") << QByteArray("<html>busy</html>") << 200 << false
                                  << previousImage << 0;
        QTest::newRow("HTTP error with an image")
            << QByteArray(R"({"version": 12, "data": [1, 2]})") << 503 << false << previousImage
            << 0;
    }

    void firmwareReplies()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, stored);
        QFETCH(QByteArray, image);
        QFETCH(int, version);

        standin::Scenario scenario;
        scenario.bodyOverrides["/api/device/checkFirmware"] = body.toStdString();
        scenario.statusOverrides["/api/device/checkFirmware"] = status;
        setScenario(scenario);
        const QString revPath = applicationFilePath(QStringLiteral("rev.bin"));
        writeFile(revPath, previousImage);

        Network *client = makeNetwork();
        QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
        QSignalSpy firmware(client, &Network::firmwareInfoFromCloud);
        client->sigIn(demoUser, demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 2, 20000);

        QCOMPARE(readFile(revPath), image);
        if (stored) {
            QCOMPARE(firmware.count(), 1);
            QCOMPARE(firmware.first().at(0).toString(), revPath);
            QCOMPARE(firmware.first().at(1).toInt(), version);
            QCOMPARE(client->lastRequestKind(), Network::AppUpdateCheck);
            QVERIFY(diagnostics->recordTexts(applog::LogLevel_ERROR).isEmpty());
        } else {
            QCOMPARE(firmware.count(), 0);
            QCOMPARE(client->lastRequestKind(), Network::FirmwareCheck); // the chain ends
            const QStringList errors = diagnostics->recordTexts(applog::LogLevel_ERROR);
            QCOMPARE(errors.size(), 1);
            QVERIFY(errors.first().startsWith(QStringLiteral("network: got latest fw: ")));
        }
    }

    void versionRule_data()
    {
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("downloads");

        QTest::newRow("7.5") << 7 << 5 << true;
        QTest::newRow("7.4") << 7 << 4 << false;
        QTest::newRow("7.3") << 7 << 3 << false;
        QTest::newRow("8.0") << 8 << 0 << false;
    }

    void versionRule()
    {
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(bool, downloads);

        standin::Scenario scenario;
        scenario.appVersionMajor = major;
        scenario.appVersionMinor = minor;
        setScenario(scenario);

        Network *client = makeNetwork();
        QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
        QSignalSpy update(client, &Network::appUpdateAvailable);
        QSignalSpy done(client, &Network::preparationsDone);
        client->sigIn(demoUser, demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(handled.count(), downloads ? 4 : 3, 20000);
        QCOMPARE(update.count(), downloads ? 1 : 0);
        QCOMPARE(done.count(), downloads ? 1 : 0);
        QCOMPARE(client->lastRequestKind(),
                 downloads ? Network::AppDownload : Network::AppUpdateCheck);
        QCOMPARE(standin.server().requests().size(), size_t(downloads ? 4 : 3));
    }

    void applicationDownloads_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("offered");
        QTest::addColumn<QByteArray>("file");

        QTest::newRow("three bytes") << QByteArray("[0, 255, 256]") << 200 << "New things" << true
                                     << QByteArray("\x00\xFF\x00", 3);
        QTest::newRow("empty description")
            << QByteArray("[7]") << 200 << "" << true << QByteArray("\x07");
        QTest::newRow("status 404")
            << QByteArray("[1, 2]") << 404 << "x" << false << previousApplication;
        QTest::newRow("status 201")
            << QByteArray("[1, 2]") << 201 << "x" << false << previousApplication;
        QTest::newRow("empty array")
            << QByteArray("[]") << 200 << "x" << false << previousApplication;
        QTest::newRow("an object")
            << QByteArray(R"({"data": [1]})") << 200 << "x" << false << previousApplication;
        QTest::newRow("not JSON") << QByteArray("<html>gone</html>") << 200 << "x" << false
                                  << previousApplication;
    }

    void applicationDownloads()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, description);
        QFETCH(bool, offered);
        QFETCH(QByteArray, file);

        standin::Scenario scenario;
        scenario.appDescription = description.toStdString();
        scenario.bodyOverrides["/orvane"] = body.toStdString();
        scenario.statusOverrides["/orvane"] = status;
        setScenario(scenario);
        const QString appPath = applicationFilePath(QStringLiteral("Orvane"));
        writeFile(appPath, previousApplication);

        Network *client = makeNetwork();
        QSignalSpy update(client, &Network::appUpdateAvailable);
        QSignalSpy done(client, &Network::preparationsDone);
        client->sigIn(demoUser, demoPassword);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(readFile(appPath), file);
        QCOMPARE(update.count(), offered ? 1 : 0);
        if (offered)
            QCOMPARE(update.first().first().toString(), description);
        // A body without an application is an error worth a record; a refused status is not.
        const bool unusableBody = !offered && status == 200;
        QCOMPARE(diagnostics->recordTexts(applog::LogLevel_ERROR).size(), unusableBody ? 1 : 0);
    }

    void pairing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("pairedToOther");
        QTest::addColumn<int>("deviceID");
        QTest::addColumn<QStringList>("records");

        QTest::newRow("last match decides")
            << QByteArray(
                   R"([{"name": "A", "id": 5}, {"name": "B", "id": 7}, {"name": "A", "id": 9}])")
            << false << 9
            << QStringList({"network: PAIRED WITH ID: 5", "network: PAIRED WITH ID: 9"});
        QTest::newRow("case differs")
            << QByteArray(R"([{"name": "a", "id": 5}])") << false << 0 << QStringList();
        QTest::newRow("object without code")
            << QByteArray(R"({"name": "A", "id": 5})") << false << 0 << QStringList();
        QTest::newRow("not JSON") << QByteArray("oops") << false << 0 << QStringList();
        QTest::newRow("the stand-in adds the device")
            << QByteArray() << false << 101 << QStringList({"network: PAIRED WITH ID: 101"});
        QTest::newRow("paired to another account") << QByteArray() << true << 0 << QStringList();
        // A match whose id is no number gives no id: nothing may go out under device 0.
        QTest::newRow("match without a usable id")
            << QByteArray(R"([{"name": "A", "id": "3"}])") << false << 0
            << QStringList({"network: PAIRED WITH ID: 0"});
    }

    void pairing()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, pairedToOther);
        QFETCH(int, deviceID);
        QFETCH(QStringList, records);

        standin::Scenario scenario;
        scenario.pairedToOther = pairedToOther;
        if (!body.isEmpty())
            scenario.bodyOverrides["/api/device/pairDevice"] = body.toStdString();
        setScenario(scenario);

        Network *client = makeNetwork();
        QSignalSpy handled(managerOf(client), &QNetworkAccessManager::finished);
        QSignalSpy ready(client, &Network::readyToSendData);
        QSignalSpy other(client, &Network::deviceIsPairedToOther);
        QSignalSpy paired(client, &Network::devicePaired);
        QSignalSpy unpaired(client, &Network::devicePairingFailed);
        client->pairDevice(QStringLiteral("A"), QStringLiteral("UID-A"));
        QVERIFY(handled.wait(20000));

        QCOMPARE(client->currentDeviceID(), deviceID);
        QCOMPARE(paired.count(), deviceID > 0 ? 1 : 0);
        QCOMPARE(unpaired.count(), deviceID > 0 ? 0 : 1);
        QCOMPARE(client->pairedDeviceName(), deviceID > 0 ? QStringLiteral("A") : QString());
        QCOMPARE(ready.count(), pairedToOther ? 0 : 1);
        QCOMPARE(other.count(), pairedToOther ? 1 : 0);
        QStringList pairedRecords;
        for (const QString &text : diagnostics->recordTexts(applog::LogLevel_INFO)) {
            if (text.startsWith(QStringLiteral("network: PAIRED")))
                pairedRecords << text;
        }
        QCOMPARE(pairedRecords, records);
        QCOMPARE(diagnostics->recordTexts(applog::LogLevel_ERROR),
                 pairedToOther ? QStringList {"network: error: paired with other"} : QStringList());
    }

    void versionReport_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");

        QTest::newRow("200") << 200 << "FW version on cloud updated for BREVIA-3";
        QTest::newRow("201") << 201 << "FW version on cloud update FAILED ❌";
        QTest::newRow("500") << 500 << "FW version on cloud update FAILED ❌";
    }

    void versionReport()
    {
        QFETCH(int, status);
        QFETCH(QString, line);

        standin::Scenario scenario;
        scenario.statusOverrides["/api/device/updateFirmwareVersion"] = status;
        setScenario(scenario);

        Network *client = makeNetwork();
        QSignalSpy done(client, &Network::preparationsDone);
        client->updateFwVersion(QStringLiteral("BREVIA-3"), 21);
        QVERIFY(done.wait(20000));
        QCOMPARE(standin.server().reportedFirmwareVersions().at("BREVIA-3"), 21);
        bool found = false;
        for (const QString &debug : diagnostics->debugLines())
            found = found || (debug.startsWith(QStringLiteral("🌐 ")) && debug.endsWith(line));
        QVERIFY2(found, qPrintable(line));
    }
};

ORVANE_TEST_MAIN(TestNetwork)
#include "tst_network.moc"
