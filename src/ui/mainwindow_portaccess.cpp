// The device panel's notice for a device whose port this user may not open.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "device/serialdevice.h"
#include "ui/platformfonts.h"

#include <QLabel>

namespace {

// How a user gets access to the port, in the platform's terms.
QString accessAdvice()
{
#ifdef Q_OS_LINUX
    return QStringLiteral(
        "To fix this, install the Orvane package and plug the Brevia in again, or add yourself "
        "to the group <i>dialout</i> (<i>sudo adduser $USER dialout</i>), then log out and in "
        "again.");
#else
    return QStringLiteral("To fix this, give your user account read and write access to it.");
#endif
}

} // namespace

void MainWindow::setupPortAccessNotice()
{
    portAccessNotice = new QLabel(ui->widget_1);
    portAccessNotice->setObjectName(QStringLiteral("label_port_access"));
    portAccessNotice->setStyleSheet(QStringLiteral("color: rgb(100, 100, 100);"));
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(13);
    portAccessNotice->setFont(font);
    platformfonts::adaptSizes(portAccessNotice);
    portAccessNotice->setTextFormat(Qt::RichText);
    portAccessNotice->setWordWrap(true);
    // The command can be copied from it.
    portAccessNotice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    portAccessNotice->hide();
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->label_status) + 1,
                                     portAccessNotice);

    connect(serialDevice, &SerialDevice::portAccessDenied, this, &MainWindow::showPortAccessDenied);
    connect(serialDevice, &SerialDevice::portAccessCleared, this,
            &MainWindow::hidePortAccessDenied);
}

void MainWindow::showPortAccessDenied(const QString &port)
{
    portAccessNotice->setText(
        QStringLiteral("<p><b>Your Brevia was found on %1, but Orvane may not open it.</b></p>"
                       "<p>%2</p><p>Orvane connects as soon as it may.</p>")
            .arg(port.toHtmlEscaped(), accessAdvice()));
    ui->label_indicator->hide();
    ui->label_status->hide();
    portAccessNotice->show();
}

void MainWindow::hidePortAccessDenied()
{
    // The port opened or went away: waiting for the device, as before it was found.
    portAccessNotice->hide();
    portAccessNotice->clear();
    ui->label_indicator->show();
    ui->label_status->show();
}
