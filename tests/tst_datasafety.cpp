// What keeps health data from being lost: the sync ledger's erase rule and files that are
// whole and private or not there at all. (The application update has tst_appinstaller.)
#include "testmain.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "device/syncledger.h"

#include <QDir>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

// Three sessions of 22, 42 and 100 records.
const devicecodec::SessionTable sessions {
    {1767225600u, 22u, 0x1A00u}, {1767232800u, 42u, 0x1C00u}, {1767236400u, 100u, 0x1E00u}};

QString pathOf(int index)
{
    return QStringLiteral("/home/u/orvane/%1000").arg(sessions.value(index).value(0));
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
    // Each row is a script run against one ledger; every step checks its own answer.
    //   b / b0         begin the three sessions (b0: none) of the device on link 7
    //   aN / aN!       announce session N's file: accepted / refused
    //   wN!            announce session N with a size 18 bytes short: refused
    //   cN fN          the upload of session N confirmed / failed: recorded
    //   cN? cN@dev cN@link  not recorded: not awaited / another device / another link
    //   x              the link restarted
    //   E / E! E@dev! E@link!  may the directory be erased now: yes / no, for this device
    //                  and link, another device, another link
    void ledger_data()
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
        QTest::newRow("late confirmation after a restart")
            << "b a0 x c0? b c0? a0 c0 a1 c1 a2 E! c2 E";
        QTest::newRow("sessions go out in order") << "b a1! a0 a1! c0 a2! a1 a0!";
        QTest::newRow("one upload awaited at a time") << "b a0 a0! f0 a0! a1!";
        QTest::newRow("file of the wrong size") << "b w0! a0 E!";
        QTest::newRow("no sessions listed") << "b0 a0! E!";
        QTest::newRow("erase for another device or link") << "b a0 c0 a1 c1 a2 c2 E@dev! E@link! E";
        QTest::newRow("restart forgets everything") << "b a0 c0 a1 c1 a2 c2 x E!";
        QTest::newRow("no download at all") << "c0? a0! E!";
    }

    void ledger()
    {
        QFETCH(QString, script);
        using V = SyncLedger::Verdict;
        const QString device = QStringLiteral("4B21C07DE5A19F03");
        SyncLedger ledger;
        for (const QString &step : script.split(' ')) {
            const QChar op = step.at(0);
            const int index = step.mid(1, 1).toInt();
            const bool refused = step.endsWith('!') || step.endsWith('?');
            const bool otherDevice = step.contains("@dev"), otherLink = step.contains("@link");
            const QString uid = otherDevice ? QStringLiteral("OTHER") : device;
            const quint64 generation = otherLink ? 8 : 7;
            if (op == 'b') {
                ledger.begin(device, 7, step == "b" ? sessions : devicecodec::SessionTable());
            } else if (op == 'x') {
                ledger.clear();
            } else if (op == 'a' || op == 'w') {
                const qint64 size = 18 * (sessions.value(index).value(1) - (op == 'w'));
                QVERIFY2(ledger.announce(index, pathOf(index), size) == !refused, qPrintable(step));
            } else if (op == 'E') {
                QVERIFY2(ledger.mayErase(uid, generation) == !refused, qPrintable(step));
            } else {
                const V verdict = ledger.recordOutcome(uid, generation, pathOf(index), op == 'c');
                const V expected = otherDevice ? V::OtherDevice
                    : otherLink                ? V::OtherLink
                    : !refused                 ? V::Recorded
                    : ledger.active()          ? V::NotAwaited
                                               : V::NoDownload;
                QVERIFY2(verdict == expected,
                         qPrintable(step + ": " + SyncLedger::verdictText(verdict)));
            }
        }
    }

    void privateFiles()
    {
        // Whole and owner-only whatever the umask, with nothing left beside it.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("1767225600000"));
        const mode_t previous = ::umask(0);
        const QString error = writePrivateFile(path, QByteArray(5400, 'o'));
        const QString folder = dir.filePath(QStringLiteral("home/orvane"));
        QVERIFY(makePrivateFolder(folder).isEmpty());
        ::umask(previous);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(readFile(path), QByteArray(5400, 'o'));
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(modeOf(folder), 0700);
        QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ReadOther));
        QVERIFY(makePrivateFolder(folder).isEmpty()); // an existing folder is closed off too
        QCOMPARE(modeOf(folder), 0700);

        // A disk that refuses the bytes (files may not grow past 1 KiB), where a buffered
        // writer would report success: the old file stays as it was.
        struct rlimit saved = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const QString refused = writePrivateFile(path, QByteArray(6000, 'n'));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!refused.isEmpty());
        QCOMPARE(readFile(path), QByteArray(5400, 'o'));
        QCOMPARE(filesIn(dir.path()), QStringList {QStringLiteral("1767225600000")});

        // A file where a folder belongs stays as it is, and writing into it fails.
        QVERIFY(!makePrivateFolder(path).isEmpty());
        QVERIFY(!writePrivateFile(path + QStringLiteral("/x"), "y").isEmpty());
        QCOMPARE(readFile(path), QByteArray(5400, 'o'));
    }
};

ORVANE_TEST_MAIN(TestDataSafety)
#include "tst_datasafety.moc"
