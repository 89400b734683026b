// Answers the modal message boxes a test provokes, recording what each one says.
#pragma once

#include <QMessageBox>
#include <QTimer>

namespace testsupport {

struct SeenMessageBox
{
    QString text;
    QString informativeText;
    bool informativeIsPlainText = false; // shown as text, links not followed
    QMessageBox::StandardButtons buttons;
};

class MessageBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxAnswerer(QObject *parent = nullptr);

    // The answers for the next boxes, in order; a box without one (or without its button) is
    // recorded and closed with its escape button, so that no test hangs on it.
    void queue(QMessageBox::StandardButton button) { answers.append(button); }

    int count() const { return boxes.size(); }
    SeenMessageBox last() const { return boxes.value(boxes.size() - 1); }

private:
    void poll();

    QTimer timer;
    QList<QMessageBox::StandardButton> answers;
    QList<SeenMessageBox> boxes;
};

} // namespace testsupport
