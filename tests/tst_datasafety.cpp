// The sync ledger's erase rule, the sync record of what the cloud holds, and private files.
#include "testmain.h"

#include "common/appfolder.h"
#include "common/privatefiles.h"
#include "device/syncledger.h"
#include "sync/syncrecord.h"

#include <memory>

#include <sys/stat.h>

using namespace testsupport;

namespace {

const devicecodec::SessionTable sessions {
    {1767225600u, 22u, 0x1A00u}, {1767232800u, 42u, 0x1C00u}, {1767236400u, 100u, 0x1E00u}};

QString pathOf(int index)
{
    return QStringLiteral("/home/u/orvane/%1000").arg(sessions.value(index).value(0));
}

// A confirmed upload of session `index` of device `uid` for user 1001 under cloud id 101.
ConfirmedSession confirmedEntry(int index, const QString &uid = QStringLiteral("4B21C07DE5A19F03"))
{
    ConfirmedSession entry;
    entry.deviceUid = uid;
    entry.startTime = sessions.value(index).value(0);
    entry.records = sessions.value(index).value(1);
    entry.startAddress = sessions.value(index).value(2);
    entry.sha256 = QByteArray(32, char(0xA0 + index));
    entry.cloudDeviceId = 101;
    entry.account = 1001;
    entry.confirmedAt = QDateTime(QDate(2026, 12, 6), QTime(23, 59, 1, 250), Qt::UTC);
    return entry;
}

} // namespace

class TestDataSafety : public QObject
{
    Q_OBJECT

private slots:
    // Each row is a script run against one ledger; every step checks its own answer.
    //   b / b0         begin the three sessions (b0: none) of the device on link 7
    //   eN             begin them with session N confirmed by an earlier sync
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
        QTest::newRow("sessions go out in order") << "b a1! a0 a2! a1 a0! c0 a2";
        QTest::newRow("at most two awaited") << "b a0 a1 a2! c0 a2 f1 E! c2 E!";
        QTest::newRow("nothing after a failed one") << "b a0 f0 a1!";
        QTest::newRow("file of the wrong size") << "b w0! a0 E!";
        QTest::newRow("no sessions listed") << "b0 a0! E!";
        QTest::newRow("erase for another device or link") << "b a0 c0 a1 c1 a2 c2 E@dev! E@link! E";
        QTest::newRow("restart forgets everything") << "b a0 c0 a1 c1 a2 c2 x E!";
        QTest::newRow("no download at all") << "c0? a0! E!";
        QTest::newRow("confirmed by an earlier sync") << "e1 a0 c0 a1! a2 c2 E";
        QTest::newRow("earlier sync, rest unconfirmed") << "e0 a1 E! f1 E!";
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
            } else if (op == 'e') {
                ledger.begin(device, 7, sessions, {sessions.at(index)});
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

    // A record read back whole, or damaged in one way and then nothing at all.
    void syncRecordFile_data()
    {
        QTest::addColumn<QByteArray>("from"); // replaced by "to" in the file
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<bool>("checked"); // the check kept true to the changed entries
        const auto row = [](const char *name, const char *from = "", const char *to = "",
                            bool checked = false) {
            QTest::newRow(name) << QByteArray(from) << QByteArray(to) << checked;
        };
        for (const char *name : {"none", "missing", "truncated", "empty", "an array", "too large"})
            row(name);
        row("not JSON", "{", "(");
        row("other format", "sync-record/1", "sync-record/2");
        row("entry changed", "\"records\": 42", "\"records\": 43");
        row("check removed", "\"check\"", "\"cheque\"");
        // Damage to an entry with a true check: the entry's own test is what refuses it.
        row("records 0", "\"records\": 42", "\"records\": 0", true);
        row("records 65535", "\"records\": 42", "\"records\": 65535", true);
        row("start time 2^32", "\"startTime\": 1767225600", "\"startTime\": 4294967296", true);
        row("negative address", "\"startAddress\": 6656", "\"startAddress\": -1", true);
        row("SHA-256 short", "a0a0a0a0", "a0a0a0", true);
        row("SHA-256 upper case", "a1a1a1a1", "A1a1a1a1", true);
        row("account 0", "\"account\": 1001", "\"account\": 0", true);
        row("cloud id as text", "\"cloudDeviceId\": 101", "\"cloudDeviceId\": \"101\"", true);
        row("no device", "\"device\": \"4B21C07DE5A19F03\"", "\"device\": \"\"", true);
        row("no time", "2026-12-06T23:59:01.250Z", "yesterday", true);
    }

    void syncRecordFile()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, checked);
        const QByteArray damage = QTest::currentDataTag();
        QTemporaryDir dir;
        const QString path = dir.filePath(SyncRecord::fileName);
        SyncRecord written(path);
        for (int i = 0; i < 3; ++i)
            QVERIFY(written.add(confirmedEntry(i)).isEmpty());
        QCOMPARE(modeOf(path), 0600);
        QByteArray bytes = readFile(path);
        if (!from.isEmpty()) {
            QVERIFY2(bytes.contains(from), from);
            bytes.replace(from, to);
        }
        if (checked) {
            QJsonObject object = QJsonDocument::fromJson(bytes).object();
            const QByteArray list =
                QJsonDocument(object.value("sessions").toArray()).toJson(QJsonDocument::Compact);
            object.insert("check",
                          QString::fromLatin1(
                              QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex()));
            bytes = QJsonDocument(object).toJson();
        }
        if (damage == "truncated")
            bytes.chop(bytes.size() / 2);
        if (damage == "empty")
            bytes = " ";
        if (damage == "an array")
            bytes = "[" + bytes + "]";
        if (damage == "too large")
            bytes += QByteArray(SyncRecord::maxFileBytes, ' ');
        QVERIFY(damage == "missing" ? QFile::remove(path) : writeFile(path, bytes));

        SyncRecord read(path);
        const QString problem = read.load();
        const int entries = damage == "none" ? 3 : 0;
        QCOMPARE(read.sessions().size(), entries);
        QCOMPARE(problem.isEmpty(), entries > 0 || damage == "missing");
        if (entries)
            QCOMPARE(read.sessions(), written.sessions());
    }

    // Which directory rows a record confirms, and what it forgets.
    void syncRecordMatches()
    {
        QTemporaryDir dir;
        SyncRecord record(dir.filePath(SyncRecord::fileName));
        QVERIFY(record.add(confirmedEntry(0)).isEmpty());
        QVERIFY(record.add(confirmedEntry(1)).isEmpty());
        QVERIFY(record.add(confirmedEntry(2, "OTHERDEVICE")).isEmpty());
        const QString uid = QStringLiteral("4B21C07DE5A19F03");
        const auto confirmed = [&](const QString &device, int account, int cloudId,
                                   const devicecodec::SessionTable &directory) {
            return SyncRecord::confirmedRows(record.sessions(), device, account, cloudId,
                                             directory);
        };
        QCOMPARE(confirmed(uid, 1001, 101, sessions), sessions.mid(0, 2));
        // Foreign: another device, another account, another cloud id, or none known.
        QCOMPARE(confirmed("OTHERDEVICE", 1001, 101, sessions), sessions.mid(2, 1));
        QVERIFY(confirmed(uid, 2002, 101, sessions).isEmpty());
        QVERIFY(confirmed(uid, 1001, 102, sessions).isEmpty());
        QVERIFY(confirmed(QString(), 1001, 101, sessions).isEmpty());
        QVERIFY(confirmed(uid, 0, 101, sessions).isEmpty());
        // Stale: the same start time with another count or address is another session.
        devicecodec::SessionTable changed = sessions;
        changed[0][1] = 52;
        changed[1][2] = 0x1D00;
        QVERIFY(confirmed(uid, 1001, 101, changed).isEmpty());

        // Unlisted session 0 loses its entry; a proven empty device loses all; others' stay.
        QVERIFY(record.forget(uid, sessions.mid(1)).isEmpty());
        SyncRecord reread(record.path());
        QVERIFY(reread.load().isEmpty());
        QCOMPARE(reread.sessions().size(), 2);
        QCOMPARE(confirmed(uid, 1001, 101, sessions), sessions.mid(1, 1));
        QVERIFY(record.forget(uid, {}).isEmpty());
        QVERIFY(reread.load().isEmpty());
        QCOMPARE(reread.sessions(), QList<ConfirmedSession> {confirmedEntry(2, "OTHERDEVICE")});
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

        // A disk that refuses the bytes (where a buffered writer reports success): old file kept.
        auto fullDisk = std::make_unique<FileSizeLimit>(1024);
        const QString refused = writePrivateFile(path, QByteArray(6000, 'n'));
        fullDisk.reset();
        QVERIFY(!refused.isEmpty());
        QCOMPARE(readFile(path), QByteArray(5400, 'o'));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList {QStringLiteral("1767225600000")});

        // A file where a folder belongs stays as it is, and writing into it fails.
        QVERIFY(!makePrivateFolder(path).isEmpty());
        QVERIFY(!writePrivateFile(path + QStringLiteral("/x"), "y").isEmpty());
        QCOMPARE(readFile(path), QByteArray(5400, 'o'));
    }
};

ORVANE_TEST_MAIN(TestDataSafety)
#include "tst_datasafety.moc"
