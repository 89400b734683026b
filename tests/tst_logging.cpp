// The application log on real files: records, levels, rolling, a removed file, private files.
#include "testmain.h"

#include "logging/filesink.h"
#include "logging/logger.h"
#include "logging/logmacros.h"

#include <sys/stat.h>

using namespace applog;

class TestLogging : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;

    QString path(const QString &name) { return tmp.filePath(name); }
    static void record(const QString &text, int level = LogLevel_INFO)
    {
        Logger::getInstance()->log(text, LogLevel(level), QStringLiteral("f"), "x.cpp", 7);
    }
    // What the sink's timer does every few seconds.
    static void checkActivity()
    {
        QMetaObject::invokeMethod(Logger::getInstance()->fileSink("main"),
                                  "slotCheckLogFileActivity");
    }
    QStringList lines(const QString &name = QStringLiteral("app.log"))
    {
        return QString::fromUtf8(testsupport::readFile(path(name))).split('\n', Qt::SkipEmptyParts);
    }
private slots:
    void init()
    {
        for (const QString &name : QDir(tmp.path()).entryList(QDir::Files))
            QFile::remove(path(name));
        Logger::createInstance(QCoreApplication::instance());
    }
    void cleanup() { delete Logger::getInstance(); }

    void recordsAndLevels()
    {
        QVERIFY(Logger::getInstance()->setLogFileName(path("app.log"), 10000000, 20));
        Logger::getInstance()->log(" reply <TS> ok ", LogLevel_WARNING, "replyFinished",
                                   "src/network.cpp", 123);
        record(QString());
        for (int level = -1; level <= 8; ++level)
            record(QStringLiteral("level %1").arg(level), level);
        APPLOG_DEBUG("macro");
        const unsigned line = __LINE__ + 1;
        APPLOG_FATAL("macro");

        // Local time to the millisecond, thread, level, text trimmed, caller. Debug and function
        // records are off by default; a level out of range is nobody's.
        const QRegularExpression head("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) \\["
                                      + Logger::threadId() + "\\] ");
        QVERIFY(QRegularExpression("^[0-9a-f]{16}$").match(Logger::threadId()).hasMatch());
        QStringList records;
        for (const QString &text : lines()) {
            const QRegularExpressionMatch m = head.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));
            const QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyy-MM-dd hh:mm:ss.zzz");
            QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);
            records << text.mid(m.capturedLength());
        }
        QCOMPARE(
            records,
            QStringList(
                {"[-] Start file-log 'main'",
                 "[W] reply <TS> ok (replyFinished@src/network.cpp:123)", "[I] ? (f@x.cpp:7)",
                 "[!] level 0 (f@x.cpp:7)", "[E] level 1 (f@x.cpp:7)", "[W] level 2 (f@x.cpp:7)",
                 "[N] level 3 (f@x.cpp:7)", "[I] level 4 (f@x.cpp:7)", "[-] level 7",
                 QStringLiteral("[!] macro (recordsAndLevels@%1:%2)").arg(__FILE__).arg(line)}));

        // A logger deleted with its parent is gone; the macros then do nothing.
        auto *parent = new QObject;
        Logger::createInstance(parent);
        delete parent;
        QVERIFY(!Logger::getInstance());
        APPLOG_ERROR("no logger, no crash");
    }

    void rollingGenerations_data()
    {
        QTest::addColumn<uint>("maxFiles");
        QTest::addColumn<int>("kept");
        QTest::newRow("3") << 3u << 3;
        QTest::newRow("0 keeps one") << 0u << 1;
    }

    void rollingGenerations()
    {
        QFETCH(uint, maxFiles);
        QFETCH(int, kept);
        // A file left by an earlier version, readable by all, is closed off too.
        QVERIFY(testsupport::writeFile(path("app.log"), QByteArray())
                && QFile::setPermissions(path("app.log"),
                                         QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const mode_t umask = ::umask(0);
        QVERIFY(
            !Logger::getInstance()->setLogFileName(path("app.txt"), 50, maxFiles)); // only ".log"
        // 50 bytes count as 100: the start record alone does not roll the file.
        QVERIFY(Logger::getInstance()->setLogFileName(path("app.log"), 50, maxFiles));
        QCOMPARE(testsupport::modeOf(path("app.log")), 0600);
        checkActivity();
        QCOMPARE(lines().size(), 1);
        const QStringList names {"first", "second", "third", "fourth"};
        for (const QString &name : names) {
            record(name + QString(100, 'x'));
            checkActivity();
            QCOMPARE(lines().size(), 1); // "rolling done"
        }
        ::umask(umask);
        // Newest first, the oldest gone, every file the user's alone.
        QStringList expected {"app.log"};
        for (int n = 1; n <= kept; ++n) {
            expected << QStringLiteral("app_%1.log").arg(n, 2, 10, QLatin1Char('0'));
            QVERIFY(lines(expected.last()).join('\n').contains(names.at(names.size() - n)));
            QCOMPARE(testsupport::modeOf(path(expected.last())), 0600);
        }
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), expected);
    }

    void removedFileIsOpenedAgain()
    {
        QVERIFY(Logger::getInstance()->setLogFileName(path("app.log"), 100, 5));
        QVERIFY(QFile::remove(path("app.log")));
        record("unseen");
        checkActivity();
        record("after");
        QCOMPARE(lines().size(), 1);
        QVERIFY(lines().constFirst().contains("] after ("));
    }
};

ORVANE_TEST_MAIN(TestLogging)
#include "tst_logging.moc"
