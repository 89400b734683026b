// Faults that combine, through the real window, device link and cloud client against the
// emulated Brevia and the cloud stand-in. Every row checks the same invariant: no erase while
// any session of the current download of this device is unconfirmed, and every stored upload
// byte-identical to the device's records and filed under this device's cloud id.
#include "windowrig.h"

#include <QMutex>
#include <QMutexLocker>

#include <csignal>
#include <sys/resource.h>

using namespace testsupport;

namespace {

const QString nothingErased = QStringLiteral("Nothing was erased from the device.");

// The moment each upload the stand-in stored was answered, on the emulator's clock.
struct AnsweredUpload
{
    brevia::TimePoint at;
    size_t stored = 0; // index into storedUploads()
    bool confirmed = false; // 200 with the body "true"
};

class UploadClock
{
public:
    explicit UploadClock(standin::Server &server)
    {
        server.setRequestObserver([this](const standin::RequestRecord &record) {
            if (record.path != "/api/medical/vitals/save")
                return;
            const bool stored =
                std::any_of(record.notes.begin(), record.notes.end(), [](const std::string &note) {
                    return note.rfind("stored as", 0) == 0 || note.rfind("an upload named", 0) == 0;
                });
            if (!stored)
                return;
            QMutexLocker lock(&mutex);
            answered.push_back({brevia::Clock::now(), storedCount++,
                                record.status == 200 && record.replyBody == "true"});
        });
    }
    std::vector<AnsweredUpload> uploads() const
    {
        QMutexLocker lock(&mutex);
        return answered;
    }

private:
    mutable QMutex mutex;
    std::vector<AnsweredUpload> answered;
    size_t storedCount = 0;
};

// Files may not grow past a few hundred bytes while it lives: the disk refuses a session file
// however the writer buffers it.
class FullDisk
{
public:
    FullDisk()
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 256;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FullDisk()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }

private:
    struct rlimit saved
    {
    };
    void (*previous)(int) = nullptr;
};

// Checks the invariant over everything the device and the cloud saw.
void checkInvariant(const EmulatorFixture &device, standin::Server &server,
                    const UploadClock &clock)
{
    QMap<QString, QByteArray> expected;
    for (size_t i = 0; i < device.device.sessionCount(); ++i) {
        if (device.device.session(i).listed)
            expected.insert(device.expectedFileName(i), device.expectedFile(i));
    }
    int cloudId = -1;
    for (const standin::Device &known : server.devices()) {
        if (QString::fromStdString(known.name) == bleName)
            cloudId = known.id;
    }

    const std::vector<standin::StoredUpload> stored = server.storedUploads();
    for (const standin::StoredUpload &upload : stored) {
        const QString date = QString::fromStdString(upload.date);
        QVERIFY2(expected.contains(date), qPrintable(date));
        QCOMPARE(QByteArray::fromStdString(upload.bytes), expected.value(date));
        QCOMPARE(QString::fromStdString(upload.deviceId), QString::number(cloudId));
    }

    const QByteArrayList commands = device.commands();
    const std::vector<brevia::TimePoint> times = device.device.commandTimes();
    QCOMPARE(size_t(commands.size()), times.size());
    const std::vector<AnsweredUpload> answered = clock.uploads();
    for (int k = 0; k < commands.size(); ++k) {
        if (commands.at(k) != "E000FF000\n")
            continue;
        // The download this erase ends began with the last opening command before it.
        brevia::TimePoint began {};
        for (int j = k - 1; j >= 0; --j) {
            if (commands.at(j) == "BTR\n" || commands.at(j) == "D\n") {
                began = times[size_t(j)];
                break;
            }
        }
        for (auto session = expected.cbegin(); session != expected.cend(); ++session) {
            const bool confirmed =
                std::any_of(answered.begin(), answered.end(), [&](const AnsweredUpload &a) {
                    return a.confirmed && a.at > began && a.at < times[size_t(k)]
                        && a.stored < stored.size()
                        && QString::fromStdString(stored[a.stored].date) == session.key();
                });
            QVERIFY2(confirmed,
                     qPrintable(QStringLiteral("erase at command %1 while session %2 "
                                               "was unconfirmed")
                                    .arg(k)
                                    .arg(session.key())));
        }
    }
}

} // namespace

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void faults_data();
    void faults();
    void anotherDeviceWhosePairingFails();
};

void TestFaultMatrix::init()
{
    forgetUserState();
}

void TestFaultMatrix::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("synced"); // the sync completes (otherwise nothing is erased)
    QTest::addColumn<QString>("warning"); // what the user is told, when the sync stops

    QTest::newRow("all well") << "none" << true << QString();
    QTest::newRow("disk refuses the session file")
        << "full disk" << false << QStringLiteral("could not save the health data");
    QTest::newRow("application folder removed") << "folder removed" << true << QString();
    QTest::newRow("application folder replaced by a file")
        << "folder is a file" << false << QStringLiteral("could not save the health data");
    QTest::newRow("cable pulled while an upload is in flight")
        << "cable pulled" << true << QString();
    QTest::newRow("stray line between pages")
        << "stray line" << false << QStringLiteral("could not read");
    QTest::newRow("cloud refuses the second upload")
        << "refused upload" << false << QStringLiteral("nothing was lost");
}

void TestFaultMatrix::faults()
{
    QFETCH(QString, fault);
    QFETCH(bool, synced);
    QFETCH(QString, warning);

    standin::Scenario cloudScenario = quietCloud();
    if (fault == QLatin1String("cable pulled"))
        cloudScenario.uploadReplyDelayMs = 1000;
    if (fault == QLatin1String("refused upload"))
        cloudScenario.failUploads = {2};
    StandinFixture cloud;
    QVERIFY2(cloud.start(cloudScenario), qPrintable(cloud.errorString()));
    UploadClock clock(cloud.server());

    brevia::Scenario deviceScenario = breviaWith(3);
    if (fault == QLatin1String("stray line")) {
        deviceScenario.strayLineReads = {1};
        deviceScenario.lastDigitPauseMs = 100;
    }
    WindowRig rig(cloud, deviceScenario);
    rig.open();
    QVERIFY(rig.readyToUpload());

    std::unique_ptr<FullDisk> fullDisk;
    if (fault == QLatin1String("full disk"))
        fullDisk = std::make_unique<FullDisk>();
    if (fault.startsWith(QLatin1String("folder")))
        QVERIFY(QDir(applicationFolderPath()).removeRecursively());
    if (fault == QLatin1String("folder is a file")) {
        QFile file(applicationFolderPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    rig.button("button_cloud_upload")->click();

    if (fault == QLatin1String("cable pulled")) {
        // The first upload is stored but its answer is still on its way when the cable goes.
        QTRY_COMPARE_WITH_TIMEOUT(cloud.server().storedUploads().size(), size_t(1), 10000);
        rig.device.device.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_indicator"), 5000);
        QVERIFY(rig.device.device.plugIn());
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
        rig.button("button_cloud_upload")->click();
    }

    if (synced) {
        QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_cloud_main")->text(), syncDoneText, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.device.device.eraseCount(), 1, 5000);
        QCOMPARE(int(cloud.server().storedUploads().size()),
                 fault == QLatin1String("cable pulled") ? 4 : 3);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning")
                                     && rig.label("label_cloud_worning")->text().contains(warning),
                                 20000);
        if (warning != QLatin1String("nothing was lost"))
            QVERIFY(rig.label("label_cloud_worning")->text().contains(nothingErased));
        // The device is found again with all its data, offered for another try.
        QTRY_VERIFY_WITH_TIMEOUT(rig.shown("button_cloud_upload"), 15000);
        QCOMPARE(rig.device.device.eraseCount(), 0);
        QCOMPARE(rig.device.count("E000FF000\n"), 0);
    }
    fullDisk.reset();
    checkInvariant(rig.device, cloud.server(), clock);
    QVERIFY(rig.device.device.violations().empty());
}

void TestFaultMatrix::anotherDeviceWhosePairingFails()
{
    // Device A is paired (cloud id 101) and goes; device B comes and its pairing fails: B's
    // sessions must not go out under A's id, nor under none.
    StandinFixture cloud;
    QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
    UploadClock clock(cloud.server());
    WindowRig rig(cloud, breviaWith(2));
    rig.open();
    QVERIFY(rig.readyToUpload());

    standin::Scenario failing = quietCloud();
    failing.statusOverrides["/api/device/pairDevice"] = 500;
    failing.bodyOverrides["/api/device/pairDevice"] = "";
    QVERIFY(cloud.server().setScenario(failing));
    brevia::Scenario other = breviaWith(3);
    other.ble = "0A1B2C3D4E5F";
    other.uid = "77AA00BB11CC22DD";
    EmulatorFixture deviceB(other);
    QVERIFY(deviceB.start());
    rig.device.setPorts({deviceB.bridgeEntry()});
    rig.device.device.unplug();

    QTRY_COMPARE_WITH_TIMEOUT(rig.label("label_mac")->text(),
                              QStringLiteral("BLE ID:  K217-0A1B2C3D4E5F"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown("label_cloud_worning"), 10000);
    QVERIFY(rig.label("label_cloud_worning")->text().contains(QLatin1String("registered")));
    QVERIFY(!rig.shown("button_cloud_upload"));
    rig.button("button_cloud_upload")->click(); // even when pressed, nothing starts
    QTest::qWait(300);
    QCOMPARE(deviceB.count("BTR\n"), 0);
    QVERIFY(cloud.server().storedUploads().empty());
    QCOMPARE(deviceB.device.eraseCount(), 0);
}

ORVANE_GUI_TEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
