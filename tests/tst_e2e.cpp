// End to end: Orvane's real window in this process, the cloud stand-in and the emulated Brevia
// as programs of their own, as a user's machine runs them. The window finds the emulator's
// pty through the same port list the application uses, reaches the stand-in over HTTPS with
// the stand-in's CA, and is worked through its widgets: typing, clicks, message boxes. What
// reached the cloud and the device is read from the two programs' own logs and files.
#include "common/appfolder.h"
#include "jsonlinesfollower.h"
#include "ui/mainwindow.h"
#include "messageboxhelper.h"
#include "device/portlister.h"
#include "testmain.h"
#include "toolprocess.h"
#include "ui/roundprogressbar.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include <memory>

using namespace testsupport;

namespace {

const QString userName = QStringLiteral("ana.lima@example.com");
const QString password = QStringLiteral("Kx9!vault-2024");
const QString bleName = QStringLiteral("K217-C8F09E4D21A7"); // the emulator's default identity
const QString deviceUid = QStringLiteral("4B21C07DE5A19F03");

const QString signedInText = QStringLiteral("You are signed in as");
const QString syncDoneText = QStringLiteral("Health data synchronization\nis done!");
const QString noDataText = QStringLiteral("No health data stored in the device");
const QString updateOfferedText = QStringLiteral("There is an update for your Brevia device.");
const QString upToDateText = QStringLiteral("Your Brevia's firmware is up to date.");

const QString uploadPath = QStringLiteral("/api/medical/vitals/save");
const QString pairingPath = QStringLiteral("/api/device/pairDevice");
const QString versionReportPath = QStringLiteral("/api/device/updateFirmwareVersion");

// Long enough for a sanitizer build on a busy machine; a healthy run needs a fraction.
constexpr int stepTimeoutMs = 45000;
constexpr int pageBytes = 256;
constexpr int recordsPerPage = 21;

// A recorded session, placed at a known address so that the emulator's page reads tell which
// session the window is reading.
struct Session
{
    quint32 startTime;
    int records;
    quint32 address;

    QString fileName() const { return QString::number(startTime) + QLatin1String("000"); }
    bool holds(quint32 pageAddress) const
    {
        const quint32 pages = quint32((records + recordsPerPage - 1) / recordsPerPage);
        return pageAddress >= address && pageAddress < address + pages * pageBytes;
    }
    QString option() const
    {
        return QStringLiteral("%1:%2@%3").arg(startTime).arg(records).arg(address, 0, 16);
    }
};

const QList<Session> threeSessions {
    {1764921600u, 300, 0x1A00u},
    {1765008000u, 420, 0x3000u},
    {1765094400u, 630, 0x6000u},
};

QStringList sessionOptions(const QList<Session> &sessions)
{
    QStringList options;
    for (const Session &session : sessions)
        options << QStringLiteral("--session") << session.option();
    return options;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A firmware image as the cloud serves it: byte 0 of the header, then the count of F blocks
// in three bytes, little-endian; F blocks of 256 bytes and C blocks of 64 bytes follow.
QByteArray firmwareImage(int fBlocks, int cBlocks, quint32 seed)
{
    QByteArray image(4 + fBlocks * 256 + cBlocks * 64, '\0');
    image[1] = char(fBlocks & 0xFF);
    image[2] = char((fBlocks >> 8) & 0xFF);
    image[3] = char((fBlocks >> 16) & 0xFF);
    QRandomGenerator random(seed);
    for (int i = 4; i < image.size(); ++i)
        image[i] = char(random.bounded(256));
    return image;
}

// Wipes what an earlier case left in the test's HOME: the stored sign-in, the firmware image
// and any session file. The next window starts as on a first run.
void forgetEverything()
{
    QDir(testHome() + QStringLiteral("/.config")).removeRecursively();
    QDir(applicationFolderPath()).removeRecursively();
    QDir().mkpath(applicationFolderPath());
}

QJsonValue parsedText(const QJsonValue &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toString().toUtf8());
    if (document.isArray())
        return document.array();
    return document.object();
}

// The session file an upload was stored as, from the stand-in's notes ("stored as
// sessions/NAME" or "... exists already; stored as sessions/NAME.1").
QString storedAs(const QJsonObject &upload)
{
    const QString marker = QStringLiteral("stored as sessions/");
    for (const QJsonValue &note : upload.value(QLatin1String("notes")).toArray()) {
        const int at = note.toString().indexOf(marker);
        if (at >= 0)
            return note.toString().mid(at + marker.size());
    }
    return QString();
}

} // namespace

// One case's world: its own folder, the two programs, their logs and the window.
class Rig
{
public:
    explicit Rig(const QString &certificates) : certificates(certificates)
    {
        static int cases = 0;
        linkPath = work.filePath(QStringLiteral("brevia-e2e-%1-%2").arg(::getpid()).arg(++cases));
        cloudData = work.filePath(QStringLiteral("cloud"));
        dumpDir = work.filePath(QStringLiteral("device"));
    }

    ~Rig()
    {
        // The window first, so that nothing talks to a program that is being ended.
        window.reset();
    }

    bool startCloud(const QStringList &options)
    {
        QStringList arguments;
        arguments << QStringLiteral("--certs") << certificates << QStringLiteral("--data")
                  << cloudData << QStringLiteral("--log") << requestLog.path()
                  << QStringLiteral("--port") << QStringLiteral("0") << QStringLiteral("--quiet")
                  << QStringLiteral("--account") << userName + QLatin1Char(':') + password
                  << QStringLiteral("--no-update") << options;
        if (!cloud.start(builtProgram(QStringLiteral("tools/cloud-standin/cloud-standin")),
                         arguments)) {
            problem = cloud.errorString();
            return false;
        }
        const QString prefix = QStringLiteral("cloud-standin listening on ");
        const QString line = cloud.waitForLine(prefix, stepTimeoutMs);
        if (line.isEmpty()) {
            problem = cloud.errorString();
            return false;
        }
        endpoint.baseUrl = QUrl(line.mid(prefix.size()).trimmed());
        endpoint.extraCaCertificates =
            QSslCertificate::fromPath(QDir(certificates).filePath(QStringLiteral("ca.pem")));
        if (!endpoint.baseUrl.isValid() || endpoint.extraCaCertificates.isEmpty()) {
            problem = QStringLiteral("no usable address or CA from the stand-in: ") + line;
            return false;
        }
        return true;
    }

    bool startDevice(const QStringList &options)
    {
        QStringList arguments;
        arguments << QStringLiteral("--link") << linkPath << QStringLiteral("--log")
                  << deviceLog.path() << QStringLiteral("--dump-dir") << dumpDir << options;
        if (!device.start(builtProgram(QStringLiteral("tools/device-emulator/brevia-emulator")),
                          arguments)) {
            problem = device.errorString();
            return false;
        }
        // The pty's path comes first, then the link's once the device is ready.
        if (device.waitForLine(linkPath, stepTimeoutMs).isEmpty()) {
            problem = device.errorString();
            return false;
        }
        return true;
    }

    // Orvane's window, with the application's own port list plus the emulator's link.
    MainWindow *openWindow()
    {
        const QString link = linkPath;
        window =
            std::make_unique<MainWindow>(nullptr, endpoint, [link] { return systemPorts(link); });
        window->show();
        return window.get();
    }

    void closeWindow() { window.reset(); }

    // ---- The window, as a person sees and works it

    template<class T = QWidget>
    T *w(const char *name) const
    {
        T *found = window->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("the window has no widget %s", name);
        return found;
    }
    QString text(const char *label) const { return w<QLabel>(label)->text(); }
    bool shown(const char *name) const { return w(name)->isVisibleTo(window.get()); }

    void click(const char *button) { QTest::mouseClick(w<QPushButton>(button), Qt::LeftButton); }

    void type(const char *field, const QString &text)
    {
        auto *edit = w<QLineEdit>(field);
        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClicks(edit, text);
    }

    // The device panel filled in: no waiting animation, the device's name and firmware shown.
    bool waitForDevicePanel()
    {
        return QTest::qWaitFor(
            [&] {
                return !shown("label_indicator") && text("label_mac").endsWith(bleName)
                    && text("label_fw").contains(QRegularExpression(QStringLiteral("\\d+$")));
            },
            stepTimeoutMs);
    }

    // Types the credentials, presses "Sign in" and waits until the window says who is signed
    // in and the steps that follow a sign-in (firmware, application update check) are done.
    bool signInThroughFields()
    {
        type("lineEdit_user", userName);
        type("lineEdit_pass", password);
        if (w<QLineEdit>("lineEdit_user")->text() != userName
            || w<QLineEdit>("lineEdit_pass")->text() != password)
            return false;
        click("button_signin");
        return waitUntilSignedIn();
    }

    // updateChecks: the application update checks the cloud has answered by then, one per
    // sign-in of any window so far.
    bool waitUntilSignedIn(int updateChecks = 1)
    {
        return QTest::qWaitFor(
            [&] {
                return text("label_cloud_main") == signedInText && shown("label_userName")
                    && text("label_userName") == userName
                    && w<QPushButton>("button_signin")->text() == QLatin1String("Sign out")
                    && QFile::exists(applicationFilePath(QStringLiteral("rev.bin")))
                    && requests(QStringLiteral("GET"), QStringLiteral("/api/orvane/checkUpdate"))
                           .size()
                    >= updateChecks;
            },
            stepTimeoutMs);
    }

    // ---- What reached the cloud (the stand-in's request log)

    QList<QJsonObject> requests(const QString &method = QString(), const QString &path = QString())
    {
        QList<QJsonObject> found;
        for (const QJsonObject &record : requestLog.objects()) {
            if ((method.isEmpty() || record.value(QLatin1String("method")).toString() == method)
                && (path.isEmpty() || record.value(QLatin1String("path")).toString() == path))
                found.append(record);
        }
        return found;
    }
    QList<QJsonObject> uploads() { return requests(QStringLiteral("POST"), uploadPath); }
    QList<QJsonObject> pairings() { return requests(QStringLiteral("PUT"), pairingPath); }

    // The device's cloud identifier from the last pairing reply that lists it; 0 before.
    int pairedDeviceId()
    {
        int id = 0;
        for (const QJsonObject &pairing : pairings()) {
            if (pairing.value(QLatin1String("status")).toInt() != 200)
                continue;
            for (const QJsonValue &entry :
                 parsedText(pairing.value(QLatin1String("replyBody"))).toArray()) {
                if (entry.toObject().value(QLatin1String("name")).toString() == bleName)
                    id = entry.toObject().value(QLatin1String("id")).toInt();
            }
        }
        return id;
    }

    // Waits until the cloud has answered this many pairings: every identification of the
    // device while signed in sends one, and a case lets the last one finish before it ends.
    bool waitForPairings(int count)
    {
        return QTest::qWaitFor([&] { return pairings().size() >= count; }, stepTimeoutMs);
    }

    QString storedUploadPath(const QString &name) const
    {
        return QDir(cloudData).filePath(QStringLiteral("sessions/") + name);
    }

    // ---- What the device saw (the emulator's event log and files)

    QList<QJsonObject> events(const QString &kind = QString())
    {
        QList<QJsonObject> found;
        for (const QJsonObject &event : deviceLog.objects()) {
            if (kind.isEmpty() || event.value(QLatin1String("event")).toString() == kind)
                found.append(event);
        }
        return found;
    }
    int count(const QString &kind) { return events(kind).size(); }
    int erases() { return count(QStringLiteral("erase")); }

    // Page reads ("R" and eight hex digits) so far that fell within the session.
    int readsOf(const Session &session)
    {
        int reads = 0;
        for (const QJsonObject &command : events(QStringLiteral("command"))) {
            const QString data = command.value(QLatin1String("data")).toString();
            if (data.size() < 9 || data.at(0) != QLatin1Char('R'))
                continue;
            bool ok = false;
            const quint32 address = data.mid(1, 8).toUInt(&ok, 16);
            if (ok && session.holds(address))
                ++reads;
        }
        return reads;
    }

    QString expectedFile(const Session &session) const
    {
        return QDir(dumpDir).filePath(session.fileName());
    }

    // ---- The end of a case

    // Everything either program flagged: the stand-in's violations, the emulator's.
    QStringList violations()
    {
        QStringList found;
        for (const QJsonObject &record : requestLog.objects()) {
            for (const QJsonValue &text : record.value(QLatin1String("violations")).toArray()) {
                found << QStringLiteral("cloud #%1 %2 %3: %4")
                             .arg(record.value(QLatin1String("seq")).toInt())
                             .arg(record.value(QLatin1String("method")).toString(),
                                  record.value(QLatin1String("path")).toString(), text.toString());
            }
        }
        for (const QString &kind : {QStringLiteral("violation"), QStringLiteral("dump-error")}) {
            for (const QJsonObject &event : events(kind))
                found << QStringLiteral("device %1: %2")
                             .arg(kind, event.value(QLatin1String("data")).toString());
        }
        for (const QString &line : requestLog.malformedLines() + deviceLog.malformedLines())
            found << QStringLiteral("a log line that is not JSON: ") + line;
        return found;
    }

    // Closes the window, asks both programs to stop and checks that they ended cleanly and
    // that neither flagged anything. Empty when all is well.
    QString finish()
    {
        closeWindow();
        QStringList problems;
        if (device.isRunning() && !device.stop())
            problems << device.errorString();
        if (cloud.isRunning() && !cloud.stop())
            problems << cloud.errorString();
        problems << violations();
        return problems.join(QLatin1Char('\n'));
    }

    QTemporaryDir work {QDir::tempPath() + QStringLiteral("/orvane-e2e-XXXXXX")};
    const QString certificates;
    QString linkPath;
    QString cloudData;
    QString dumpDir;
    JsonLinesFollower requestLog {work.filePath(QStringLiteral("requests.jsonl"))};
    JsonLinesFollower deviceLog {work.filePath(QStringLiteral("device-events.jsonl"))};
    CloudEndpoint endpoint;
    QString problem;

    ToolProcess cloud {QStringLiteral("cloud-standin")};
    ToolProcess device {QStringLiteral("brevia-emulator")};
    MessageBoxAnswerer boxes;
    std::unique_ptr<MainWindow> window;
};

class TestE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void synchronizationOfEverySession();
    void firmwareUpdate();
    void refusedUploadKeepsEverySession();
    void deviceUnpluggedDuringTransfer();
    void restartSignsInFromStoredCredentials();

private:
    // Opens the window on a running device and signs in through the fields; the device is
    // then paired and its data offered for upload.
    bool openAndSignIn();

    QTemporaryDir certificates {QDir::tempPath() + QStringLiteral("/orvane-e2e-certs-XXXXXX")};
    std::unique_ptr<Rig> rig;
    QElapsedTimer caseClock;
};

void TestE2e::initTestCase()
{
    QVERIFY(certificates.isValid());
    const QString standin = builtProgram(QStringLiteral("tools/cloud-standin/cloud-standin"));
    const QString emulator = builtProgram(QStringLiteral("tools/device-emulator/brevia-emulator"));
    QVERIFY2(!standin.isEmpty(), "ORVANE_TEST_BINARY_DIR is not set: run the suite through CTest");
    QVERIFY2(QFileInfo(standin).isExecutable(), qPrintable(standin));
    QVERIFY2(QFileInfo(emulator).isExecutable(), qPrintable(emulator));
}

void TestE2e::init()
{
    forgetEverything();
    rig = std::make_unique<Rig>(certificates.path());
    QVERIFY(rig->work.isValid());
    caseClock.start();
}

void TestE2e::cleanup()
{
    // Whatever a failed case left running ends here: the window, then both programs.
    rig.reset();
    qInfo("%s took %.1f s", QTest::currentTestFunction(), caseClock.elapsed() / 1000.0);
}

bool TestE2e::openAndSignIn()
{
    rig->openWindow();
    if (!QTest::qWaitForWindowExposed(rig->window.get()) || !rig->waitForDevicePanel()) {
        qWarning("the window did not show the device");
        return false;
    }
    if (!rig->signInThroughFields()) {
        qWarning("the window did not sign in");
        return false;
    }
    // The device was identified before the sign-in: it is paired all the same, so that the
    // uploads carry its cloud identifier.
    if (!QTest::qWaitFor([&] { return rig->pairedDeviceId() > 0; }, stepTimeoutMs)) {
        qWarning("the device was not paired");
        return false;
    }
    return true;
}

// One complete synchronization: signed in through the fields, every session uploaded as the
// device's own bytes, the device erased once and only after the last upload was stored.
void TestE2e::synchronizationOfEverySession()
{
    const bool cloudUp = rig->startCloud({});
    QVERIFY2(cloudUp, qPrintable(rig->problem));
    const bool deviceUp = rig->startDevice(sessionOptions(threeSessions));
    QVERIFY2(deviceUp, qPrintable(rig->problem));
    rig->openWindow();
    QVERIFY(rig->waitForDevicePanel());
    QVERIFY(rig->text("label_cloud_used").startsWith(QLatin1String("3 sessions with")));
    // Signed out: the data is shown, but nothing offers to upload it.
    QVERIFY(!rig->shown("button_cloud_upload"));
    QVERIFY(rig->signInThroughFields());

    const QJsonObject signIn =
        rig->requests(QStringLiteral("POST"), QStringLiteral("/signin")).value(0);
    QCOMPARE(signIn.value(QLatin1String("status")).toInt(), 200);
    QVERIFY(signIn.value(QLatin1String("bodyText")).toString().contains(userName));

    QTRY_VERIFY_WITH_TIMEOUT(rig->pairedDeviceId() > 0, stepTimeoutMs);
    const QJsonObject pairing = rig->pairings().first();
    QCOMPARE(pairing.value(QLatin1String("token")).toString(), QStringLiteral("match"));
    const QJsonObject announced = parsedText(pairing.value(QLatin1String("bodyText"))).toObject();
    QCOMPARE(announced.value(QLatin1String("bleName")).toString(), bleName);
    QCOMPARE(announced.value(QLatin1String("uniqueNumber")).toString(), deviceUid);
    const int deviceId = rig->pairedDeviceId();

    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_cloud_upload"), stepTimeoutMs);
    rig->click("button_cloud_upload");

    // The cloud is held (the stand-in stopped) from the first page of the last session on,
    // so that its upload waits: the device must not be erased meanwhile.
    const Session &last = threeSessions.last();
    const QString lastFile = applicationFilePath(last.fileName());
    QVERIFY(QTest::qWaitFor([&] { return rig->readsOf(last) > 0; }, stepTimeoutMs));
    QVERIFY(rig->cloud.sendSignal(SIGSTOP));
    QCOMPARE(rig->uploads().size(), 2);
    QVERIFY2(!QFile::exists(lastFile), "the last session was read before the cloud was held");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lastFile), stepTimeoutMs);
    // Everything is read and handed to the upload; the erase has to wait for the cloud.
    QVERIFY(!QTest::qWaitFor([&] { return rig->erases() > 0; }, 1000));
    QVERIFY(rig->cloud.sendSignal(SIGCONT));

    // The stand-in logs an upload once it is stored, before it answers: when the erase
    // arrives, the third upload must be on record.
    int uploadsAtErase = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (rig->erases() == 0)
                return false;
            uploadsAtErase = rig->uploads().size();
            return true;
        },
        stepTimeoutMs));
    QCOMPARE(uploadsAtErase, 3);

    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_cloud_main"), syncDoneText, stepTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_cloud_used"), noDataText, stepTimeoutMs);
    // The device restarts erased and is identified afresh: paired when the erase was sent,
    // and again once identified.
    QVERIFY(rig->waitForPairings(3));
    QCOMPARE(rig->count(QStringLiteral("restart")), 1);
    QVERIFY(!rig->shown("label_indicator"));
    QCOMPARE(rig->text("label_cloud_used"), noDataText);
    QCOMPARE(rig->text("label_cloud_main"), syncDoneText);
    QVERIFY(!rig->shown("button_cloud_upload"));
    QVERIFY(!rig->shown("label_cloud_worning"));
    QCOMPARE(rig->erases(), 1);

    // Each session stored once, byte for byte what the device holds, under the paired device.
    const QList<QJsonObject> uploads = rig->uploads();
    QCOMPARE(uploads.size(), 3);
    for (int i = 0; i < threeSessions.size(); ++i) {
        const Session &session = threeSessions.at(i);
        const QJsonObject &upload = uploads.at(i);
        QCOMPARE(upload.value(QLatin1String("status")).toInt(), 200);
        QCOMPARE(upload.value(QLatin1String("query")).toString(),
                 QStringLiteral("deviceID=%1&date=%2").arg(deviceId).arg(session.fileName()));
        QCOMPARE(storedAs(upload), session.fileName());
        const QByteArray expected = fileBytes(rig->expectedFile(session));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(fileBytes(rig->storedUploadPath(session.fileName())), expected);
        // Confirmed, so the application's copy is gone.
        QVERIFY(!QFile::exists(applicationFilePath(session.fileName())));
    }
    QCOMPARE(rig->boxes.count(), 0);

    const QString problems = rig->finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
}

// The firmware offered by the cloud flashed from the window: the emulator holds exactly the
// image's blocks, the new version reaches the cloud and the window shows the device current.
void TestE2e::firmwareUpdate()
{
    const QByteArray image = firmwareImage(24, 64, 20240501);
    const QString imagePath = rig->work.filePath(QStringLiteral("firmware-1320.bin"));
    QVERIFY(writeFile(imagePath, image));
    const bool cloudUp = rig->startCloud({QStringLiteral("--fw-version"), QStringLiteral("1320"),
                                          QStringLiteral("--fw-image"), imagePath});
    QVERIFY2(cloudUp, qPrintable(rig->problem));
    // One session on the device: the window asks before flashing over it.
    const bool deviceUp = rig->startDevice(
        {QStringLiteral("--fw"), QStringLiteral("1310"), QStringLiteral("--new-fw"),
         QStringLiteral("1320"), QStringLiteral("--session"), QStringLiteral("1764921600:40")});
    QVERIFY2(deviceUp, qPrintable(rig->problem));
    QVERIFY(openAndSignIn());
    QCOMPARE(rig->text("label_fw"), QStringLiteral("Firmware version:   1310"));

    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_update"), stepTimeoutMs);
    QCOMPARE(rig->text("label_fw_main"), updateOfferedText);
    QCOMPARE(rig->text("label_fw_version"),
             QStringLiteral("Latest firmware version available:1320"));
    QCOMPARE(fileBytes(applicationFilePath(QStringLiteral("rev.bin"))), image);

    rig->boxes.queue(QMessageBox::Yes);
    rig->click("button_update");
    QCOMPARE(rig->boxes.count(), 1);
    QVERIFY(rig->boxes.last().text.contains(QLatin1String("unsaved data")));
    QCOMPARE(rig->boxes.last().pressed, QMessageBox::Yes);
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("roundBarFW"), stepTimeoutMs);

    // The whole image went in, and the device restarted into it.
    const QString flashed = QDir(rig->dumpDir).filePath(QStringLiteral("flashed.bin"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(flashed), stepTimeoutMs);
    QCOMPARE(fileBytes(flashed), image.mid(4));
    QCOMPARE(rig->count(QStringLiteral("image")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!rig->events(QStringLiteral("boot")).isEmpty(), stepTimeoutMs);
    QCOMPARE(rig->events(QStringLiteral("boot")).last().value(QLatin1String("data")).toString(),
             QStringLiteral("WM 1320"));

    // The flashed version is the one reported, and the cloud took it.
    QTRY_COMPARE_WITH_TIMEOUT(rig->requests(QStringLiteral("POST"), versionReportPath).size(), 1,
                              stepTimeoutMs);
    const QJsonObject report = rig->requests(QStringLiteral("POST"), versionReportPath).first();
    QCOMPARE(report.value(QLatin1String("status")).toInt(), 200);
    QCOMPARE(report.value(QLatin1String("token")).toString(), QStringLiteral("match"));
    const QJsonObject reported = parsedText(report.value(QLatin1String("bodyText"))).toObject();
    QCOMPARE(reported.value(QLatin1String("deviceName")).toString(), bleName);
    QCOMPARE(reported.value(QLatin1String("newVersion")).toInt(), 1320);
    const QJsonObject taken = parsedText(report.value(QLatin1String("replyBody"))).toObject();
    QCOMPARE(taken.value(QLatin1String("firmwareVersion")).toInt(), 1320);

    // The restarted device is identified again, running what was flashed.
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_fw"), QStringLiteral("Firmware version:   1320"),
                              stepTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_fw_main"), upToDateText, stepTimeoutMs);
    QVERIFY(!rig->shown("button_update"));
    QVERIFY(!rig->shown("label_indicator"));
    QVERIFY(rig->waitForPairings(2)); // identified again while signed in

    // The clock was set after the restart, to the current time in UTC.
    const QList<QJsonObject> clocks = rig->events(QStringLiteral("clock"));
    QCOMPARE(clocks.size(), 1);
    const QDateTime clock =
        QDateTime::fromString(clocks.first().value(QLatin1String("data")).toString(),
                              QStringLiteral("MM/dd/yy HH:mm:ss"));
    QVERIFY(clock.isValid());
    const QDateTime set(clock.date().addYears(100), clock.time(), Qt::UTC); // "yy" reads as 19yy
    QVERIFY2(qAbs(set.secsTo(QDateTime::currentDateTimeUtc())) < 600,
             qPrintable(set.toString(Qt::ISODate)));
    QCOMPARE(rig->boxes.count(), 1);

    const QString problems = rig->finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
}

// The cloud refuses the second upload: nothing is erased, the refused session's file stays,
// the user is told, and the restarted link finds every session still on the device.
void TestE2e::refusedUploadKeepsEverySession()
{
    const bool cloudUp = rig->startCloud({QStringLiteral("--fail-upload"), QStringLiteral("2")});
    QVERIFY2(cloudUp, qPrintable(rig->problem));
    const bool deviceUp = rig->startDevice(sessionOptions(threeSessions));
    QVERIFY2(deviceUp, qPrintable(rig->problem));
    QVERIFY(openAndSignIn());
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_cloud_upload"), stepTimeoutMs);
    const QString memoryText = rig->text("label_cloud_used");
    QVERIFY(memoryText.startsWith(QLatin1String("3 sessions with")));

    rig->click("button_cloud_upload");
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("label_cloud_worning"), stepTimeoutMs);
    const int pairingsAtFailure = rig->pairings().size();
    const QString warning = rig->text("label_cloud_worning");
    QVERIFY2(warning.contains(QLatin1String("did not go through"))
                 && warning.contains(QLatin1String("still on")),
             qPrintable(warning));

    const QList<QJsonObject> uploads = rig->uploads();
    QCOMPARE(uploads.size(), 2);
    QCOMPARE(uploads.at(0).value(QLatin1String("status")).toInt(), 200);
    QCOMPARE(uploads.at(1).value(QLatin1String("status")).toInt(), 500);
    // The confirmed session's file is gone, the refused one's is kept as it was read.
    QVERIFY(!QFile::exists(applicationFilePath(threeSessions.at(0).fileName())));
    const QString refused = applicationFilePath(threeSessions.at(1).fileName());
    QVERIFY(QFile::exists(refused));
    QCOMPARE(fileBytes(refused), fileBytes(rig->expectedFile(threeSessions.at(1))));
    QVERIFY(!QFile::exists(applicationFilePath(threeSessions.at(2).fileName())));

    // The link restarts and identifies the device again, with every session on it.
    QTRY_VERIFY_WITH_TIMEOUT(rig->pairings().size() > pairingsAtFailure, stepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig->shown("label_indicator"), stepTimeoutMs);
    QCOMPARE(rig->text("label_cloud_used"), memoryText);
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_cloud_upload"), stepTimeoutMs);
    QVERIFY(rig->shown("label_cloud_worning"));
    QCOMPARE(rig->readsOf(threeSessions.at(2)), 0);
    QCOMPARE(rig->erases(), 0);
    QCOMPARE(rig->uploads().size(), 2);
    QCOMPARE(rig->boxes.count(), 0);

    const QString problems = rig->finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
    // Nothing was erased up to the end.
    QCOMPARE(rig->erases(), 0);
}

// The cable pulled in the middle of the second session and plugged in again: the window
// loses the device, finds it again with everything on it, and a second transfer completes.
void TestE2e::deviceUnpluggedDuringTransfer()
{
    const bool cloudUp = rig->startCloud({});
    QVERIFY2(cloudUp, qPrintable(rig->problem));
    const bool deviceUp = rig->startDevice(sessionOptions(threeSessions));
    QVERIFY2(deviceUp, qPrintable(rig->problem));
    QVERIFY(openAndSignIn());
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_cloud_upload"), stepTimeoutMs);
    const QString memoryText = rig->text("label_cloud_used");

    rig->click("button_cloud_upload");
    QVERIFY(QTest::qWaitFor([&] { return rig->readsOf(threeSessions.at(1)) > 0; }, stepTimeoutMs));
    QVERIFY(rig->device.sendSignal(SIGUSR1));
    QTRY_COMPARE_WITH_TIMEOUT(rig->count(QStringLiteral("unplug")), 1, stepTimeoutMs);

    // No device in the window.
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("label_indicator") && rig->shown("label_status"),
                             stepTimeoutMs);
    QCOMPARE(rig->erases(), 0);
    QCOMPARE(rig->uploads().size(), 1); // the first session went through before the cable

    const int pairingsBefore = rig->pairings().size();
    const int eventsBefore = rig->events().size();
    QVERIFY(rig->device.sendSignal(SIGUSR2));
    QTRY_COMPARE_WITH_TIMEOUT(rig->count(QStringLiteral("plug")), 2, stepTimeoutMs);

    // Identified afresh, with every session still there, and paired again.
    QTRY_VERIFY_WITH_TIMEOUT(rig->pairings().size() > pairingsBefore, stepTimeoutMs);
    QVERIFY(!rig->shown("label_indicator"));
    QVERIFY(rig->text("label_mac").endsWith(bleName));
    QCOMPARE(rig->text("label_cloud_used"), memoryText);
    QTRY_VERIFY_WITH_TIMEOUT(rig->shown("button_cloud_upload"), stepTimeoutMs);
    const QList<QJsonObject> since = rig->events().mid(eventsBefore);
    for (const QJsonObject &event : since) {
        const QString kind = event.value(QLatin1String("event")).toString();
        QVERIFY2(
            kind != QLatin1String("violation") && kind != QLatin1String("erase"),
            qPrintable(kind + QLatin1Char(' ') + event.value(QLatin1String("data")).toString()));
    }
    QCOMPARE(rig->erases(), 0);

    // Pressed again: the whole transfer runs through.
    const int pairingsBeforeTransfer = rig->pairings().size();
    rig->click("button_cloud_upload");
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_cloud_main"), syncDoneText, stepTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("label_cloud_used"), noDataText, stepTimeoutMs);
    // Paired when the erase was sent, and again once the restarted device is identified.
    QVERIFY(rig->waitForPairings(pairingsBeforeTransfer + 2));
    QVERIFY(!rig->shown("label_indicator"));
    QCOMPARE(rig->erases(), 1);

    const QList<QJsonObject> uploads = rig->uploads();
    QCOMPARE(uploads.size(), 4);
    for (int i = 0; i < threeSessions.size(); ++i) {
        const Session &session = threeSessions.at(i);
        const QJsonObject &upload = uploads.at(1 + i);
        QCOMPARE(upload.value(QLatin1String("status")).toInt(), 200);
        QVERIFY(upload.value(QLatin1String("query"))
                    .toString()
                    .endsWith(QLatin1String("&date=") + session.fileName()));
        // The first session reached the cloud twice: the second copy is numbered.
        const QString name = storedAs(upload);
        QCOMPARE(name, i == 0 ? session.fileName() + QLatin1String(".1") : session.fileName());
        QCOMPARE(fileBytes(rig->storedUploadPath(name)), fileBytes(rig->expectedFile(session)));
    }
    QCOMPARE(rig->boxes.count(), 0);

    const QString problems = rig->finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
}

// Orvane started again after a sign-in: the new window signs in by itself with the stored
// (encrypted) credentials.
void TestE2e::restartSignsInFromStoredCredentials()
{
    const bool cloudUp = rig->startCloud({});
    QVERIFY2(cloudUp, qPrintable(rig->problem));
    const bool deviceUp =
        rig->startDevice({QStringLiteral("--session"), QStringLiteral("1764921600:40")});
    QVERIFY2(deviceUp, qPrintable(rig->problem));
    QVERIFY(openAndSignIn());
    QCOMPARE(rig->requests(QStringLiteral("POST"), QStringLiteral("/signin")).size(), 1);
    const int pairings = rig->pairings().size();
    rig->closeWindow();

    // Kept for the next start, but not readable as they were typed.
    const QString settingsPath = QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                           QStringLiteral("Orvane"), QStringLiteral("Kestrane"))
                                     .fileName();
    const QByteArray stored = fileBytes(settingsPath);
    QVERIFY2(stored.contains("signedIn=true"), stored.constData());
    QVERIFY(!stored.contains(userName.toUtf8()));
    QVERIFY(!stored.contains(password.toUtf8()));

    rig->openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(rig->window.get()));
    QTRY_COMPARE_WITH_TIMEOUT(
        rig->requests(QStringLiteral("POST"), QStringLiteral("/signin")).size(), 2, stepTimeoutMs);
    const QJsonObject signIn =
        rig->requests(QStringLiteral("POST"), QStringLiteral("/signin")).last();
    QCOMPARE(signIn.value(QLatin1String("status")).toInt(), 200);
    const QJsonObject sent = parsedText(signIn.value(QLatin1String("bodyText"))).toObject();
    QCOMPARE(sent.value(QLatin1String("nickNameOrEmail")).toString(), userName);
    QVERIFY(signIn.value(QLatin1String("bodyMasked")).toBool()); // the password was in it

    QVERIFY(rig->waitUntilSignedIn(2));
    QCOMPARE(rig->text("label_cloud_main"), signedInText);
    QCOMPARE(rig->text("label_userName"), userName);
    // Nothing was typed into this window.
    QVERIFY(rig->w<QLineEdit>("lineEdit_user")->text().isEmpty());
    QVERIFY(rig->w<QLineEdit>("lineEdit_pass")->text().isEmpty());
    QVERIFY(!rig->shown("lineEdit_user"));
    QVERIFY(!rig->shown("lineEdit_pass"));
    // The restored session works: the device is paired again with the new token, once both
    // the identification and the firmware information are in.
    QTRY_COMPARE_WITH_TIMEOUT(rig->pairings().size(), pairings + 1, stepTimeoutMs);
    QCOMPARE(rig->pairings().last().value(QLatin1String("token")).toString(),
             QStringLiteral("match"));
    QCOMPARE(rig->boxes.count(), 0);

    const QString problems = rig->finish();
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
}

ORVANE_GUI_TEST_MAIN(TestE2e)
#include "tst_e2e.moc"
