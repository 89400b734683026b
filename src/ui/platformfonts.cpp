#include "ui/platformfonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStringList>
#include <QWidget>

namespace platformfonts {

namespace {

// The design's default text size: the macOS system font, 13 points.
constexpr double designDefaultSize = 13;

#ifndef Q_OS_MACOS
// Width of the lower-case alphabet in Arial at 100 pixels (its advance widths, 2048 units to
// the em, add up to 26067 units). A fallback that is wider is made smaller by as much, so
// that the texts keep the room the fixed-size panels were designed with.
constexpr double arialAlphabetWidth = 26067.0 / 2048.0 * 100.0;

double widthRatio(const QFont &font)
{
    QFont probe(font);
    probe.setPixelSize(100);
    probe.setItalic(false);
    probe.setUnderline(false);
    const qreal width =
        QFontMetricsF(probe).horizontalAdvance(QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
    return width > arialAlphabetWidth ? arialAlphabetWidth / width : 1.0;
}

// A design size (macOS points, which are pixels there) as points of this platform.
void setDesignSize(QWidget *widget, QFont font, double designSize)
{
    font.setPointSizeF(designSize * widthRatio(font) * 72.0 / qMax(1, widget->logicalDpiY()));
    widget->setFont(font);
}
#endif

} // namespace

void installFallbacks()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    if (sans.isEmpty())
        sans = QStringLiteral("sans-serif");
    const QStringList available = QFontDatabase().families();
    for (const QString &family : {QStringLiteral(".SF NS Text"), QStringLiteral("Arial")}) {
        if (!available.contains(family, Qt::CaseInsensitive))
            QFont::insertSubstitution(family, sans);
    }
}

void adaptSizes(QWidget *root)
{
#ifdef Q_OS_MACOS
    Q_UNUSED(root);
#else
    if (!root)
        return;
    // Every widget is given its size itself: under a style sheet a font set on the window
    // does not reach the grandchildren.
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *widget : qAsConst(widgets)) {
        if (!widget->testAttribute(Qt::WA_SetFont))
            setDesignSize(widget, widget->font(), designDefaultSize);
        else if (widget->font().pointSize() > 0)
            setDesignSize(widget, widget->font(), widget->font().pointSizeF());
    }
#endif
}

} // namespace platformfonts
