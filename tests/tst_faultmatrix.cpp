// Faults that combine, through the real window, device link, sync and cloud client against the
// emulated Brevia and the cloud stand-in. Every row checks the same invariant: every session
// the device held reaches the account that was signed in when it was read, exactly once and
// byte-identical, under a device id of that account, nothing goes out while nobody is signed
// in, and the device is erased only after every session of that download was confirmed.
#include "windowrig.h"

#include "sync/syncrecord.h"

#include <optional>

#include <sys/stat.h>

using namespace testsupport;

namespace {

const QString nothingErased = QStringLiteral("Nothing was erased from the device.");
constexpr int demoUser = 1001, otherUser = 2002;

// When nobody was signed in: from a sign-out to the next sign-in.
struct SignedOut
{
    brevia::TimePoint from;
    brevia::TimePoint until = brevia::TimePoint::max();
};

// Confirmed sessions in the sync record on disk.
int recordedSessions()
{
    const QJsonDocument record =
        QJsonDocument::fromJson(readFile(applicationFilePath(SyncRecord::fileName)));
    return record.object().value(QLatin1String("sessions")).toArray().size();
}

// Checks the invariant over everything the device and the cloud saw.
void checkInvariant(const EmulatorFixture &device, standin::Server &server,
                    const UploadClock &clock, const std::vector<SignedOut> &signedOut = {})
{
    QMap<QString, QByteArray> expected;
    for (size_t i = 0; i < device.device.sessionCount(); ++i) {
        if (device.device.session(i).listed)
            expected.insert(device.expectedFileName(i), device.expectedFile(i));
    }
    const std::vector<standin::Device> devices = server.devices();
    const std::vector<standin::StoredUpload> stored = server.storedUploads();
    const std::vector<AnsweredUpload> answered = clock.uploads();
    QSet<QString> delivered; // account and session
    for (size_t i = 0; i < stored.size(); ++i) {
        const standin::StoredUpload &upload = stored[i];
        const QString date = q(upload.date);
        QVERIFY2(expected.contains(date), qPrintable(date));
        QCOMPARE(QByteArray::fromStdString(upload.bytes), expected.value(date));
        // Under a device id of the account whose token it carried, and only once to it.
        const bool ofAccount = std::any_of(devices.begin(), devices.end(), [&](const auto &d) {
            return d.owner == upload.userId && std::to_string(d.id) == upload.deviceId;
        });
        const QString key = QString::number(upload.userId) + '/' + date;
        QVERIFY2(ofAccount, qPrintable(key + " went under device " + q(upload.deviceId)));
        QVERIFY2(!delivered.contains(key), qPrintable("uploaded twice: " + key));
        delivered.insert(key);
        // Nothing reaches the cloud while nobody is signed in.
        for (const SignedOut &gap : signedOut) {
            for (const AnsweredUpload &a : answered)
                QVERIFY2(a.stored != i || a.at < gap.from || a.at > gap.until,
                         qPrintable("stored while signed out: " + date));
        }
    }

    const QByteArrayList commands = device.commands();
    const std::vector<brevia::TimePoint> times = device.device.commandTimes();
    QCOMPARE(size_t(commands.size()), times.size());
    for (int k = 0; k < commands.size(); ++k) {
        if (commands.at(k) != "E000FF000\n")
            continue;
        // Every session was confirmed before this erase (by this download or an earlier one).
        for (auto session = expected.cbegin(); session != expected.cend(); ++session) {
            const bool confirmed =
                std::any_of(answered.begin(), answered.end(), [&](const AnsweredUpload &a) {
                    return a.confirmed && a.at < times[size_t(k)] && a.stored < stored.size()
                        && q(stored[a.stored].date) == session.key();
                });
            QVERIFY2(confirmed, qPrintable("erased while unconfirmed: " + session.key()));
        }
    }
}

// A device whose pairing failed is not offered for upload, and the button starts nothing.
void nothingGoesOut(WindowRig &rig, EmulatorFixture &device)
{
    QTRY_VERIFY_WITH_TIMEOUT(rig.warning().contains("registered"), 10000);
    QVERIFY(!rig.shown("button_cloud_upload"));
    rig.button("button_cloud_upload")->click();
    QTest::qWait(300);
    QCOMPARE(device.count("BTR\n"), 0);
    QVERIFY(rig.cloud.server().storedUploads().empty());
    QCOMPARE(device.device.eraseCount(), 0);
}

// The fault, whether the sync completes (otherwise nothing is erased), what the user is told.
void faultColumns()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("synced");
    QTest::addColumn<QString>("warning");
}

void row(const char *name, const char *fault, bool synced, const char *warning = "")
{
    QTest::newRow(name) << QString(fault) << synced << QString(warning);
}

} // namespace

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void init() { forgetUserState(); }
    // The disk, the folder, the cable and the cloud.
    void faults_data()
    {
        faultColumns();
        const char *kept = "nothing was lost";
        row("all well, first sign-in under umask 0", "none", true);
        row("disk refuses the session file", "full disk", false, "could not save the health data");
        row("application folder removed", "folder removed", true);
        row("cable pulled while an upload is in flight", "cable pulled", true);
        row("cloud refuses the second upload", "refused upload", false, kept);
        row("an upload refused while the next session is read", "refused while reading", false,
            kept);
    }

    // Whose account gets the data, and the program's end (own tables, run side by side by CTest).
    void accountFaults_data()
    {
        faultColumns();
        row("signed out mid-sync, the same account back", "signed out", true, "account changed");
        row("another account signs in mid-sync", "other account", true, "account changed");
        row("Orvane closed mid-sync and started again", "closed", true);
    }
    void accountFaults() { faults(); }

    // What the device's directory says, and proof of the erase.
    void directoryFaults_data()
    {
        faultColumns();
        row("directory misread at identification", "misread first", true, "read differently");
        row("directory misread before the erase", "misread last", true, "read differently");
        row("cable pulled as the erase arrives", "pulled at erase", true, "could not confirm");
    }
    void directoryFaults() { faults(); }

    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(bool, synced);
        QFETCH(QString, warning);

        standin::Scenario cloudScenario = quietCloud();
        cloudScenario.accounts = {{"demo", "demo1234", demoUser},
                                  {"other", "other1234", otherUser}};
        if (fault == "cable pulled")
            cloudScenario.uploadReplyDelayMs = 1000;
        if (fault == "refused upload")
            cloudScenario.failUploads = {2};
        // The first answer comes late, while the second session is being read.
        if (fault == "refused while reading") {
            cloudScenario.failUploads = {1};
            cloudScenario.uploadReplyDelayMs = 500;
        }
        StandinFixture cloud;
        QVERIFY2(cloud.start(cloudScenario), qPrintable(cloud.errorString()));
        UploadClock clock(cloud.server());

        brevia::Scenario deviceScenario = breviaWith(3);
        // Slow sessions: the account changes, or the program goes, while the second one is read.
        const bool midSync = fault == "signed out" || fault == "other account" || fault == "closed";
        if (midSync)
            deviceScenario.lastDigitPauseMs = 300;
        if (fault == "refused while reading")
            deviceScenario.lastDigitPauseMs = 200;
        // The first session's 100 records are "6400" at digits 16..19 of the directory; a flipped
        // digit reads 52 ("3400") at the identification (read 1) or before the erase (read 3).
        if (fault.startsWith("misread")) {
            deviceScenario.sessions[0].records = 100;
            deviceScenario.summaryFlips = {{fault == "misread first" ? 1 : 3, 16, '3'}};
        }
        if (fault == "pulled at erase")
            deviceScenario.unplugOn = "E000FF000";
        WindowRig rig(cloud, deviceScenario);
        const mode_t umask = ::umask(fault == "none" ? 0 : 022);
        rig.open();
        const bool ready = rig.readyToUpload();
        ::umask(umask);
        QVERIFY(ready);
        if (fault == "none") {
            // The credentials' settings were owner-only from the start, not made so afterwards.
            QCOMPARE(modeOf(testHome() + "/.config/Orvane"), 0700);
            QCOMPARE(modeOf(testHome() + "/.config/Orvane/Kestrane.conf"), 0600);
        }

        // The disk refuses a session file however the writer buffers it.
        std::optional<FileSizeLimit> fullDisk;
        if (fault == "full disk")
            fullDisk.emplace(256);
        if (fault == "folder removed")
            QVERIFY(QDir(applicationFolderPath()).removeRecursively());
        rig.button("button_cloud_upload")->click();
        std::vector<SignedOut> signedOut;

        const auto tryAgain = [&] {
            QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
            rig.button("button_cloud_upload")->click();
        };
        if (fault == "cable pulled") {
            // Uploads stored, their answers on their way when the cable goes: still heard and
            // recorded, so the next sync sends none again (and awaits one still on its way).
            QTRY_VERIFY_WITH_TIMEOUT(!cloud.server().storedUploads().empty(), 10000);
            rig.device.device.unplug();
            QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_indicator"), 5000);
            QVERIFY(rig.device.device.plugIn());
            tryAgain();
        }
        if (midSync) {
            // The first session is confirmed and recorded; the second is being read.
            QTRY_COMPARE_WITH_TIMEOUT(recordedSessions(), 1, 15000);
            if (fault == "closed") {
                rig.window.reset();
                rig.open(); // signs in by itself with the stored credentials
            } else {
                const int identifications = rig.device.count("ATN?\n");
                rig.button("button_signin")->click();
                signedOut.push_back({brevia::Clock::now()});
                QTRY_VERIFY_WITH_TIMEOUT(rig.warning().contains(warning), 5000);
                // The sync stopped and the device is found afresh; nothing more went out or erased.
                QTRY_VERIFY_WITH_TIMEOUT(rig.device.count("ATN?\n") > identifications, 5000);
                QVERIFY(rig.waitForDevicePanel());
                QCOMPARE(cloud.server().storedUploads().size(), size_t(1));
                QCOMPARE(rig.device.device.eraseCount(), 0);
                signedOut.back().until = brevia::Clock::now();
                const bool other = fault == "other account";
                QVERIFY(other ? rig.signIn("other", "other1234") : rig.signIn());
            }
            QVERIFY(rig.waitForDevicePanel());
            tryAgain();
        }
        if (fault.startsWith("misread") || fault == "pulled at erase") {
            // Stopped with the device kept, the user told; the next try completes.
            QTRY_VERIFY_WITH_TIMEOUT(rig.warning().contains(warning), 20000);
            QCOMPARE(rig.device.device.eraseCount(), 0);
            QVERIFY(rig.text("label_cloud_main") != syncDoneText);
            if (fault == "pulled at erase") {
                QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_indicator"), 5000);
                QVERIFY(rig.device.device.plugIn());
            }
            tryAgain();
        }

        if (synced) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_cloud_main")->text(), syncDoneText, 30000);
            QCOMPARE(rig.device.device.eraseCount(), 1);
            // Each session once to each account that read it; the other account read all three.
            QCOMPARE(int(cloud.server().storedUploads().size()), fault == "other account" ? 4 : 3);
            // The device is empty: nothing of it stays in the sync record.
            QCOMPARE(recordedSessions(), 0);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(rig.warning().contains(warning), 20000);
            if (warning != QLatin1String("nothing was lost"))
                QVERIFY(rig.text("label_cloud_worning").contains(nothingErased));
            // The device is found again with all its data, offered for another try.
            QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
            QCOMPARE(rig.device.count("E000FF000\n"), 0); // and so nothing erased
            // Two sessions at most are written and waiting: the third was never read.
            if (fault == "refused while reading")
                QCOMPARE(rig.device.count("R00001E00\n"), 0);
        }
        fullDisk.reset();
        checkInvariant(rig.device, cloud.server(), clock, signedOut);
        QVERIFY(rig.device.device.violations().empty());
        const auto violations = cloud.server().violations();
        QVERIFY2(violations.empty(), violations.empty() ? "" : violations.front().text.c_str());
    }

    void anotherDeviceWhosePairingFails()
    {
        // Paired device A (id 101) goes; B's pairing fails: nothing of B goes out under A's id.
        StandinFixture cloud;
        QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
        WindowRig rig(cloud, breviaWith(2));
        rig.open();
        QVERIFY(rig.readyToUpload());

        QVERIFY(cloud.server().setScenario(cloudRefusingPairing()));
        brevia::Scenario other = breviaWith(3);
        other.ble = "0A1B2C3D4E5F";
        other.uid = "77AA00BB11CC22DD";
        EmulatorFixture deviceB(other);
        QVERIFY(deviceB.start());
        rig.device.setPorts({deviceB.bridgeEntry()});
        rig.device.device.unplug();

        QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_mac")->text(),
                                  QStringLiteral("BLE ID:  K217-0A1B2C3D4E5F"), 10000);
        nothingGoesOut(rig, deviceB);
    }

    void twoDevicesWithoutBleId()
    {
        // The account lists a device without a BLE id under the placeholder name and its unique
        // number; a second such device has the same name but not that entry's number.
        standin::Scenario scenario = quietCloud();
        scenario.devices = {{"UNKNOWN", 101, "11AA22BB33CC44DD"}};
        StandinFixture cloud;
        QVERIFY2(cloud.start(scenario), qPrintable(cloud.errorString()));
        brevia::Scenario second = breviaWith(2);
        second.zeroMacReplies = 1000;
        second.uid = "77AA00BB11CC22DD";
        WindowRig rig(cloud, second);
        rig.open();
        QVERIFY(rig.signIn() && rig.startDevice() && rig.waitForDevicePanel());
        QCOMPARE(rig.text("label_mac"), QStringLiteral("BLE ID:  UNKNOWN"));
        QVERIFY(rig.waitForPairings(1));
        nothingGoesOut(rig, rig.device);
    }
};

ORVANE_GUI_TEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
