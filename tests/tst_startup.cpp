// Start-up: the application's identity, its folder and a fresh log, through the functions
// main() calls and through the Orvane program itself.
#include "testmain.h"

#include "common/appfolder.h"
#include "logging/logger.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QByteArray startLine("Start file-log 'main'");

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void titleAndIdentity();
    void firstRunCreatesTheFolderForTheLog();
    void laterRunStartsTheLogAfresh();
    void programRunsTheStepsInOrder();
};

void TestStartup::titleAndIdentity()
{
    // The title is the window's own: it does not wait for the identity.
    CloudEndpoint endpoint;
    endpoint.baseUrl = QUrl(QStringLiteral("https://127.0.0.1:9"));
    MainWindow window(nullptr, endpoint, [] { return QList<PortEntry>(); });
    QCOMPARE(window.windowTitle(), QStringLiteral("Orvane 7.4"));
    QVERIFY(QCoreApplication::applicationName() != QLatin1String("Orvane"));

    setApplicationIdentity();
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvane"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("7.4"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("KESTRANE TECHNOLOGIES, Inc."));
    QCOMPARE(window.windowTitle(), QStringLiteral("Orvane 7.4"));
}

void TestStartup::firstRunCreatesTheFolderForTheLog()
{
    QDir(applicationFolderPath()).removeRecursively();
    QVERIFY(!QFileInfo::exists(applicationFolderPath()));

    // Health data and the log are the user's alone, whatever the umask says.
    const mode_t umask = ::umask(0);
    const QDir folder = prepareApplicationFolder();
    QCOMPARE(folder.absolutePath(), QDir(testsupport::testHome()).absolutePath() + "/orvane");
    QVERIFY(folder.exists());

    QObject owner;
    applog::Logger *logger = startApplicationLog(&owner, folder);
    ::umask(umask);
    QVERIFY(logger);
    QCOMPARE(logger->parent(), &owner);
    QCOMPARE(applog::Logger::getInstance(), logger);
    QTRY_VERIFY(readFile(folder.absoluteFilePath("app.log")).contains(startLine));
    QCOMPARE(modeOf(folder.absolutePath()), 0700);
    QCOMPARE(modeOf(folder.absoluteFilePath("app.log")), 0600);
}

void TestStartup::laterRunStartsTheLogAfresh()
{
    QVERIFY(QDir().mkpath(applicationFolderPath()));
    QVERIFY(writeFile(applicationFilePath("app.log"), "the previous run\n"));
    QVERIFY(writeFile(applicationFilePath("app_01.log"), "an older generation\n"));
    QVERIFY(writeFile(applicationFilePath("rev.bin"), "firmware"));

    const QDir folder = prepareApplicationFolder();
    // Only the last run's log goes; its generations and the other files stay.
    QVERIFY(!QFileInfo::exists(applicationFilePath("app.log")));
    QCOMPARE(readFile(applicationFilePath("app_01.log")), QByteArray("an older generation\n"));
    QCOMPARE(readFile(applicationFilePath("rev.bin")), QByteArray("firmware"));

    QObject owner;
    startApplicationLog(&owner, folder);
    QTRY_VERIFY(readFile(applicationFilePath("app.log")).contains(startLine));
    QVERIFY(!readFile(applicationFilePath("app.log")).contains("the previous run"));
}

void TestStartup::programRunsTheStepsInOrder()
{
    const QString program =
        qEnvironmentVariable("ORVANE_TEST_BINARY_DIR") + QStringLiteral("/src/Orvane");
    QVERIFY2(QFileInfo(program).isExecutable(),
             qPrintable("build the Orvane target first: " + program));

    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.path() + "/.config");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    const QString folder = home.path() + "/orvane";
    const QString log = folder + "/app.log";

    for (int run = 1; run <= 2; ++run) {
        if (run == 2) {
            QVERIFY(writeFile(log, "the previous run\n"));
            QVERIFY(writeFile(folder + "/app_01.log", "an older generation\n"));
        }
        QProcess orvane;
        orvane.setProcessEnvironment(environment);
        orvane.setProcessChannelMode(QProcess::MergedChannels);
        orvane.start(program, QStringList());
        QVERIFY2(orvane.waitForStarted(10000), qPrintable(orvane.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains(startLine), 15000);
        QCOMPARE(orvane.state(), QProcess::Running);
        orvane.terminate();
        QVERIFY(orvane.waitForFinished(10000));
        QVERIFY(!readFile(log).contains("the previous run"));
        if (run == 2)
            QCOMPARE(readFile(folder + "/app_01.log"), QByteArray("an older generation\n"));
    }
}

ORVANE_GUI_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
