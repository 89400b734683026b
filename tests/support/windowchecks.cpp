#include "windowchecks.h"

#include "ui/roundprogressbar.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QRegularExpression>

namespace testsupport {

namespace {

// Pixels kept free between what a panel shows and the dividers beside it.
constexpr int dividerClearance = 4;

const char *const panelNames[] = {"widget_1", "widget_2", "widget_3"};

// The visible widgets of a panel that show something: texts, fields, buttons, bars, pictures.
QList<QWidget *> shownIn(QWidget *panel, QWidget *window)
{
    QList<QWidget *> shown;
    for (QWidget *widget : panel->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (widget->isVisibleTo(window)
            && (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget)
                || qobject_cast<QLineEdit *>(widget) || qobject_cast<RoundProgressBar *>(widget)))
            shown << widget;
    }
    return shown;
}

QString describe(QWidget *widget)
{
    const QRect r = widget->geometry();
    return QString::asprintf("%s (%d,%d %dx%d)", qPrintable(widget->objectName()), r.x(), r.y(),
                             r.width(), r.height());
}

// Why a widget's text does not fit the room it was given; empty when it does.
QString textFault(QWidget *widget)
{
    QSize needed;
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (label->text().isEmpty())
            return QString();
        needed = label->wordWrap()
            ? QSize(label->minimumSizeHint().width(), label->heightForWidth(label->width()))
            : label->sizeHint();
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        needed = button->sizeHint();
    } else if (auto *field = qobject_cast<QLineEdit *>(widget)) {
        needed = field->minimumSizeHint();
    }
    if (!needed.isValid()
        || (needed.width() <= widget->width() && needed.height() <= widget->height()))
        return QString();
    return describe(widget)
        + QString::asprintf(" cuts its text (it needs %dx%d)", needed.width(), needed.height());
}

bool showsPicture(const QLabel *label)
{
    return !label->pixmap(Qt::ReturnByValue).isNull() || label->movie()
        || label->styleSheet().contains(QLatin1String("image:"));
}

} // namespace

QString screenshotFolder()
{
    const QString base = qEnvironmentVariable("ORVANE_TEST_BINARY_DIR");
    const QString folder = (base.isEmpty() ? QDir::currentPath() : base) + "/screenshots";
    QDir().mkpath(folder);
    return folder;
}

QStringList windowFaults(QWidget *window)
{
    const auto dividers = window->findChildren<QFrame *>(QRegularExpression("^line(_2)?$"));
    QStringList faults;
    for (const char *name : panelNames) {
        auto *panel = window->findChild<QWidget *>(QLatin1String(name));
        if (!panel || !panel->layout()) {
            faults << QStringLiteral("no panel ") + QLatin1String(name);
            continue;
        }
        const QRect room = panel->rect().marginsRemoved(panel->layout()->contentsMargins());
        const QList<QWidget *> shown = shownIn(panel, window);
        for (QWidget *widget : shown) {
            if (!room.contains(widget->geometry()))
                faults << describe(widget) + QStringLiteral(" reaches outside ")
                        + QLatin1String(name);
            const QRect where(widget->mapTo(window, QPoint()), widget->size());
            for (QFrame *divider : dividers) {
                const QRect line(divider->mapTo(window, QPoint()), divider->size());
                if (where.intersects(line.adjusted(-dividerClearance, 0, dividerClearance, 0)))
                    faults << describe(widget) + QStringLiteral(" touches ")
                            + divider->objectName();
            }
            const QString fault = textFault(widget);
            if (!fault.isEmpty())
                faults << fault;
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
            auto *label = qobject_cast<QLabel *>(widget);
            const bool saysNothing = label && label->text().isEmpty() && !showsPicture(label);
            if (!iface || !iface->isValid()
                || (!saysNothing && iface->text(QAccessible::Name).trimmed().isEmpty()))
                faults << widget->objectName() + QStringLiteral(" has no accessible name");
        }
        for (int i = 0; i < shown.size(); ++i) {
            for (int j = i + 1; j < shown.size(); ++j) {
                if (shown[i]->geometry().intersects(shown[j]->geometry()))
                    faults << describe(shown[i]) + QStringLiteral(" overlaps ")
                            + describe(shown[j]);
            }
        }
    }
    return faults;
}

} // namespace testsupport
