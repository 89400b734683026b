// Start-up: the application's identity, its private folder and a fresh log, through the
// functions main() calls and through the Orvane program itself.
#include "testmain.h"

#include "common/appfolder.h"
#include "logging/logger.h"
#include "ui/startup.h"

#include <QProcess>

#include <sys/stat.h>

using namespace testsupport;

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void folderAndLog()
    {
        setApplicationIdentity();
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvane"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("7.4"));
        QCOMPARE(QCoreApplication::organizationName(),
                 QStringLiteral("KESTRANE TECHNOLOGIES, Inc."));

        // Health data and the log are the user's alone, whatever the umask says.
        const mode_t umask = ::umask(0);
        const QDir folder = prepareApplicationFolder();
        QObject owner;
        applog::Logger *logger = startApplicationLog(&owner, folder);
        ::umask(umask);
        QCOMPARE(folder.absolutePath(), QDir(testsupport::testHome()).absolutePath() + "/orvane");
        QCOMPARE(applog::Logger::getInstance(), logger);
        QCOMPARE(logger->parent(), &owner);
        QVERIFY(readFile(applicationFilePath("app.log")).contains("Start file-log 'main'"));
        QCOMPARE(modeOf(folder.absolutePath()), 0700);
        QCOMPARE(modeOf(applicationFilePath("app.log")), 0600);
    }

    // The next run removes the last run's log; the older generations and other files stay.
    void programStartsItsLogAfresh()
    {
        QVERIFY(writeFile(applicationFilePath("app.log"), "the previous run\n"));
        QVERIFY(writeFile(applicationFilePath("app_01.log"), "an older generation\n"));
        const QString program = qEnvironmentVariable("ORVANE_TEST_BINARY_DIR") + "/src/Orvane";
        QProcess orvane;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        orvane.start(program, QStringList());
        QVERIFY2(orvane.waitForStarted(10000), qPrintable(program + ": " + orvane.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(applicationFilePath("app.log")).contains("Start file-log 'main'"), 15000);
        QCOMPARE(orvane.state(), QProcess::Running);
        orvane.terminate();
        QVERIFY(orvane.waitForFinished(10000));
        QVERIFY(!readFile(applicationFilePath("app.log")).contains("the previous run"));
        QCOMPARE(readFile(applicationFilePath("app_01.log")), QByteArray("an older generation\n"));
    }
};

ORVANE_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
