// Which refused opens of the scan are news, and when the last refusal for want of access is
// over, step by step as the scan reports them.
#include "device/portrefusals.h"
#include "testmain.h"

namespace {

const QString accessReason = QStringLiteral("Permission denied");
const QString lockReason = QStringLiteral("Permission error while locking the device");

// Steps: "D:port" a refusal for want of access, "B:port" a port held by another program,
// "L:a,b" a pass that listed these ports, "O" a port opened. What each step yields: for a
// refusal "n" (news) or "-", for a pass or an opening "c" (access refusal over) or "-".
QString run(const QStringList &steps)
{
    PortRefusals refusals;
    QString yields;
    for (const QString &step : steps) {
        const QString arg = step.mid(2);
        if (step.startsWith(QLatin1String("D:"))) {
            yields += refusals.note(arg, accessReason, true) ? 'n' : '-';
            continue;
        }
        if (step.startsWith(QLatin1String("B:"))) {
            yields += refusals.note(arg, lockReason, false) ? 'n' : '-';
            continue;
        }
        if (step == QLatin1String("O"))
            refusals.clear();
        else
            refusals.keepListed(arg.split(QLatin1Char(','), Qt::SkipEmptyParts));
        yields += refusals.accessDeniedOver() ? 'c' : '-';
    }
    return yields;
}

} // namespace

class TestPortRefusals : public QObject
{
    Q_OBJECT

private slots:
    void steps_data();
    void steps();
};

void TestPortRefusals::steps_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("yields");

    QTest::newRow("told once while listed") << QStringList {"D:a", "L:a", "D:a", "L:a"} << "n---";
    QTest::newRow("unplugged, then news again")
        << QStringList {"D:a", "L:a", "L:", "D:a", "L:a"} << "n-cn-";
    QTest::newRow("opened") << QStringList {"D:a", "O", "O"} << "nc-";
    QTest::newRow("held by another program: logged once, never over")
        << QStringList {"B:a", "L:a", "B:a", "L:", "O"} << "n----";
    QTest::newRow("denied, then held by another program")
        << QStringList {"D:a", "B:a", "L:a", "D:a", "L:a"} << "nncn-";
    QTest::newRow("two ports: over when both are gone")
        << QStringList {"D:a", "D:b", "L:a,b", "L:b", "L:"} << "nn--c";
    QTest::newRow("one denied, one held: over when the denied one goes")
        << QStringList {"D:a", "B:b", "L:a,b", "L:b", "B:b"} << "nn-c-";
}

void TestPortRefusals::steps()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, yields);
    QCOMPARE(run(steps), yields);
}

ORVANE_TEST_MAIN(TestPortRefusals)
#include "tst_portrefusals.moc"
