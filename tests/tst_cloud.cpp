// The cloud client against the cloud stand-in over real TLS: what goes on the wire and what the
// client does with each reply. Nothing secret may reach a debug line or the log.
#include "cloud/cloudcodec.h"
#include "cloud/network.h"
#include "common/programproof.h"
#include "standinfixture.h"

#include <QNetworkAccessManager>
#include <QTcpServer>

#include <algorithm>
#include <functional>
#include <memory>

using namespace testsupport;

namespace {
const QString demoUser = QStringLiteral("demo"), demoPassword = QStringLiteral("demo1234");
const QString signedIn = "signedIn demo demo1234", firmware = "firmware rev.bin 12";
const QString offer = QStringLiteral("offer Orvane 7.5 from the cloud stand-in");
const QByteArray oldImage = "previous image";
const QString sessionName = QStringLiteral("Ωmega-é/1700000001000");
constexpr int deadlineMs = 1500; // the lowered overall deadline of the bounded cases
// Qt's permission flags, one hex digit each for the owner, the group and the others.
constexpr int ownerOnly = 0x6000, ownerOnlyFolder = 0x7000, readableByOthers = 0x6004;

struct Signals
{
    QStringList chain = {signedIn, firmware, offer, "done"};
    QStringList fetched = {signedIn, firmware, "done"};
    QStringList paired = {"ready", "paired BREVIA-7 UID-7 101"};
    QStringList notSent = {"uploaded " + sessionName + " false", "sent false"};
    QStringList sent = paired + QStringList({"uploaded " + sessionName + " true", "sent true"});
    QStringList kept = paired + notSent;
    QStringList unpaired = QStringList({"ready", "unpaired BREVIA-7 UID-7"}) + notSent;
};

void row(const char *change, const QStringList &expected)
{
    QTest::newRow(change) << QString(change) << expected;
}

void conversationColumns()
{
    QTest::addColumn<QString>("change"); // "<path> <status> <body>" for one reply, or a case
    QTest::addColumn<QStringList>("expected");
}

} // namespace

class TestCloud : public QObject
{
    Q_OBJECT

    StandinFixture standin;
    std::unique_ptr<DiagnosticsCapture> diagnostics;
    std::unique_ptr<Network> network;
    QStringList secrets; // must never appear in a debug line or the log
    QStringList events; // the client's signals, in order, with their arguments

    static QString q(const std::string &text) { return QString::fromStdString(text); }
    static QByteArray bytes(const std::string &text) { return QByteArray::fromStdString(text); }
    static int mode(const QString &path) { return int(QFile::permissions(path)) & 0x7077; }
    static QVariant stored(const char *key) { return QSettings("Orvane", "Kestrane").value(key); }
    static QByteArray sha256(const QByteArray &data)
    {
        return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
    }
    // A session file the stand-in accepts: 18-byte records, values at offsets 2..8 only.
    static QByteArray sessionBytes(int records, char value)
    {
        return (QByteArray(2, 0) + QByteArray(7, value) + QByteArray(9, 0)).repeated(records);
    }
    // Lowered deadline and reply limits, and an idle time-out that bytes trickling in never reach.
    Network *makeNetwork(int transferTimeoutMs = 5000)
    {
        CloudEndpoint endpoint = standin.endpoint(transferTimeoutMs);
        endpoint.requestDeadlineMs = deadlineMs;
        endpoint.jsonReplyLimit = endpoint.firmwareReplyLimit = 64 << 10;
        endpoint.applicationReplyLimit = 256 << 10;
        return makeNetwork(endpoint);
    }
    Network *makeNetwork(const CloudEndpoint &endpoint)
    {
        events.clear();
        network = std::make_unique<Network>(nullptr, endpoint);
        Network *client = network.get();
        const auto note = [this](const char *name) {
            return [this, name](auto... args) {
                const QStringList parts = {name, QVariant(args).toString()...};
                events << parts.join(' ').remove(applicationFolderPath() + '/');
            };
        };
        connect(client, &Network::signedInSuccess, this, note("signedIn"));
        connect(client, &Network::incorrectCredentials, this, note("refused"));
        connect(client, &Network::notSignedin, this, note("notSignedIn"));
        connect(client, &Network::firmwareInfoFromCloud, this, note("firmware"));
        connect(client, &Network::appUpdateAvailable, this, note("offer"));
        connect(client, &Network::preparationsDone, this, note("done"));
        connect(client, &Network::readyToSendData, this, note("ready"));
        connect(client, &Network::deviceIsPairedToOther, this, note("pairedToOther"));
        connect(client, &Network::devicePaired, this, note("paired"));
        connect(client, &Network::devicePairingFailed, this, note("unpaired"));
        connect(client, &Network::sessionUploaded, this, note("uploaded"));
        connect(client, &Network::sessionSent, this, note("sent"));
        return client;
    }
    bool settle() // until no reply of the client is running and no download is being proven
    {
        return QTest::qWaitFor(
            [this] {
                const auto r = network->findChildren<QNetworkReply *>();
                return std::none_of(r.begin(), r.end(), std::mem_fn(&QNetworkReply::isRunning))
                    && network->findChildren<ProgramProof *>().isEmpty();
            },
            10000);
    }

private slots:
    void initTestCase()
    {
        diagnostics = std::make_unique<DiagnosticsCapture>();
        secrets << demoPassword << "changed-elsewhere";
    }

    void init()
    {
        // A settings file that others may read: the client makes it its owner's when it writes.
        QSettings("Orvane", "Kestrane").clear();
        QSettings("Orvane", "Kestrane").setValue("seen", true);
        QFile::setPermissions(QSettings("Orvane", "Kestrane").fileName(),
                              QFile::Permissions(readableByOthers));
        QVERIFY2(standin.start(), qPrintable(standin.errorString()));
    }

    void cleanup()
    {
        QStringList broken; // requests off the protocol; a missing token is each test's business
        if (standin.isRunning()) {
            for (const auto &violation : standin.server().violations())
                if (violation.text.find("\"token\" header is missing") == std::string::npos)
                    broken << q(violation.text);
            secrets << q(standin.server().issuedToken());
        }
        network.reset(); // closes its connections, so the server stops at once
        standin.stop();
        QCOMPARE(broken, QStringList());
    }

    void cleanupTestCase()
    {
        const QString everything = diagnostics->finishAndReadEverything();
        diagnostics.reset();
        QVERIFY(everything.contains("🌐")); // the capture works
        for (const QString &secret : qAsConst(secrets))
            QVERIFY2(secret.size() < 4 || !everything.contains(secret), "a secret was written out");
    }

    void overlappingRequests()
    {
        standin::Scenario scenario;
        scenario.failUploads = {2}; // the second upload to arrive is refused
        scenario.statusOverrides["/api/device/updateFirmwareVersion"] = 500; // still ends
        QVERIFY(standin.server().setScenario(scenario));
        const QStringList stamps = {"1700000007000", "1700000008000", "1700000009000"};
        for (const QString &stamp : stamps)
            QVERIFY(writeFile(applicationFilePath(stamp), sessionBytes(3, 7)));
        Network *client = makeNetwork();
        client->sigIn(demoUser, demoPassword);
        QVERIFY(settle());
        secrets << client->currentToken();
        client->pairDevice("BREVIA-7", "UID-7");
        QVERIFY(settle());
        client->sigIn(demoUser, demoPassword); // the same account again keeps its pairing
        QVERIFY(settle() && client->currentDeviceID() == 101);
        events.clear();
        // All at once: each reply reaches its own handler, each upload deletes only its file.
        client->sigIn(demoUser, demoPassword);
        client->pairDevice("BREVIA-7", "UID-7");
        for (const QString &stamp : stamps)
            client->sendSession(applicationFilePath(stamp), stamp);
        client->updateFwVersion("BREVIA-7", 14);
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 13, 20000);
        QCOMPARE(standin.server().reportedFirmwareVersions().at("BREVIA-7"), 14);
        const auto uploads = standin.server().storedUploads();
        QCOMPARE(uploads.size(), size_t(3));
        QStringList expected = {
            signedIn, firmware,    offer,        "done",      "done",
            "ready",  "sent true", "sent false", "sent true", "paired BREVIA-7 UID-7 101"};
        for (size_t i = 0; i < uploads.size(); ++i) {
            expected << "uploaded " + q(uploads[i].date) + (i == 1 ? " false" : " true");
            QCOMPARE(QFile::exists(applicationFilePath(q(uploads[i].date))), i == 1);
        }
        expected.sort();
        events.sort();
        QCOMPARE(events, expected);
        standin.server().clearRecords(); // requests that crossed the new sign-in hold the old token
    }

    // Sign in, pair "BREVIA-7", upload a session: each row changes one thing and lists every
    // signal the client gives. Two tables (account, device) that CTest runs side by side.
    void conversation_data()
    {
        conversationColumns();
        const Signals e;
        row(R"(/signin 200 {"code": 401, "message": "no"})", QStringList("refused") + e.sent);
        // Of the right length, but it would end the header line and start another one.
        row(R"(/signin 200 {"token": "0123456789abcdef0123456789abcd\r\nX: 1", "userDto": {"id": 5}})",
            e.sent);
        row("never signed in", e.sent);
        row("trickled /signin", e.sent);
        row(R"(/api/device/checkFirmware 200 {"version": 12, "data": []})",
            e.chain.mid(0, 1) + e.sent);
        // Only the network error tells the firmware reader that the transfer failed.
        row(R"(/api/device/checkFirmware 503 {"version": 12, "data": [1]})",
            e.chain.mid(0, 1) + e.sent);
        row("large firmware", e.chain.mid(0, 1) + e.sent); // its length announced
        row("large packed firmware", e.chain.mid(0, 1) + e.sent); // only the bytes received tell
        row(R"(/api/orvane/checkUpdate 200 {"versionMajor": 7, "versionMinor": 4})",
            e.chain.mid(0, 2) + e.sent);
        row("/orvane 404 [1, 2]", e.fetched + e.sent);
        row("large application", e.fetched + e.sent);
        // Kept and offered only when it is the version offered, for this computer.
        row("application: a script", e.fetched + e.sent);
        row("application: another version", e.fetched + e.sent);
        row("application: package managed", e.chain + e.sent);
        row("password changed elsewhere", e.chain + e.sent);
        row("signed out", e.chain + e.sent);
    }

    void deviceConversation_data()
    {
        conversationColumns();
        const Signals e;
        row(R"(/api/device/pairDevice 200 [{"name": "BREVIA-7", "id": 5}, {"name": "BREVIA-7", "id": 101}])",
            e.chain + e.sent);
        // A match without a usable id gives no id: nothing may go out under device 0 or less.
        row(R"(/api/device/pairDevice 200 [{"name": "BREVIA-7", "id": "101"}])",
            e.chain + e.unpaired);
        row(R"(/api/device/pairDevice 200 [{"name": "BREVIA-7", "id": -101}])",
            e.chain + e.unpaired);
        row("large pairing", e.chain + e.unpaired);
        row("paired to another account",
            e.chain + QStringList({"pairedToOther", "unpaired BREVIA-7 UID-7"}) + e.notSent);
        row("forget while pairing", e.chain + e.notSent);
        row("/api/medical/vitals/save 201 true", e.chain + e.kept);
        row("/api/medical/vitals/save 500 true", e.chain + e.kept);
        row("service gone", e.chain + e.kept);
        row("slow upload", e.chain + e.kept);
        row("trickled /api/medical/vitals/save", e.chain + e.kept);
        row("another device shown", e.chain + e.kept);
        row("no such file", e.chain + e.kept);
        row("empty file", e.chain + e.kept);
        row("ragged file", e.chain + e.kept);
        row("link restarted", e.chain + e.sent);
    }

    void deviceConversation() { conversation(); }

    void conversation()
    {
        QFETCH(QString, change);
        QFETCH(QStringList, expected);
        standin::Scenario scenario;
        if (change.startsWith('/')) {
            const std::string path = change.section(' ', 0, 0).toStdString();
            scenario.statusOverrides[path] = change.section(' ', 1, 1).toInt();
            scenario.bodyOverrides[path] = change.section(' ', 2).toStdString();
        }
        if (change.startsWith("trickled")) // a byte every 600 ms: "true" takes 2.4 s
            scenario.tricklePaths[change.section(' ', 1).toStdString()] = 600;
        if (change.endsWith("firmware"))
            scenario.firmwareFBlocks = 200; // 51 KB of image, about 180 KB of JSON
        scenario.compressReplies = change != "large firmware";
        if (change == "large application" || change == "application: a script") {
            scenario.appFile.clear(); // a shell script
            scenario.appSize = change == "large application" ? 200 << 10 : 4096;
            scenario.chunkedPaths.insert("/orvane"); // 200 KiB: about 700 KB of JSON
        }
        if (change == "application: another version")
            scenario.appVersionMinor = 6; // the update sample answers "Orvane 7.5"
        if (change == "large pairing") // the match comes after the limit
            scenario.bodyOverrides["/api/device/pairDevice"] =
                "[" + std::string(100 << 10, ' ') + R"({"name": "BREVIA-7", "id": 101}])";
        scenario.pairedToOther = change == "paired to another account";
        scenario.uploadReplyDelayMs = change == "slow upload" ? 1500 : 0; // stored, answered late
        QVERIFY(standin.server().setScenario(scenario));
        const QString rev = applicationFilePath("rev.bin"), app = applicationFilePath("Orvane");
        // In a folder outside Latin-1: the name part goes as Latin-1, the file name as UTF-8.
        const QString session = applicationFilePath(sessionName);
        const QByteArray file = change == "empty file" ? QByteArray()
            : change == "ragged file"                  ? QByteArray(19, 1)
                                                       : sessionBytes(5, 9);
        QFile::remove(session);
        QDir().mkpath(QFileInfo(session).path());
        QVERIFY(writeFile(rev, oldImage) && writeFile(app, oldImage)
                && (change == "no such file" || writeFile(session, file)));

        QElapsedTimer clock;
        clock.start();
        Network *client = makeNetwork(change == "slow upload" ? 300 : 5000);
        client->setApplicationDownload(change != "application: package managed");
        if (change != "never signed in")
            client->sigIn(demoUser, demoPassword);
        QVERIFY(settle());
        client->pairDevice("BREVIA-7", "UID-7");
        if (change == "forget while pairing")
            client->forgetDevice();
        QVERIFY(settle());
        if (change == "another device shown")
            client->forgetDevice();
        if (change == "service gone") {
            client->findChild<QNetworkAccessManager *>()->clearConnectionCache();
            standin.stop();
        }
        if (change == "link restarted") { // neither the upload in flight nor a refusal reports
            QVERIFY(writeFile(applicationFilePath("1700000000900"), file));
            client->sendSession(applicationFilePath("1700000000900"), "1700000000900");
            client->sendSession(applicationFilePath("none"), "1");
            client->abandonSessionUploads();
        }
        QSignalSpy progress(client, &Network::sessionUploadProgress);
        client->sendSession(session, "1700000001000");
        QCOMPARE(events, expected.mid(0, expected.size() - 2)); // reported later, not in the call
        QVERIFY(
            QTest::qWaitFor([&] { return events.size() >= expected.size() && settle(); }, 10000));
        QVERIFY2(clock.elapsed() < 3 * deadlineMs, QByteArray::number(clock.elapsed()));
        QCOMPARE(events, expected);

        // Only an accepted sign-in keeps a token and the credentials; a refusal is remembered.
        const bool accepted = events.contains(signedIn), refused = events.contains("refused");
        QCOMPARE(stored("signedIn").toString(), accepted ? "true" : refused ? "false" : "");
        QCOMPARE(stored("encu").toByteArray() + stored("encp").toByteArray(),
                 accepted ? cloudcodec::encryptCredential(demoUser)
                         + cloudcodec::encryptCredential(demoPassword)
                          : QByteArray());
        const QString settings = client->settingsFilePath();
        QCOMPARE(mode(settings), accepted || refused ? ownerOnly : readableByOthers);
        secrets << client->currentToken();
        // Uploads go out only under this device's id; only a confirmed one deletes its file.
        const bool linked =
            events.contains("paired BREVIA-7 UID-7 101") && change != "another device shown";
        const bool leaves =
            linked && !file.isEmpty() && file.size() % 18 == 0 && change != "no such file";
        QCOMPARE(client->currentDeviceID(), linked ? 101 : 0);
        const bool confirmed = events.contains("sent true");
        QCOMPARE(readFile(session), confirmed || change == "no such file" ? QByteArray() : file);
        if (!standin.isRunning())
            return;
        const auto uploads = standin.server().storedUploads();
        QCOMPARE(uploads.size(), size_t(leaves));
        if (leaves)
            QCOMPARE(bytes(uploads[0].deviceId + ' ' + uploads[0].date + ' ' + uploads[0].bytes),
                     "101 1700000001000 " + file);
        // What the cloud sent, for its owner only, or what was there before.
        const auto records = standin.server().requests();
        const QVariant total = qlonglong(records.back().body.size()); // the reply's own progress
        QVERIFY(!confirmed || progress.contains({total, total}));
        QCOMPARE(sha256(readFile(rev)),
                 events.contains(firmware) ? bytes(records[1].replySha256) : sha256(oldImage));
        // The download that was proven, none after a refused one, the old file otherwise.
        const auto download = std::find_if(records.begin(), records.end(),
                                           [](const auto &r) { return r.path == "/orvane"; });
        const bool downloaded = download != records.end() && download->status == 200;
        const bool kept = downloaded && events.contains(offer);
        QCOMPARE(sha256(readFile(app)),
                 kept                                      ? bytes(download->replySha256)
                     : change.startsWith("application: a") ? sha256("")
                                                           : sha256(oldImage));
        if (change == "application: package managed") // told, and nothing fetched
            QVERIFY(download == records.end());
        QVERIFY(!events.contains(offer)
                || (client->offeredVersionMajor() == 7 && client->offeredVersionMinor() == 5));
        QVERIFY(!events.contains(firmware)
                || (mode(rev) == ownerOnly && mode(applicationFolderPath()) == ownerOnlyFolder));
        QCOMPARE(QDir(applicationFolderPath()).entryList({"*.part-*"}, QDir::Files), QStringList());
        QVERIFY(!kept || mode(app) == ownerOnly);
        // Every request but the sign-in carries the token of a successful sign-in, nothing else.
        for (const auto &record : records)
            QCOMPARE(q(record.tokenCheck),
                     accepted && record.path != "/signin" ? "match" : "absent");
        QCOMPARE(client->currentToken(), accepted ? q(standin.server().issuedToken()) : QString());

        // Signed out, nothing is left to decrypt; the next start signs in, asks again or does not.
        if (change == "signed out") {
            QFile::setPermissions(settings, QFile::Permissions(readableByOthers));
            const quint64 epoch = client->accountEpoch();
            client->pairDevice("BREVIA-7", "UID-7"); // answered after the sign-out
            client->signOut();
            QVERIFY(!stored("signedIn").toBool() && !stored("encu").isValid()
                    && !stored("encp").isValid());
            QCOMPARE(mode(settings), ownerOnly);
            // Nothing of the account stays, a pairing answer on its way is not taken, nothing goes.
            QVERIFY(client->currentToken().isEmpty() && client->currentUserID() == 0
                    && client->currentDeviceID() == 0 && client->pairedDeviceName().isEmpty()
                    && client->accountEpoch() != epoch);
            events.clear();
            const size_t before = standin.server().storedUploads().size();
            QVERIFY(writeFile(session, file));
            client->sendSession(session, "1700000002000");
            QVERIFY(QTest::qWaitFor([&] { return events.size() >= 2 && settle(); }, 10000));
            QCOMPARE(events, QStringList({"uploaded " + sessionName + " false", "sent false"}));
            QCOMPARE(client->currentDeviceID(), 0);
            QCOMPARE(standin.server().storedUploads().size(), before);
        }
        scenario.accounts = {
            {"demo", change == "password changed elsewhere" ? "changed-elsewhere" : "demo1234"}};
        QVERIFY(standin.server().setScenario(scenario));
        makeNetwork()->checkSignedInStatus();
        const QString again = change == "password changed elsewhere" ? "refused"
            : accepted && change != "signed out"                     ? signedIn
                                                                     : "notSignedIn";
        QTRY_COMPARE_WITH_TIMEOUT(events.mid(0, 1), QStringList(again), 10000);
        QCOMPARE(stored("signedIn").toBool(), again == signedIn);
    }

    void tlsVerificationStaysOn()
    {
        // A service with a CA nobody handed over is refused; a plain address is not tried.
        StandinFixture stranger;
        QTcpServer plain;
        QVERIFY(stranger.start() && plain.listen(QHostAddress::LocalHost));
        CloudEndpoint endpoint = stranger.endpoint();
        endpoint.extraCaCertificates = standin.caCertificates();
        for (const QString &url : {q(stranger.server().baseUrl()),
                                   QString("http://127.0.0.1:%1").arg(plain.serverPort())}) {
            endpoint.baseUrl = QUrl(url);
            makeNetwork(endpoint)->sigIn(demoUser, demoPassword);
            QVERIFY(settle());
            QVERIFY(events.isEmpty() && network->currentToken().isEmpty()
                    && stranger.server().requests().empty() && !plain.hasPendingConnections());
        }
        network.reset();
    }
};

ORVANE_TEST_MAIN(TestCloud)
#include "tst_cloud.moc"
