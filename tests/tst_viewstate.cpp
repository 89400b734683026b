// The window's look as a function of its state, without a window: each row is a state and
// the lines it must give for the widgets it names.
#include "testmain.h"

#include "ui/viewstate.h"

#include <QMap>

#include <functional>

using namespace windowview;

Q_DECLARE_METATYPE(windowview::ViewState)
Q_DECLARE_METATYPE(windowview::FirmwarePanel)

namespace {

const QString ble = QStringLiteral("K217-C8F09E4D21A7");

QString line(const char *name, const Shown &shown)
{
    QString text = QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(shown.visible);
    if (shown.text)
        text += QStringLiteral(" \"%1\"").arg(*shown.text);
    return text;
}

QString line(const char *name, const Bar &bar)
{
    QString text = QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(bar.visible);
    if (bar.format)
        text += QStringLiteral(" \"%1\"").arg(*bar.format);
    if (bar.maximum)
        text += QStringLiteral(" max %1").arg(*bar.maximum);
    if (bar.value)
        text += QStringLiteral(" value %1").arg(*bar.value);
    return text;
}

// One line per widget, keyed by its object name.
QMap<QString, QString> lookOf(const View &view)
{
    QMap<QString, QString> look;
    const auto add = [&look](const char *name, const auto &shown) {
        look.insert(QLatin1String(name), line(name, shown));
    };
    add("label_indicator", view.label_indicator);
    add("label_status", view.label_status);
    add("label_port_access", view.label_port_access);
    add("label_fw", view.label_fw);
    add("label_mac", view.label_mac);
    add("label_cloud_used", view.label_cloud_used);
    add("label_fw_main", view.label_fw_main);
    add("label_fw_version", view.label_fw_version);
    add("button_update", view.button_update);
    add("roundBarFW", view.roundBarFW);
    add("roundBarCloud", view.roundBarCloud);
    add("button_cloud_upload", view.button_cloud_upload);
    add("label_cloud_main", view.label_cloud_main);
    add("label_userName", view.label_userName);
    add("label_cloud_worning", view.label_cloud_worning);
    look.insert(QStringLiteral("wraps"), QStringLiteral("wraps %1").arg(view.warningWraps));
    add("lineEdit_user", view.lineEdit_user);
    add("lineEdit_pass", view.lineEdit_pass);
    add("button_signup", view.button_signup);
    add("button_signin", view.button_signin);
    return look;
}

DeviceInfo identified(int fwVersion, int memoryUsed)
{
    DeviceInfo device;
    device.connected = true;
    device.identified = true;
    device.fwVersion = fwVersion;
    device.nameBLE = ble;
    device.memoryUsed = memoryUsed;
    device.numberOfSessions = memoryUsed > 0 ? 2 : 0;
    device.memoryInfo = memoryUsed > 0 ? QStringLiteral("2 sessions with\n65 records")
                                       : QStringLiteral("No health data stored in the device");
    return device;
}

ViewState signedIn()
{
    ViewState state;
    state.userSignedIn = true;
    state.userName = QStringLiteral("demo");
    return state;
}

// Signed in, the firmware information in (1400), a device with data reported and paired:
// everything the upload needs.
ViewState readyToUpload()
{
    ViewState state = signedIn();
    state.firmwareFilePath = QStringLiteral("/home/u/orvane/rev.bin");
    state.latestFirmwareVersion = 1400;
    state.deviceReported = true;
    state.device = identified(1310, 40);
    state.pairedDevice = ble;
    state.firmwarePanel = FirmwarePanel::UpdateOffered;
    return state;
}

} // namespace

class TestViewState : public QObject
{
    Q_OBJECT

private slots:
    void look_data();
    void look();
    void firmwarePanelOfARefresh_data();
    void firmwarePanelOfARefresh();
    void portClosedToTheUser();
};

void TestViewState::look_data()
{
    QTest::addColumn<ViewState>("state");
    QTest::addColumn<QStringList>("expected");

    const QString prompt = QStringLiteral("Sign in to upload your\nhealth data to the cloud.");

    QTest::newRow("construction")
        << ViewState()
        << QStringList {
               "label_indicator 1",
               "label_status 1 \"Connect the <br> device\"",
               "label_port_access 0 \"\"",
               "label_fw 1 \"Firmware version:\"",
               "label_mac 1 \"BLE ID:\"",
               "label_cloud_used 1 \"\"",
               "label_fw_main 1 \"Sign in to check your device's firmware for update.\"",
               "label_fw_version 1",
               "button_update 0",
               "roundBarFW 0",
               "roundBarCloud 0 \"%p% of memory used\" max 100 value 0",
               "button_cloud_upload 0",
               "label_cloud_main 1 \"" + prompt + "\"",
               "label_userName 0",
               "label_cloud_worning 0",
               "lineEdit_user 1",
               "lineEdit_pass 1",
               "button_signup 1",
               "button_signin 1 \"Sign in\"",
           };

    QTest::newRow("signed in, firmware panel not refreshed yet")
        << signedIn()
        << QStringList {
               "label_fw_main 1 \"\"",
               "label_fw_version 1",
               "label_cloud_main 1 \"You are signed in as\"",
               "label_userName 1 \"demo\"",
               "lineEdit_user 0",
               "lineEdit_pass 0",
               "button_signup 0",
               "button_signin 1 \"Sign out\"",
           };

    {
        ViewState state;
        state.deviceReported = true;
        state.device = identified(0, 0);
        state.device.mode = QStringLiteral("BM");
        state.firmwarePanel = FirmwarePanel::Hidden;
        QTest::newRow("signed out, device without firmware version or data")
            << state
            << QStringList {
                   "label_indicator 0",
                   "label_status 0 \"Connect the <br> device\"",
                   "label_fw 1 \"Firmware version:   \"",
                   "label_mac 1 \"BLE ID:  K217-C8F09E4D21A7\"",
                   "label_cloud_used 1 \"No health data stored in the device\"",
                   "label_fw_main 0",
                   "label_fw_version 0",
                   "button_update 0",
                   "roundBarCloud 0 \"%p% of memory used\" max 100 value 0",
                   "button_cloud_upload 0",
               };
    }
    {
        ViewState state;
        state.deviceReported = true;
        state.device = identified(1310, 40);
        state.pairedDevice = ble;
        state.firmwarePanel = FirmwarePanel::Hidden;
        QTest::newRow("signed out, device with data: the bar, no upload")
            << state
            << QStringList {
                   "label_fw 1 \"Firmware version:   1310\"",
                   "roundBarCloud 1 \"%p% of memory used\" max 100 value 40",
                   "button_cloud_upload 0",
               };
    }
    {
        ViewState state = readyToUpload();
        state.device = DeviceInfo(); // unplugged: the link reports a cleared record
        QTest::newRow("device gone")
            << state
            << QStringList {
                   "label_indicator 1",
                   "label_status 1 \"Connect the <br> device\"",
                   "label_fw 1 \"Firmware version:   \"",
                   "label_mac 1 \"BLE ID:  \"",
                   "label_cloud_used 1 \"\"",
                   "roundBarCloud 0 \"%p% of memory used\" max 100 value 0",
                   "button_cloud_upload 0",
               };
    }
    QTest::newRow("ready to upload, update offered")
        << readyToUpload()
        << QStringList {
               "label_fw_main 1 \"There is an update for your Brevia device.\"",
               "label_fw_version 1 \"Latest firmware version available:1400\"",
               "button_update 1",
               "roundBarFW 0",
               "roundBarCloud 1 \"%p% of memory used\" max 100 value 40",
               "button_cloud_upload 1",
           };
    {
        ViewState state = readyToUpload();
        state.firmwarePanel = FirmwarePanel::UpToDate;
        QTest::newRow("up to date")
            << state
            << QStringList {
                   "label_fw_main 1 \"Your Brevia's firmware is up to date.\"",
                   "label_fw_version 1 \"Latest firmware version available:1400\"",
                   "button_update 0",
               };
    }
    {
        ViewState state = readyToUpload();
        state.firmwarePanel = FirmwarePanel::Flashing;
        QTest::newRow("flashing, before the first progress report")
            << state
            << QStringList {
                   "label_fw_main 1 \"Please don't disconnect your device. It will be ready in few "
                   "minutes.\"",
                   "label_fw_version 1 \"Latest firmware version available:1400\"",
                   "button_update 0",
                   "roundBarFW 0",
                   "button_cloud_upload 1", // offered: pressing it, the busy link says so
               };
        state.flashProgress = Progress {120, 480};
        QTest::newRow("flashing") << state
                                  << QStringList {
                                         "button_update 0",
                                         "roundBarFW 1 max 480 value 120",
                                     };
    }

    // The upload needs every one of its conditions.
    const auto withoutUpload = [](const char *name, const std::function<void(ViewState &)> &change,
                                  const QStringList &more = {}) {
        ViewState state = readyToUpload();
        change(state);
        QTest::newRow(name) << state << (QStringList {"button_cloud_upload 0"} + more);
    };
    withoutUpload("signed out", [](ViewState &s) { s.userSignedIn = false; });
    withoutUpload("no firmware information", [](ViewState &s) { s.firmwareFilePath.clear(); });
    withoutUpload("not paired", [](ViewState &s) { s.pairedDevice.clear(); });
    withoutUpload("another device paired",
                  [](ViewState &s) { s.pairedDevice = QStringLiteral("K217-000000000001"); });
    withoutUpload("nameless device, nothing paired", [](ViewState &s) {
        s.device.nameBLE.clear();
        s.pairedDevice.clear();
    });
    withoutUpload("not identified", [](ViewState &s) { s.device.identified = false; });
    withoutUpload("no data", [](ViewState &s) { s.device.memoryUsed = 0; },
                  {"roundBarCloud 0 \"%p% of memory used\" max 100 value 0"});
    withoutUpload("transfer started", [](ViewState &s) { s.transferRunning = true; },
                  {"roundBarCloud 1 \"\" max 100 value 40"});
    withoutUpload("transfer under way",
                  [](ViewState &s) {
                      s.transferRunning = true;
                      s.transferProgress = Progress {3, 9};
                  },
                  {"roundBarCloud 1 \"Syncing\" max 9 value 3"});

    {
        ViewState state = readyToUpload();
        state.transferRunning = true;
        state.transferProgress = Progress {64, 64};
        state.synchronized = true;
        state.device = identified(1310, 0); // the erase is on its way
        QTest::newRow("every session through")
            << state
            << QStringList {
                   "roundBarCloud 1 \"Syncing\" max 64 value 64",
                   "label_cloud_main 1 \"Health data synchronization\nis done!\"",
                   "label_cloud_worning 0",
               };
        state.transferRunning = false;
        state.transferProgress.reset();
        state.userSignedIn = false;
        QTest::newRow("signed out during a transfer that then came through")
            << state
            << QStringList {
                   "roundBarCloud 0 \"%p% of memory used\" max 100 value 0",
                   "label_cloud_main 1 \"Health data synchronization\nis done!\"",
                   "button_signin 1 \"Sign in\"",
               };
    }

    const auto warned = [](const char *name, CloudWarning warning, const QString &text,
                           bool wraps) {
        ViewState state = readyToUpload();
        state.warning = warning;
        state.transferFailure = QStringLiteral("The transfer stopped: the device stopped "
                                               "answering.");
        QTest::newRow(name) << state
                            << QStringList {"label_cloud_worning 1 \"" + text + "\"",
                                            QStringLiteral("wraps %1").arg(wraps)};
    };
    warned("refused sign-in", CloudWarning::WrongCredentials,
           QStringLiteral("Invalid username or password"), false);
    warned("empty fields", CloudWarning::FillInTheLines,
           QStringLiteral("Please fill in the lines."), false);
    warned("pairing failed", CloudWarning::PairingFailed,
           QStringLiteral("Your Brevia could not be registered with your account, so its data "
                          "cannot be uploaded yet. Orvane tries again when the device is "
                          "connected next time."),
           true);
    warned("upload failed", CloudWarning::UploadFailed,
           QStringLiteral("The upload did not go through.\nYour health data is still on\nthe "
                          "device: nothing was lost."),
           true);
    warned("transfer failed", CloudWarning::TransferFailed,
           QStringLiteral("The transfer stopped: the device stopped answering."), true);
}

void TestViewState::look()
{
    QFETCH(ViewState, state);
    QFETCH(QStringList, expected);

    const QMap<QString, QString> look = lookOf(viewFor(state));
    for (const QString &want : qAsConst(expected)) {
        const QString name = want.section(QLatin1Char(' '), 0, 0);
        QVERIFY2(look.contains(name), qPrintable(name));
        QCOMPARE(look.value(name), want);
    }
}

void TestViewState::firmwarePanelOfARefresh_data()
{
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<bool>("firmwareKnown");
    QTest::addColumn<bool>("identified");
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<FirmwarePanel>("panel");

    QTest::newRow("cloud newer") << true << true << true << 1310 << FirmwarePanel::UpdateOffered;
    QTest::newRow("cloud older") << true << true << true << 1500 << FirmwarePanel::UpdateOffered;
    QTest::newRow("no version read") << true << true << true << 0 << FirmwarePanel::UpdateOffered;
    QTest::newRow("equal") << true << true << true << 1400 << FirmwarePanel::UpToDate;
    QTest::newRow("signed out") << false << true << true << 1310 << FirmwarePanel::Hidden;
    QTest::newRow("no firmware information")
        << true << false << true << 1310 << FirmwarePanel::Hidden;
    QTest::newRow("device not identified")
        << true << true << false << 1310 << FirmwarePanel::Hidden;
}

void TestViewState::firmwarePanelOfARefresh()
{
    QFETCH(bool, signedIn);
    QFETCH(bool, firmwareKnown);
    QFETCH(bool, identified);
    QFETCH(int, deviceVersion);
    QFETCH(FirmwarePanel, panel);

    ViewState state;
    state.userSignedIn = signedIn;
    state.latestFirmwareVersion = 1400;
    state.firmwareFilePath = firmwareKnown ? QStringLiteral("/home/u/orvane/rev.bin") : QString();
    DeviceInfo device;
    device.connected = true;
    device.identified = identified;
    device.fwVersion = deviceVersion;
    QCOMPARE(firmwarePanelFor(state, device), panel);
}

// The notice stands in for the waiting animation and names the port as text: a port name
// is not markup.
void TestViewState::portClosedToTheUser()
{
    ViewState state;
    state.deviceReported = true;
    state.refusedPort = QStringLiteral("/dev/ttyUSB<b>0</b>");
    const View view = viewFor(state);
    QVERIFY(!view.label_indicator.visible);
    QVERIFY(!view.label_status.visible);
    QVERIFY(view.label_port_access.visible);
    const QString notice = view.label_port_access.text.value_or(QString());
    QVERIFY2(notice.contains(QLatin1String("/dev/ttyUSB&lt;b&gt;0&lt;/b&gt;")), qPrintable(notice));
    QVERIFY2(!notice.contains(QLatin1String("<b>0</b>")), qPrintable(notice));

    // The port opens, or goes: waiting for the device again, the notice emptied.
    state.refusedPort.clear();
    const View after = viewFor(state);
    QVERIFY(after.label_indicator.visible);
    QVERIFY(after.label_status.visible);
    QVERIFY(!after.label_port_access.visible);
    QCOMPARE(after.label_port_access.text, std::optional<QString>(QString()));
}

ORVANE_TEST_MAIN(TestViewState)
#include "tst_viewstate.moc"
