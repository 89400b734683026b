// The device panel's notice for a device whose port this user may not open.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "device/serialdevice.h"
#include "ui/platformfonts.h"

#include <QLabel>

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
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->label_status) + 1,
                                     portAccessNotice);

    connect(serialDevice, &SerialDevice::portAccessDenied, this, &MainWindow::showPortAccessDenied);
    connect(serialDevice, &SerialDevice::portAccessCleared, this,
            &MainWindow::hidePortAccessDenied);
}

void MainWindow::showPortAccessDenied(const QString &port)
{
    state.refusedPort = port;
    applyState();
}

void MainWindow::hidePortAccessDenied()
{
    state.refusedPort.clear();
    // The link tells this only while it looks for a device: none is connected until the
    // next report, so the panel waits for one, as before the port was found.
    state.device.connected = false;
    applyState();
}
