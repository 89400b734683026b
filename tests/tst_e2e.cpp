// End to end: Orvane's window in this process, the cloud stand-in and the emulated Brevia as
// programs of their own, found through the application's own port list and HTTPS with its CA.
#include "device/portlister.h"
#include "toolprocess.h"
#include "windowrig.h"

using namespace testsupport;

namespace {

const QString userName = QStringLiteral("ana.lima@example.com");
const QString password = QStringLiteral("Kx9!vault-2024");
constexpr int stepMs = 45000; // a sanitizer build on a busy machine; a healthy run needs little

} // namespace

class Processes : public WindowDriver
{
public:
    ~Processes() { window.reset(); }

    bool start(const QStringList &cloudOptions, const QStringList &deviceOptions)
    {
        if (!cloud.start(builtProgram(QStringLiteral("tools/cloud-standin/cloud-standin")),
                         QStringList {"--certs", path("certs"), "--data", path("cloud"), "--log",
                                      path("requests.jsonl"), "--quiet", "--account",
                                      userName + ':' + password}
                             + cloudOptions))
            return false;
        const QString prefix = QStringLiteral("cloud-standin listening on ");
        endpoint.baseUrl = QUrl(cloud.waitForLine(prefix, stepMs).mid(prefix.size()).trimmed());
        endpoint.extraCaCertificates = QSslCertificate::fromPath(path("certs/ca.pem"));
        const QString link = path("brevia");
        if (!endpoint.baseUrl.isValid() || endpoint.extraCaCertificates.isEmpty()
            || !device.start(builtProgram(QStringLiteral("tools/device-emulator/brevia-emulator")),
                             QStringList {"--link", link, "--log", path("device.jsonl"),
                                          "--dump-dir", path("device")}
                                 + deviceOptions)
            || device.waitForLine(link, stepMs).isEmpty())
            return false;
        return open(endpoint, [link] { return systemPorts(link); }) != nullptr;
    }
    bool signIn()
    {
        typeAndSignIn(userName, password);
        return QTest::qWaitFor([&] { return text("label_userName") == userName; }, stepMs);
    }
    QString path(const QString &name) const { return work.filePath(name); }
    // How often the device log holds an event ("erase", "image", "restart", "violation").
    int events(const QString &kind) const
    {
        return readFile(path("device.jsonl")).count("\"event\":\"" + kind.toUtf8() + '"');
    }
    int stored() const { return QDir(path("cloud/sessions")).entryList(QDir::Files).size(); }
    int requests(const QByteArray &what) const
    {
        return readFile(path("requests.jsonl")).count(what);
    }
    // Both programs end cleanly and neither flagged anything.
    QString finish()
    {
        window.reset();
        QStringList problems;
        if (!device.stop())
            problems << device.errorString();
        if (!cloud.stop())
            problems << cloud.errorString();
        if (events(QStringLiteral("violation")) > 0)
            problems << QStringLiteral("the device saw a protocol violation");
        for (const QByteArray &line : readFile(path("requests.jsonl")).split('\n')) {
            const int at = line.indexOf("\"violations\":[\"");
            if (at >= 0)
                problems << QStringLiteral("the cloud saw: ")
                        + QString::fromUtf8(line.mid(at, 300));
        }
        return problems.join(QLatin1Char('\n'));
    }

    QTemporaryDir work {QDir::tempPath() + QStringLiteral("/orvane-e2e-XXXXXX")};
    CloudEndpoint endpoint;
    ToolProcess cloud {QStringLiteral("cloud-standin")};
    ToolProcess device {QStringLiteral("brevia-emulator")};
    MessageBoxAnswerer boxes;
};

class TestE2e : public QObject
{
    Q_OBJECT

private slots:
    void synchronizationThenFirmware();
};

// Every session uploaded as the device's own bytes and the device erased once, only after the
// last upload was stored; then the cloud's firmware flashed and its version reported.
void TestE2e::synchronizationThenFirmware()
{
    Processes rig;
    QByteArray image(4 + 24 * 256 + 64 * 64, '\0');
    image[1] = 24; // 24 F blocks, then C blocks
    for (int i = 4; i < image.size(); ++i)
        image[i] = char(QRandomGenerator::global()->bounded(256));
    const QString imagePath = rig.path("firmware.bin");
    QVERIFY(writeFile(imagePath, image));
    const QStringList sessions {"--session", "1764921600:300@1a00",
                                "--session", "1765008000:420@3000",
                                "--session", "1765094400:630@6000"};
    QVERIFY2(rig.start({"--fw-version", "1320", "--fw-image", imagePath, "--upload-delay-ms",
                        "1000", "--no-update"},
                       QStringList {"--fw", "1310", "--new-fw", "1320"} + sessions),
             qPrintable(rig.cloud.errorString() + rig.device.errorString()));
    QVERIFY(rig.waitForDevicePanel(stepMs));
    QVERIFY(rig.text("label_cloud_used").startsWith(QLatin1String("3 sessions with")));
    QVERIFY(rig.signIn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), stepMs); // paired first
    rig.button("button_cloud_upload")->click();

    // Every upload is stored at once and answered a second later: no erase before the answer.
    QTRY_COMPARE_WITH_TIMEOUT(rig.stored(), 3, stepMs);
    QCOMPARE(rig.events("erase"), 0);
    int storedAtErase = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            storedAtErase = rig.stored();
            return rig.events("erase") > 0;
        },
        stepMs));
    QCOMPARE(storedAtErase, 3);
    QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_cloud_main"), syncDoneText, stepMs);
    for (const char *name : {"1764921600000", "1765008000000", "1765094400000"}) {
        const QByteArray expected = readFile(rig.path(QStringLiteral("device/") + name));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(readFile(rig.path(QStringLiteral("cloud/sessions/") + name)), expected);
        QVERIFY(!QFile::exists(applicationFilePath(name))); // confirmed: the copy is gone
    }

    // Restarted erased, identified and paired afresh; then the firmware, with nothing to lose.
    QTRY_VERIFY_WITH_TIMEOUT(rig.requests("\"path\":\"/api/device/pairDevice\"") == 3, stepMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_update"), stepMs);
    QCOMPARE(readFile(applicationFilePath("rev.bin")), image);
    rig.button("button_update")->click();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(rig.path("device/flashed.bin")), stepMs);
    QCOMPARE(readFile(rig.path("device/flashed.bin")), image.mid(4));
    QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_fw"), QStringLiteral("Firmware version:   1320"),
                              stepMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig.requests("newVersion\\\": 1320") == 1, stepMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_fw_main"),
                              QStringLiteral("Your Brevia's firmware is up to date."), stepMs);
    // Identified again while signed in: its pairing is answered before the window goes.
    QTRY_VERIFY_WITH_TIMEOUT(rig.requests("\"path\":\"/api/device/pairDevice\"") == 4, stepMs);
    QCOMPARE(rig.events("erase"), 1);
    QCOMPARE(rig.events("image"), 1);
    QCOMPARE(rig.boxes.count(), 0);
    const QString problems = rig.finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
}

ORVANE_GUI_TEST_MAIN(TestE2e)
#include "tst_e2e.moc"
