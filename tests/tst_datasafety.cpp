// The pieces that keep health data from being lost: the sync ledger's erase rule, and files
// that are whole and private or not there at all.
#include "testmain.h"

#include "common/privatefiles.h"
#include "device/syncledger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString device = QStringLiteral("4B21C07DE5A19F03");
constexpr quint64 linkGeneration = 7;

// Three sessions of 22, 42 and 100 records.
devicecodec::SessionTable threeSessions()
{
    return {{1767225600u, 22u, 0x1A00u}, {1767232800u, 42u, 0x1C00u}, {1767236400u, 100u, 0x1E00u}};
}

QString pathOf(int index)
{
    return QStringLiteral("/home/u/orvane/")
        + QString::number(threeSessions().value(index).value(0)) + QStringLiteral("000");
}

qint64 sizeOf(int index)
{
    return qint64(threeSessions().value(index).value(1)) * 18;
}

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class TestDataSafety : public QObject
{
    Q_OBJECT

private slots:
    void ledger_data();
    void ledger();
    void privateFileIsWholeAndOwnerOnly();
    void refusedWriteLeavesTheOldFile();
    void privateFolder();
};

// Each row is a script run against one ledger; every step checks its own answer.
//   b / b0          begin the three sessions (b0: none) of `device` on `linkGeneration`
//   aN / aN!        announce session N's file: accepted / refused
//   wN!             announce session N with a size 18 bytes short: refused
//   cN fN           the upload of session N confirmed / failed: recorded
//   cN? cN@dev cN@link  not recorded: not awaited / another device / another link
//   x               the link restarted
//   E / E! E@dev! E@link!   may the directory be erased now: yes / no, for this device and
//                   link, another device, another link
void TestDataSafety::ledger_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("every session confirmed") << "b a0 c0 a1 c1 a2 c2 E";
    QTest::newRow("nothing read yet") << "b E!";
    QTest::newRow("last upload still on its way") << "b a0 c0 a1 c1 a2 E!";
    QTest::newRow("last upload failed") << "b a0 c0 a1 c1 a2 f2 E! c2?";
    QTest::newRow("confirmation before the file") << "b c0? a0 E!";
    QTest::newRow("confirmation of another session") << "b a0 c1? E! c0 a1 c0? E!";
    QTest::newRow("from an earlier link") << "b a0 c0@link E!";
    QTest::newRow("for another device") << "b a0 c0@dev E!";
    QTest::newRow("late confirmation after a restart") << "b a0 x c0? b c0? a0 c0 a1 c1 a2 E! c2 E";
    QTest::newRow("sessions go out in order") << "b a1! a0 a1! c0 a2! a1 a0!";
    QTest::newRow("one upload awaited at a time") << "b a0 a0! f0 a0! a1!";
    QTest::newRow("file of the wrong size") << "b w0! a0 E!";
    QTest::newRow("no sessions listed") << "b0 a0! E!";
    QTest::newRow("erase for another device or link") << "b a0 c0 a1 c1 a2 c2 E@dev! E@link! E";
    QTest::newRow("restart forgets everything") << "b a0 c0 a1 c1 a2 c2 x E!";
    QTest::newRow("no download at all") << "c0? a0! E!";
}

void TestDataSafety::ledger()
{
    QFETCH(QString, script);
    SyncLedger ledger;
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QByteArray where = step.toUtf8();
        const QChar op = step.at(0);
        const int index = step.size() > 1 && step.at(1).isDigit() ? step.at(1).digitValue() : -1;
        const bool refused = step.endsWith(QLatin1Char('!')) || step.endsWith(QLatin1Char('?'));
        const QString uid = step.contains(QLatin1String("@dev")) ? QStringLiteral("OTHER") : device;
        const quint64 generation =
            step.contains(QLatin1String("@link")) ? linkGeneration + 1 : linkGeneration;
        if (step == QLatin1String("b")) {
            ledger.begin(device, linkGeneration, threeSessions());
        } else if (step == QLatin1String("b0")) {
            ledger.begin(device, linkGeneration, {});
        } else if (step == QLatin1String("x")) {
            ledger.clear();
        } else if (op == QLatin1Char('a') || op == QLatin1Char('w')) {
            const qint64 size = sizeOf(index) - (op == QLatin1Char('w') ? 18 : 0);
            QVERIFY2(ledger.announce(index, pathOf(index), size) == !refused, where);
        } else if (op == QLatin1Char('c') || op == QLatin1Char('f')) {
            const SyncLedger::Verdict verdict =
                ledger.recordOutcome(uid, generation, pathOf(index), op == QLatin1Char('c'));
            SyncLedger::Verdict expected = SyncLedger::Verdict::Recorded;
            if (step.contains(QLatin1String("@dev")))
                expected = SyncLedger::Verdict::OtherDevice;
            else if (step.contains(QLatin1String("@link")))
                expected = SyncLedger::Verdict::OtherLink;
            else if (refused)
                expected = ledger.active() ? SyncLedger::Verdict::NotAwaited
                                           : SyncLedger::Verdict::NoDownload;
            QVERIFY2(verdict == expected,
                     qPrintable(step + QStringLiteral(": ") + SyncLedger::verdictText(verdict)));
        } else if (op == QLatin1Char('E')) {
            QVERIFY2(ledger.mayErase(uid, generation) == !refused, where);
        } else {
            QFAIL(where);
        }
    }
}

void TestDataSafety::privateFileIsWholeAndOwnerOnly()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("1767225600000"));
    const mode_t previous = ::umask(0);
    const QByteArray bytes(5400, '\x5A');
    const QString error = writePrivateFile(path, bytes);
    ::umask(previous);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    QCOMPARE(modeOf(path), 0600);
    QCOMPARE(filesIn(dir.path()), QStringList {QStringLiteral("1767225600000")});
}

void TestDataSafety::refusedWriteLeavesTheOldFile()
{
    // A disk that refuses the bytes: files may not grow past 1 KiB. A buffered writer takes
    // the 5,400 bytes, fails to write them out and still reports success.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rev.bin"));
    QVERIFY(writePrivateFile(path, QByteArray(300, 'o')).isEmpty());

    struct rlimit saved
    {
    };
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString error = writePrivateFile(path, QByteArray(5400, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!error.isEmpty());
    QVERIFY2(error.contains(QLatin1String("writing the file failed")), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(300, 'o'));
    QCOMPARE(filesIn(dir.path()), QStringList {QStringLiteral("rev.bin")});
}

void TestDataSafety::privateFolder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("home/orvane"));
    QVERIFY(makePrivateFolder(folder).isEmpty());
    QCOMPARE(modeOf(folder), 0700);
    QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ReadOther));
    QVERIFY(makePrivateFolder(folder).isEmpty()); // an existing folder is closed off too
    QCOMPARE(modeOf(folder), 0700);

    // A file where the folder belongs stays as it is, and writing into it fails.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    QVERIFY(writePrivateFile(blocked, "x").isEmpty());
    QVERIFY(!makePrivateFolder(blocked).isEmpty());
    QVERIFY(!writePrivateFile(blocked + QStringLiteral("/1767225600000"), "y").isEmpty());
    QVERIFY(QFileInfo(blocked).isFile());
}

ORVANE_TEST_MAIN(TestDataSafety)
#include "tst_datasafety.moc"
