// The main window's firmware panel with the real device link on an emulated Brevia and the
// real cloud client against the stand-in: the update offer, the flashing and what is reported
// after it, and the unsupported device.
#include "windowrig.h"

using namespace testsupport;

class TestMainWindowFirmware : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firmwarePanel_data();
    void firmwarePanel();
    void flashing_data();
    void flashing();
    void updateRefusedDuringTransfer();
    void unsupportedDeviceWarnsOnce();

private:
    StandinFixture cloud;
};

void TestMainWindowFirmware::initTestCase()
{
    QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
}

void TestMainWindowFirmware::init()
{
    forgetUserState();
    QVERIFY(cloud.server().setScenario(quietCloud()));
    cloud.server().clearRecords();
}

void TestMainWindowFirmware::cleanup()
{
    const auto violations = cloud.server().violations();
    QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
}

void TestMainWindowFirmware::firmwarePanel_data()
{
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<int>("cloudVersion");
    QTest::addColumn<bool>("offered");

    QTest::newRow("cloud newer") << 1310 << 1400 << true;
    QTest::newRow("cloud older") << 1400 << 1310 << true;
    QTest::newRow("equal") << 1310 << 1310 << false;
}

void TestMainWindowFirmware::firmwarePanel()
{
    QFETCH(int, deviceVersion);
    QFETCH(int, cloudVersion);
    QFETCH(bool, offered);

    standin::Scenario scenario = quietCloud();
    scenario.firmwareVersion = cloudVersion;
    QVERIFY(cloud.server().setScenario(scenario));

    WindowRig rig(cloud, breviaWith(0, deviceVersion));
    rig.open();
    QVERIFY(rig.signIn());
    // Signed in, no device yet: nothing offered.
    QVERIFY(!rig.shown("label_fw_main"));
    QVERIFY(!rig.shown("button_update"));

    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QCOMPARE(rig.label("label_fw_main")->text(),
             offered ? QStringLiteral("There is an update for your Brevia device.")
                     : QStringLiteral("Your Brevia's firmware is up to date."));
    QCOMPARE(rig.label("label_fw_version")->text(),
             QStringLiteral("Latest firmware version available:%1").arg(cloudVersion));
    QVERIFY(rig.shown("label_fw_main"));
    QVERIFY(rig.shown("label_fw_version"));
    QCOMPARE(rig.shown("button_update"), offered);
    // No data on the device: neither bar nor upload button.
    QVERIFY(!rig.shown("roundBarCloud"));
    QVERIFY(!rig.shown("button_cloud_upload"));
    // Identified after sign-in and firmware information: paired at once.
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 1,
                              10000);
}

void TestMainWindowFirmware::flashing_data()
{
    QTest::addColumn<int>("sessions");
    QTest::newRow("sessions on the device: asks first") << 2;
    QTest::newRow("no sessions: flashes at once") << 0;
}

void TestMainWindowFirmware::flashing()
{
    QFETCH(int, sessions);

    brevia::Scenario scenario = breviaWith(sessions);
    scenario.newFirmwareVersion = 1400;
    WindowRig rig(cloud, scenario);
    MessageBoxAnswerer boxes;
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    // The upload is offered once the device's pairing has answered.
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.shown("button_update") && rig.shown("button_cloud_upload") == (sessions > 0), 10000);
    const QString offer = QStringLiteral("There is an update for your Brevia device.");
    QCOMPARE(rig.label("label_fw_main")->text(), offer);

    if (sessions > 0) {
        boxes.queue(QMessageBox::Cancel);
        rig.button("button_update")->click();
        QCOMPARE(boxes.count(), 1);
        const SeenMessageBox question = boxes.last();
        QCOMPARE(question.icon, QMessageBox::Warning);
        QCOMPARE(question.text,
                 QStringLiteral("There is unsaved data on your device, that will be lost during "
                                "the update."));
        QCOMPARE(question.informativeText, QStringLiteral("Do you want to proceed?"));
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::Cancel);
        QVERIFY(!question.hasParent);
        QVERIFY(question.applicationModal);
        // Cancel: nothing changes, nothing reaches the device.
        QCOMPARE(rig.label("label_fw_main")->text(), offer);
        QVERIFY(rig.shown("button_update"));
        QCOMPARE(rig.device.count("BTR\n"), 0);
        boxes.queue(QMessageBox::Yes);
    }

    bool barSeen = false;
    bool barWithinRange = true;
    QTimer barWatch;
    connect(&barWatch, &QTimer::timeout, this, [&] {
        RoundProgressBar *bar = rig.bar("roundBarFW");
        if (rig.shown("roundBarFW") && bar->value() > 0) {
            barSeen = true;
            barWithinRange = barWithinRange && bar->value() <= bar->maximum();
        }
    });
    barWatch.start(0);
    rig.button("button_update")->click();
    QCOMPARE(boxes.count(), sessions > 0 ? 2 : 0);
    QCOMPARE(rig.label("label_fw_main")->text(),
             QStringLiteral("Please don't disconnect your device. It will be ready in few "
                            "minutes."));
    QVERIFY(!rig.shown("button_update"));

    if (sessions > 0) {
        // The link is busy flashing: the transfer is refused with a warning, nothing else.
        QVERIFY(rig.shown("button_cloud_upload"));
        rig.button("button_cloud_upload")->click();
        QCOMPARE(boxes.count(), 3);
        QCOMPARE(boxes.last().icon, QMessageBox::Warning);
        QCOMPARE(boxes.last().text, QStringLiteral("The device is busy on other process."));
        QCOMPARE(boxes.last().informativeText, QStringLiteral("Please try later!"));
        QCOMPARE(boxes.last().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(rig.shown("button_cloud_upload"));
        QCOMPARE(rig.bar("roundBarCloud")->format(), QStringLiteral("%p% of memory used"));
    }

    // The bar follows the flashing (looked at on every turn of the event loop: a short
    // flashing shows it only briefly).
    QTRY_VERIFY_WITH_TIMEOUT(barSeen, 10000);
    QVERIFY(barWithinRange);
    QCOMPARE(rig.bar("roundBarFW")->format(), QString());

    // The cloud learns the version that was flashed, not the one the device had before.
    QTRY_VERIFY_WITH_TIMEOUT(
        cloud.server().reportedFirmwareVersions().count(bleName.toStdString()) == 1, 15000);
    QCOMPARE(cloud.server().reportedFirmwareVersions().at(bleName.toStdString()), 1400);

    // Found again with the new version: up to date, the bar gone.
    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_fw_main")->text(),
                              QStringLiteral("Your Brevia's firmware is up to date."), 15000);
    QVERIFY(!rig.shown("roundBarFW"));
    QVERIFY(!rig.shown("button_update"));
    QCOMPARE(rig.label("label_fw")->text(), QStringLiteral("Firmware version:   1400"));
    QCOMPARE(rig.device.device.imagesReceived(), 1);
    // Identified again while signed in: paired again.
    QVERIFY(rig.waitForPairings(2));
}

void TestMainWindowFirmware::updateRefusedDuringTransfer()
{
    WindowRig rig(cloud, breviaWith(2));
    MessageBoxAnswerer boxes;
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_update") && rig.shown("button_cloud_upload"), 10000);
    // Pages at 9600 baud: the transfer lasts a few seconds.
    rig.device.device.adjust([](brevia::Scenario &s) { s.baud = 9600; });
    rig.button("button_cloud_upload")->click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.bar("roundBarCloud")->format(), QStringLiteral("Syncing"), 10000);

    // "Update" in the middle of the transfer: the data-loss question, then the link refuses
    // and the window says so and puts the panel back.
    boxes.queue(QMessageBox::Yes);
    boxes.queue(QMessageBox::Ok);
    rig.button("button_update")->click();
    QCOMPARE(boxes.count(), 2);
    QCOMPARE(boxes.last().icon, QMessageBox::Warning);
    QCOMPARE(boxes.last().text, QStringLiteral("The device is busy on other process."));
    QCOMPARE(boxes.last().informativeText, QStringLiteral("Please try later!"));
    QCOMPARE(rig.label("label_fw_main")->text(),
             QStringLiteral("There is an update for your Brevia device."));
    QVERIFY(rig.shown("button_update"));

    // The transfer ends as it should: one erase, one restart, nothing flashed.
    QTRY_COMPARE_WITH_TIMEOUT(rig.device.device.restartCount(), 1, 20000);
    QCOMPARE(rig.device.device.eraseCount(), 1);
    QCOMPARE(rig.device.device.imagesReceived(), 0);
    QCOMPARE(rig.device.count("BTR\n"), 1); // the transfer's own opening command
    QVERIFY(rig.device.device.violations().empty());
}

void TestMainWindowFirmware::unsupportedDeviceWarnsOnce()
{
    WindowRig rig(cloud, breviaWith(2, 1200));
    MessageBoxAnswerer boxes;
    boxes.queue(QMessageBox::Ok);
    QVERIFY(rig.startDevice());
    rig.open();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, 10000);
    const SeenMessageBox box = boxes.last();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.text, QStringLiteral("The connected device is not supported."));
    QCOMPARE(box.informativeText, QStringLiteral("Please contact support."));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.pressed, QMessageBox::Ok);
    QVERIFY(!box.hasParent);

    // The device panel is not refreshed by it, and the warning does not come back while
    // the device stays connected.
    QTest::qWait(2500);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(rig.label("label_fw")->text(), QStringLiteral("Firmware version:"));
    QVERIFY(rig.shown("label_indicator"));
    QVERIFY(!rig.shown("roundBarCloud"));
}

ORVANE_GUI_TEST_MAIN(TestMainWindowFirmware)
#include "tst_mainwindow_firmware.moc"
