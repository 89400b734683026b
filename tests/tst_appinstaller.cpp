// Installing a downloaded application over a program file: on temporary files only, never on
// this test's own executable.
#include "testmain.h"

#include "common/appfolder.h"
#include "ui/appinstaller.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

constexpr QFileDevice::Permissions ownerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

} // namespace

class TestAppInstaller : public QObject
{
    Q_OBJECT

private slots:
    void replacesTheTarget_data();
    void replacesTheTarget();
    void failuresLeaveTheTargetAlone_data();
    void failuresLeaveTheTargetAlone();
    void runningProgramKeepsItsOldFile();
    void restartsOnlyOnceInstalled_data();
    void restartsOnlyOnceInstalled();
};

void TestAppInstaller::replacesTheTarget_data()
{
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<int>("targetPermissions");

    QByteArray large(3 * 65536 + 17, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = char(i * 31 + i / 7);
    QTest::newRow("small, owner only")
        << QByteArray("#!/bin/sh\necho new\n") << true << int(ownerOnly);
    QTest::newRow("several chunks, group and others may run it")
        << large << true
        << int(ownerOnly | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
               | QFileDevice::ExeOther);
    QTest::newRow("target not executable yet")
        << QByteArray("binary") << true << int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QTest::newRow("no target yet") << QByteArray("binary") << false << 0;
}

void TestAppInstaller::replacesTheTarget()
{
    QFETCH(QByteArray, newBytes);
    QFETCH(bool, targetExists);
    QFETCH(int, targetPermissions);

    QTemporaryDir downloads;
    QTemporaryDir programs;
    const QString newFile = downloads.filePath(QStringLiteral("Orvane"));
    const QString target = programs.filePath(QStringLiteral("Orvane"));
    QVERIFY(writeFile(newFile, newBytes));
    if (targetExists) {
        QVERIFY(writeFile(target, QByteArray("old program")));
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(targetPermissions)));
    }

    QCOMPARE(installApplicationUpdate(newFile, target), QString());
    QCOMPARE(readFile(target), newBytes);
    const QFileDevice::Permissions permissions = QFile::permissions(target);
    QVERIFY(permissions & QFileDevice::ExeOwner);
    if (targetExists) {
        // The target's own permissions, with the right to run it added where missing.
        const auto expected = QFileDevice::Permissions(targetPermissions) | QFileDevice::ExeOwner
            | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
        QCOMPARE(
            permissions & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
            expected & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser));
    }
    // The downloaded file stays, and nothing is left beside the target.
    QCOMPARE(readFile(newFile), newBytes);
    QCOMPARE(QDir(programs.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"Orvane"});
}

void TestAppInstaller::failuresLeaveTheTargetAlone_data()
{
    QTest::addColumn<QString>("newFileName"); // "" : the downloaded file is missing
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<QString>("targetFolder"); // relative to the programs folder
    QTest::addColumn<QString>("reasonPart");

    QTest::newRow("downloaded file missing") << "" << QByteArray() << "."
                                             << "cannot be read";
    QTest::newRow("downloaded file empty") << "Orvane" << QByteArray() << "."
                                           << "is empty";
    QTest::newRow("folder missing") << "Orvane" << QByteArray("new") << "gone"
                                    << "gone/Orvane";
    QTest::newRow("folder is a file") << "Orvane" << QByteArray("new") << "plain"
                                      << "plain";
}

void TestAppInstaller::failuresLeaveTheTargetAlone()
{
    QFETCH(QString, newFileName);
    QFETCH(QByteArray, newBytes);
    QFETCH(QString, targetFolder);
    QFETCH(QString, reasonPart);

    QTemporaryDir downloads;
    QTemporaryDir programs;
    QVERIFY(writeFile(programs.filePath(QStringLiteral("plain")), QByteArray("not a folder")));
    const QString newFile =
        downloads.filePath(newFileName.isEmpty() ? QStringLiteral("missing") : newFileName);
    if (!newFileName.isEmpty())
        QVERIFY(writeFile(newFile, newBytes));
    const QString target = programs.filePath(targetFolder + QStringLiteral("/Orvane"));
    const bool targetInPlace = targetFolder == QLatin1String(".");
    if (targetInPlace)
        QVERIFY(writeFile(target, QByteArray("old program")));

    const QString error = installApplicationUpdate(newFile, target);
    QVERIFY2(error.contains(reasonPart), qPrintable(error));
    if (targetInPlace)
        QCOMPARE(readFile(target), QByteArray("old program"));
    QCOMPARE(QDir(programs.path()).entryList(QDir::Files | QDir::Hidden),
             targetInPlace ? QStringList({"Orvane", "plain"}) : QStringList {"plain"});
}

void TestAppInstaller::runningProgramKeepsItsOldFile()
{
    // A program that has its file open (as a running program has) goes on reading the old
    // bytes: the file is replaced, not overwritten in place.
    QTemporaryDir downloads;
    QTemporaryDir programs;
    const QString newFile = downloads.filePath(QStringLiteral("Orvane"));
    const QString target = programs.filePath(QStringLiteral("Orvane"));
    QVERIFY(writeFile(newFile, QByteArray("new program, longer than the old one")));
    QVERIFY(writeFile(target, QByteArray("old program")));
    QFile running(target);
    QVERIFY(running.open(QIODevice::ReadOnly));

    QCOMPARE(installApplicationUpdate(newFile, target), QString());
    QCOMPARE(running.readAll(), QByteArray("old program"));
    QCOMPARE(readFile(target), QByteArray("new program, longer than the old one"));
}

void TestAppInstaller::restartsOnlyOnceInstalled_data()
{
    QTest::addColumn<bool>("downloaded");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("installed");

    QTest::newRow("installed") << true << true << true;
    QTest::newRow("nothing downloaded") << false << true << false;
    QTest::newRow("target folder gone") << true << false << false;
}

// The cloud client's download in the application folder replaces the target; the program
// starts again only when the new version is in place.
void TestAppInstaller::restartsOnlyOnceInstalled()
{
    QFETCH(bool, downloaded);
    QFETCH(bool, folderExists);
    QFETCH(bool, installed);

    QVERIFY(QDir().mkpath(applicationFolderPath()));
    const QString download = applicationFilePath(QStringLiteral("Orvane"));
    QFile::remove(download);
    if (downloaded)
        QVERIFY(writeFile(download, QByteArray("new program")));
    QTemporaryDir programs;
    const QString target =
        programs.filePath(folderExists ? QStringLiteral("Orvane") : QStringLiteral("gone/Orvane"));
    if (folderExists)
        QVERIFY(writeFile(target, QByteArray("old program")));

    AppInstaller installer;
    installer.setTarget(target);
    int restarts = 0;
    installer.setRestartHandler([&restarts] { ++restarts; });
    QCOMPARE(installer.downloadedFile(), download);

    const QString error = installer.installAndRestart();
    QCOMPARE(error.isEmpty(), installed);
    QCOMPARE(restarts, installed ? 1 : 0);
    if (folderExists)
        QCOMPARE(readFile(target),
                 installed ? QByteArray("new program") : QByteArray("old program"));
}

ORVANE_TEST_MAIN(TestAppInstaller)
#include "tst_appinstaller.moc"
