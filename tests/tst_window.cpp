// The window on an emulated Brevia and the cloud stand-in: the flows behind its buttons and its
// states, each saved ($ORVANE_TEST_BINARY_DIR/screenshots/) and checked (windowchecks.h).
#include "nodeaccess.h"
#include "windowchecks.h"
#include "windowrig.h"

#include "ui/labelanimation.h"

#include <QAccessible>
#include <QDesktopServices>
#include <QImageReader>
#include <QMovie>

using namespace testsupport;

class TestWindow : public QObject
{
    Q_OBJECT

    StandinFixture cloud;
    QList<QUrl> openedUrls;

    void shoot(WindowDriver &rig, const QString &name)
    {
        const QImage image = rig.window->grab().toImage(); // its size is fixed: see firstLook
        QVERIFY(image.save(screenshotFolder() + QLatin1Char('/') + name + QStringLiteral(".png")));
        const QStringList faults = windowFaults(rig.window.get());
        QVERIFY2(faults.isEmpty(), qPrintable(name + ": " + faults.join(QStringLiteral("; "))));
    }

    // Shoots a state that may last only a moment, looked for on every turn of the event loop.
    bool shootWhen(WindowDriver &rig, const QString &name, const std::function<bool()> &state)
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
        return QTest::qWaitFor([&] { return shot; }, 20000);
    }

public slots: // not a test: it takes an argument
    void openUrl(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase() { QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString())); }
    void init()
    {
        forgetUserState();
        QVERIFY(cloud.server().setScenario(quietCloud()));
        cloud.server().clearRecords();
    }
    void cleanup()
    {
        const auto violations = cloud.server().violations();
        QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
    }

    void firstLookAndSignIn()
    {
        WindowRig rig(cloud, brevia::Scenario());
        MainWindow *window = rig.open(); // no device: the emulator is never started
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Orvane 7.4"));
        QCOMPARE(window->minimumSize(), QSize(790, 490));
        QCOMPARE(window->maximumSize(), QSize(790, 490));
        QCOMPARE(rig.text("label_status"), QStringLiteral("Connect the <br> device"));
        QCOMPARE(rig.text("label_cloud_main"),
                 QStringLiteral("Sign in to upload your\nhealth data to the cloud."));
        for (const char *name :
             {"label_indicator", "lineEdit_user", "button_signup", "button_signin"})
            QVERIFY2(rig.shown(name), name);
        for (const char *name : {"button_update", "button_cloud_upload", "roundBarCloud",
                                 "roundBarFW", "label_userName", "label_cloud_worning"})
            QVERIFY2(!rig.shown(name), name);
        // Decoded once at twice its shown size at most, each frame made once: it runs all day.
        QLabel *indicator = rig.label("label_indicator");
        auto *animation = indicator->findChild<LabelAnimation *>();
        QVERIFY(animation);
        QMovie *movie = animation->movie();
        QVERIFY(movie && movie->isValid() && movie->state() == QMovie::Running);
        QCOMPARE(movie->cacheMode(), QMovie::CacheAll);
        QVERIFY(QImageReader(QStringLiteral(":/resources/cargando.gif")).size().width()
                <= 2 * animation->shownSize().width() + 1);
        QVERIFY(movie->frameCount() > 1);
        movie->setSpeed(1000);
        QSet<qint64> pixmaps;
        QSignalSpy frames(movie, &QMovie::frameChanged);
        const auto watch = connect(movie, &QMovie::frameChanged, this, [&] {
            pixmaps.insert(indicator->pixmap(Qt::ReturnByValue).cacheKey());
        });
        QTRY_VERIFY(frames.count() > 2 * movie->frameCount());
        disconnect(watch);
        QCOMPARE(pixmaps.size(), movie->frameCount());
        QCOMPARE(indicator->pixmap(Qt::ReturnByValue).size(), animation->shownSize());
        movie->setSpeed(70);
        shoot(rig, QStringLiteral("01-no-device-signed-out"));

        // Sign-up opens the service's login page.
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        rig.button("button_signup")->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(openedUrls, QList<QUrl> {QUrl(q(cloud.server().baseUrl()) + "/login")});

        // Both fields empty: nothing is sent. A refusal keeps what was typed for correcting.
        rig.typeAndSignIn(QString(), QString());
        QCOMPARE(rig.text("label_cloud_worning"), QStringLiteral("Please fill in the lines."));
        shoot(rig, QStringLiteral("02-fill-in-the-lines"));
        rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("wrong"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_cloud_worning"),
                                  QStringLiteral("Invalid username or password"), 10000);
        QCOMPARE(rig.w<QLineEdit>("lineEdit_pass")->text(), QStringLiteral("wrong"));
        QCOMPARE(rig.button("button_signin")->text(), QStringLiteral("Sign in"));
        shoot(rig, QStringLiteral("03-sign-in-refused"));

        // A screen reader never reads out the password.
        QVERIFY(!QAccessible::queryAccessibleInterface(rig.w("lineEdit_pass"))
                     ->text(QAccessible::Value)
                     .contains(QLatin1String("wrong")));

        // Return in the password field signs in like the button.
        rig.w<QLineEdit>("lineEdit_pass")->setText(QStringLiteral("demo1234"));
        QTest::keyClick(rig.w<QLineEdit>("lineEdit_pass"), Qt::Key_Return);
        QVERIFY(!rig.shown("label_cloud_worning"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_userName"), QStringLiteral("demo"), 10000);
        QCOMPARE(requestCount(cloud.server(), "POST", "/signin"), 2);
        QVERIFY(!rig.shown("lineEdit_user"));
        QTRY_VERIFY_WITH_TIMEOUT(
            requestCount(cloud.server(), "GET", "/api/orvane/checkUpdate") == 1, 10000);
        shoot(rig, QStringLiteral("04-no-device-signed-in"));
    }

    // A transfer broken off by the device, then one with an upload refused, keep everything.
    void transfer()
    {
        standin::Scenario scenario = quietCloud();
        scenario.firmwareVersion = 1310;
        QVERIFY(cloud.server().setScenario(scenario));
        brevia::Scenario device = breviaWith(2); // 30 + 35 records
        device.baud = 38400; // pages take a moment, so that the transfer can be seen
        // A stray line inside the first page's reply (reads 1 and 2 are the directory's halves).
        device.strayLineReads = {3};
        device.lastDigitPauseMs = 100;
        WindowRig rig(cloud, device);
        rig.open();
        QVERIFY(rig.readyToUpload());
        QVERIFY(rig.waitForPairings(1));
        shoot(rig, QStringLiteral("05-device-with-data-signed-in"));
        const QString memoryText = rig.text("label_cloud_used");
        const size_t storedBefore = cloud.server().storedUploads().size();

        // The link restarts and offers the untouched data again; the long warning wraps.
        rig.button("button_cloud_upload")->click();
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.shown("button_cloud_upload") && rig.warning().contains("could not read"), 15000);
        QCOMPARE(rig.text("label_cloud_used"), memoryText);
        QVERIFY(rig.waitForPairings(2));
        shoot(rig, QStringLiteral("10-transfer-stopped"));

        cloud.server().setNextUploadReply(500, "false");
        rig.button("button_cloud_upload")->click();
        QVERIFY(!rig.shown("label_cloud_worning"));
        QVERIFY(!rig.shown("button_cloud_upload"));
        auto *bar = rig.w<RoundProgressBar>("roundBarCloud");
        // 65 records in all: the bar runs to 64 under "Syncing".
        QVERIFY(shootWhen(rig, QStringLiteral("06-syncing"), [bar] {
            return bar->format() == QLatin1String("Syncing") && bar->maximum() == 64
                && bar->value() > 20 && bar->value() < 64;
        }));
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.shown("button_cloud_upload") && rig.warning().contains("nothing was lost"), 15000);
        QCOMPARE(rig.device.device.eraseCount(), 0);
        QCOMPARE(rig.text("label_cloud_used"), memoryText);
        QVERIFY(rig.waitForPairings(3));
        shoot(rig, QStringLiteral("09-upload-failed"));

        rig.button("button_cloud_upload")->click();
        QVERIFY(!rig.shown("label_cloud_worning"));
        // Shot the moment it says so: a text that grew must have its room at once.
        QVERIFY(shootWhen(rig, QStringLiteral("07-synchronized"),
                          [&rig] { return rig.text("label_cloud_main") == syncDoneText; }));
        QTRY_VERIFY_WITH_TIMEOUT(rig.device.device.eraseCount() == 1
                                     && rig.text("label_cloud_used")
                                         == QLatin1String("No health data stored in the device")
                                     && !rig.shown("label_indicator"),
                                 30000);
        // The refused session went again, the confirmed one did not.
        QCOMPARE(cloud.server().storedUploads().size(), storedBefore + 3);
        QVERIFY(rig.waitForPairings(4));
        shoot(rig, QStringLiteral("08-synchronized-device-erased"));
    }

    // Firmware 1400 for a device on 1310 with two sessions: synced first if it can, else asked.
    void firmware_data()
    {
        QTest::addColumn<bool>("paired");
        QTest::newRow("data on the device") << true;
        QTest::newRow("data on a device that cannot sync") << false;
    }

    void firmware()
    {
        QFETCH(bool, paired);
        QVERIFY(cloud.server().setScenario(paired ? quietCloud() : cloudRefusingPairing()));
        UploadClock clock(cloud.server());
        brevia::Scenario device = breviaWith(2);
        device.newFirmwareVersion = 1400;
        WindowRig rig(cloud, device);
        MessageBoxAnswerer boxes;
        rig.open();
        QVERIFY(rig.signIn());
        QVERIFY(!rig.shown("label_fw_main")); // no device yet: nothing to compare
        QVERIFY(rig.startDevice());
        QVERIFY(rig.waitForDevicePanel());
        QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_fw_version"),
                                  QStringLiteral("Latest firmware version available:1400"), 10000);
        QCOMPARE(rig.text("label_fw_main"),
                 QStringLiteral("There is an update for your Brevia device."));
        QVERIFY(rig.shown("button_update"));
        QVERIFY(rig.waitForPairings(1));
        if (paired)
            QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
        shoot(rig, QStringLiteral("12-firmware-update-offered"));

        if (!paired) {
            // Cancel changes nothing; Yes flashes.
            boxes.queue(QMessageBox::Cancel);
            rig.button("button_update")->click();
            QCOMPARE(boxes.count(), 1);
            QVERIFY(boxes.last().text.contains(QLatin1String("unsaved data")));
            QVERIFY(rig.shown("button_update"));
            QCOMPARE(rig.device.count("BTR\n"), 0);
            boxes.queue(QMessageBox::Yes);
        }
        rig.button("button_update")->click();
        QCOMPARE(boxes.count(), paired ? 0 : 2);
        QVERIFY(!rig.shown("button_update"));
        auto *bar = rig.w<RoundProgressBar>("roundBarFW");
        QVERIFY(shootWhen(rig, QStringLiteral("13-flashing"), [bar] {
            return bar->isVisible() && bar->value() > 0 && bar->value() <= bar->maximum();
        }));
        // The cloud learns the version that was flashed; found again, the device is up to date.
        QTRY_VERIFY_WITH_TIMEOUT(
            cloud.server().reportedFirmwareVersions().count(bleName.toStdString()), 20000);
        QCOMPARE(cloud.server().reportedFirmwareVersions().at(bleName.toStdString()), 1400);
        QTRY_COMPARE_WITH_TIMEOUT(rig.text("label_fw_main"),
                                  QStringLiteral("Your Brevia's firmware is up to date."), 20000);
        QCOMPARE(rig.device.device.imagesReceived(), 1);
        if (paired) {
            // Every session stored and the device erased before the first firmware line.
            const QByteArrayList commands = rig.device.commands();
            const std::vector<brevia::TimePoint> times = rig.device.device.commandTimes();
            int firstLine = 0;
            while (firstLine < commands.size() && !commands.at(firstLine).startsWith("F0000"))
                ++firstLine;
            QVERIFY(firstLine < commands.size());
            for (const AnsweredUpload &upload : clock.uploads())
                QVERIFY(upload.confirmed && upload.at < times[size_t(firstLine)]);
            QVERIFY(commands.mid(0, firstLine).contains("E000FF000\n"));
            QCOMPARE(rig.device.device.eraseCount(), 1);
        }
        QCOMPARE(int(clock.uploads().size()), paired ? 2 : 0);
        // Paired at each report of the device: proven empty, back after the sync, after flashing.
        QVERIFY(rig.waitForPairings(paired ? 4 : 2));
        shoot(rig, QStringLiteral("14-firmware-up-to-date"));
    }

    void unsupportedDeviceWarnsOnce()
    {
        WindowRig rig(cloud, breviaWith(2, 1200));
        MessageBoxAnswerer boxes;
        boxes.queue(QMessageBox::Ok);
        QVERIFY(rig.startDevice());
        rig.open();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, 10000);
        QCOMPARE(boxes.last().text, QStringLiteral("The connected device is not supported."));
        QCOMPARE(boxes.last().informativeText, QStringLiteral("Please contact support."));
        // Not again while it stays (a scan finds it every two seconds); the panel stays empty.
        QTest::qWait(2500);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(rig.text("label_fw"), QStringLiteral("Firmware version:"));
    }

    // The cloud id was the signed-out account's: after the next sign-in nothing is offered
    // before that account's own pairing answers, and a failed pairing says so.
    void signInAgainWaitsForItsOwnPairing()
    {
        WindowRig rig(cloud, breviaWith(2));
        rig.open();
        QVERIFY(rig.readyToUpload());
        QVERIFY(rig.waitForPairings(1));
        rig.button("button_signin")->click();
        QVERIFY(!rig.shown("button_cloud_upload"));
        QCOMPARE(rig.w<QLineEdit>("lineEdit_user")->text(), QString());

        QVERIFY(cloud.server().setScenario(cloudRefusingPairing()));
        bool offered = false;
        QTimer watch; // on every turn of the event loop
        connect(&watch, &QTimer::timeout, this,
                [&] { offered = offered || rig.shown("button_cloud_upload"); });
        watch.start(0);
        QVERIFY(rig.signIn());
        QTRY_VERIFY_WITH_TIMEOUT(rig.warning().contains("registered"), 10000);
        QCOMPARE(rig.pairings(), 2);
        QVERIFY(!offered);
        shoot(rig, QStringLiteral("11-pairing-failed"));
    }

    // What can go wrong in the installation itself is the installer's table.
    void applicationUpdate_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("cancel") << int(QMessageBox::Cancel);
        QTest::newRow("yes") << int(QMessageBox::Yes);
        // The program's folder is read-only: told, with nothing downloaded or replaced.
        QTest::newRow("package managed") << int(QMessageBox::Ok);
    }

    void applicationUpdate()
    {
        QFETCH(int, answer);
        const bool managed = answer == QMessageBox::Ok;
        standin::Scenario scenario = quietCloud();
        scenario.appVersionMinor = 5;
        // The description is the cloud's text, markup and links included: shown as it is.
        scenario.appDescription =
            "7.5: <b>faster</b> <a href=\"https://elsewhere.invalid\">notes</a>";
        QVERIFY(cloud.server().setScenario(scenario));

        // The program's "own file" is a stand-in, never the test binary.
        QTemporaryDir folder;
        const QString target = folder.filePath("Orvane");
        const QByteArray oldProgram("#!/bin/sh\necho old\n");
        QVERIFY(writeFile(target, oldProgram));
        const QFileDevice::Permissions folderMode = QFile::permissions(folder.path());
        if (managed)
            QVERIFY(QFile::setPermissions(folder.path(),
                                          QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        WindowRig rig(cloud, brevia::Scenario());
        MessageBoxAnswerer boxes;
        boxes.queue(QMessageBox::StandardButton(answer));
        MainWindow *window = rig.open();
        window->setApplicationUpdateTarget(target);
        int restarts = 0;
        window->setRestartHandler([&restarts] { ++restarts; });

        // An earlier download, for an older offer: replaced by a proven one, removed otherwise.
        const QString downloaded = applicationFilePath(QStringLiteral("Orvane"));
        QVERIFY(writeFile(downloaded, "an earlier download"));
        rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(boxes.count() >= 1, 20000);
        const SeenMessageBox box = boxes.last();
        QCOMPARE(box.text, QStringLiteral("A new version of Orvane app is available."));
        QVERIFY(box.informativeIsPlainText);
        QVERIFY(QFile::setPermissions(folder.path(), folderMode));
        QCOMPARE(boxes.count(), 1);
        const QByteArray newProgram = readFile(q(standin::updateSampleFile()));
        if (answer == QMessageBox::Yes) {
            QTRY_COMPARE(restarts, 1);
            QCOMPARE(readFile(target), newProgram);
            QVERIFY(QFile::permissions(target) & QFileDevice::ExeOwner);
            QCOMPARE(readFile(target + ".previous"), oldProgram);
            return;
        }
        QCOMPARE(restarts, 0);
        QCOMPARE(readFile(target), oldProgram);
        if (managed) {
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY2(box.informativeText.startsWith("Orvane 7.5 is available. Orvane runs from "
                                                    + target + ", which this user may not change.")
                         && box.informativeText.contains("package manager")
                         && box.informativeText.endsWith(q("\n\n" + scenario.appDescription)),
                     qPrintable(box.informativeText));
            QCOMPARE(requestCount(cloud.server(), "GET", "/orvane"), 0);
            QCOMPARE(readFile(downloaded), QByteArray("an earlier download"));
        } else {
            QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::Cancel);
            QCOMPARE(box.informativeText, q(scenario.appDescription));
            QCOMPARE(readFile(downloaded), newProgram); // the proven download stays
        }
    }

    // A port this user may not open: the panel says where and how to get access, until it opens.
    void portClosedToUser()
    {
        WindowRig rig(cloud, breviaWith(1));
        QVERIFY(rig.startDevice());
        NodeAccessBlock block(rig.device.linkPath());
        QString why;
        if (!block.blocked(&why))
            QSKIP(qPrintable(why));
        rig.open();
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_port_access"), 5000);
        const QString notice = rig.text("label_port_access");
        QVERIFY2(notice.contains(rig.device.linkPath())
                     && notice.contains(QLatin1String("dialout")),
                 qPrintable(notice));
        shoot(rig, QStringLiteral("15-port-closed-to-user"));
        block.lift();
        QVERIFY(rig.waitForDevicePanel());
        QVERIFY(!rig.shown("label_port_access"));
    }
};

ORVANE_GUI_TEST_MAIN(TestWindow)
#include "tst_window.moc"
