// The round progress bar: range and value rules, text, where the value is drawn, odd input.
#include "testmain.h"

#include "ui/roundprogressbar.h"

#include <QAccessible>
#include <QAccessibleValueInterface>

#include <climits>
#include <cmath>
#include <limits>

class TestRoundProgressBar : public QObject
{
    Q_OBJECT

private slots:
    void rangeAndValue()
    {
        RoundProgressBar bar;
        const auto state = [&bar] {
            return QString::asprintf("%g..%g %g", bar.minimum(), bar.maximum(), bar.value());
        };
        bar.setRange(10, 50);
        bar.setValue(150.0);
        QCOMPARE(state(), QStringLiteral("10..50 50"));
        bar.setValue(-5.0);
        QCOMPARE(state(), QStringLiteral("10..50 10"));
        bar.setValue(30.0);
        bar.setValue(std::numeric_limits<double>::quiet_NaN());
        bar.setValue(std::numeric_limits<double>::infinity());
        bar.setMinimum(std::numeric_limits<double>::quiet_NaN());
        QCOMPARE(state(), QStringLiteral("10..50 30"));
        bar.setMaximum(20);
        QCOMPARE(state(), QStringLiteral("10..20 20"));
        bar.setRange(90, 25);
        QCOMPARE(state(), QStringLiteral("25..90 25"));
    }

    void valueToText()
    {
        RoundProgressBar bar;
        bar.setDecimals(0);
        bar.setRange(20, 120);
        QCOMPARE(bar.valueToText(45), QStringLiteral("25%"));
        bar.setFormat(QStringLiteral("%p% of memory used, %v of %m"));
        QCOMPARE(bar.valueToText(45), QStringLiteral("25% of memory used, 45 of 101"));
        bar.setFormat(QStringLiteral("%p%"));
        bar.setRange(5, 5);
        QCOMPARE(bar.valueToText(5), QStringLiteral("0%")); // an empty range, not NaN
        bar.setRange(-1e308, 1e308);
        bar.setDecimals(1);
        QCOMPARE(bar.valueToText(0), QStringLiteral("50.0%")); // too wide to subtract
        // An absurd count must not turn into a text of billions of characters.
        bar.setDecimals(INT_MAX);
        QVERIFY(bar.valueToText(45).size() < 1000);
    }

    // What assistive technology learns: role, name, value, range and the text in the middle.
    void accessibility()
    {
        RoundProgressBar bar;
        bar.setAccessibleName(QStringLiteral("Device memory used"));
        bar.setDecimals(0);
        bar.setFormat(QStringLiteral("%p% of memory used"));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&bar);
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::ProgressBar);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Device memory used"));
        QAccessibleValueInterface *value = iface->valueInterface();
        QVERIFY(value);
        const auto range = [value] {
            return QString::asprintf("%g of %g..%g", value->currentValue().toDouble(),
                                     value->minimumValue().toDouble(),
                                     value->maximumValue().toDouble());
        };

        bar.setRange(0, 200);
        bar.setValue(50.0);
        QCOMPARE(range(), QStringLiteral("50 of 0..200"));
        QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("25% of memory used"));
        bar.setRange(0, 40); // the value is clamped with the range
        QCOMPARE(range(), QStringLiteral("40 of 0..40"));
        bar.setFormat(QStringLiteral("Syncing"));
        QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("Syncing"));
        // A bar that shows no text still reads its percentage.
        bar.setFormat(QString());
        bar.setValue(10.0);
        QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("25%"));
        // Only the program moves it.
        value->setCurrentValue(30.0);
        QCOMPARE(bar.value(), 10.0);
    }

    void drawing()
    {
        // Clockwise from 12 o'clock: at a quarter, upper right shows it (red), lower left not.
        RoundProgressBar bar;
        QPalette palette = bar.palette();
        palette.setColor(QPalette::Base, Qt::blue);
        palette.setColor(QPalette::Highlight, Qt::red);
        bar.setPalette(palette);
        bar.resize(100, 100);
        bar.setValue(25.0);
        QImage image = bar.grab().toImage();
        QCOMPARE(image.pixelColor(81, 19), QColor(Qt::red));
        QCOMPARE(image.pixelColor(19, 81), QColor(Qt::blue));

        // Odd input paints without harm: no room, empty or huge ranges, angles, pens, decimals.
        bar.setFormat(QStringLiteral("%v %p% %m"));
        bar.setDataColors({{0.0, Qt::red}, {1.0, Qt::blue}});
        for (const QSize &size : {QSize(0, 0), QSize(1, 1), QSize(3, 40)}) {
            bar.resize(size);
            bar.grab();
        }
        bar.setRange(7, 7);
        bar.grab();
        bar.setRange(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max());
        bar.setNullPosition(1e300);
        bar.grab();
        bar.setRange(0, 1e300);
        bar.setValue(std::numeric_limits<double>::denorm_min());
        bar.setOutlinePenWidth(500);
        bar.setDataPenWidth(-3);
        bar.setDecimals(200);
        QCOMPARE(bar.grab().size(), QSize(3, 40));
    }
};

ORVANE_GUI_TEST_MAIN(TestRoundProgressBar)
#include "tst_roundprogressbar.moc"
