#include "ui/roundprogressbar.h"

#include "ui/roundprogressbaraccessible.h"

#include <QAccessible>
#include <QConicalGradient>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>

#include <cmath>
#include <limits>

namespace {

// More digits after the point than a double can carry only make huge strings.
constexpr int maxDecimals =
    std::numeric_limits<double>::max_exponent10 + std::numeric_limits<double>::digits10;

// Where v lies between lo and hi, as a fraction (0 at lo, 1 at hi). A range so wide that
// hi - lo overflows is halved first; an empty range gives 0.
double fractionOf(double v, double lo, double hi)
{
    double span = hi - lo;
    double offset = v - lo;
    if (!std::isfinite(span) || !std::isfinite(offset)) {
        span = hi / 2 - lo / 2;
        offset = v / 2 - lo / 2;
    }
    if (!(span > 0))
        return 0;
    const double fraction = offset / span;
    return std::isfinite(fraction) ? fraction : 0;
}

// Angles only matter modulo a full turn; keeping them small keeps the conversions to the
// painter's integer sixteenths of a degree in range.
double normalizedAngle(double degrees)
{
    return std::fmod(degrees, 360.0);
}

QPen solidPen(const QColor &color, double width)
{
    return QPen(color, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

// A gradient in object-bounding coordinates follows the bounding box of the shape it fills.
// For a part-filled sector that box is not the circle, and the colours would slide away
// from the null position; pin the unit square to the circle's rectangle instead.
QBrush circleAnchoredBrush(const QBrush &brush, const QRectF &circle)
{
    const QGradient *gradient = brush.gradient();
    if (!gradient || gradient->coordinateMode() != QGradient::ObjectBoundingMode
        || circle.isEmpty())
        return brush;
    QGradient anchored(*gradient);
    anchored.setCoordinateMode(QGradient::LogicalMode);
    QBrush result(anchored);
    result.setTransform(QTransform(circle.width(), 0, 0, circle.height(), circle.x(), circle.y()));
    return result;
}

} // namespace

RoundProgressBar::RoundProgressBar(QWidget *parent) : QWidget(parent)
{
    RoundProgressBarAccessible::installFactory();
}

void RoundProgressBar::setRange(double min, double max)
{
    if (!std::isfinite(min) || !std::isfinite(max))
        return;
    this->min = min;
    this->max = max;
    if (this->min > this->max)
        qSwap(this->min, this->max);
    const double before = m_value;
    clampValue();
    rebuildBrush = true;
    update();
    if (m_value != before)
        announceValue();
}

void RoundProgressBar::setMinimum(double min)
{
    setRange(min, max);
}

void RoundProgressBar::setMaximum(double max)
{
    setRange(min, max);
}

void RoundProgressBar::setValue(double val)
{
    if (!std::isfinite(val))
        return;
    const double clamped = qBound(min, val, max);
    if (clamped == m_value)
        return;
    m_value = clamped;
    update();
    announceValue();
}

void RoundProgressBar::setValue(int val)
{
    setValue(double(val));
}

void RoundProgressBar::setNullPosition(double position)
{
    if (!std::isfinite(position) || position == m_nullPosition)
        return;
    m_nullPosition = position;
    rebuildBrush = true;
    update();
}

void RoundProgressBar::setBarStyle(BarStyle style)
{
    if (style == m_barStyle)
        return;
    m_barStyle = style;
    rebuildBrush = true;
    update();
}

void RoundProgressBar::setOutlinePenWidth(double penWidth)
{
    if (!std::isfinite(penWidth) || penWidth < 0 || penWidth == outlinePenWidth)
        return;
    outlinePenWidth = penWidth;
    update();
}

void RoundProgressBar::setDataPenWidth(double penWidth)
{
    if (!std::isfinite(penWidth) || penWidth < 0 || penWidth == dataPenWidth)
        return;
    dataPenWidth = penWidth;
    update();
}

void RoundProgressBar::setDataColors(const QVector<QPair<double, QColor>> &stopPoints)
{
    if (stopPoints == gradientData)
        return;
    gradientData = stopPoints;
    rebuildBrush = true;
    update();
}

void RoundProgressBar::setFormat(const QString &format)
{
    if (format == m_format)
        return;
    m_format = format;
    valueFormatChanged();
}

void RoundProgressBar::resetFormat()
{
    m_format.clear();
    valueFormatChanged();
}

void RoundProgressBar::setDecimals(int count)
{
    if (count < 0)
        return;
    count = qMin(count, maxDecimals);
    if (count == m_decimals)
        return;
    m_decimals = count;
    valueFormatChanged();
}

QSize RoundProgressBar::minimumSizeHint() const
{
    return QSize(32, 32);
}

int RoundProgressBar::heightForWidth(int w) const
{
    return w;
}

bool RoundProgressBar::hasHeightForWidth() const
{
    return true;
}

double RoundProgressBar::fraction() const
{
    return qBound(0.0, fractionOf(m_value, min, max), 1.0);
}

void RoundProgressBar::announceValue()
{
    QAccessibleValueChangeEvent event(this, m_value);
    QAccessible::updateAccessibility(&event);
}

void RoundProgressBar::clampValue()
{
    m_value = qBound(min, m_value, max);
}

void RoundProgressBar::paintEvent(QPaintEvent *)
{
    const int side = qMin(width(), height());
    if (side <= 0)
        return;
    const double d = side;
    const QRectF baseRect(1, 1, d - 2, d - 2);

    // Drawn at the screen's pixel density: an image of one pixel per unit would be blown up,
    // and blurred, on a high-density screen. The painter works in units all the same.
    const qreal ratio = devicePixelRatioF();
    QImage image(QSize(side, side) * ratio, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return;
    image.setDevicePixelRatio(ratio);
    // A translucent Window colour must not blend with uninitialised memory.
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    rebuildDataBrushIfNeeded();
    drawBackground(p, QRectF(0, 0, d, d));
    drawBase(p, baseRect);

    const double filled = fraction();
    const double r = filled > 0 ? 1 / filled : std::numeric_limits<double>::infinity();
    drawValue(p, baseRect, m_value, r);

    QRectF innerRect;
    double innerRadius = 0;
    calculateInnerRect(baseRect, d, innerRect, innerRadius);
    drawInnerBackground(p, innerRect);
    drawText(p, innerRect, innerRadius, m_value);
    p.end();

    QPainter widgetPainter(this);
    widgetPainter.fillRect(baseRect, palette().window());
    widgetPainter.drawImage(0, 0, image);
}

void RoundProgressBar::drawBackground(QPainter &p, const QRectF &rect)
{
    p.fillRect(rect, palette().window());
}

void RoundProgressBar::drawBase(QPainter &p, const QRectF &baseRect)
{
    switch (m_barStyle) {
    case Donut:
        p.setPen(solidPen(palette().shadow().color(), outlinePenWidth));
        p.setBrush(palette().base());
        p.drawEllipse(baseRect);
        break;
    case Pie:
    case Disc:
        p.setPen(solidPen(palette().base().color(), outlinePenWidth));
        p.setBrush(palette().base());
        p.drawEllipse(baseRect);
        break;
    case Line: {
        const double half = outlinePenWidth / 2;
        p.setPen(solidPen(palette().base().color(), outlinePenWidth));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(baseRect.adjusted(half, half, -half, -half));
        break;
    }
    }
}

void RoundProgressBar::drawValue(QPainter &p, const QRectF &baseRect, double v, double r)
{
    if (v == min)
        return;
    // r is at least 1 here; an infinite r (a fraction too small to represent) spans nothing.
    const double span = std::isfinite(r) && r > 0 ? -360.0 / r : 0.0;

    switch (m_barStyle) {
    case Line: {
        const double half = outlinePenWidth / 2;
        const QRectF ring = baseRect.adjusted(half, half, -half, -half);
        p.setPen(solidPen(palette().highlight().color(), dataPenWidth));
        p.setBrush(Qt::NoBrush);
        if (v == max)
            p.drawEllipse(ring);
        else
            p.drawArc(ring, int(normalizedAngle(m_nullPosition) * 16), int(span * 16));
        break;
    }
    case Disc: {
        const double radius = std::isfinite(r) && r > 0 ? baseRect.height() / 2 / r : 0.0;
        p.setBrush(palette().highlight());
        p.setPen(solidPen(palette().shadow().color(), dataPenWidth));
        p.drawEllipse(baseRect.center(), radius, radius);
        break;
    }
    case Donut:
    case Pie: {
        QPainterPath path;
        path.setFillRule(Qt::WindingFill);
        if (v == max) {
            path.addEllipse(baseRect);
        } else {
            path.moveTo(baseRect.center());
            path.arcTo(baseRect, normalizedAngle(m_nullPosition), span);
            path.lineTo(baseRect.center());
        }
        p.setBrush(circleAnchoredBrush(palette().highlight(), baseRect));
        p.setPen(solidPen(palette().shadow().color(), dataPenWidth));
        p.drawPath(path);
        break;
    }
    }
}

void RoundProgressBar::calculateInnerRect(const QRectF &, double outerRadius, QRectF &innerRect,
                                          double &innerRadius)
{
    if (m_barStyle == Line || m_barStyle == Disc)
        innerRadius = outerRadius - outlinePenWidth;
    else
        innerRadius = outerRadius * 0.75;
    const double delta = (outerRadius - innerRadius) / 2;
    innerRect = QRectF(delta, delta, innerRadius, innerRadius);
}

void RoundProgressBar::drawInnerBackground(QPainter &p, const QRectF &innerRect)
{
    if (m_barStyle != Donut)
        return;
    // The outline is whatever pen the value (or the base) left on the painter.
    p.setBrush(palette().alternateBase());
    p.drawEllipse(innerRect);
}

void RoundProgressBar::drawText(QPainter &p, const QRectF &innerRect, double innerRadius, double v)
{
    if (m_format.isEmpty())
        return;

    // Sized by the widest text the bar can show, so the size stays put as the value moves.
    QFont f(font());
    f.setPixelSize(10);
    const double textWidth = QFontMetricsF(f).horizontalAdvance(valueToText(max));
    if (!(textWidth > 0) || !(innerRadius > 0))
        return;
    const double pixelSize = 10 * (innerRadius / textWidth) * 0.75;
    // Too small to read (or to be a valid font size): leave the middle empty.
    if (!(pixelSize >= 1))
        return;
    f.setPixelSize(int(qMin(pixelSize, 32767.0)));
    p.setFont(f);
    p.setPen(palette().text().color());
    p.drawText(innerRect, Qt::AlignCenter, valueToText(v));
}

QString RoundProgressBar::valueToText(double v) const
{
    QString text = m_format;
    if (updateFlags & 1)
        text.replace(QLatin1String("%v"), QString::number(v, 'f', m_decimals));
    if (updateFlags & 2) {
        // An empty range reads 0 %, matching the bar, which draws no value there.
        const double percent = fractionOf(v, min, max) * 100;
        text.replace(QLatin1String("%p"), QString::number(percent, 'f', m_decimals));
    }
    if (updateFlags & 4)
        text.replace(QLatin1String("%m"), QString::number(max - min + 1, 'f', m_decimals));
    return text;
}

void RoundProgressBar::valueFormatChanged()
{
    updateFlags = 0;
    if (m_format.contains(QLatin1String("%v")))
        updateFlags |= 1;
    if (m_format.contains(QLatin1String("%p")))
        updateFlags |= 2;
    if (m_format.contains(QLatin1String("%m")))
        updateFlags |= 4;
    update();
    // What the bar says changed with it.
    announceValue();
}

void RoundProgressBar::rebuildDataBrushIfNeeded()
{
    if (!rebuildBrush)
        return;
    if (gradientData.isEmpty() || m_barStyle == Line)
        return;
    rebuildBrush = false;

    QPalette pal(palette());
    if (m_barStyle == Disc) {
        QRadialGradient gradient(QPointF(0.5, 0.5), 0.5, QPointF(0.5, 0.5));
        gradient.setCoordinateMode(QGradient::ObjectBoundingMode);
        for (const auto &stop : gradientData) {
            if (stop.first >= 0 && stop.first <= 1)
                gradient.setColorAt(stop.first, stop.second);
        }
        pal.setBrush(QPalette::Highlight, QBrush(gradient));
    } else {
        QConicalGradient gradient(QPointF(0.5, 0.5), normalizedAngle(m_nullPosition));
        gradient.setCoordinateMode(QGradient::ObjectBoundingMode);
        // Conical gradients run counter-clockwise; the value runs clockwise.
        for (const auto &stop : gradientData) {
            if (stop.first >= 0 && stop.first <= 1)
                gradient.setColorAt(1 - stop.first, stop.second);
        }
        pal.setBrush(QPalette::Highlight, QBrush(gradient));
    }
    setPalette(pal);
}
