#include "messageboxhelper.h"

#include <QLabel>

#include <QAbstractButton>
#include <QApplication>

namespace testsupport {

MessageBoxAnswerer::MessageBoxAnswerer(QObject *parent) : QObject(parent)
{
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &MessageBoxAnswerer::poll);
    timer.start();
}

void MessageBoxAnswerer::queue(QMessageBox::StandardButton button)
{
    answers.append(button);
}

void MessageBoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;

    SeenMessageBox seenBox;
    seenBox.text = box->text();
    seenBox.informativeText = box->informativeText();
    for (const QLabel *label : box->findChildren<QLabel *>()) {
        if (!seenBox.informativeText.isEmpty() && label->text() == seenBox.informativeText)
            seenBox.informativeIsPlainText =
                label->textFormat() == Qt::PlainText && !label->openExternalLinks();
    }
    seenBox.icon = box->icon();
    seenBox.buttons = box->standardButtons();
    seenBox.hasParent = box->parentWidget() != nullptr;
    seenBox.applicationModal = box->isModal() || box->windowModality() == Qt::ApplicationModal;

    const QMessageBox::StandardButton wanted =
        answers.isEmpty() ? QMessageBox::NoButton : answers.takeFirst();
    QAbstractButton *button = wanted == QMessageBox::NoButton ? nullptr : box->button(wanted);
    if (button) {
        seenBox.pressed = wanted;
        boxes.append(seenBox);
        button->click();
    } else {
        boxes.append(seenBox);
        box->reject();
    }
    emit answered();
}

} // namespace testsupport
