// The tools' own checks: the product's suites trust "no violations" only while these catch faults.
#include "brevia/devicemodel.h"
#include "standinfixture.h"
#include "toolprocess.h"

#include <QtNetwork>

static const QByteArray signIn =
    "{\n    \"nickNameOrEmail\": \"demo\",\n    \"password\": \"demo1234\",\n"
    "    \"platform\": \"DESKTOP\"\n}\n";

class TestTools : public QObject
{
    Q_OBJECT

    testsupport::StandinFixture cloud;
    QNetworkAccessManager client;

    bool send(const QString &path, const QByteArray &body, const QByteArray &type, bool token)
    {
        QNetworkRequest request(QUrl(QString::fromStdString(cloud.server().baseUrl()) + path));
        QSslConfiguration ssl = request.sslConfiguration();
        ssl.setCaCertificates(cloud.caCertificates());
        request.setSslConfiguration(ssl);
        request.setRawHeader("Content-Type", type);
        if (token)
            request.setRawHeader("token", QByteArray::fromStdString(cloud.server().issuedToken()));
        std::unique_ptr<QNetworkReply> reply(client.post(request, body));
        return QTest::qWaitFor([&] { return reply->isFinished(); }, 20000);
    }

private slots:
    void initTestCase()
    {
        standin::Scenario scenario;
        scenario.devices = {{"Brevia-7F", 101, "U"}};
        QVERIFY2(cloud.start(scenario), qPrintable(cloud.errorString()));
        QVERIFY(send("/signin", signIn, "application/json", false)); // the token the rows carry
    }

    void emulatorFlagsViolations_data()
    {
        QTest::addColumn<QByteArray>("input"); // "BTR\n" switches to boot mode
        QTest::addColumn<QByteArray>("violation"); // empty: none
        const auto row = [](const char *name, const QByteArray &input, const char *violation) {
            QTest::newRow(name) << input << QByteArray(violation);
        };
        const auto line = [](const char *head, int digits, char digit = 'A') {
            return head + QByteArray(digits, digit) + '\n';
        };
        const QByteArray bm = "BTR\n", f0 = line("F0000", 512), f1 = line("F0001", 512);
        row("all well in WM", "ATN?\nATD0\nATI3\nATA?\nR00001A00\nATW 02/29/24 23:59:59\n", "");
        row("all well in BM", bm + "ATN?\nATD0\nI\nD\n" + f0 + f1 + "D\n" + line("C0000", 128), "");
        row("erase in WM", "E000FF000\n", "");
        row("erase, wrong address", "E000FF001\n", "unknown command \"E000FF001\\n\" in WM");
        row("erase, lower case", bm + "e000ff000\n", "unknown command \"e000ff000\\n\" in BM");
        row("erase, carriage return", "E000FF000\r\n", "carriage return");
        row("bad read address", "R00001a00\n", "needs 8 upper-case hexadecimal digits");
        row("impossible date", "ATW 02/29/23 12:00:00\n", "is not \"ATW MM/dd/yy HH:mm:ss\"");
        row("boot command in WM", "D\n", "boot-mode command \"D\\n\" in working mode");
        row("over-long line", QByteArray(5000, 'X') + "\nATN?\n", "more than 4096 bytes");
        row("skipped F index", bm + "D\n" + f1, "F line 1 where 0 was due");
        row("lower-case payload", bm + line("F0000", 512, 'a'), "payload is not upper-case");
        row("payload one digit short", bm + line("F0000", 511), "F line of 516 characters");
        row("padded five-digit index", bm + line("F00000", 512), "leading zero");
        row("F after the separator", bm + f0 + "D\n" + f1, "F line 1 after the separator");
        row("C before the separator", bm + f0 + line("C0000", 128), "before the separator");
        row("skipped C index", bm + f0 + "D\n" + line("C0001", 128), "C line 1 where 0 was due");
    }

    void emulatorFlagsViolations()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, violation);
        brevia::DeviceModel device {brevia::Scenario()};
        device.receive(input.toStdString(), brevia::TimePoint {});
        QByteArray replies;
        for (const auto &chunk : device.takeDue(brevia::TimePoint {} + std::chrono::minutes(1)))
            replies += QByteArray::fromStdString(chunk.bytes);
        const auto found = device.violations();
        QCOMPARE(found.size(), size_t(violation.isEmpty() ? 0 : 1));
        if (!found.empty())
            QVERIFY2(QByteArray::fromStdString(found[0]).contains(violation), found[0].c_str());
        QCOMPARE(replies.count("ERROR"), int(found.size())); // never answered as if taken
        // Only the exact erase command erases.
        QCOMPARE(device.eraseCount(), int(violation.isEmpty() && input.endsWith("E000FF000\n")));
    }

    void standinFlagsViolations_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("token");
        QTest::addColumn<QString>("violation"); // empty: none
        const auto row = [](const char *name, const char *path, const QByteArray &body,
                            const char *type, bool token, const char *violation) {
            QTest::newRow(name) << QString(path) << body << QByteArray(type) << token << violation;
        };
        const auto form = [](const QByteArray &file) { // as the app's multipart writer lays it out
            const QByteArray part = "--XyZ\r\nContent-Disposition: form-data; name=";
            return part + "\"name\"\r\n\r\n/u/1700000000000\r\n" + part
                + "\"file\"; filename=\"/u/1700000000000\"\r\n\r\n" + file + "\r\n--XyZ--\r\n";
        };
        const char *report = "/api/device/updateFirmwareVersion", *json = "application/json";
        const char *save = "/api/medical/vitals/save?deviceID=101&date=1700000000000";
        const char *multipart = "multipart/form-data; boundary=XyZ";
        const QByteArray version = "{\n    \"deviceName\": \"B\",\n    \"newVersion\": 12\n}\n";
        row("sign-in as the app sends it", "/signin", signIn, json, false, "");
        row("request as the app sends it", report, version, json, true, "");
        row("upload as the app sends it", save, form(QByteArray(36, '\0')), multipart, true, "");
        row("missing token", report, version, json, false, "the \"token\" header is missing");
        row("wrong content type", report, version, "text/plain", true, "is \"text/plain\"");
        row("not Qt's layout", "/signin", signIn.simplified(), json, false, "not Qt's indented");
        row("not JSON", "/signin", signIn.left(50) + "Guess-99", json, false, "not valid JSON");
        row("partial record", save, form(QByteArray(35, '\0')), multipart, true, "18-byte records");
    }

    void standinFlagsViolations()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, type);
        QFETCH(bool, token);
        QFETCH(QString, violation);
        cloud.server().clearRecords();
        QVERIFY(send(path, body, type, token));
        QCOMPARE(cloud.server().requests().size(), size_t(1));
        const auto found = cloud.server().violations();
        QCOMPARE(found.size(), size_t(violation.isEmpty() ? 0 : 1));
        if (!found.empty())
            QVERIFY2(QString::fromStdString(found[0].text).contains(violation),
                     found[0].text.c_str());
    }

    void standinLogHoldsNoSecrets() // runs after the table, so its sign-ins are in the log
    {
        const QByteArray log =
            testsupport::readFile(QString::fromStdString(cloud.server().logPath()));
        QByteArray bodies;
        for (const QByteArray &record : log.trimmed().split('\n'))
            bodies += QByteArray::fromBase64(
                QJsonDocument::fromJson(record)["bodyBase64"].toString().toLatin1());
        QVERIFY(bodies.contains("\"password\": \"***\""));
        const QByteArray token = QByteArray::fromStdString(cloud.server().issuedToken());
        for (const QByteArray &secret : {token, QByteArray("demo1234"), QByteArray("Guess-99")})
            QVERIFY2(!log.contains(secret) && !bodies.contains(secret), secret.constData());
    }

    void commandLineErrors_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("error");
        const auto row = [](const QString &command, const char *error) {
            QTest::newRow(qPrintable(command.left(64))) << command << QString(error);
        };
        row("brevia-emulator --frob", "unknown option \"--frob\"");
        row("brevia-emulator --baud fast", "--baud wants a whole number");
        row("brevia-emulator --session 1:30 --session 2:22@1B00", "overlaps");
        row("brevia-emulator" + QString(" --session empty").repeated(42), "at most 41");
        row("brevia-emulator --ble c8f09e4d21a7", "BLE identifier must be");
        row("cloud-standin --bogus", "unknown option --bogus");
        row("cloud-standin --data d", "--certs DIR is required");
        row("cloud-standin --certs c --data d --port 70000", "from 0 to 65535");
        row("cloud-standin --certs c --data d --fw-blocks 1,1 --fw-image x", "exclude each other");
        row("cloud-standin --certs c --data d --fw-blocks 100000000,0", "firmware blocks must be");
    }

    void commandLineErrors()
    {
        QFETCH(QString, command);
        QFETCH(QString, error);
        QStringList arguments = command.split(' ');
        const QString program = arguments.takeFirst();
        const QString folder = program == "cloud-standin" ? program : "device-emulator";
        QProcess process;
        process.start(testsupport::builtProgram("tools/" + folder + "/" + program), arguments);
        QVERIFY2(process.waitForFinished(10000), qPrintable(program));
        QCOMPARE(process.exitCode(), 2);
        const QString text = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(text.startsWith(program + ": ") && text.contains(error), qPrintable(text));
    }
};

ORVANE_TEST_MAIN(TestTools)
#include "tst_tools.moc"
