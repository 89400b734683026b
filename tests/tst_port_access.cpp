// A device port this user may not open: the link tells so once per port and scans on, and
// tells when it is over; a port that another program holds is not such a case.
#include "emulatorfixture.h"
#include "nodeaccess.h"
#include "testmain.h"

#include <QSerialPort>
#include <QSignalSpy>

using namespace testsupport;

namespace {

QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void captureLine(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    capturedLines.append(text);
    if (previousHandler)
        previousHandler(type, context, text);
}

int linesWith(const QString &part)
{
    int n = 0;
    for (const QString &line : qAsConst(capturedLines))
        n += line.contains(part) ? 1 : 0;
    return n;
}

} // namespace

class TestPortAccess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deniedPortToldOncePerPlugUntilItOpens();
    void portHeldByAnotherProgramIsNotDenied();
};

void TestPortAccess::init()
{
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(captureLine);
}

void TestPortAccess::cleanup()
{
    qInstallMessageHandler(previousHandler);
}

void TestPortAccess::deniedPortToldOncePerPlugUntilItOpens()
{
    EmulatorFixture fixture;
    QVERIFY(fixture.start());
    NodeAccessBlock block(fixture.linkPath());
    QString why;
    if (!block.blocked(&why))
        QSKIP(qPrintable(why));

    SerialDevice link(nullptr, fixture.lister());
    QSignalSpy denied(&link, &SerialDevice::portAccessDenied);
    QSignalSpy cleared(&link, &SerialDevice::portAccessCleared);
    QTRY_COMPARE_WITH_TIMEOUT(denied.count(), 1, 5000);
    QCOMPARE(denied.at(0).at(0).toString(), fixture.linkPath());

    // The scan goes on, quietly: one line for the port, none per pass.
    const int passes = fixture.scanPasses();
    QTRY_VERIFY_WITH_TIMEOUT(fixture.scanPasses() >= passes + 3, 8000);
    QCOMPARE(denied.count(), 1);
    QCOMPARE(cleared.count(), 0);
    QCOMPARE(linesWith(QStringLiteral("🔒")), 1);
    QCOMPARE(linesWith(QStringLiteral("portError")), 0);
    QCOMPARE(link.state(), QStringLiteral("toScan"));
    QVERIFY(!link.getDevice().connected);

    // Unplugged, nothing refused is left; plugged in again, it is news again.
    fixture.setPorts({});
    QTRY_COMPARE_WITH_TIMEOUT(cleared.count(), 1, 5000);
    fixture.setPorts({fixture.bridgeEntry()});
    QTRY_COMPARE_WITH_TIMEOUT(denied.count(), 2, 5000);
    QCOMPARE(linesWith(QStringLiteral("🔒")), 2);

    block.lift();
    QVERIFY(waitForIdentified(link));
    QCOMPARE(cleared.count(), 2);
    QCOMPARE(denied.count(), 2);
}

void TestPortAccess::portHeldByAnotherProgramIsNotDenied()
{
    EmulatorFixture fixture;
    QVERIFY(fixture.start());
    // Another program has the port: Qt reports the lock as a permission error too, but no
    // group or rule would help, so the user is not told to change them.
    QSerialPort other;
    other.setPortName(fixture.linkPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));

    SerialDevice link(nullptr, fixture.lister());
    QSignalSpy denied(&link, &SerialDevice::portAccessDenied);
    QTRY_VERIFY_WITH_TIMEOUT(fixture.scanPasses() >= 3, 8000);
    QCOMPARE(denied.count(), 0);
    QCOMPARE(linesWith(QStringLiteral("🔒")), 1);
    QCOMPARE(linesWith(QStringLiteral("portError")), 0);

    other.close();
    QVERIFY(waitForIdentified(link));
    QCOMPARE(denied.count(), 0);
}

ORVANE_TEST_MAIN(TestPortAccess)
#include "tst_port_access.moc"
