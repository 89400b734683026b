#pragma once

#include <QColor>
#include <QPair>
#include <QString>
#include <QVector>
#include <QWidget>

class QPainter;

// A circular progress indicator: the value between a minimum and a maximum is drawn as a
// sector, a ring arc or a growing disc, clockwise from a start angle, with a formatted text
// in the middle. All colours come from the palette: Window (background), Base (base disc),
// Shadow (outlines), Highlight (value), AlternateBase (inner disc of the donut), Text.
// Assistive technology sees a progress bar with its value, range and text
// (roundprogressbaraccessible.h).
class RoundProgressBar : public QWidget
{
    Q_OBJECT

public:
    enum BarStyle {
        Donut = 0, // sector over a base disc, inner disc cut out: a ring
        Pie = 1, // sector over a base disc
        Line = 2, // thin ring outline, the value is an arc of it
        Disc = 3 // the value is a disc centred in the base whose radius grows with it
    };
    Q_ENUM(BarStyle)

    explicit RoundProgressBar(QWidget *parent = nullptr);

    double value() const { return m_value; }
    double minimum() const { return min; }
    double maximum() const { return max; }
    QString format() const { return m_format; }
    int decimals() const { return m_decimals; }
    BarStyle barStyle() const { return m_barStyle; }
    double nullPosition() const { return m_nullPosition; }
    // Where the value lies in the range: 0 at the minimum, 1 at the maximum (0 for an empty
    // range).
    double fraction() const;

    // Angle in degrees where the value starts: 0 is 3 o'clock, 90 (the default) 12 o'clock.
    void setNullPosition(double position);
    void setBarStyle(BarStyle style);
    void setOutlinePenWidth(double penWidth);
    void setDataPenWidth(double penWidth);
    // Gradient stops (position 0..1, colour) for the value; they run clockwise from the
    // null position. Not used by the Line style.
    void setDataColors(const QVector<QPair<double, QColor>> &stopPoints);
    // "%v" value, "%p" percentage, "%m" number of steps (max - min + 1); other text is kept.
    void setFormat(const QString &format);
    void resetFormat();
    void setDecimals(int count);

    QSize minimumSizeHint() const override;
    int heightForWidth(int w) const override;
    bool hasHeightForWidth() const override;

    // The text the bar shows for the value v.
    virtual QString valueToText(double v) const;

public slots:
    void setRange(double min, double max);
    void setMinimum(double min);
    void setMaximum(double max);
    void setValue(double val);
    void setValue(int val);

protected:
    void paintEvent(QPaintEvent *event) override;

    virtual void drawBackground(QPainter &p, const QRectF &rect);
    virtual void drawBase(QPainter &p, const QRectF &baseRect);
    // r is the reciprocal of the filled fraction; it is infinite when v equals the minimum.
    virtual void drawValue(QPainter &p, const QRectF &baseRect, double v, double r);
    virtual void calculateInnerRect(const QRectF &baseRect, double outerRadius, QRectF &innerRect,
                                    double &innerRadius);
    virtual void drawInnerBackground(QPainter &p, const QRectF &innerRect);
    virtual void drawText(QPainter &p, const QRectF &innerRect, double innerRadius, double v);
    virtual void valueFormatChanged();

    void rebuildDataBrushIfNeeded();

private:
    void clampValue();
    // Tells assistive technology that the value, or the text it reads, changed.
    void announceValue();

    double min = 0;
    double max = 100;
    double m_value = 0;
    double m_nullPosition = 90;
    BarStyle m_barStyle = Donut;
    double outlinePenWidth = 1;
    double dataPenWidth = 1;
    QVector<QPair<double, QColor>> gradientData;
    bool rebuildBrush = false;
    QString m_format = QStringLiteral("%p%");
    int m_decimals = 1;
    int updateFlags = 2; // 1 "%v", 2 "%p", 4 "%m" present in the format
};
