#include "ui/roundprogressbaraccessible.h"

#include "ui/roundprogressbar.h"

namespace {

QAccessibleInterface *roundProgressBarFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("RoundProgressBar") && object && object->isWidgetType())
        return new RoundProgressBarAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

RoundProgressBarAccessible::RoundProgressBarAccessible(QWidget *widget)
    : QAccessibleWidget(widget, QAccessible::ProgressBar)
{ }

RoundProgressBar *RoundProgressBarAccessible::bar() const
{
    return static_cast<RoundProgressBar *>(widget());
}

QString RoundProgressBarAccessible::text(QAccessible::Text t) const
{
    // The text in the middle ("45% of memory used", "Syncing"); a bar that shows none reads
    // its percentage.
    if (t == QAccessible::Value) {
        if (!bar()->format().isEmpty())
            return bar()->valueToText(bar()->value());
        return QString::number(qRound(bar()->fraction() * 100)) + QLatin1Char('%');
    }
    return QAccessibleWidget::text(t);
}

void *RoundProgressBarAccessible::interface_cast(QAccessible::InterfaceType t)
{
    if (t == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface *>(this);
    return QAccessibleWidget::interface_cast(t);
}

QVariant RoundProgressBarAccessible::currentValue() const
{
    return bar()->value();
}

void RoundProgressBarAccessible::setCurrentValue(const QVariant &)
{
    // It shows progress; nobody sets it but the program.
}

QVariant RoundProgressBarAccessible::maximumValue() const
{
    return bar()->maximum();
}

QVariant RoundProgressBarAccessible::minimumValue() const
{
    return bar()->minimum();
}

QVariant RoundProgressBarAccessible::minimumStepSize() const
{
    return 0.0;
}

void RoundProgressBarAccessible::installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(roundProgressBarFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
