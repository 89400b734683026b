// The self-update: download headers, and the installer's table with real programs built here.
#include "common/appfolder.h"
#include "common/executableheader.h"
#include "testmain.h"
#include "ui/appinstaller.h"

using namespace testsupport;
using executable::Format;
using executable::Identity;

Q_DECLARE_METATYPE(Identity)

namespace {

constexpr int proofLimitMs = 1000;

constexpr quint32 cpuArm64 = 0x0100000C, cpuX86_64 = 0x01000007;
const Identity x86_64 {Format::Elf, 2, 1, 62}, appleArm {Format::MachO, 0, 0, 0, cpuArm64};

void put(QByteArray &bytes, int offset, quint64 value, int width, bool bigEndian)
{
    for (int i = 0; i < width; ++i) {
        const int shift = 8 * (bigEndian ? width - 1 - i : i);
        bytes[offset + i] = char((value >> shift) & 0xFF);
    }
}

QByteArray elfHeader(quint8 elfClass, quint8 data, quint16 type, quint16 machine)
{
    QByteArray bytes(elfClass == 2 ? 64 : 52, '\0');
    put(bytes, 0, 0x7F454C46, 4, true); // "\x7FELF"
    bytes[4] = char(elfClass);
    bytes[5] = char(data);
    bytes[6] = 1;
    put(bytes, 16, type, 2, data == 2);
    put(bytes, 18, machine, 2, data == 2);
    put(bytes, 20, 1, 4, data == 2);
    return bytes;
}

QByteArray machHeader(quint32 cpuType, quint32 fileType, bool bigEndian = false)
{
    QByteArray bytes(32, '\0');
    put(bytes, 0, 0xFEEDFACF, 4, bigEndian);
    put(bytes, 4, cpuType, 4, bigEndian);
    put(bytes, 12, fileType, 4, bigEndian);
    return bytes;
}

// A universal file: its slices at 4096-byte steps; `declared` slices in the header.
QByteArray fatFile(const QList<quint32> &cpuTypes, bool wide = false, int declared = -1,
                   quint64 sliceSize = 32)
{
    const int entry = wide ? 32 : 20;
    QByteArray bytes(4096 * (cpuTypes.size() + 1), '\0');
    put(bytes, 0, wide ? 0xCAFEBABF : 0xCAFEBABE, 4, true);
    put(bytes, 4, quint32(declared < 0 ? cpuTypes.size() : declared), 4, true);
    for (int i = 0; i < cpuTypes.size(); ++i) {
        const int at = 8 + i * entry;
        const quint64 offset = 4096u * quint64(i + 1);
        put(bytes, at, cpuTypes[i], 4, true);
        put(bytes, at + 8, offset, wide ? 8 : 4, true);
        put(bytes, at + (wide ? 16 : 12), sliceSize, wide ? 8 : 4, true);
        bytes.replace(int(offset), 32, machHeader(cpuTypes[i], 2));
    }
    return bytes;
}

QString answerOf(const QString &program)
{
    QProcess process;
    process.start(program, {QStringLiteral("--version")});
    if (!process.waitForFinished(5000))
        return QStringLiteral("(no answer)");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Processes still running from a proof's scratch folder (Linux: read from /proc).
QStringList proofProcesses()
{
    QStringList found;
#ifdef Q_OS_LINUX
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        const QByteArray commandLine = readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (commandLine.contains("/update-check-"))
            found << pid;
    }
#endif
    return found;
}

} // namespace

class TestAppInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDir().mkpath(applicationFolderPath())); }
    void header_data();
    void header();
    void install_data();
    void install();
};

void TestAppInstaller::header_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Identity>("running");
    QTest::addColumn<QString>("refusal"); // a part of the reason, empty when it is runnable
    const auto row = [](const char *name, const QByteArray &file, const Identity &running,
                        const char *refusal) {
        QTest::newRow(name) << file << running << QString::fromLatin1(refusal);
    };
    row("ELF position-independent program", elfHeader(2, 1, 3, 62), x86_64, "");
    row("ELF fixed-address program", elfHeader(2, 1, 2, 62), x86_64, "");
    row("ELF object file", elfHeader(2, 1, 1, 62), x86_64, "not a program");
    row("ELF core dump", elfHeader(2, 1, 4, 62), x86_64, "not a program");
    row("ELF for AArch64", elfHeader(2, 1, 3, 183), x86_64, "machine 183");
    row("ELF 32-bit", elfHeader(1, 1, 3, 62), x86_64, "32-bit");
    row("ELF big-endian", elfHeader(2, 2, 3, 62), x86_64, "big-endian");
    row("ELF of unknown class", elfHeader(2, 1, 3, 62).replace(4, 1, "\x03"), x86_64, "class");
    row("ELF of unknown version", elfHeader(2, 1, 3, 62).replace(6, 1, "\x02"), x86_64, "version");
    row("ELF cut in its identification", elfHeader(2, 1, 3, 62).left(30), x86_64, "not an ELF");
    row("ELF 64-bit header cut short", elfHeader(2, 1, 3, 62).left(60), x86_64, "cut short");
    row("an HTML page", "<html>", x86_64, "not an ELF");
    row("nothing", "", x86_64, "not an ELF");

    row("Mach-O program", machHeader(cpuArm64, 2), appleArm, "");
    row("Mach-O big-endian program", machHeader(cpuArm64, 2, true), appleArm, "");
    row("Mach-O for Intel", machHeader(cpuX86_64, 2), appleArm, "CPU type 0x1000007");
    row("Mach-O library", machHeader(cpuArm64, 6), appleArm, "not an executable");
    row("Mach-O cut short", machHeader(cpuArm64, 2).left(20), appleArm, "cut short");
    row("universal with this CPU", fatFile({cpuX86_64, cpuArm64}), appleArm, "");
    row("universal, 64-bit table", fatFile({cpuX86_64, cpuArm64}, true), appleArm, "");
    row("universal without this CPU", fatFile({cpuX86_64}), appleArm, "without a slice");
    row("slice past end", fatFile({cpuArm64}, false, -1, 1u << 20), appleArm, "outside the file");
    row("slice at 2^63", fatFile({cpuArm64}, true, -1, 1ull << 63), appleArm, "outside the file");
    row("fat table cut short", fatFile({cpuArm64}, false, 30).left(100), appleArm, "cut short");
    row("a Java class file", QByteArray::fromHex("cafebabe00000034") + QByteArray(64, 'j'),
        appleArm, "slices");
    row("ELF on a Mac", elfHeader(2, 1, 3, 62), appleArm, "not a Mach-O");
    row("unknown platform", elfHeader(2, 1, 3, 62), Identity(), "not known");
}

void TestAppInstaller::header()
{
    QFETCH(QByteArray, file);
    QFETCH(Identity, running);
    QFETCH(QString, refusal);
    QBuffer buffer(&file);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const QString found = executable::checkRunnable(buffer, running);
    QVERIFY2(refusal.isEmpty() ? found.isEmpty() : found.contains(refusal), qPrintable(found));
}

void TestAppInstaller::install_data()
{
    QTest::addColumn<QString>("download"); // a program built here, bytes, or "none"
    QTest::addColumn<QString>("location"); // of the program in use
    QTest::addColumn<bool>("earlierUpdate"); // a previous copy exists from an earlier update
    QTest::addColumn<QString>("refusal"); // a part of the message; empty when installed
    const QString sample = QStringLiteral(UPDATE_SAMPLE);
    const auto row = [](const char *name, const QString &download, const char *location,
                        bool earlier, const char *refusal) {
        QTest::newRow(name) << download << QString::fromLatin1(location) << earlier
                            << QString::fromLatin1(refusal);
    };
    row("junk", "bytes:<html>", "own folder", false, "not a program for this computer");
    row("nothing downloaded", "none", "own folder", false, "no downloaded update");
    row("a script that answers the version", "bytes:#!/bin/sh\necho 'Orvane 7.5'\n", "own folder",
        false, "not a program for this computer");
    row("a program for another processor", "other processor", "own folder", false,
        "not a program for this computer");
    row("a program of another version", QStringLiteral(ANSWERS_7_6), "own folder", true,
        "is not Orvane 7.5: it answers \"Orvane 7.6\"");
    row("a program that hangs on --version", QStringLiteral(HANGS_ON_VERSION), "own folder", false,
        "did not answer within 1 s");
    row("a folder this user may not write", sample, "read-only folder", false,
        "which this user may not change");
    row("a package install", sample, "system location", true,
        "a system location that a package manager looks after");
    row("a package build", sample, "package build", false, "built to be installed and updated");
    row("a good update", sample, "own folder", false, "");
    row("a good update after an earlier one", sample, "own folder", true, "");
}

// Every refused row leaves the program in use answering as before, no download and nothing
// else behind; a good update takes the target's place in one step with the old one kept.
void TestAppInstaller::install()
{
    QFETCH(QString, download);
    QFETCH(QString, location);
    QFETCH(bool, earlierUpdate);
    QFETCH(QString, refusal);

    QTemporaryDir programs;
    const QString target = programs.filePath(QStringLiteral("Orvane"));
    const QString previous = target + QStringLiteral(".previous");
    QVERIFY(QFile::copy(QStringLiteral(ANSWERS_7_4), target)
            && QFile::setPermissions(target, QFile::Permissions(0x7050))); // rwxr-x---
    const QByteArray oldProgram = readFile(target);
    const QByteArray earlierProgram("the program before an earlier update");
    QVERIFY(!earlierUpdate || writeFile(previous, earlierProgram));

    const QString downloaded = applicationFilePath(QStringLiteral("Orvane"));
    QFile::remove(downloaded);
    QByteArray newProgram;
    if (download.startsWith("bytes:")) {
        newProgram = download.mid(6).toUtf8();
    } else if (download == "other processor") {
        // The update sample with another machine in its header: otherwise a whole program.
        newProgram = readFile(QStringLiteral(UPDATE_SAMPLE));
        const quint16 machine = executable::runningProgram().elfMachine == 62 ? 183 : 62;
        put(newProgram, 18, machine, 2, newProgram.at(5) == 2);
    } else if (download != "none") {
        newProgram = readFile(download);
    }
    QVERIFY(download == "none" || writeFile(downloaded, newProgram));

    AppInstaller installer;
    installer.setTarget(target);
    installer.setProofTimeLimit(proofLimitMs);
    int restarts = 0;
    installer.setRestartHandler([&restarts] { ++restarts; });
    SelfUpdatePolicy policy;
    policy.systemLocations << QStringLiteral("/usr/");
    if (location == "system location")
        policy.systemLocations << programs.path();
    policy.builtToUpdateItself = location != "package build";
    installer.setPolicy(policy);
    const QFileDevice::Permissions folderMode = QFile::permissions(programs.path());
    if (location == "read-only folder")
        QVERIFY(QFile::setPermissions(programs.path(), QFile::Permissions(0x5000))); // r-x------
    QCOMPARE(installer.packageManaged().isEmpty(), location == "own folder");

    // A running program goes on reading its old file: it is replaced, not overwritten.
    QFile inUse(target);
    QVERIFY(inUse.open(QIODevice::ReadOnly));
    QElapsedTimer clock;
    clock.start();
    const QString message = installer.installAndRestart(7, 5);
    const qint64 tookMs = clock.elapsed();
    QVERIFY(QFile::setPermissions(programs.path(), folderMode));

    QCOMPARE(inUse.readAll(), oldProgram);
    QVERIFY2(tookMs < proofLimitMs + 2000, qPrintable(QString::number(tookMs)));
    QTRY_COMPARE(proofProcesses(), QStringList()); // killed with all it started
    QCOMPARE(QDir(applicationFolderPath())
                 .entryList({QStringLiteral("update-check-*")}, QDir::AllEntries | QDir::Hidden),
             QStringList());
    const QStringList kept = {QStringLiteral("Orvane"), QStringLiteral("Orvane.previous")};
    if (!refusal.isEmpty()) {
        QVERIFY2(message.contains(refusal), qPrintable(message));
        QVERIFY2(message.contains("Nothing was replaced: Orvane 7.4 keeps running from " + target),
                 qPrintable(message));
        QCOMPARE(message.contains(previous), earlierUpdate);
        QCOMPARE(restarts, 0);
        QCOMPARE(readFile(target), oldProgram);
        QCOMPARE(answerOf(target), QStringLiteral("Orvane 7.4"));
        QCOMPARE(readFile(previous), earlierUpdate ? earlierProgram : QByteArray());
        QVERIFY(!QFile::exists(downloaded));
        QCOMPARE(QDir(programs.path()).entryList(QDir::Files | QDir::Hidden),
                 earlierUpdate ? kept : QStringList(kept.mid(0, 1)));
        return;
    }
    QCOMPARE(message, QString());
    QCOMPARE(restarts, 1);
    QCOMPARE(readFile(target), newProgram);
    QCOMPARE(readFile(previous), oldProgram);
    QCOMPARE(answerOf(previous), QStringLiteral("Orvane 7.4"));
    // The target's permissions, the right to run it given to whoever may read it.
    QCOMPARE(modeOf(target), 0751);
    QCOMPARE(QDir(programs.path()).entryList(QDir::Files | QDir::Hidden), kept);
}

ORVANE_TEST_MAIN(TestAppInstaller)
#include "tst_appinstaller.moc"
