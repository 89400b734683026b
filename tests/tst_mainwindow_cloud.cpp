// The main window's cloud flows with the real device link and cloud client: the transfer of
// the health data, a failed upload, and the application update from the offer to the restart.
#include "windowrig.h"

#include <QTemporaryDir>

using namespace testsupport;

namespace {

struct BarState
{
    QString format;
    double maximum;
    double value;
    bool operator==(const BarState &other) const
    {
        return format == other.format && maximum == other.maximum && value == other.value;
    }
};

// Records every distinct state the cloud bar passes through, checked at each turn of the
// event loop.
class BarWatcher : public QObject
{
public:
    explicit BarWatcher(RoundProgressBar *bar) : bar(bar)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            const BarState now {this->bar->format(), this->bar->maximum(), this->bar->value()};
            if (states.isEmpty() || !(states.last() == now))
                states.append(now);
        });
        timer.start(0);
    }
    QList<BarState> states;

private:
    RoundProgressBar *bar;
    QTimer timer;
};

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestMainWindowCloud : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void transferOfEverySession();
    void failedUploadKeepsTheData();
    void applicationUpdate_data();
    void applicationUpdate();

private:
    StandinFixture cloud;
};

void TestMainWindowCloud::initTestCase()
{
    QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
}

void TestMainWindowCloud::init()
{
    forgetUserState();
    QVERIFY(cloud.server().setScenario(quietCloud()));
    cloud.server().clearRecords();
}

void TestMainWindowCloud::cleanup()
{
    const auto violations = cloud.server().violations();
    QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
}

void TestMainWindowCloud::transferOfEverySession()
{
    WindowRig rig(cloud, breviaWith(2)); // 30 + 35 records
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
    // Paired, so that the uploads carry the device's cloud identifier.
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 1,
                              10000);
    const QByteArray first = rig.device.expectedFile(0);
    const QByteArray second = rig.device.expectedFile(1);

    BarWatcher watcher(rig.bar("roundBarCloud"));
    rig.button("button_cloud_upload")->click();
    QVERIFY(!rig.shown("button_cloud_upload"));
    QVERIFY(rig.shown("roundBarCloud"));
    QVERIFY(rig.shown("label_cloud_used"));
    QCOMPARE(rig.bar("roundBarCloud")->format(), QString());

    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_cloud_main")->text(),
                              QStringLiteral("Health data synchronization\nis done!"), 20000);
    QVERIFY(rig.shown("label_cloud_main"));
    QCOMPARE(int(cloud.server().storedUploads().size()), 2);
    QCOMPARE(QByteArray::fromStdString(cloud.server().storedUploads().at(0).bytes), first);
    QCOMPARE(QByteArray::fromStdString(cloud.server().storedUploads().at(1).bytes), second);

    // 65 records in all: the bar runs to 64 under "Syncing" and is full at the last report.
    QList<BarState> syncing;
    for (const BarState &state : qAsConst(watcher.states)) {
        if (state.format == QLatin1String("Syncing"))
            syncing.append(state);
    }
    QVERIFY(!syncing.isEmpty());
    for (const BarState &state : qAsConst(syncing))
        QCOMPARE(state.maximum, 64.0);
    QCOMPARE(syncing.last().value, 64.0);
    QVERIFY(!rig.shown("label_cloud_worning"));

    // The device restarts erased: no bar, no button, and the completion text stays.
    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_cloud_used")->text(),
                              QStringLiteral("No health data stored in the device"), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.shown("label_indicator"), 10000);
    // The panel is refreshed as the erase command leaves, before the device has acted on it.
    QTRY_COMPARE_WITH_TIMEOUT(rig.device.device.eraseCount(), 1, 10000);
    QVERIFY(!rig.shown("roundBarCloud"));
    QVERIFY(!rig.shown("button_cloud_upload"));
    QCOMPARE(rig.label("label_cloud_main")->text(),
             QStringLiteral("Health data synchronization\nis done!"));
    // Each confirmed session file is gone from the application folder.
    QCOMPARE(QDir(applicationFolderPath()).entryList({"1700*"}, QDir::Files), QStringList());
    QVERIFY(rig.waitForPairings(2));
}

void TestMainWindowCloud::failedUploadKeepsTheData()
{
    WindowRig rig(cloud, breviaWith(2));
    MessageBoxAnswerer boxes;
    rig.open();
    QVERIFY(rig.signIn());
    QVERIFY(rig.startDevice());
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(cloud.server(), "PUT", "/api/device/pairDevice"), 1,
                              10000);
    const QString memoryText = rig.label("label_cloud_used")->text();
    cloud.server().setNextUploadReply(500, "false");
    const int uploadsBefore = int(cloud.server().storedUploads().size());

    rig.button("button_cloud_upload")->click();
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning"), 15000);
    const QString warning = rig.label("label_cloud_worning")->text();
    QVERIFY2(warning.contains(QLatin1String("still on")) && warning.contains(QLatin1String("lost")),
             qPrintable(warning));
    QCOMPARE(boxes.count(), 0);

    // The link restarts, finds the device with its data untouched, and offers the upload again.
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
    QCOMPARE(rig.device.device.eraseCount(), 0);
    QCOMPARE(rig.label("label_cloud_used")->text(), memoryText);
    QVERIFY(rig.shown("label_cloud_worning"));
    QCOMPARE(rig.bar("roundBarCloud")->format(), QStringLiteral("%p% of memory used"));

    // The next transfer takes the message away and goes through.
    rig.button("button_cloud_upload")->click();
    QVERIFY(!rig.shown("label_cloud_worning"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_cloud_main")->text(),
                              QStringLiteral("Health data synchronization\nis done!"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.device.device.eraseCount(), 1, 10000);
    // The refused first try, then both sessions.
    QCOMPARE(int(cloud.server().storedUploads().size()) - uploadsBefore, 3);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.shown("label_indicator"), 10000);
    // Identified three times while signed in: at the start, after the failure, after the erase.
    QVERIFY(rig.waitForPairings(3));
}

void TestMainWindowCloud::applicationUpdate_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("targetWritable");
    QTest::addColumn<bool>("restarted");

    QTest::newRow("cancel") << int(QMessageBox::Cancel) << true << false;
    QTest::newRow("yes") << int(QMessageBox::Yes) << true << true;
    QTest::newRow("yes, copy fails") << int(QMessageBox::Yes) << false << false;
}

void TestMainWindowCloud::applicationUpdate()
{
    QFETCH(int, answer);
    QFETCH(bool, targetWritable);
    QFETCH(bool, restarted);

    standin::Scenario scenario = quietCloud();
    scenario.appVersionMinor = 5;
    // The description is the cloud's text, markup and links included: shown as it is.
    scenario.appDescription =
        "Orvane 7.5: <b>faster</b> uploads <a href=\"https://elsewhere.invalid\">notes</a>";
    QVERIFY(cloud.server().setScenario(scenario));

    // The program's "own file": a stand-in, never the test binary.
    QTemporaryDir folder;
    const QString target = targetWritable ? folder.filePath(QStringLiteral("Orvane"))
                                          : folder.filePath(QStringLiteral("gone/Orvane"));
    const QByteArray oldProgram("#!/bin/sh\necho old\n");
    if (targetWritable) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(oldProgram);
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                    | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                    | QFileDevice::ExeGroup));
    }

    WindowRig rig(cloud, brevia::Scenario());
    MessageBoxAnswerer boxes;
    boxes.queue(QMessageBox::StandardButton(answer));
    boxes.queue(QMessageBox::Ok);
    MainWindow *window = rig.open();
    window->setApplicationUpdateTarget(target);
    int restarts = 0;
    window->setRestartHandler([&restarts] { ++restarts; });

    rig.typeAndSignIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
    QTRY_VERIFY_WITH_TIMEOUT(boxes.count() >= 1, 20000);
    const SeenMessageBox offer = boxes.seen().first();
    QCOMPARE(offer.icon, QMessageBox::Information);
    QCOMPARE(offer.text, QStringLiteral("A new version of Orvane app is available."));
    QCOMPARE(offer.informativeText,
             QStringLiteral("Orvane 7.5: <b>faster</b> uploads <a "
                            "href=\"https://elsewhere.invalid\">notes</a>"));
    QVERIFY(offer.informativeIsPlainText);
    QCOMPARE(offer.buttons, QMessageBox::Yes | QMessageBox::Cancel);
    QVERIFY(!offer.hasParent);

    const QString downloaded = applicationFilePath(QStringLiteral("Orvane"));
    const QByteArray newProgram = fileBytes(downloaded);
    QVERIFY(!newProgram.isEmpty());
    // The downloaded file stays where it is, whatever the answer.
    QTRY_COMPARE(restarts, restarted ? 1 : 0);
    QCOMPARE(fileBytes(downloaded), newProgram);

    if (answer == QMessageBox::Cancel) {
        QTest::qWait(200);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(restarts, 0);
        QCOMPARE(fileBytes(target), oldProgram);
        QVERIFY(window->isVisible());
    } else if (targetWritable) {
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(fileBytes(target), newProgram);
        const QFileDevice::Permissions permissions = QFile::permissions(target);
        QVERIFY(permissions & QFileDevice::ExeOwner);
        QVERIFY(permissions & QFileDevice::ExeGroup);
        QVERIFY(!(permissions & QFileDevice::WriteGroup));
        // Nothing is left behind beside the program.
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList {"Orvane"});
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 2, 5000);
        const SeenMessageBox failure = boxes.last();
        QCOMPARE(failure.icon, QMessageBox::Warning);
        QCOMPARE(failure.text, QStringLiteral("The update could not be installed."));
        QVERIFY2(failure.informativeText.contains(target), qPrintable(failure.informativeText));
        QVERIFY(!failure.hasParent);
        QCOMPARE(restarts, 0);
        QVERIFY(window->isVisible());
    }
    // The sign-in is complete and nothing is pending at the cloud.
    QTRY_COMPARE_WITH_TIMEOUT(rig.button("button_signin")->text(), QStringLiteral("Sign out"),
                              5000);
}

ORVANE_GUI_TEST_MAIN(TestMainWindowCloud)
#include "tst_mainwindow_cloud.moc"
