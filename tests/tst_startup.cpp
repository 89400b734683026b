// Start-up through the functions main() calls: identity, private folder, previous and fresh log;
// and the program itself: command line without a display, one instance, a crashed run.
#include "testmain.h"

#include "common/appfolder.h"
#include "logging/logger.h"
#include "toolprocess.h"
#include "ui/singleinstance.h"
#include "ui/startup.h"

#include <QIcon>

#include <memory>

#include <sys/stat.h>

using namespace testsupport;

namespace {

// Far below the 5 s after which the window used to be killed instead of answering.
constexpr int promptMs = 4000;

const QByteArray logStart = QByteArrayLiteral("Start file-log 'main'");

// The program as a desktop starts it, under the offscreen platform or with no display at all.
std::unique_ptr<QProcess> startOrvane(const QStringList &arguments = {}, bool display = true)
{
    auto orvane = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    if (display)
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    orvane->setProcessEnvironment(environment);
    orvane->start(builtProgram(QStringLiteral("src/Orvane")), arguments);
    return orvane;
}

// Every file under the home with size, time and mode, but app.log, which Orvane writes any time.
QStringList filesUnderHome()
{
    QStringList files;
    QDirIterator it(testHome(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.filePath() == applicationFilePath("app.log"))
            continue;
        files << QStringLiteral("%1 %2 %3 %4")
                     .arg(it.filePath())
                     .arg(it.fileInfo().size())
                     .arg(it.fileInfo().lastModified().toMSecsSinceEpoch())
                     .arg(modeOf(it.filePath()), 0, 8);
    }
    files.sort();
    return files;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init() { QDir(applicationFolderPath()).removeRecursively(); }

    void identityAndIcon()
    {
        setApplicationIdentity();
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvane"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("7.4"));
        QCOMPARE(QCoreApplication::organizationName(),
                 QStringLiteral("KESTRANE TECHNOLOGIES, Inc."));
        setApplicationIcon();
        const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
        QCOMPARE(sizes, QList<QSize>({QSize(48, 48), QSize(64, 64), QSize(128, 128)}));
    }

    // Folder and log are the user's alone, whatever the umask. The last run's log replaces the
    // one before, owner-only; when it cannot be kept, this run's log still starts afresh.
    void folderAndLog_data()
    {
        QTest::addColumn<QString>("previous"); // what the run before the last one left
        QTest::newRow("first run") << QString();
        QTest::newRow("previous log kept") << "a log";
        QTest::newRow("previous log cannot be kept") << "a folder";
    }
    void folderAndLog()
    {
        QFETCH(QString, previous);
        const QString previousLog = applicationFilePath("app.previous.log");
        if (!previous.isEmpty()) {
            QVERIFY(QDir().mkpath(applicationFolderPath()));
            QVERIFY(writeFile(applicationFilePath("app.log"), "the last run\n"));
            QVERIFY(QFile::setPermissions(applicationFilePath("app.log"),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
            QVERIFY(writeFile(applicationFilePath("app_01.log"), "an older generation\n"));
            QVERIFY(previous == "a log" ? writeFile(previousLog, "the run before\n")
                                        : QDir().mkpath(previousLog + "/in the way"));
        }

        const mode_t umask = ::umask(0);
        const QDir folder = prepareApplicationFolder();
        QObject owner;
        applog::Logger *logger = startApplicationLog(&owner, folder);
        ::umask(umask);
        QCOMPARE(folder.absolutePath(), QDir(testsupport::testHome()).absolutePath() + "/orvane");
        QCOMPARE(applog::Logger::getInstance(), logger);
        QCOMPARE(logger->parent(), &owner);
        const QByteArray log = readFile(applicationFilePath("app.log"));
        QVERIFY(log.contains(logStart) && !log.contains("the last run"));
        QCOMPARE(modeOf(folder.absolutePath()), 0700);
        QCOMPARE(modeOf(applicationFilePath("app.log")), 0600);
        QCOMPARE(readFile(applicationFilePath("app_01.log")),
                 QByteArray(previous.isEmpty() ? "" : "an older generation\n"));
        if (previous != "a folder")
            QCOMPARE(readFile(previousLog), QByteArray(previous.isEmpty() ? "" : "the last run\n"));
        if (previous == "a log")
            QCOMPARE(modeOf(previousLog), 0600);
    }

    // Answered without display or platform (opening the window would abort); nothing is made.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("error");
        const auto row = [](const char *arguments, int exitCode, const char *output,
                            const char *error = "") {
            QTest::newRow(arguments) << QString(arguments).split(' ') << exitCode
                                     << QByteArray(output) << QByteArray(error);
        };
        row("--version", 0, "Orvane 7.4\n");
        row("-v", 0, "Orvane 7.4\n");
        row("--help", 0, "-v, --version");
        row("-platform xcb -h", 0, "-h, --help"); // with a Qt option
        row("-reverse -v", 0, "Orvane 7.4\n"); // a Qt flag
        row("--frobnicate", 2, "", "Unknown option 'frobnicate'");
        row("--version -x", 2, "", "Unknown option 'x'");
        row("-style", 2, "", "Missing value after '-style'"); // a Qt option without its value
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, error);

        const std::unique_ptr<QProcess> orvane = startOrvane(arguments, false);
        QVERIFY2(orvane->waitForFinished(promptMs), "Orvane did not answer at once");
        QCOMPARE(orvane->exitStatus(), QProcess::NormalExit);
        QCOMPARE(orvane->exitCode(), exitCode);
        const QByteArray standardOutput = orvane->readAllStandardOutput();
        const QByteArray standardError = orvane->readAllStandardError();
        QVERIFY2(output.endsWith('\n') ? standardOutput == output : standardOutput.contains(output),
                 standardOutput.constData());
        QVERIFY2(error.isEmpty() ? standardError.isEmpty() : standardError.contains(error),
                 standardError.constData());
        QVERIFY(!QFileInfo::exists(applicationFolderPath()));
    }

    // A running Orvane that does not answer holds a later start for the patience given only.
    void silentInstanceIsNotWaitedForLong()
    {
        SingleInstance first(applicationFolderPath());
        QCOMPARE(first.claim(), SingleInstance::Claim::First);
        SingleInstance second(applicationFolderPath());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(second.claim(std::chrono::milliseconds(300)), SingleInstance::Claim::OtherSilent);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    }

    // A second start raises the first one's window and ends, changing nothing; after a crash,
    // the next start runs, keeps the crashed run's log and begins its own.
    void oneInstancePerUser()
    {
        std::unique_ptr<QProcess> first = startOrvane();
        QVERIFY2(first->waitForStarted(10000), qPrintable(first->errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(readFile(applicationFilePath("app.log")).contains(logStart),
                                 15000);

        const QStringList filesBefore = filesUnderHome();
        const QByteArray logBefore = readFile(applicationFilePath("app.log"));
        std::unique_ptr<QProcess> second = startOrvane();
        QVERIFY2(second->waitForFinished(promptMs), "the second start did not end at once");
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(second->readAllStandardError().contains("Orvane is already running"));
        QByteArray firstErrors;
        QTRY_VERIFY(
            (firstErrors += first->readAllStandardError()).contains("Orvane was started again"));
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(readFile(applicationFilePath("app.log")).startsWith(logBefore));
        QCOMPARE(filesUnderHome(), filesBefore);

        // A crash leaves the lock and the socket behind; they must not stop the next start.
        first->kill();
        QVERIFY(first->waitForFinished(10000));
        const QByteArray crashedLog = readFile(applicationFilePath("app.log"));
        std::unique_ptr<QProcess> next = startOrvane();
        QVERIFY2(next->waitForStarted(10000), qPrintable(next->errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(applicationFilePath("app.previous.log")), crashedLog,
                                  15000);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(applicationFilePath("app.log")).contains(logStart),
                                 15000);
        QCOMPARE(next->state(), QProcess::Running);
        next->terminate();
        QVERIFY(next->waitForFinished(10000));
    }
};

ORVANE_GUI_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
