// The window on a screen of twice the pixel density, as the program starts it: twice as many
// device pixels in each direction, every picture drawn from that many pixels rather than
// blown up from one per unit, and the texts laid out as at the normal scale. Runs at
// QT_SCALE_FACTOR=2 unless the environment already gives a scale (CTest also runs it with
// QT_FONT_DPI=192: a screen that only reports its density, which scales only when high-DPI
// scaling is enabled).
#include "testmain.h"
#include "windowchecks.h"
#include "windowrig.h"

#include "ui/highdpi.h"

using namespace testsupport;

class TestHighDpi : public QObject
{
    Q_OBJECT

    StandinFixture cloud;

    // Saves the window as it is now at its device pixels (image) and checks its layout.
    void shoot(WindowDriver &rig, const QString &name, QImage &image);

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(screenshotFolder()));
        QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString()));
    }
    void windowAtTwiceTheDensity();
};

void TestHighDpi::shoot(WindowDriver &rig, const QString &name, QImage &image)
{
    const QPixmap grab = rig.window->grab();
    image = grab.toImage();
    QCOMPARE(grab.devicePixelRatio(), 2.0);
    QCOMPARE(image.size(), QSize(1580, 980));
    // The two runs keep their pictures apart.
    const QString scale = qEnvironmentVariableIsEmpty("QT_FONT_DPI") ? QStringLiteral("2x-")
                                                                     : QStringLiteral("2x-dpi-");
    QVERIFY(
        image.save(screenshotFolder() + QLatin1Char('/') + scale + name + QStringLiteral(".png")));
    const QStringList faults = layoutFaults(rig.window.get());
    QVERIFY2(faults.isEmpty(), qPrintable(name + ": " + faults.join(QStringLiteral("; "))));
}

void TestHighDpi::windowAtTwiceTheDensity()
{
    WindowRig rig(cloud, breviaWith(2));
    MainWindow *window = rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY2(window->devicePixelRatioF() == 2.0,
             qPrintable(QStringLiteral("the window is at %1 device pixels a unit")
                            .arg(window->devicePixelRatioF())));
    QCOMPARE(window->size(), QSize(790, 490));

    // Each picture's area in the grab has detail finer than a unit.
    const auto detailIn = [&](const QImage &image, const char *name) {
        QWidget *widget = rig.w(name);
        const QRect area(widget->mapTo(window, QPoint(0, 0)) * 2, widget->size() * 2);
        return detailedBlocks(image, area);
    };

    // The waiting animation's frames are made at the screen's density.
    QLabel *indicator = rig.label("label_indicator");
    QTRY_VERIFY(!indicator->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(indicator->pixmap(Qt::ReturnByValue).devicePixelRatio(), 2.0);
    QImage waiting;
    shoot(rig, QStringLiteral("01-no-device"), waiting);
    if (QTest::currentTestFailed())
        return;
    for (const char *name : {"label_scanimg", "label_3", "label_indicator"}) {
        const int blocks = detailIn(waiting, name);
        QVERIFY2(blocks > 50, qPrintable(QStringLiteral("%1: %2 blocks").arg(name).arg(blocks)));
    }

    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QVERIFY(rig.shown("roundBarCloud"));
    QImage device;
    shoot(rig, QStringLiteral("02-device-with-data"), device);
    if (QTest::currentTestFailed())
        return;
    const int blocks = detailIn(device, "roundBarCloud");
    QVERIFY2(blocks > 50, qPrintable(QStringLiteral("roundBarCloud: %1 blocks").arg(blocks)));
}

// Before main(), and so before the application object.
[[maybe_unused]] static const bool twiceTheScale = qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")
    && qEnvironmentVariableIsEmpty("QT_FONT_DPI") && qputenv("QT_SCALE_FACTOR", "2");

ORVANE_GUI_TEST_MAIN(TestHighDpi)

#include "tst_highdpi.moc"
