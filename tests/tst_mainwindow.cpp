// The main window with the real device link on an emulated Brevia and the real cloud client
// against the stand-in: its look, the sign-in form, the device panel and when a device is
// paired.
#include "windowrig.h"

#include <QDesktopServices>
#include <QImageReader>
#include <QMovie>
#include <QUrl>

using namespace testsupport;

Q_DECLARE_METATYPE(brevia::Scenario)

namespace {

// Visibility and text of every widget the flows change, to compare two looks.
QStringList lookOf(const WindowRig &rig)
{
    QStringList look;
    for (const char *name : {"label_fw", "label_mac", "label_cloud_used", "label_indicator",
                             "label_status", "label_fw_main", "label_fw_version",
                             "label_cloud_main", "label_userName", "label_cloud_worning"}) {
        look << QStringLiteral("%1 %2 %3")
                    .arg(QLatin1String(name))
                    .arg(rig.shown(name))
                    .arg(rig.label(name)->text());
    }
    for (const char *name :
         {"button_update", "button_cloud_upload", "button_signup", "button_signin"}) {
        look << QStringLiteral("%1 %2 %3")
                    .arg(QLatin1String(name))
                    .arg(rig.shown(name))
                    .arg(rig.button(name)->text());
    }
    for (const char *name : {"lineEdit_user", "lineEdit_pass", "roundBarFW", "roundBarCloud"})
        look << QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(rig.shown(name));
    return look;
}

class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lookAfterConstruction();
    void imagesAtTwiceTheirShownSize_data();
    void imagesAtTwiceTheirShownSize();
    void signInForm_data();
    void signInForm();
    void signUpOpensTheLoginPage();
    void signInAndOutWithDeviceData();
    void devicePanel_data();
    void devicePanel();
    void pairingWaitsForSignInAndFirmware();
    void signInAgainWaitsForItsOwnPairing();

private:
    StandinFixture cloud;
};

void TestMainWindow::initTestCase()
{
    QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
}

void TestMainWindow::init()
{
    forgetUserState();
    QVERIFY(cloud.server().setScenario(quietCloud()));
    cloud.server().clearRecords();
}

void TestMainWindow::cleanup()
{
    const auto violations = cloud.server().violations();
    QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
}

void TestMainWindow::lookAfterConstruction()
{
    WindowRig rig(cloud, brevia::Scenario());
    // No device: the emulator is never started, so the scan finds nothing.
    MainWindow *window = rig.open();

    QCOMPARE(window->windowTitle(), QStringLiteral("Orvane 7.4"));
    QCOMPARE(window->minimumSize(), QSize(790, 490));
    QCOMPARE(window->maximumSize(), QSize(790, 490));
    QCOMPARE(rig.w("widget_1")->geometry(), QRect(10, 10, 241, 465));
    QCOMPARE(rig.w("widget_2")->geometry(), QRect(269, 10, 251, 465));
    QCOMPARE(rig.w("widget_3")->geometry(), QRect(522, 10, 251, 465));

    const QStringList expected {
        "label_fw 1 Firmware version:",
        "label_mac 1 BLE ID:",
        "label_cloud_used 1 ",
        "label_indicator 1 ",
        "label_status 1 Connect the <br> device",
        "label_fw_main 1 Sign in to check your device's firmware for update.",
        "label_fw_version 1 ",
        "label_cloud_main 1 Sign in to upload your\nhealth data to the cloud.",
        "label_userName 0 Test",
        "label_cloud_worning 0 Wrong username or password",
        "button_update 0 Update",
        "button_cloud_upload 0 Upload to cloud",
        "button_signup 1 Sign up",
        "button_signin 1 Sign in",
        "lineEdit_user 1",
        "lineEdit_pass 1",
        "roundBarFW 0",
        "roundBarCloud 0",
    };
    QCOMPARE(lookOf(rig), expected);

    QMovie *movie = rig.label("label_indicator")->movie();
    QVERIFY(movie);
    QVERIFY2(movie->isValid(), "the waiting animation is not in the resources");
    QCOMPARE(movie->state(), QMovie::Running);
    QCOMPARE(movie->speed(), 70);
    for (const char *image : {":/resources/scan.png", ":/resources/Kestrane Technologies.png"})
        QVERIFY2(!QImage(QLatin1String(image)).isNull(), image);

    RoundProgressBar *cloudBar = rig.bar("roundBarCloud");
    QCOMPARE(cloudBar->maximum(), 100.0);
    QCOMPARE(cloudBar->decimals(), 0);
    QCOMPARE(cloudBar->palette().color(QPalette::Highlight), QColor(Qt::gray));
    QCOMPARE(rig.bar("roundBarFW")->format(), QString());

    // The cloud client's notSignedin() arriving later gives the same look.
    QTest::qWait(200);
    QVERIFY(QMetaObject::invokeMethod(window, "notSignedIn"));
    QCOMPARE(lookOf(rig), expected);
    QCOMPARE(requestCount(cloud.server(), "POST", "/signin"), 0);
}

void TestMainWindow::imagesAtTwiceTheirShownSize_data()
{
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<QString>("resource");
    QTest::newRow("device picture") << "label_scanimg"
                                    << ":/resources/scan.png";
    QTest::newRow("logo") << "label_3"
                          << ":/resources/Kestrane Technologies.png";
    QTest::newRow("animation") << "label_indicator"
                               << ":/resources/cargando.gif";
}

// The window sits open all day: an image far larger than shown is decoded (and, for the
// animation, scaled) for nothing. Twice the shown size stays sharp on a high-density screen.
void TestMainWindow::imagesAtTwiceTheirShownSize()
{
    QFETCH(QString, labelName);
    QFETCH(QString, resource);

    WindowRig rig(cloud, brevia::Scenario());
    rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const QLabel *label = rig.label(qPrintable(labelName));
    const QSize image = QImageReader(resource).size();
    QVERIFY2(image.isValid(), qPrintable(resource));
    // Style sheet images are fitted into the label; the animation plays at its scaled size.
    const QSize shown = label->movie()
        ? label->movie()->scaledSize()
        : image.scaled(label->contentsRect().size(), Qt::KeepAspectRatio);
    const QString sizes = QStringLiteral("%1 is %2x%3, shown at %4x%5")
                              .arg(resource)
                              .arg(image.width())
                              .arg(image.height())
                              .arg(shown.width())
                              .arg(shown.height());
    QVERIFY2(image.width() >= shown.width() && image.height() >= shown.height(), qPrintable(sizes));
    QVERIFY2(image.width() <= 2 * shown.width() + 1 && image.height() <= 2 * shown.height() + 1,
             qPrintable(sizes));
    if (label->movie())
        QCOMPARE(label->movie()->cacheMode(), QMovie::CacheAll);
}

void TestMainWindow::signInForm_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<bool>("withReturn");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("warning"); // empty: signed in

    const QString fill = QStringLiteral("Please fill in the lines.");
    const QString refused = QStringLiteral("Invalid username or password");
    const auto row = [](const char *name, const char *user, const char *pass, bool withReturn,
                        bool sent, const QString &warning) {
        QTest::newRow(name) << QString::fromUtf8(user) << QString::fromUtf8(pass) << withReturn
                            << sent << warning;
    };
    row("both empty", "", "", false, false, fill);
    row("both empty, Return", "", "", true, false, fill);
    row("user empty", "", "demo1234", false, true, refused);
    row("password empty, Return", "demo", "", true, true, refused);
    row("wrong password", "demo", "demo12345", false, true, refused);
    row("untrimmed user", " demo", "demo1234", false, true, refused);
    row("accepted, Return", "demo", "demo1234", true, true, QString());
}

void TestMainWindow::signInForm()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(bool, withReturn);
    QFETCH(bool, sent);
    QFETCH(QString, warning);

    WindowRig rig(cloud, brevia::Scenario());
    rig.open();
    auto *userEdit = rig.w<QLineEdit>("lineEdit_user");
    auto *passEdit = rig.w<QLineEdit>("lineEdit_pass");
    userEdit->setText(user);
    passEdit->setText(pass);
    if (withReturn)
        QTest::keyClick(passEdit, Qt::Key_Return);
    else
        rig.button("button_signin")->click();

    if (!sent) {
        QCOMPARE(rig.label("label_cloud_worning")->text(), warning);
        QVERIFY(rig.shown("label_cloud_worning"));
        QTest::qWait(500);
        QCOMPARE(requestCount(cloud.server(), "POST", "/signin"), 0);
        return;
    }

    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "POST", "/signin"), 1, 10000);
    if (warning.isEmpty()) {
        QVERIFY(rig.waitSignedIn(0));
        QCOMPARE(rig.label("label_cloud_main")->text(), QStringLiteral("You are signed in as"));
        QCOMPARE(rig.label("label_userName")->text(), user);
        QVERIFY(rig.shown("label_userName"));
        QVERIFY(!rig.shown("label_cloud_worning"));
        QVERIFY(!rig.shown("lineEdit_user"));
        QVERIFY(!rig.shown("lineEdit_pass"));
        QVERIFY(!rig.shown("button_signup"));
        QCOMPARE(rig.label("label_fw_main")->text(), QString());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning"), 10000);
    QCOMPARE(rig.label("label_cloud_worning")->text(), warning);
    // Refused: still signed out, and what was typed stays for correcting.
    QCOMPARE(rig.button("button_signin")->text(), QStringLiteral("Sign in"));
    QCOMPARE(userEdit->text(), user);
    QCOMPARE(passEdit->text(), pass);
    QVERIFY(rig.shown("lineEdit_user"));
    QVERIFY(rig.shown("lineEdit_pass"));
    QVERIFY(!rig.shown("label_userName"));

    // The next attempt takes the warning away at once.
    rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
    QVERIFY(!rig.shown("label_cloud_worning"));
    QVERIFY(rig.waitSignedIn(0));
}

void TestMainWindow::signUpOpensTheLoginPage()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    WindowRig rig(cloud, brevia::Scenario());
    rig.open();
    const QStringList before = lookOf(rig);
    rig.button("button_signup")->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QCOMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.first(),
             QUrl(QString::fromStdString(cloud.server().baseUrl()) + QStringLiteral("/login")));
    QCOMPARE(lookOf(rig), before);
}

void TestMainWindow::signInAndOutWithDeviceData()
{
    WindowRig rig(cloud, breviaWith(2));
    QVERIFY(rig.startDevice());
    rig.open();
    QVERIFY(rig.waitForDevicePanel());

    // Signed out: the memory bar, no upload button, no firmware offer.
    QVERIFY(rig.shown("roundBarCloud"));
    QVERIFY(!rig.shown("button_cloud_upload"));
    QVERIFY(!rig.shown("label_indicator"));
    QVERIFY(!rig.shown("label_status"));
    QVERIFY(!rig.shown("button_update"));
    QCOMPARE(rig.bar("roundBarCloud")->format(), QStringLiteral("%p% of memory used"));
    QVERIFY(rig.bar("roundBarCloud")->value() > 0);

    // Signing in shows the bar at once; the upload button and the offer come with the
    // firmware information.
    rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.button("button_signin")->text(), QStringLiteral("Sign out"),
                              10000);
    QVERIFY(rig.shown("roundBarCloud"));
    QVERIFY(rig.waitSignedIn(0));
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
    QVERIFY(rig.shown("button_update"));
    QVERIFY(rig.shown("label_fw_main"));
    QVERIFY(rig.shown("label_fw_version"));
    // The pairing that came with the firmware information is answered before the window
    // goes: a request cut off by its end would reach the stand-in as a broken one.
    QVERIFY(rig.waitForPairings(1));

    rig.button("button_signin")->click();
    QCOMPARE(rig.button("button_signin")->text(), QStringLiteral("Sign in"));
    QCOMPARE(rig.w<QLineEdit>("lineEdit_user")->text(), QString());
    QCOMPARE(rig.w<QLineEdit>("lineEdit_pass")->text(), QString());
    QVERIFY(rig.shown("lineEdit_user"));
    QVERIFY(rig.shown("lineEdit_pass"));
    QVERIFY(rig.shown("button_signup"));
    QVERIFY(!rig.shown("button_cloud_upload"));
    QVERIFY(!rig.shown("label_userName"));
    QVERIFY(!rig.shown("label_fw_main"));
    QVERIFY(!rig.shown("label_fw_version"));
    QVERIFY(!rig.shown("button_update"));
    QCOMPARE(rig.label("label_cloud_main")->text(),
             QStringLiteral("Sign in to upload your\nhealth data to the cloud."));

    // Unplugged: the waiting animation again, and no memory to show.
    rig.device.device.unplug();
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_indicator"), 10000);
    QVERIFY(rig.shown("label_status"));
    QVERIFY(!rig.shown("roundBarCloud"));
}

void TestMainWindow::devicePanel_data()
{
    QTest::addColumn<brevia::Scenario>("scenario");
    QTest::addColumn<QString>("firmwareText");
    QTest::addColumn<QString>("memoryStart");
    QTest::addColumn<bool>("memoryBar");

    brevia::Scenario bootZero;
    bootZero.mode = brevia::Mode::Boot;
    bootZero.firmwareVersion = 0;
    QTest::newRow("boot mode, firmware 0") << bootZero << "Firmware version:   "
                                           << "No health data stored in the device" << false;
    QTest::newRow("working, no data") << breviaWith(0) << "Firmware version:   1310"
                                      << "No health data stored in the device" << false;
    QTest::newRow("working, two sessions") << breviaWith(2, 1402) << "Firmware version:   1402"
                                           << "2 sessions with\n"
                                           << true;
}

void TestMainWindow::devicePanel()
{
    QFETCH(brevia::Scenario, scenario);
    QFETCH(QString, firmwareText);
    QFETCH(QString, memoryStart);
    QFETCH(bool, memoryBar);

    WindowRig rig(cloud, scenario);
    QVERIFY(rig.startDevice());
    rig.open();
    QVERIFY(rig.waitForDevicePanel());

    QCOMPARE(rig.label("label_fw")->text(), firmwareText);
    QVERIFY2(rig.label("label_mac")->text().startsWith(QLatin1String("BLE ID:  K217-")),
             qPrintable(rig.label("label_mac")->text()));
    QVERIFY2(rig.label("label_cloud_used")->text().startsWith(memoryStart),
             qPrintable(rig.label("label_cloud_used")->text()));
    QVERIFY(rig.shown("label_cloud_used"));
    QCOMPARE(rig.shown("roundBarCloud"), memoryBar);
    QVERIFY(!rig.shown("button_cloud_upload"));
    QVERIFY(!rig.shown("label_status"));
    // Signed out: the firmware panel keeps its prompt.
    QCOMPARE(rig.label("label_fw_main")->text(),
             QStringLiteral("Sign in to check your device's firmware for update."));
}

void TestMainWindow::pairingWaitsForSignInAndFirmware()
{
    WindowRig rig(cloud, breviaWith(1));
    QVERIFY(rig.startDevice());
    rig.open();
    QVERIFY(rig.waitForDevicePanel());
    // Signed out: nobody to pair the device with.
    QCOMPARE(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 0);

    // The device shown before the sign-in is paired once the sign-in and the firmware
    // information are in, without waiting for it to be reported again: its uploads must
    // carry its cloud identifier.
    QVERIFY(rig.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 1,
                              10000);
    bool named = false;
    for (const standin::RequestRecord &record : cloud.server().requests()) {
        if (record.path == "/api/device/pairDevice")
            named = QString::fromStdString(record.body).contains(bleName);
    }
    QVERIFY(named);

    // Plugged in again: its next report pairs it again.
    rig.device.device.unplug();
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_indicator"), 10000);
    QCOMPARE(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 1);
    QVERIFY(rig.device.device.plugIn());
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 2,
                              10000);
}

// The cloud id was answered to the account that signed out: after the next sign-in the
// device's data is not offered for upload before that account's own pairing answers.
void TestMainWindow::signInAgainWaitsForItsOwnPairing()
{
    WindowRig rig(cloud, breviaWith(2));
    QVERIFY(rig.startDevice());
    rig.open();
    QVERIFY(rig.signIn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
    QVERIFY(rig.waitForPairings(1));
    rig.button("button_signin")->click();
    QVERIFY(!rig.shown("button_cloud_upload"));

    standin::Scenario failing = quietCloud();
    failing.statusOverrides["/api/device/pairDevice"] = 500;
    failing.bodyOverrides["/api/device/pairDevice"] = "";
    QVERIFY(cloud.server().setScenario(failing));
    bool offered = false;
    QTimer watch; // on every turn of the event loop
    connect(&watch, &QTimer::timeout, this,
            [&] { offered = offered || rig.shown("button_cloud_upload"); });
    watch.start(0);

    QVERIFY(rig.signIn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning"), 10000);
    QVERIFY2(rig.label("label_cloud_worning")->text().contains(QLatin1String("registered")),
             qPrintable(rig.label("label_cloud_worning")->text()));
    QCOMPARE(rig.pairings(), 2);
    QVERIFY(!offered);
}

ORVANE_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
