// What assistive technology learns of a RoundProgressBar: a progress bar named by its
// accessible name, with its value, minimum and maximum, and the text it shows in the middle as
// the value's text.
#pragma once

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

class RoundProgressBar;

class RoundProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit RoundProgressBarAccessible(QWidget *widget);

    QString text(QAccessible::Text t) const override;
    void *interface_cast(QAccessible::InterfaceType t) override;

    QVariant currentValue() const override;
    void setCurrentValue(const QVariant &value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override;
    QVariant minimumStepSize() const override;

    // Makes every RoundProgressBar (and every class derived from it) answer with this
    // interface. Once per process; later calls do nothing.
    static void installFactory();

private:
    RoundProgressBar *bar() const;
};
