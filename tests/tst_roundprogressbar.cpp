// The round progress bar: its range and value rules, its text, and what it draws.
#include "testmain.h"

#include "ui/roundprogressbar.h"

#include <QImage>
#include <QPalette>

#include <climits>
#include <cmath>
#include <limits>

namespace {

// Distinct colours that no antialiased blend of the others can produce.
const QColor windowColor(240, 240, 240);
const QColor baseColor(0, 0, 200);
const QColor shadowColor(0, 0, 0);
const QColor highlightColor(220, 0, 0);
const QColor alternateBaseColor(0, 160, 0);
const QColor textColor(250, 250, 0);

void applyTestPalette(QWidget &w)
{
    QPalette pal = w.palette();
    pal.setColor(QPalette::Window, windowColor);
    pal.setColor(QPalette::Base, baseColor);
    pal.setColor(QPalette::Shadow, shadowColor);
    pal.setColor(QPalette::Highlight, highlightColor);
    pal.setColor(QPalette::AlternateBase, alternateBaseColor);
    pal.setColor(QPalette::Text, textColor);
    w.setPalette(pal);
}

bool near(QRgb pixel, const QColor &c, int tolerance = 24)
{
    return qAbs(qRed(pixel) - c.red()) <= tolerance && qAbs(qGreen(pixel) - c.green()) <= tolerance
        && qAbs(qBlue(pixel) - c.blue()) <= tolerance;
}

int countNear(const QImage &img, const QRect &area, const QColor &c)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += near(img.pixel(x, y), c) ? 1 : 0;
    return n;
}

QImage render(RoundProgressBar &bar, int w = 200, int h = 100)
{
    bar.resize(w, h);
    return bar.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// A point of the 100 x 100 circle centred at (50, 50), at the given radius, measured clockwise
// from 12 o'clock in degrees.
QPoint clockPoint(double clockwiseDegrees, double radius)
{
    const double a = clockwiseDegrees * M_PI / 180;
    return QPoint(int(std::floor(50 + radius * std::sin(a))),
                  int(std::floor(50 - radius * std::cos(a))));
}

QByteArray hex(QRgb pixel)
{
    return QColor(pixel).name().toLatin1();
}

} // namespace

Q_DECLARE_METATYPE(RoundProgressBar::BarStyle)

class TestRoundProgressBar : public QObject
{
    Q_OBJECT

private slots:
    void rangeAndValue_data();
    void rangeAndValue();
    void decimals();
    void valueToText_data();
    void valueToText();
    void geometryOfNonSquareWidget();
    void valuePixels_data();
    void valuePixels();
    void gradientRunsClockwise();
    void text();
    void degenerateInputPaintsSafely_data();
    void degenerateInputPaintsSafely();
};

void TestRoundProgressBar::rangeAndValue_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<double>("argument");
    QTest::addColumn<double>("expectedMin");
    QTest::addColumn<double>("expectedMax");
    QTest::addColumn<double>("expectedValue");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Every row starts from the range 10..50 with the value 30.
    QTest::newRow("value above max") << "setValue" << 150.0 << 10.0 << 50.0 << 50.0;
    QTest::newRow("value below min") << "setValue" << -5.0 << 10.0 << 50.0 << 10.0;
    QTest::newRow("value NaN ignored") << "setValue" << nan << 10.0 << 50.0 << 30.0;
    QTest::newRow("value infinite ignored") << "setValue" << inf << 10.0 << 50.0 << 30.0;
    QTest::newRow("max below min swaps") << "setMaximum" << 5.0 << 5.0 << 10.0 << 10.0;
    QTest::newRow("max cuts value") << "setMaximum" << 20.0 << 10.0 << 20.0 << 20.0;
    QTest::newRow("min above max swaps") << "setMinimum" << 80.0 << 50.0 << 80.0 << 50.0;
    QTest::newRow("min equal to max") << "setMinimum" << 50.0 << 50.0 << 50.0 << 50.0;
    QTest::newRow("min NaN ignored") << "setMinimum" << nan << 10.0 << 50.0 << 30.0;
    QTest::newRow("max infinite ignored") << "setMaximum" << inf << 10.0 << 50.0 << 30.0;
    QTest::newRow("reversed range swaps") << "setRangeReversed" << 0.0 << 25.0 << 90.0 << 30.0;
}

void TestRoundProgressBar::rangeAndValue()
{
    QFETCH(QString, operation);
    QFETCH(double, argument);

    RoundProgressBar bar;
    bar.setRange(10, 50);
    bar.setValue(30.0);
    if (operation == "setValue")
        bar.setValue(argument);
    else if (operation == "setMinimum")
        bar.setMinimum(argument);
    else if (operation == "setMaximum")
        bar.setMaximum(argument);
    else
        bar.setRange(90, 25);

    QTEST(bar.minimum(), "expectedMin");
    QTEST(bar.maximum(), "expectedMax");
    QTEST(bar.value(), "expectedValue");
}

void TestRoundProgressBar::decimals()
{
    RoundProgressBar bar;
    bar.setDecimals(-1);
    QCOMPARE(bar.decimals(), 1);
    bar.setDecimals(0);
    QCOMPARE(bar.valueToText(45), QStringLiteral("45%"));
    bar.setDecimals(3);
    QCOMPARE(bar.valueToText(45), QStringLiteral("45.000%"));

    // An absurd count must not turn into a text of billions of characters.
    bar.setDecimals(INT_MAX);
    QVERIFY(bar.decimals() >= 17);
    QVERIFY(bar.valueToText(45).size() < 1000);
}

void TestRoundProgressBar::valueToText_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("percent, 0 decimals") << "%p%" << 0 << 0.0 << 100.0 << 45.0 << "45%";
    QTest::newRow("percent, 1 decimal") << "%p%" << 1 << 0.0 << 100.0 << 45.0 << "45.0%";
    QTest::newRow("percent of an offset range") << "%p%" << 0 << 20.0 << 120.0 << 45.0 << "25%";
    QTest::newRow("percent rounds") << "%p" << 1 << 0.0 << 3.0 << 1.0 << "33.3";
    QTest::newRow("value") << "%v" << 2 << 0.0 << 10.0 << 2.5 << "2.50";
    QTest::newRow("steps") << "%m" << 0 << 0.0 << 100.0 << 45.0 << "101";
    QTest::newRow("plain text") << "Syncing" << 1 << 0.0 << 100.0 << 45.0 << "Syncing";
    QTest::newRow("mixed, repeated")
        << "%v of %m (%p%), %v" << 0 << 0.0 << 200.0 << 50.0 << "50 of 201 (25%), 50";
    QTest::newRow("placeholders are case-sensitive")
        << "%P %V %M" << 0 << 0.0 << 100.0 << 1.0 << "%P %V %M";
    QTest::newRow("empty range reads 0 %") << "%p%" << 0 << 5.0 << 5.0 << 5.0 << "0%";
    QTest::newRow("range too wide to subtract") << "%p%" << 0 << -1e308 << 1e308 << 0.0 << "50%";
}

void TestRoundProgressBar::valueToText()
{
    QFETCH(QString, format);
    QFETCH(int, decimals);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, value);

    RoundProgressBar bar;
    bar.setFormat(format);
    bar.setDecimals(decimals);
    bar.setRange(min, max);
    QTEST(bar.valueToText(value), "expected");
}

void TestRoundProgressBar::geometryOfNonSquareWidget()
{
    RoundProgressBar bar;
    applyTestPalette(bar);
    bar.setFormat(QString());
    const QImage img = render(bar);
    QCOMPARE(img.size(), QSize(200, 100));

    // The circle fills the top-left square: diameter 98 from (1, 1).
    int covered = 0;
    for (int x = 0; x < 200; ++x)
        covered += near(img.pixel(x, 50), windowColor, 4) ? 0 : 1;
    QVERIFY2(covered >= 96 && covered <= 100, qPrintable(QString::number(covered)));
    for (const QPoint &outside : {QPoint(0, 0), QPoint(2, 2), QPoint(97, 2), QPoint(99, 99)})
        QVERIFY2(near(img.pixel(outside), windowColor, 4), hex(img.pixel(outside)).constData());
    QVERIFY(near(img.pixel(50, 4), baseColor)); // the ring
    QVERIFY(near(img.pixel(50, 50), alternateBaseColor)); // the inner disc

    // Nothing of the bar reaches the right half.
    QCOMPARE(countNear(img, QRect(100, 0, 100, 100), windowColor), 100 * 100);
}

void TestRoundProgressBar::valuePixels_data()
{
    QTest::addColumn<RoundProgressBar::BarStyle>("style");
    QTest::addColumn<double>("value");
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QColor>("expected");

    const auto donut = RoundProgressBar::Donut;
    const double ring = 44; // between the inner disc (37.5) and the edge (49)
    QTest::newRow("donut min, ring") << donut << 0.0 << clockPoint(45, ring) << baseColor;
    QTest::newRow("donut min, centre") << donut << 0.0 << QPoint(50, 50) << alternateBaseColor;
    for (int deg = 0; deg < 360; deg += 45) {
        QTest::addRow("donut max, %d deg", deg)
            << donut << 100.0 << clockPoint(deg + 10, ring) << highlightColor;
    }
    QTest::newRow("donut max, centre") << donut << 100.0 << QPoint(50, 50) << alternateBaseColor;
    QTest::newRow("donut 25%, upper right")
        << donut << 25.0 << clockPoint(45, ring) << highlightColor;
    QTest::newRow("donut 25%, upper left") << donut << 25.0 << clockPoint(315, ring) << baseColor;
    QTest::newRow("donut 25%, lower right") << donut << 25.0 << clockPoint(135, ring) << baseColor;
    QTest::newRow("donut 25%, lower left") << donut << 25.0 << clockPoint(225, ring) << baseColor;

    const auto pie = RoundProgressBar::Pie;
    QTest::newRow("pie 25%, near centre") << pie << 25.0 << clockPoint(45, 15) << highlightColor;
    QTest::newRow("pie 25%, opposite") << pie << 25.0 << clockPoint(225, 15) << baseColor;
    QTest::newRow("pie 75%, upper left") << pie << 75.0 << clockPoint(315, 30) << baseColor;

    // Line: both pens 6 wide, the ring drawn at radius 46.
    const auto line = RoundProgressBar::Line;
    QTest::newRow("line 50%, right") << line << 50.0 << clockPoint(90, 46) << highlightColor;
    QTest::newRow("line 50%, left") << line << 50.0 << clockPoint(270, 46) << baseColor;
    QTest::newRow("line 50%, inside") << line << 50.0 << clockPoint(90, 30) << windowColor;
    QTest::newRow("line max, left") << line << 100.0 << clockPoint(270, 46) << highlightColor;

    // Disc: the value disc has radius 49 * fraction around the centre.
    const auto disc = RoundProgressBar::Disc;
    QTest::newRow("disc 50%, inside value")
        << disc << 50.0 << clockPoint(200, 20) << highlightColor;
    QTest::newRow("disc 50%, outside value") << disc << 50.0 << clockPoint(200, 35) << baseColor;
    QTest::newRow("disc min, centre") << disc << 0.0 << QPoint(50, 50) << baseColor;
}

void TestRoundProgressBar::valuePixels()
{
    QFETCH(RoundProgressBar::BarStyle, style);
    QFETCH(double, value);
    QFETCH(QPoint, point);
    QFETCH(QColor, expected);

    RoundProgressBar bar;
    applyTestPalette(bar);
    bar.setFormat(QString());
    bar.setBarStyle(style);
    if (style == RoundProgressBar::Line) {
        bar.setOutlinePenWidth(6);
        bar.setDataPenWidth(6);
    }
    bar.setValue(value);
    const QImage img = render(bar);
    QVERIFY2(near(img.pixel(point), expected),
             qPrintable(QStringLiteral("%1 at (%2, %3), expected %4")
                            .arg(QColor(img.pixel(point)).name())
                            .arg(point.x())
                            .arg(point.y())
                            .arg(expected.name())));
    if (value == 0)
        QCOMPARE(countNear(img, img.rect(), highlightColor), 0);
}

void TestRoundProgressBar::gradientRunsClockwise()
{
    RoundProgressBar bar;
    applyTestPalette(bar);
    bar.setFormat(QString());
    bar.setDataColors({{0.0, QColor(255, 0, 0)}, {1.0, QColor(0, 0, 255)}});
    bar.setValue(100);
    const QImage img = render(bar);

    // Just clockwise of 12 o'clock the value begins (red); just before it, it ends (blue).
    const QRgb start = img.pixel(clockPoint(15, 44));
    const QRgb end = img.pixel(clockPoint(345, 44));
    QVERIFY2(qRed(start) > 200 && qBlue(start) < 60, hex(start).constData());
    QVERIFY2(qBlue(end) > 200 && qRed(end) < 60, hex(end).constData());
    const QRgb half = img.pixel(clockPoint(180, 44));
    QVERIFY2(qAbs(qRed(half) - qBlue(half)) < 40, hex(half).constData());

    // A part-filled ring keeps the colours anchored to the circle, not to the sector's own
    // bounding box: at 50 % the filled end is half-way between the two stops.
    bar.setValue(50);
    const QImage partial = render(bar);
    const QRgb partStart = partial.pixel(clockPoint(15, 44));
    const QRgb partEnd = partial.pixel(clockPoint(170, 44));
    QVERIFY2(qRed(partStart) > 200 && qBlue(partStart) < 60, hex(partStart).constData());
    QVERIFY2(qAbs(qRed(partEnd) - qBlue(partEnd)) < 50, hex(partEnd).constData());
}

void TestRoundProgressBar::text()
{
    RoundProgressBar bar;
    applyTestPalette(bar);
    bar.setDecimals(0);
    const QRect middle(13, 13, 75, 75);

    auto textBox = [&](double value) {
        bar.setValue(value);
        const QImage img = render(bar);
        QRect box;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (near(img.pixel(x, y), textColor, 60))
                    box |= QRect(x, y, 1, 1);
        return box;
    };

    const QRect atFive = textBox(5);
    const QRect atFull = textBox(100);
    QVERIFY(!atFive.isEmpty());
    QVERIFY2(middle.contains(atFive) && middle.contains(atFull),
             qPrintable(QStringLiteral("text outside the inner disc")));
    // The size follows the widest text, not the current one: "5%" is as tall as "100%".
    QVERIFY2(qAbs(atFive.height() - atFull.height()) <= 1,
             qPrintable(QStringLiteral("%1 vs %2").arg(atFive.height()).arg(atFull.height())));
    QVERIFY(atFive.width() < atFull.width());
    QVERIFY(qAbs(atFive.center().x() - 50) <= 2 && qAbs(atFive.center().y() - 50) <= 3);

    bar.setValue(45);
    QVERIFY(countNear(render(bar), middle, textColor) > 10);
    bar.resetFormat();
    QCOMPARE(bar.format(), QString());
    QCOMPARE(countNear(render(bar), QRect(0, 0, 200, 100), textColor), 0);
}

void TestRoundProgressBar::degenerateInputPaintsSafely_data()
{
    QTest::addColumn<RoundProgressBar::BarStyle>("style");
    QTest::newRow("donut") << RoundProgressBar::Donut;
    QTest::newRow("pie") << RoundProgressBar::Pie;
    QTest::newRow("line") << RoundProgressBar::Line;
    QTest::newRow("disc") << RoundProgressBar::Disc;
}

void TestRoundProgressBar::degenerateInputPaintsSafely()
{
    QFETCH(RoundProgressBar::BarStyle, style);

    RoundProgressBar bar;
    applyTestPalette(bar);
    bar.setBarStyle(style);
    bar.setFormat(QStringLiteral("%v %p% %m"));

    // Tiny and empty widgets.
    for (const QSize &size : {QSize(0, 0), QSize(1, 1), QSize(2, 2), QSize(3, 40), QSize(40, 0)})
        render(bar, size.width(), size.height());

    // An empty range: nothing of the value is drawn and the text does not read NaN.
    bar.setRange(7, 7);
    QImage img = render(bar, 100, 100);
    QCOMPARE(countNear(img, img.rect(), highlightColor), 0);
    QCOMPARE(bar.valueToText(7), QStringLiteral("7.0 0.0% 1.0"));

    // From here on with a gradient value brush.
    bar.setDataColors({{0.0, Qt::red}, {1.0, Qt::blue}});
    render(bar, 3, 3);

    // A range too wide to subtract, a value a hair above the minimum, a huge start angle.
    bar.setRange(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max());
    bar.setValue(std::numeric_limits<double>::max());
    bar.setNullPosition(1e300);
    render(bar, 100, 100);
    bar.setRange(0, 1e300);
    bar.setValue(std::numeric_limits<double>::denorm_min());
    render(bar, 100, 100);

    // Wide pens and no room for text.
    bar.setOutlinePenWidth(500);
    bar.setDataPenWidth(-3);
    bar.setDecimals(200);
    img = render(bar, 40, 40);
    QCOMPARE(img.size(), QSize(40, 40));
}

ORVANE_GUI_TEST_MAIN(TestRoundProgressBar)
#include "tst_roundprogressbar.moc"
