// Pictures of the window in its main states, saved for a person to look at
// ($ORVANE_TEST_BINARY_DIR/screenshots/), and in each state a check that every text fits the
// widget that shows it and every widget stays inside its panel.
#include "nodeaccess.h"
#include "windowrig.h"

#include <QAbstractButton>
#include <QImage>
#include <QMovie>

using namespace testsupport;

namespace {

QString screenshotFolder()
{
    QString base = qEnvironmentVariable("ORVANE_TEST_BINARY_DIR");
    if (base.isEmpty())
        base = QDir::currentPath();
    return base + QStringLiteral("/screenshots");
}

// What does not fit: a visible label or button narrower or lower than its text needs, or a
// visible widget reaching outside its panel.
QStringList layoutFaults(QWidget *window)
{
    QStringList faults;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(window) || widget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QString name = widget->objectName();
        QSize needed;
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            if (label->text().isEmpty() || label->wordWrap() || label->hasScaledContents())
                continue;
            needed = label->sizeHint();
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            needed = button->sizeHint();
        }
        if (needed.isValid()
            && (needed.width() > widget->width() || needed.height() > widget->height())) {
            faults << QStringLiteral("%1 needs %2x%3 but has %4x%5")
                          .arg(name)
                          .arg(needed.width())
                          .arg(needed.height())
                          .arg(widget->width())
                          .arg(widget->height());
        }
        QWidget *panel = widget->parentWidget();
        if (panel && panel->objectName().startsWith(QLatin1String("widget_"))
            && !panel->rect().contains(widget->geometry())) {
            faults << QStringLiteral("%1 reaches outside %2").arg(name, panel->objectName());
        }
    }
    return faults;
}

} // namespace

class TestMainWindowScreens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noDeviceSignedOut();
    void signInRefused();
    void deviceWithDataSignedIn();
    void syncingAndDone();
    void uploadFailed();
    void updateOfferedAndFlashing();
    void portClosedToUser();

private:
    // Saves the window as it is now and checks its layout.
    void shoot(WindowRig &rig, const QString &name);
    // Waits for a state that may last only a moment, and shoots it at once.
    bool shootWhen(WindowRig &rig, const QString &name, const std::function<bool()> &state,
                   int timeoutMs = 20000);

    StandinFixture cloud;
    QStringList saved;
};

void TestMainWindowScreens::initTestCase()
{
    QVERIFY(QDir().mkpath(screenshotFolder()));
    QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
}

void TestMainWindowScreens::init()
{
    forgetUserState();
    QVERIFY(cloud.server().setScenario(quietCloud()));
    cloud.server().clearRecords();
}

void TestMainWindowScreens::cleanup()
{
    const auto violations = cloud.server().violations();
    QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
}

void TestMainWindowScreens::shoot(WindowRig &rig, const QString &name)
{
    QWidget *window = rig.window.get();
    const QImage image = window->grab().toImage();
    QCOMPARE(image.size(), QSize(790, 490));
    const QString path = screenshotFolder() + QLatin1Char('/') + name + QStringLiteral(".png");
    QVERIFY2(image.save(path), qPrintable(path));
    saved << path;
    const QStringList faults = layoutFaults(window);
    QVERIFY2(faults.isEmpty(), qPrintable(name + ": " + faults.join(QStringLiteral("; "))));
}

bool TestMainWindowScreens::shootWhen(WindowRig &rig, const QString &name,
                                      const std::function<bool()> &state, int timeoutMs)
{
    bool shot = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!shot && state()) {
            shot = true;
            shoot(rig, name);
        }
    });
    poll.start(0);
    return QTest::qWaitFor([&] { return shot; }, timeoutMs);
}

void TestMainWindowScreens::noDeviceSignedOut()
{
    WindowRig rig(cloud, brevia::Scenario());
    rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    // The animation has drawn a frame.
    QTRY_VERIFY(rig.label("label_indicator")->movie()->currentFrameNumber() >= 0);
    shoot(rig, QStringLiteral("01-no-device-signed-out"));
}

void TestMainWindowScreens::signInRefused()
{
    WindowRig rig(cloud, brevia::Scenario());
    rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("wrong"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning"), 10000);
    shoot(rig, QStringLiteral("08-sign-in-refused"));
}

void TestMainWindowScreens::deviceWithDataSignedIn()
{
    standin::Scenario scenario = quietCloud();
    scenario.firmwareVersion = 1310;
    QVERIFY(cloud.server().setScenario(scenario));
    WindowRig rig(cloud, breviaWith(3));
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
    QVERIFY(rig.waitForPairings(1));
    shoot(rig, QStringLiteral("02-device-with-data-signed-in"));
}

void TestMainWindowScreens::syncingAndDone()
{
    brevia::Scenario device = breviaWith(2);
    device.baud = 38400; // pages take a moment, so that the transfer can be seen
    WindowRig rig(cloud, device);
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
    QVERIFY(rig.waitForPairings(1));

    rig.button("button_cloud_upload")->click();
    RoundProgressBar *bar = rig.bar("roundBarCloud");
    QVERIFY(shootWhen(rig, QStringLiteral("03-syncing"), [bar] {
        return bar->format() == QLatin1String("Syncing") && bar->value() > bar->maximum() / 3
            && bar->value() < bar->maximum();
    }));
    QTRY_VERIFY_WITH_TIMEOUT(rig.device.device.eraseCount() == 1
                                 && rig.label("label_cloud_used")->text()
                                     == QLatin1String("No health data stored in the device")
                                 && !rig.shown("label_indicator"),
                             30000);
    QVERIFY(rig.waitForPairings(2));
    shoot(rig, QStringLiteral("07-synchronization-done"));
}

void TestMainWindowScreens::uploadFailed()
{
    WindowRig rig(cloud, breviaWith(2));
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
    QVERIFY(rig.waitForPairings(1));
    cloud.server().setNextUploadReply(500, "false");
    rig.button("button_cloud_upload")->click();
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning") && rig.shown("button_cloud_upload"),
                             15000);
    QVERIFY(rig.waitForPairings(2));
    shoot(rig, QStringLiteral("06-upload-failed"));
}

void TestMainWindowScreens::updateOfferedAndFlashing()
{
    brevia::Scenario device = breviaWith(0);
    device.newFirmwareVersion = 1400;
    WindowRig rig(cloud, device);
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_update"), 15000);
    QVERIFY(rig.waitForPairings(1));
    shoot(rig, QStringLiteral("04-firmware-update-offered"));

    rig.button("button_update")->click();
    RoundProgressBar *bar = rig.bar("roundBarFW");
    QVERIFY(shootWhen(rig, QStringLiteral("05-flashing"), [bar] {
        return bar->isVisible() && bar->value() > bar->maximum() / 3
            && bar->value() < bar->maximum();
    }));
    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_fw_main")->text(),
                              QStringLiteral("Your Brevia's firmware is up to date."), 20000);
    QVERIFY(rig.waitForPairings(2));
    shoot(rig, QStringLiteral("09-firmware-up-to-date"));
}

// The device is there but this user may not open its port: the panel says where it was found
// and how to get access, instead of asking to connect it, until the port opens.
void TestMainWindowScreens::portClosedToUser()
{
    WindowRig rig(cloud, breviaWith(1));
    QVERIFY(rig.startDevice());
    NodeAccessBlock block(rig.device.linkPath());
    QString why;
    if (!block.blocked(&why))
        QSKIP(qPrintable(why));
    rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));

    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_port_access"), 5000);
    const QString notice = rig.label("label_port_access")->text();
    QVERIFY2(notice.contains(rig.device.linkPath()) && notice.contains(QLatin1String("dialout"))
                 && notice.contains(QLatin1String("package")),
             qPrintable(notice));
    QVERIFY(!rig.shown("label_indicator"));
    QVERIFY(!rig.shown("label_status"));
    shoot(rig, QStringLiteral("10-port-closed-to-user"));

    block.lift();
    QVERIFY(rig.waitForDevicePanel());
    QVERIFY(!rig.shown("label_port_access"));
    QCOMPARE(rig.label("label_port_access")->text(), QString());
}

ORVANE_GUI_TEST_MAIN(TestMainWindowScreens)
#include "tst_mainwindow_screens.moc"
