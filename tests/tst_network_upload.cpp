// Session uploads of the cloud client against the cloud stand-in over real TLS: the stored
// bytes, which replies delete the file, failures of the service and of the network, overlapping
// requests that must each reach their own handler, and TLS that is never relaxed.
#include "common/appfolder.h"
#include "cloud/network.h"
#include "standinfixture.h"
#include "testmain.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

using testsupport::DiagnosticsCapture;
using testsupport::StandinFixture;

namespace {

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

// A session file the stand-in accepts: value bytes at offsets 2..8 of each 18-byte record.
QByteArray sessionBytes(int records, int seed)
{
    QByteArray bytes(records * 18, '\0');
    for (int r = 0; r < records; ++r) {
        for (int k = 2; k < 9; ++k)
            bytes[r * 18 + k] = char(seed + r * 7 + k);
    }
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeSession(const QString &folder, const QString &timeStamp, const QByteArray &bytes)
{
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + timeStamp;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

// Accepts connections and never says a word: a service that has gone silent.
class SilentServer : public QTcpServer
{
public:
    SilentServer() { listen(QHostAddress::LocalHost, 0); }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    }
};

} // namespace

class TestNetworkUpload : public QObject
{
    Q_OBJECT

private:
    StandinFixture standin;
    std::unique_ptr<DiagnosticsCapture> diagnostics;
    std::unique_ptr<Network> network;
    QStringList tokens; // issued by the stand-ins; must never be written out

    Network *makeNetwork(int transferTimeoutMs = CloudEndpoint::defaultTransferTimeoutMs)
    {
        network = std::make_unique<Network>(nullptr, standin.endpoint(transferTimeoutMs));
        return network.get();
    }

    // Signs in (waiting for the end of the chain) and pairs "BREVIA-7", which gets id 101.
    void signInAndPair(Network *client)
    {
        QSignalSpy done(client, &Network::preparationsDone);
        client->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(done.wait(20000));
        tokens << client->currentToken();
        QSignalSpy ready(client, &Network::readyToSendData);
        client->pairDevice(QStringLiteral("BREVIA-7"), QStringLiteral("UID-7"));
        QVERIFY(ready.wait(20000));
        QCOMPARE(client->currentDeviceID(), 101);
    }

    bool anyDebugLineContains(const QString &text) const
    {
        for (const QString &line : diagnostics->debugLines()) {
            if (line.contains(text))
                return true;
        }
        return false;
    }

private slots:
    void initTestCase() { diagnostics = std::make_unique<DiagnosticsCapture>(); }

    void init()
    {
        diagnostics->clear();
        QVERIFY2(standin.start(), qPrintable(standin.errorString()));
    }

    void cleanup()
    {
        if (standin.isRunning() && !standin.server().issuedToken().empty())
            tokens << q(standin.server().issuedToken());
        network.reset();
        standin.stop();
    }

    void cleanupTestCase()
    {
        const QString everything = diagnostics->finishAndReadEverything();
        diagnostics.reset();
        QVERIFY(everything.contains(QStringLiteral("🌐"))); // the capture works
        QVERIFY(!everything.contains(QStringLiteral("demo1234")));
        for (const QString &token : qAsConst(tokens))
            QVERIFY(!everything.contains(token));
    }

    void confirmedUploadStoresTheBytesAndDeletesTheFile()
    {
        Network *client = makeNetwork();
        signInAndPair(client);
        const QByteArray bytes = sessionBytes(300, 3);
        const QString path = writeSession(applicationFolderPath(), "1700000000000", bytes);
        QVERIFY(!path.isEmpty());

        QSignalSpy progress(client, &Network::sessionUploadProgress);
        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000000000"));
        QVERIFY(sent.wait(20000));
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.first().first().toBool(), true);
        QVERIFY(!QFile::exists(path));

        const auto uploads = standin.server().storedUploads();
        QCOMPARE(uploads.size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(uploads[0].bytes), bytes);
        QCOMPARE(q(uploads[0].date), QStringLiteral("1700000000000"));
        QCOMPARE(q(uploads[0].deviceId), QStringLiteral("101"));
        QVERIFY(standin.server().violations().empty());
        QVERIFY(diagnostics->recordTexts(applog::LogLevel_INFO)
                    .contains(QStringLiteral("network: success sent session: ")));

        // The reply's own progress, relayed unchanged: it ends with everything sent.
        bool complete = false;
        for (const auto &step : progress) {
            const qint64 done = step.at(0).toLongLong();
            const qint64 total = step.at(1).toLongLong();
            QVERIFY(done <= total || total < 0);
            complete = complete || (done == total && total > bytes.size());
        }
        QVERIFY(complete);
    }

    void otherRepliesKeepTheFile_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("True") << 200 << QByteArray("True");
        QTest::newRow("true and a line feed") << 200 << QByteArray("true\n");
        QTest::newRow("quoted true") << 200 << QByteArray("\"true\"");
        QTest::newRow("false, 500") << 500 << QByteArray("false");
        QTest::newRow("empty") << 200 << QByteArray();
    }

    void otherRepliesKeepTheFile()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);

        Network *client = makeNetwork();
        signInAndPair(client);
        const QByteArray bytes = sessionBytes(5, 9);
        const QString path = writeSession(applicationFolderPath(), "1700000001000", bytes);
        standin.server().setNextUploadReply(status, body.toStdString());

        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000001000"));
        QVERIFY(sent.wait(20000));
        QCOMPARE(sent.first().first().toBool(), false);
        QCOMPARE(readFile(path), bytes);
        QCOMPARE(diagnostics->recordTexts(applog::LogLevel_ERROR),
                 QStringList {"network: error: server replied while sending session"
                              + QString::fromUtf8(body)});
        QFile::remove(path);
    }

    void serviceGoneKeepsTheFile()
    {
        Network *client = makeNetwork();
        signInAndPair(client);
        client->findChild<QNetworkAccessManager *>()->clearConnectionCache();
        standin.stop();

        const QString path =
            writeSession(applicationFolderPath(), "1700000002000", sessionBytes(2, 1));
        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000002000"));
        QVERIFY(sent.wait(20000));
        QCOMPARE(sent.first().first().toBool(), false);
        QVERIFY(QFile::exists(path));
        QVERIFY(anyDebugLineContains(QStringLiteral("ConnectionRefusedError")));
        QFile::remove(path);
    }

    void slowServiceTimesOut()
    {
        // The service stores the upload but answers only after the client gave up.
        standin::Scenario scenario;
        scenario.uploadReplyDelayMs = 1500;
        QVERIFY(standin.server().setScenario(scenario));
        Network *client = makeNetwork(300);
        signInAndPair(client);
        const QString path =
            writeSession(applicationFolderPath(), "1700000003000", sessionBytes(2, 1));
        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000003000"));
        QVERIFY(sent.wait(10000));
        QCOMPARE(sent.first().first().toBool(), false);
        QVERIFY(QFile::exists(path));
        QVERIFY(anyDebugLineContains(QStringLiteral("OperationCanceledError")));
        QFile::remove(path);
    }

    void silentServiceEndsTheSignIn()
    {
        SilentServer silent;
        QVERIFY(silent.isListening());
        CloudEndpoint endpoint = standin.endpoint(300);
        endpoint.baseUrl = QUrl(QStringLiteral("https://127.0.0.1:%1").arg(silent.serverPort()));
        network = std::make_unique<Network>(nullptr, endpoint);
        QSignalSpy handled(network->findChild<QNetworkAccessManager *>(),
                           &QNetworkAccessManager::finished);
        QSignalSpy success(network.get(), &Network::signedInSuccess);
        QSignalSpy refused(network.get(), &Network::incorrectCredentials);
        network->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(handled.wait(10000));
        QCOMPARE(success.count() + refused.count(), 0);
    }

    // No session goes out before the device's own pairing answered with its id: not before
    // any pairing, not after the id was forgotten for another device, not after a pairing
    // whose list does not name the device.
    void uploadWaitsForThisDevicesId_data()
    {
        QTest::addColumn<QString>("afterPairing");
        QTest::newRow("never paired") << QString();
        QTest::newRow("another device shown") << QStringLiteral("forget");
        QTest::newRow("another device's pairing") << QStringLiteral("other");
    }

    void uploadWaitsForThisDevicesId()
    {
        QFETCH(QString, afterPairing);
        Network *client = makeNetwork();
        if (afterPairing.isEmpty()) {
            QSignalSpy done(client, &Network::preparationsDone);
            client->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
            QVERIFY(done.wait(20000));
        } else {
            signInAndPair(client);
        }
        if (afterPairing == QLatin1String("forget"))
            client->forgetDevice();
        if (afterPairing == QLatin1String("other")) {
            // The list answered for another name does not carry this one: no id at all.
            standin::Scenario listing;
            listing.bodyOverrides["/api/device/pairDevice"] =
                R"([{"id": 205, "name": "BREVIA-9", "uniqueNumber": "UID-9"}])";
            QVERIFY(standin.server().setScenario(listing));
            QSignalSpy failed(client, &Network::devicePairingFailed);
            client->pairDevice(QStringLiteral("BREVIA-8"), QStringLiteral("UID-8"));
            QVERIFY(failed.wait(20000));
        }
        QCOMPARE(client->currentDeviceID(), 0);
        const size_t requests = standin.server().requests().size();
        const QString path =
            writeSession(applicationFolderPath(), "1700000004000", sessionBytes(1, 1));
        QSignalSpy sent(client, &Network::sessionSent);
        QSignalSpy uploaded(client, &Network::sessionUploaded);
        client->sendSession(path, QStringLiteral("1700000004000"));
        QVERIFY(sent.wait(5000));
        QCOMPARE(sent.first().first().toBool(), false);
        QCOMPARE(uploaded.first(), (QVariantList {path, false}));
        QCOMPARE(standin.server().requests().size(), requests);
        QVERIFY(QFile::exists(path));
        QFile::remove(path);
    }

    void unreadableFileIsNotSent()
    {
        Network *client = makeNetwork();
        const QString path = applicationFilePath(QStringLiteral("1700000005000"));
        QVERIFY(!QFile::exists(path));
        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000005000"));
        QCOMPARE(sent.count(), 0); // reported from the event loop, not inside the caller
        QVERIFY(sent.wait(5000));
        QCOMPARE(sent.first().first().toBool(), false);
        QVERIFY(standin.server().requests().empty());
        QCOMPARE(diagnostics->recordTexts(applog::LogLevel_ERROR).size(), 1);
    }

    void pathOutsideLatin1()
    {
        Network *client = makeNetwork();
        signInAndPair(client);
        const QString folder = applicationFolderPath() + QStringLiteral("/Ωmega-Привет-é");
        const QByteArray bytes = sessionBytes(4, 5);
        const QString path = writeSession(folder, "1700000006000", bytes);
        QVERIFY(!path.isEmpty());

        QSignalSpy sent(client, &Network::sessionSent);
        client->sendSession(path, QStringLiteral("1700000006000"));
        QVERIFY(sent.wait(20000));
        QCOMPARE(sent.first().first().toBool(), true);
        QVERIFY(!QFile::exists(path));

        const QByteArray body = QByteArray::fromStdString(standin.server().requests().back().body);
        const QByteArray latin1 = path.toLatin1();
        // é is Latin-1; each of the others becomes a question mark.
        QVERIFY(
            latin1.endsWith(QByteArray("/?mega-") + QByteArray(6, '?') + "-\xE9/1700000006000"));
        QVERIFY(body.contains("name=\"name\"\r\n\r\n" + latin1 + "\r\n"));
        QVERIFY(body.contains("filename=\"" + path.toUtf8() + "\"\r\n"));
        QCOMPARE(QByteArray::fromStdString(standin.server().storedUploads().back().bytes), bytes);
        QVERIFY(standin.server().violations().empty());
    }

    void overlappingRequestsReachTheirOwnHandlers()
    {
        standin::Scenario scenario;
        scenario.failUploads = {2}; // the second upload to arrive is refused
        QVERIFY(standin.server().setScenario(scenario));
        const QString folder = applicationFolderPath();
        const QStringList stamps = {"1700000007000", "1700000008000", "1700000009000"};
        for (int i = 0; i < stamps.size(); ++i)
            QVERIFY(!writeSession(folder, stamps[i], sessionBytes(3, i)).isEmpty());

        // Paired once; everything below then runs at the same time.
        Network *client = makeNetwork();
        signInAndPair(client);
        QSignalSpy success(client, &Network::signedInSuccess);
        QSignalSpy refused(client, &Network::incorrectCredentials);
        QSignalSpy firmware(client, &Network::firmwareInfoFromCloud);
        QSignalSpy update(client, &Network::appUpdateAvailable);
        QSignalSpy done(client, &Network::preparationsDone);
        QSignalSpy ready(client, &Network::readyToSendData);
        QSignalSpy other(client, &Network::deviceIsPairedToOther);
        QSignalSpy sent(client, &Network::sessionSent);

        // All in flight at once; the chain then runs while the others finish.
        client->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        client->pairDevice(QStringLiteral("BREVIA-7"), QStringLiteral("UID-7"));
        for (const QString &stamp : stamps)
            client->sendSession(folder + QLatin1Char('/') + stamp, stamp);
        client->updateFwVersion(QStringLiteral("BREVIA-7"), 14);

        QTRY_COMPARE_WITH_TIMEOUT(sent.count(), 3, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 20000); // the report and the download
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
        QCOMPARE(success.count(), 1);
        QCOMPARE(refused.count(), 0);
        QCOMPARE(firmware.count(), 1);
        QCOMPARE(update.count(), 1);
        QCOMPARE(other.count(), 0);
        QCOMPARE(client->currentDeviceID(), 101);

        // Each reply deleted only its own file: the refused one stays, both others are gone,
        // whatever order they arrived in.
        const auto uploads = standin.server().storedUploads();
        QCOMPARE(uploads.size(), size_t(3));
        QVERIFY(!QFile::exists(folder + QLatin1Char('/') + q(uploads[0].date)));
        QVERIFY(QFile::exists(folder + QLatin1Char('/') + q(uploads[1].date)));
        QVERIFY(!QFile::exists(folder + QLatin1Char('/') + q(uploads[2].date)));
        int confirmed = 0;
        for (const auto &signal : sent)
            confirmed += signal.first().toBool() ? 1 : 0;
        QCOMPARE(confirmed, 2);
        QFile::remove(folder + QLatin1Char('/') + q(uploads[1].date));
    }

    void tlsVerificationStaysOn()
    {
        // Two clients for one service add its CA once, beside the system's authorities.
        const QList<QSslCertificate> ca = standin.caCertificates();
        QCOMPARE(ca.size(), 1);
        makeNetwork();
        makeNetwork();
        const QList<QSslCertificate> trusted =
            QSslConfiguration::defaultConfiguration().caCertificates();
        QCOMPARE(trusted.count(ca.first()), 1);
        for (const QSslCertificate &system : QSslConfiguration::systemCaCertificates())
            QVERIFY(trusted.contains(system));
        QCOMPARE(installCaCertificates(ca), 0);

        // A service whose CA nobody handed over is refused at the handshake.
        StandinFixture stranger;
        QVERIFY(stranger.start());
        CloudEndpoint endpoint = stranger.endpoint();
        endpoint.extraCaCertificates.clear();
        network = std::make_unique<Network>(nullptr, endpoint);
        QSignalSpy handled(network->findChild<QNetworkAccessManager *>(),
                           &QNetworkAccessManager::finished);
        QSignalSpy success(network.get(), &Network::signedInSuccess);
        network->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(handled.wait(20000));
        QCOMPARE(success.count(), 0);
        QVERIFY(network->currentToken().isEmpty());
        QVERIFY(stranger.server().requests().empty());

        // Credentials never travel without TLS: a plain address sends nothing at all.
        endpoint.baseUrl =
            QUrl(QStringLiteral("http://127.0.0.1:%1").arg(stranger.server().port()));
        network = std::make_unique<Network>(nullptr, endpoint);
        QVERIFY(
            diagnostics->recordTexts(applog::LogLevel_ERROR)
                .contains(QStringLiteral("network: error: the cloud address is not an https URL")));
        QSignalSpy plainHandled(network->findChild<QNetworkAccessManager *>(),
                                &QNetworkAccessManager::finished);
        network->sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(plainHandled.wait(20000));
        QVERIFY(network->currentToken().isEmpty());
        QVERIFY(stranger.server().requests().empty());
        network.reset();
    }
};

ORVANE_TEST_MAIN(TestNetworkUpload)
#include "tst_network_upload.moc"
