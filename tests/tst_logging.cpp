// The logger, its record lines and the rolling log file, on real files in a temporary folder.
#include "testmain.h"

#include "logging/filesink.h"
#include "logging/logger.h"
#include "logging/logmacros.h"

#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

using namespace applog;

namespace {
const QString TS = QStringLiteral(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
const QString LONG_TEXT = QStringLiteral("long enough to pass a rotation size of 100 bytes: ")
    + QString(60, QLatin1Char('x'));

bool matches(const QString &pattern, const QString &text)
{
    return QRegularExpression(pattern).match(text).hasMatch();
}

EnableLogLevels allLevelsOn()
{
    EnableLogLevels levels;
    for (bool &level : levels.levels)
        level = true;
    return levels;
}
} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    Logger *logger = nullptr;

    QString path(const QString &name) const { return tmp->filePath(name); }
    bool exists(const QString &name) const { return QFileInfo::exists(path(name)); }
    static QString gen(int n)
    {
        return QStringLiteral("app_%1.log").arg(n, 2, 10, QLatin1Char('0'));
    }
    FileSink *sink() const { return logger->fileSink(QStringLiteral("main")); }
    QTimer *timer() const { return sink()->findChild<QTimer *>(); }
    void record(const QString &text, int level = LogLevel_INFO)
    {
        logger->log(text, LogLevel(level), QStringLiteral("caller"), "src/x.cpp", 7);
    }
    void checkActivity() { QMetaObject::invokeMethod(sink(), "slotCheckLogFileActivity"); }

    QStringList lines(const QString &name = QStringLiteral("app.log")) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString lastLine(const QString &name = QStringLiteral("app.log")) const
    {
        const QStringList all = lines(name);
        return all.isEmpty() ? QString() : all.last();
    }
    // Records then read "<level letter>|<text>".
    void openShort(unsigned rotationSize = 100, unsigned maxFiles = 5)
    {
        logger->setFileLogFormat(QStringLiteral("<LL>|<TEXT>"), QStringLiteral("<LL>|<TEXT>"));
        QVERIFY(logger->setLogFileName(path("app.log"), rotationSize, maxFiles));
    }

private slots:
    void initTestCase() { QVERIFY(!Logger::getInstance()); }
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        logger = Logger::createInstance(QCoreApplication::instance());
    }
    void cleanup() { delete Logger::getInstance(); }

    void instanceAndSignal()
    {
        QPointer<Logger> first = logger;
        logger = Logger::createInstance(QCoreApplication::instance());
        QVERIFY(first.isNull());
        QCOMPARE(Logger::getInstance(), logger);

        QSignalSpy spy(logger, &Logger::signalLog); // needs "LogLevel" registered
        logger->log(QStringLiteral("text"), LogLevel_WARNING, QStringLiteral("fn"), "a/b.cpp", 9);
        QCOMPARE(spy.count(), 1);
        const QList<QVariant> args = spy.first();
        QVERIFY(matches('^' + TS + '$', args.at(0).toString()));
        QVERIFY(matches(QStringLiteral("^[0-9a-f]{16}$"), args.at(1).toString()));
        QCOMPARE(args.mid(2, 1), QVariantList {QStringLiteral("text")});
        QCOMPARE(args.at(3).value<LogLevel>(), LogLevel_WARNING);
        QCOMPARE(args.mid(4), QVariantList({QStringLiteral("fn"), QStringLiteral("a/b.cpp"), 9u}));

        // A logger deleted with its parent must not stay reachable.
        auto *parent = new QObject;
        Logger::createInstance(parent);
        delete parent;
        QVERIFY(!Logger::getInstance());
    }

    void recordLine()
    {
        QVERIFY(logger->setLogFileName(path("app.log"), 10000000, 20));
        const QString id = Logger::threadId();
        QVERIFY(matches('^' + TS + " \\[" + id + "\\] \\[-\\] Start file-log 'main'$", lastLine()));

        logger->log(QStringLiteral(" reply ok "), LogLevel_INFO, QStringLiteral("replyFinished"),
                    "src/network.cpp", 123);
        const auto m = QRegularExpression("^(" + TS + ") \\[" + id
                                          + "\\] \\[I\\] reply ok "
                                            "\\(replyFinished@src/network\\.cpp:123\\)$")
                           .match(lastLine());
        QVERIFY2(m.hasMatch(), qPrintable(lastLine()));
        const QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyy-MM-dd hh:mm:ss.zzz");
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);

        // Every placeholder, repeated and case-sensitive; the text goes in last, unchanged.
        logger->setFileLogFormat("<TID32>|<TID>|<LL>|<FUNC>|<FILE>|<LINE>|<TEXT>|<LL><ts>|<TS>",
                                 "<LL>|<TEXT>|<FUNC>|<FILE>|<LINE>");
        const QString text = QStringLiteral("<TS> <TID> <LL> <FUNC> <FILE> <LINE> <TEXT>");
        logger->log(text, LogLevel_ERROR, QStringLiteral("f"), "g.cpp", 4294967295u);
        QVERIFY2(matches('^' + id.right(8) + "\\|" + id + "\\|E\\|f\\|g\\.cpp\\|4294967295\\|"
                             + QRegularExpression::escape(text) + "\\|E<ts>\\|" + TS + '$',
                         lastLine()),
                 qPrintable(lastLine()));
        // The internal format never fills in caller details.
        logger->log(QStringLiteral("own"), LogLevel_INTERNAL, QStringLiteral("f"), "g.cpp", 4);
        QCOMPARE(lastLine(), QStringLiteral("-|own|<FUNC>|<FILE>|<LINE>"));
    }

    void levels_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("byDefault"); // the letter written, empty when dropped
        QTest::addColumn<QString>("allOn");
        const char *letters[] = {"!", "E", "W", "N", "I", "", "", "-"};
        for (int level = 0; level < 8; ++level)
            QTest::addRow("%d", level)
                << level << QString(letters[level]) << QString(QLatin1Char("!EWNIDF-"[level]));
        QTest::newRow("8") << 8 << ""
                           << "";
        QTest::newRow("-1") << -1 << ""
                            << "";
    }

    void levels()
    {
        QFETCH(int, level);
        QFETCH(QString, byDefault);
        QFETCH(QString, allOn);
        openShort();
        for (const QString &letter : {byDefault, allOn}) {
            const int before = lines().size();
            record(QStringLiteral("msg"), level);
            QCOMPARE(lines().size(), before + (letter.isEmpty() ? 0 : 1));
            if (!letter.isEmpty())
                QCOMPARE(lastLine(), letter + QStringLiteral("|msg"));
            logger->setFileLogLevels(allLevelsOn());
        }
    }

    void texts_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << 4 << ""
                               << "I|?";
        QTest::newRow("blanks only") << 4 << " \t "
                                     << "I|";
        QTest::newRow("trimmed") << 1 << "\t a  b \r"
                                 << "E|a  b";
        QTest::newRow("utf-8") << 4 << QString::fromUtf8("Grüße 🌐")
                               << QString::fromUtf8("I|Grüße 🌐");
        QTest::newRow("function empty") << 6 << ""
                                        << "F|-";
        QTest::newRow("function blanks") << 6 << "  "
                                         << "F|";
        QTest::newRow("internal empty") << 7 << ""
                                        << "-|?";
    }

    void texts()
    {
        QFETCH(int, level);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        openShort();
        logger->setFileLogLevels(allLevelsOn());
        record(text, level);
        QCOMPARE(lastLine(), expected);
    }

    void filters_data()
    {
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("written");
        QTest::newRow("none") << QStringList() << "anything" << 4 << true;
        QTest::newRow("one matching inside")
            << QStringList {"cloud"} << "the cloud said" << 4 << true;
        QTest::newRow("one not matching") << QStringList {"cloud"} << "device" << 1 << false;
        QTest::newRow("second matching") << QStringList {"^x", "ok$"} << "reply ok" << 4 << true;
        QTest::newRow("none of two") << QStringList {"^x", "ok$"} << "ok reply" << 0 << false;
        QTest::newRow("internal bypasses") << QStringList {"cloud"} << "device" << 7 << true;
        QTest::newRow("invalid refused") << QStringList {"(unclosed"} << "anything" << 4 << true;
    }

    void filters()
    {
        QFETCH(QStringList, filters);
        QFETCH(QString, text);
        QFETCH(int, level);
        QFETCH(bool, written);
        openShort();
        for (const QString &filter : filters)
            QCOMPARE(logger->addFileLogFilter(QRegularExpression(filter)), filter != "(unclosed");
        const int before = lines().size();
        record(text, level);
        QCOMPARE(lines().size(), before + (written ? 1 : 0));
    }

    void refusedNames_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"app.LOG", "app.txt", "app.log.1", "log"})
            QTest::newRow(name) << QString(name);
        QTest::newRow("empty") << QString();
    }

    void refusedNames()
    {
        QFETCH(QString, name);
        const QRegularExpression warning(
            "^Name of log-file not ending with '.log' .*role \"main\"");
        QTest::ignoreMessage(QtWarningMsg, warning);
        QVERIFY(!logger->setLogFileName(path(name), 1000, 5));
        QVERIFY(!sink()->isLogFileOpen());
        record(QStringLiteral("dropped"));
        checkActivity();
        QVERIFY(QDir(tmp->path()).isEmpty());

        // A refused name leaves the file in use as it was.
        openShort();
        QTest::ignoreMessage(QtWarningMsg, warning);
        QVERIFY(!logger->setLogFileName(path(name), 1000, 5));
        record(QStringLiteral("kept"));
        QCOMPARE(lastLine(), QStringLiteral("I|kept"));
    }

    void roles()
    {
        logger->addFileSink(QStringLiteral("extra"));
        FileSink *extra = logger->fileSink(QStringLiteral("extra"));
        logger->addFileSink(QStringLiteral("extra"));
        QCOMPARE(logger->fileSink(QStringLiteral("extra")), extra);
        QVERIFY(!logger->setLogFileName(QStringLiteral("none"), path("none.log"), 100, 1));
        QVERIFY(!logger->setFileLogFormat(QStringLiteral("none"), "<TEXT>", "<TEXT>"));
        QVERIFY(!logger->fileLogLevels(QStringLiteral("none")).enabled(LogLevel_FATAL));

        // "Start file-log" is written once per sink, however often a name is set.
        QVERIFY(logger->setLogFileName(path("app.log"), 1000, 5));
        QVERIFY(logger->setLogFileName(path("app.log"), 1000, 5));
        QVERIFY(logger->setLogFileName(QStringLiteral("extra"), path("extra.log"), 1000, 5));
        QVERIFY(logger->setLogFileName(path("other.log"), 1000, 5));
        QVERIFY(logger->setLogFileName(path("app.log"), 1000, 5));
        record(QStringLiteral("to every role"));
        QCOMPARE(lines().size(), 2);
        QVERIFY(lines().first().endsWith(QStringLiteral("] [-] Start file-log 'main'")));
        QVERIFY(lines("other.log").isEmpty());
        QCOMPARE(lines("extra.log").size(), 2);
        QVERIFY(lines("extra.log").first().endsWith(QStringLiteral("Start file-log 'extra'")));
        QVERIFY(lastLine("extra.log").contains(QStringLiteral("to every role")));
    }

    void openFailure()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Open log-file failed! .*missing.*main"));
        QVERIFY(!logger->setLogFileName(path("missing/app.log"), 100, 5));
        QVERIFY(!sink()->isLogFileOpen());
        QVERIFY(!timer()->isActive());
        record(QStringLiteral("dropped"));
        checkActivity();
        QVERIFY(!exists("missing"));
    }

    void rotationSizeClamped_data()
    {
        QTest::addColumn<uint>("rotationSize");
        QTest::newRow("0") << 0u;
        QTest::newRow("50") << 50u;
    }

    void rotationSizeClamped()
    {
        QFETCH(uint, rotationSize);
        QVERIFY(logger->setLogFileName(path("app.log"), rotationSize, 5));
        const qint64 startSize = QFileInfo(path("app.log")).size();
        QVERIFY2(startSize >= 50 && startSize < 100, "the start record should be 50..99 bytes");
        // Each check stands for the single-shot timer having fired: it must arm it again.
        for (int i = 0; i < 3; ++i) {
            timer()->stop();
            checkActivity();
            QVERIFY(timer()->isActive());
        }
        QVERIFY(!exists(gen(1)));
        record(QStringLiteral("grows past 100"));
        checkActivity();
        QVERIFY(exists(gen(1)));
    }

    void rollingNeedsActivity()
    {
        QFile old(path("app.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(500, 'x') + '\n');
        old.close();
        EnableLogLevels noInternal;
        noInternal.levels[LogLevel_INTERNAL] = false;
        logger->setFileLogLevels(noInternal);
        QVERIFY(logger->setLogFileName(path("app.log"), 100, 5));
        checkActivity();
        QVERIFY(!exists(gen(1)));
        record(QStringLiteral("activity"));
        checkActivity();
        QCOMPARE(lines(gen(1)).size(), 2);
        QVERIFY(lines().isEmpty());
    }

    void rollingKeepsNewestFirst()
    {
        QVERIFY(logger->setLogFileName(path("app.log"), 100, 3));
        const QRegularExpression rolling(
            "\\[-\\] Current log-file 'main' size=(\\d+) \\(rotation-size=100\\) --> rolling$");
        const QString done = '^' + TS
            + " \\[[0-9a-f]{16}\\] \\[-\\] Log-file 'main' rolling done "
              "\\(time elapsed: \\d+ ms\\)$";
        for (const char *name : {"first", "second", "third", "fourth"}) {
            record(name + LONG_TEXT);
            const qint64 size = QFileInfo(path("app.log")).size();
            timer()->stop();
            checkActivity();
            const QRegularExpressionMatch m = rolling.match(lastLine(gen(1)));
            QVERIFY2(m.hasMatch(), qPrintable(lastLine(gen(1))));
            QCOMPARE(m.captured(1).toLongLong(), size);
            QCOMPARE(lines().size(), 1);
            QVERIFY2(matches(done, lastLine()), qPrintable(lastLine()));
            QVERIFY(timer()->isActive());
        }
        QVERIFY(lines(gen(1)).join('\n').contains("fourth"));
        QVERIFY(lines(gen(2)).join('\n').contains("third"));
        QVERIFY(lines(gen(3)).join('\n').contains("second"));
        QCOMPARE(QDir(tmp->path()).entryList(QDir::Files),
                 QStringList({"app.log", gen(1), gen(2), gen(3)}));
    }

    void singleGeneration_data()
    {
        QTest::addColumn<uint>("maxFiles");
        QTest::newRow("1") << 1u;
        QTest::newRow("0") << 0u;
    }

    void singleGeneration()
    {
        QFETCH(uint, maxFiles);
        QVERIFY(logger->setLogFileName(path("app.log"), 100, maxFiles));
        record("first" + LONG_TEXT);
        checkActivity();
        record("second" + LONG_TEXT);
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^Removed .*app_01\\.log\" role \"main\""));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^Moved .*app\\.log\" to .*app_01\\.log"));
        checkActivity();
        const QString newest = lines(gen(1)).join('\n');
        QVERIFY(newest.contains("second") && !newest.contains("first"));
        QCOMPARE(QDir(tmp->path()).entryList(QDir::Files), QStringList({"app.log", gen(1)}));
    }

    void generationCountClamped_data()
    {
        QTest::addColumn<uint>("maxFiles");
        QTest::addColumn<int>("kept");
        QTest::newRow("5") << 5u << 5;
        QTest::newRow("150") << 150u << 99;
    }

    // With generations 1..99 present, one roll shifts exactly the kept ones by one.
    void generationCountClamped()
    {
        QFETCH(uint, maxFiles);
        QFETCH(int, kept);
        for (int n = 1; n <= 99; ++n) {
            QFile file(path(gen(n)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("generation " + QByteArray::number(n));
        }
        QVERIFY(logger->setLogFileName(path("app.log"), 100, maxFiles));
        record(LONG_TEXT);
        checkActivity();
        QVERIFY(lastLine(gen(1)).contains("--> rolling"));
        for (int n = 2; n <= 99; ++n)
            QCOMPARE(lastLine(gen(n)), QStringLiteral("generation %1").arg(n <= kept ? n - 1 : n));
        QVERIFY(!exists(gen(100)));
    }

    void fileRemovedWhileOpen()
    {
        openShort();
        record(QStringLiteral("before"));
        QVERIFY(QFile::remove(path("app.log")));
        record(QStringLiteral("unseen"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Log-file is gone"));
        checkActivity();
        record(QStringLiteral("after"));
        QCOMPARE(lines(), QStringList {"I|after"});
    }

    void folderRemovedWhileOpen()
    {
        QVERIFY(QDir(tmp->path()).mkdir("logs"));
        QVERIFY(logger->setLogFileName(path("logs/app.log"), 100, 5));
        QVERIFY(QDir(path("logs")).removeRecursively());
        record(QStringLiteral("into the void"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Log-file is gone"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Open log-file failed!"));
        checkActivity();
        QVERIFY(!sink()->isLogFileOpen());
        record(QStringLiteral("dropped"));
        checkActivity();
        QVERIFY(!exists("logs"));
    }

    void rollingFailureKeepsWriting()
    {
        // A directory in place of the only generation can be neither removed nor replaced.
        QVERIFY(QDir(tmp->path()).mkpath(gen(1) + "/busy"));
        openShort(100, 1);
        record(LONG_TEXT);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^ERROR: Remove .*app_01\\.log"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^ERROR: Move .*app\\.log\" to .*app_01\\.log"));
        checkActivity();
        record(QStringLiteral("still written"));
        QCOMPARE(lines().first(), QStringLiteral("-|Start file-log 'main'"));
        QCOMPARE(lastLine(), QStringLiteral("I|still written"));
    }

    void macros()
    {
        QVERIFY(logger->setLogFileName(path("app.log"), 10000000, 20));
        const unsigned line = __LINE__ + 1;
        APPLOG_INFO(QStringLiteral("from a macro"));
        QVERIFY2(lastLine().endsWith(
                     QStringLiteral("[I] from a macro (macros@%1:%2)").arg(__FILE__).arg(line)),
                 qPrintable(lastLine()));
        APPLOG_FATAL("f");
        APPLOG_ERROR("e");
        APPLOG_WARNING("w");
        APPLOG_NOTE("n");
        APPLOG_DEBUG("d");
        QStringList written;
        for (const QString &l : lines().mid(2))
            written << l.section(QLatin1Char(' '), 3, 4);
        QCOMPARE(written, QStringList({"[!] f", "[E] e", "[W] w", "[N] n"}));

        delete logger;
        QVERIFY(!Logger::getInstance());
        APPLOG_ERROR("no logger, no crash");
    }
};

ORVANE_TEST_MAIN(TestLogging)

#include "tst_logging.moc"
