#include "messageboxhelper.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>

namespace testsupport {

MessageBoxAnswerer::MessageBoxAnswerer(QObject *parent) : QObject(parent)
{
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &MessageBoxAnswerer::poll);
    timer.start();
}

void MessageBoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    SeenMessageBox seen {box->text(), box->informativeText(), false, box->standardButtons()};
    for (const QLabel *label : box->findChildren<QLabel *>()) {
        if (!seen.informativeText.isEmpty() && label->text() == seen.informativeText)
            seen.informativeIsPlainText =
                label->textFormat() == Qt::PlainText && !label->openExternalLinks();
    }
    boxes.append(seen);
    const QMessageBox::StandardButton wanted =
        answers.isEmpty() ? QMessageBox::NoButton : answers.takeFirst();
    if (QAbstractButton *button = wanted == QMessageBox::NoButton ? nullptr : box->button(wanted))
        button->click();
    else
        box->reject();
}

} // namespace testsupport
