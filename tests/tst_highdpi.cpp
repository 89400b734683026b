// The window at twice the density: pictures drawn at it, not blown up; texts laid out as at
// normal scale. QT_SCALE_FACTOR=2 unless a scale is given (CTest also runs QT_FONT_DPI=192).
#include "testmain.h"
#include "windowchecks.h"
#include "windowrig.h"

#include "ui/highdpi.h"

using namespace testsupport;

namespace {

// The aligned 2 x 2 pixel blocks in a widget's area whose pixels differ: a picture drawn at one
// pixel per unit and blown up has none.
int detailedBlocks(const QImage &image, QWidget *widget, QWidget *window)
{
    const QRect area = QRect(widget->mapTo(window, QPoint(0, 0)) * 2, widget->size() * 2)
                           .intersected(image.rect());
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = area.top() & ~1; y + 1 <= area.bottom(); y += 2) {
        for (int x = area.left() & ~1; x + 1 <= area.right(); x += 2) {
            const QRgb first = pixels.pixel(x, y);
            if (pixels.pixel(x + 1, y) != first || pixels.pixel(x, y + 1) != first
                || pixels.pixel(x + 1, y + 1) != first)
                ++count;
        }
    }
    return count;
}

} // namespace

class TestHighDpi : public QObject
{
    Q_OBJECT

    StandinFixture cloud;

    // Saves the window's picture, checks its layout and that each named widget has fine detail.
    void shoot(WindowDriver &rig, const QString &name, const QList<const char *> &detailed);

private slots:
    void initTestCase() { QVERIFY2(cloud.start(quietCloud()), qPrintable(cloud.errorString())); }
    void windowAtTwiceTheDensity();
};

void TestHighDpi::shoot(WindowDriver &rig, const QString &name, const QList<const char *> &detailed)
{
    const QPixmap grab = rig.window->grab();
    const QImage image = grab.toImage();
    QCOMPARE(image.size(), QSize(1580, 980)); // 790 x 490 at twice the density
    // The two runs keep their pictures apart.
    const QString scale = qEnvironmentVariableIsEmpty("QT_FONT_DPI") ? QStringLiteral("2x-")
                                                                     : QStringLiteral("2x-dpi-");
    QVERIFY(
        image.save(screenshotFolder() + QLatin1Char('/') + scale + name + QStringLiteral(".png")));
    const QStringList faults = windowFaults(rig.window.get());
    QVERIFY2(faults.isEmpty(), qPrintable(name + ": " + faults.join(QStringLiteral("; "))));
    for (const char *widgetName : detailed) {
        const int blocks = detailedBlocks(image, rig.w(widgetName), rig.window.get());
        QVERIFY2(blocks > 50, qPrintable(QStringLiteral("%1: %2").arg(widgetName).arg(blocks)));
    }
}

void TestHighDpi::windowAtTwiceTheDensity()
{
    WindowRig rig(cloud, breviaWith(2));
    MainWindow *window = rig.open();
    QVERIFY(QTest::qWaitForWindowExposed(window));

    // The waiting animation's frames are made at the screen's density.
    QLabel *indicator = rig.label("label_indicator");
    QTRY_VERIFY(!indicator->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(indicator->pixmap(Qt::ReturnByValue).devicePixelRatio(), 2.0);
    shoot(rig, QStringLiteral("01-no-device"), {"label_scanimg", "label_3", "label_indicator"});

    QVERIFY(rig.startDevice());
    QVERIFY(rig.waitForDevicePanel());
    QVERIFY(rig.shown("roundBarCloud"));
    shoot(rig, QStringLiteral("02-device-with-data"), {"roundBarCloud"});
}

// Before main(), and so before the application object.
[[maybe_unused]] static const bool twiceTheScale = qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")
    && qEnvironmentVariableIsEmpty("QT_FONT_DPI") && qputenv("QT_SCALE_FACTOR", "2");

ORVANE_GUI_TEST_MAIN(TestHighDpi)

#include "tst_highdpi.moc"
