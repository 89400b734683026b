#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "buildconfig.h"

#include "cloud/network.h"
#include "device/serialdevice.h"
#include "ui/platformfonts.h"

#include <QDebug>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QPalette>

namespace {

const QString firmwareVersionText = QStringLiteral("Firmware version:   ");
const QString bleIdText = QStringLiteral("BLE ID:  ");
const QString memoryFormat = QStringLiteral("%p% of memory used");
const QString updateAvailableText = QStringLiteral("There is an update for your Brevia device.");
const QString upToDateText = QStringLiteral("Your Brevia's firmware is up to date.");
const QString latestVersionText = QStringLiteral("Latest firmware version available:");
const QString flashingText =
    QStringLiteral("Please don't disconnect your device. It will be ready in few minutes.");
const QString signInText = QStringLiteral("Sign in");
const QString signOutText = QStringLiteral("Sign out");
const QString signedOutPrompt = QStringLiteral("Sign in to upload your\nhealth data to the cloud.");
const QString firmwareSignInPrompt =
    QStringLiteral("Sign in to check your device's firmware for update.");
const QString signedInText = QStringLiteral("You are signed in as");
const QString syncDoneText = QStringLiteral("Health data synchronization\nis done!");
const QString uploadFailedText = QStringLiteral("The upload did not go through.\n"
                                                "Your health data is still on\n"
                                                "the device: nothing was lost.");
const QString pairingFailedText =
    QStringLiteral("Your Brevia could not be registered with your account, so its data "
                   "cannot be uploaded yet. Orvane tries again when the device is connected "
                   "next time.");

} // namespace

MainWindow::MainWindow(QWidget *parent, const CloudEndpoint &endpoint, PortLister portLister)
    : QMainWindow(parent), cloudBaseUrl(endpoint.baseUrl)
{
    platformfonts::installFallbacks();
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    platformfonts::adaptSizes(this);

    network = new Network(nullptr, endpoint);
    serialDevice = new SerialDevice(nullptr, std::move(portLister));

    connect(serialDevice, &SerialDevice::deviceInfoChanged, this, &MainWindow::showDeviceInfo);
    connect(serialDevice, &SerialDevice::firmwareUpdateProgress, this,
            &MainWindow::setFirmwareUpdateProgress);
    connect(serialDevice, &SerialDevice::firmwareUpdateDone, this, &MainWindow::firmwareUpdateDone);
    connect(serialDevice, &SerialDevice::sessionDownloadProgress, this,
            &MainWindow::sessionsDownloadProgress);
    connect(serialDevice, &SerialDevice::sessionDownloadDone, network, &Network::sendSession);
    connect(serialDevice, &SerialDevice::notSupportedDevice, this,
            &MainWindow::notSupportedDeviceHandler);
    // The user is told when the whole transfer has come through, or why it stopped.
    connect(serialDevice, &SerialDevice::vitalsDownloadDone, this, &MainWindow::vitalsSynchronized);
    connect(serialDevice, &SerialDevice::vitalsDownloadFailed, this, &MainWindow::transferFailed);
    // Each upload outcome reaches the link's ledger by the file it names; a restarted link
    // leaves no upload of the old one running.
    connect(network, &Network::sessionUploaded, serialDevice, &SerialDevice::sessionUploadFinished);
    connect(serialDevice, &SerialDevice::linkRestarted, network, &Network::abandonSessionUploads);
    setupPortAccessNotice();

    setupUiComponents();
    latestFirmwareVersion = 0;
    notSignedIn();

    connect(network, &Network::notSignedin, this, &MainWindow::notSignedIn);
    connect(network, &Network::signedInSuccess, this, &MainWindow::signedIn);
    connect(network, &Network::incorrectCredentials, this, &MainWindow::wrongCredentials);
    connect(network, &Network::firmwareInfoFromCloud, this, &MainWindow::firmwareInfoFromCloud);
    connect(network, &Network::sessionSent, this, &MainWindow::sessionSent);
    connect(network, &Network::sessionUploadProgress, this, &MainWindow::sessionsUploadProgress);
    connect(network, &Network::appUpdateAvailable, this, &MainWindow::appUpdateAvailable);
    connect(network, &Network::preparationsDone, this, &MainWindow::firmwareSectionViewManager);
    connect(network, &Network::devicePaired, this, &MainWindow::devicePaired);
    connect(network, &Network::devicePairingFailed, this, &MainWindow::devicePairingFailed);

    network->checkSignedInStatus();

    setWindowTitle(QStringLiteral("Orvane ") + QString::fromLatin1(buildconfig::appVersion));
}

MainWindow::~MainWindow()
{
    delete ui;
    delete serialDevice;
    delete network;
}

void MainWindow::setApplicationUpdateTarget(const QString &targetPath)
{
    installer.setTarget(targetPath);
}

void MainWindow::setRestartHandler(std::function<void()> restart)
{
    installer.setRestartHandler(std::move(restart));
}

void MainWindow::setupUiComponents()
{
    ui->button_update->hide();
    ui->lineEdit_pass->hide();
    ui->lineEdit_user->hide();
    ui->button_signup->hide();
    ui->button_signin->hide();
    ui->label_cloud_main->hide();

    // Owned by the label that plays it, so that it goes with the widgets.
    auto *movie =
        new QMovie(QStringLiteral(":/resources/cargando.gif"), QByteArray(), ui->label_indicator);
    movie->setSpeed(70);
    movie->setScaledSize(ui->label_indicator->size());
    // Each frame is decoded and scaled once; later rounds play the kept frames.
    movie->setCacheMode(QMovie::CacheAll);
    ui->label_indicator->setMovie(movie);
    movie->start();

    ui->label_status->setText(QStringLiteral("Connect the <br> device"));
    ui->label_status->show();
    ui->label_indicator->show();

    ui->roundBarFW->hide();
    ui->roundBarFW->setFormat(QString());

    QPalette palette;
    palette.setColor(QPalette::Base, Qt::lightGray);
    palette.setColor(QPalette::Shadow, Qt::lightGray);
    palette.setColor(QPalette::Highlight, Qt::gray);
    palette.setColor(QPalette::Text, Qt::gray);
    palette.setColor(QPalette::AlternateBase, Qt::white);

    ui->roundBarFW->setDecimals(0);
    ui->roundBarFW->setPalette(palette);
    ui->roundBarFW->setBarStyle(RoundProgressBar::Donut);

    ui->roundBarCloud->hide();
    ui->roundBarCloud->setDecimals(0);
    ui->roundBarCloud->setPalette(palette);
    ui->roundBarCloud->setBarStyle(RoundProgressBar::Donut);
    ui->roundBarCloud->setMaximum(100);
    ui->roundBarCloud->setValue(0);

    ui->label_userName->hide();
    ui->label_cloud_worning->hide();
    ui->button_cloud_upload->hide();
}

// ---- Device and firmware panels

void MainWindow::showDeviceInfo()
{
    // The cloud id belongs to the device it was answered for: another device, or none,
    // starts without one.
    const DeviceInfo shown = serialDevice->getDevice();
    if (!shown.identified || shown.nameBLE != pairedDevice) {
        pairedDevice.clear();
        network->forgetDevice();
    }
    firmwareSectionViewManager();
    pairDeviceWhenReady();

    const int fwVersion = serialDevice->getDevice().fwVersion;
    ui->label_fw->setText(fwVersion > 0 ? firmwareVersionText + QString::number(fwVersion)
                                        : firmwareVersionText);
    ui->label_mac->setText(bleIdText + serialDevice->getDevice().nameBLE);
    ui->label_cloud_used->setText(serialDevice->getDevice().memoryInfo);
    ui->label_cloud_used->show();

    const int memoryUsed = serialDevice->getDevice().memoryUsed;
    ui->roundBarCloud->setMaximum(100);
    ui->roundBarCloud->show();
    ui->roundBarCloud->setFormat(memoryFormat);
    ui->roundBarCloud->setValue(memoryUsed);

    if (memoryUsed <= 0) {
        ui->button_cloud_upload->hide();
        ui->roundBarCloud->hide();
    } else if (userSignedIn) {
        ui->roundBarCloud->show();
    } else {
        ui->button_cloud_upload->hide();
        ui->roundBarCloud->show();
    }

    // Waiting for a device, unless one was found that this user may not open.
    const bool waiting = !serialDevice->getDevice().connected && portAccessNotice->isHidden();
    ui->label_indicator->setVisible(waiting);
    ui->label_status->setVisible(waiting);
}

void MainWindow::firmwareSectionViewManager()
{
    ui->roundBarFW->hide();
    if (!userSignedIn) {
        ui->label_fw_main->hide();
        ui->label_fw_version->hide();
        ui->button_update->hide();
        return;
    }

    const DeviceInfo device = serialDevice->getDevice();
    if (!device.identified || firmwareFilePath.isEmpty()) {
        // Without the cloud's firmware information there is nothing to compare with, and
        // nothing that could be flashed.
        ui->label_fw_main->hide();
        ui->label_fw_version->hide();
        ui->button_update->hide();
    } else {
        const bool differs = device.fwVersion != latestFirmwareVersion;
        ui->label_fw_main->setText(differs ? updateAvailableText : upToDateText);
        ui->label_fw_version->setText(latestVersionText + QString::number(latestFirmwareVersion));
        ui->label_fw_version->show();
        ui->label_fw_main->show();
        ui->button_update->setVisible(differs);
    }

    if (device.identified && device.memoryUsed > 0) {
        ui->button_cloud_upload->setVisible(uploadOffered(device));
        ui->roundBarCloud->show();
    }
}

bool MainWindow::uploadOffered(const DeviceInfo &device) const
{
    return userSignedIn && !firmwareFilePath.isEmpty() && device.identified && device.memoryUsed > 0
        && !device.nameBLE.isEmpty() && device.nameBLE == pairedDevice;
}

void MainWindow::devicePaired(const QString &nameBLE, int id)
{
    qDebug() << "🌐" << Q_FUNC_INFO << nameBLE << id;
    if (nameBLE != serialDevice->getDevice().nameBLE)
        return;
    pairedDevice = nameBLE;
    if (ui->label_cloud_worning->text() == pairingFailedText)
        ui->label_cloud_worning->hide();
    firmwareSectionViewManager();
}

void MainWindow::devicePairingFailed(const QString &nameBLE)
{
    qDebug() << "🌐" << Q_FUNC_INFO << nameBLE;
    if (nameBLE != serialDevice->getDevice().nameBLE)
        return;
    pairedDevice.clear();
    ui->button_cloud_upload->hide();
    showCloudWarning(pairingFailedText);
}

void MainWindow::transferFailed(const QString &message)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << message;
    showCloudWarning(message);
}

void MainWindow::showCloudWarning(const QString &text)
{
    ui->label_cloud_worning->setWordWrap(true);
    ui->label_cloud_worning->setText(text);
    ui->label_cloud_worning->show();
}

void MainWindow::firmwareInfoFromCloud(const QString &filePath, int version)
{
    firmwareFilePath = filePath;
    latestFirmwareVersion = version;
    qDebug() << "🟣" << Q_FUNC_INFO << filePath << version;
    firmwareSectionViewManager();
    // A device identified before the sign-in is paired now, not at its next report: until
    // then its sessions would go to the cloud under no device of the account.
    pairDeviceWhenReady();
}

void MainWindow::pairDeviceWhenReady()
{
    const DeviceInfo device = serialDevice->getDevice();
    // A device turned away as not supported was never read out: it has no BLE name to pair.
    if (userSignedIn && device.identified && !firmwareFilePath.isEmpty()
        && !device.nameBLE.isEmpty())
        network->pairDevice(device.nameBLE, device.UID);
}

void MainWindow::notSupportedDeviceHandler()
{
    QMessageBox box(QMessageBox::Warning, QString(),
                    QStringLiteral("The connected device is not supported."), QMessageBox::Ok);
    box.setInformativeText(QStringLiteral("Please contact support."));
    box.exec();
}

void MainWindow::on_button_update_clicked()
{
    if (serialDevice->getDevice().numberOfSessions != 0) {
        QMessageBox box(QMessageBox::Warning, QString(),
                        QStringLiteral("There is unsaved data on your device, that will be lost "
                                       "during the update."),
                        QMessageBox::Yes | QMessageBox::Cancel);
        box.setInformativeText(QStringLiteral("Do you want to proceed?"));
        if (box.exec() != QMessageBox::Yes)
            return;
    }

    ui->label_fw_main->setText(flashingText);
    ui->button_update->hide();
    const int result = serialDevice->updateFirmware(firmwareFilePath);
    qDebug() << "💬" << Q_FUNC_INFO
             << (result < 0 ? "The device is busy on other process" : "FW update started");
    if (result < 0) {
        // Nothing is being flashed: put the panel back and say why instead of leaving the
        // flashing notice up (a transfer or a restart still holds the device).
        firmwareSectionViewManager();
        showDeviceBusy();
    }
}

void MainWindow::setFirmwareUpdateProgress(int current, int max)
{
    ui->roundBarFW->show();
    ui->roundBarFW->setMaximum(double(max));
    ui->roundBarFW->setValue(current);
}

void MainWindow::firmwareUpdateDone()
{
    // The device now runs the image that was flashed: that version is the one to report.
    network->updateFwVersion(serialDevice->getDevice().nameBLE, latestFirmwareVersion);
}

// ---- Cloud panel

void MainWindow::notSignedIn()
{
    ui->button_signin->setText(signInText);
    ui->button_signin->show();
    ui->button_signup->show();
    ui->lineEdit_pass->show();
    ui->lineEdit_user->show();
    ui->label_cloud_main->show();

    ui->label_userName->hide();
    ui->button_cloud_upload->hide();

    userSignedIn = false;
    ui->label_cloud_main->setText(signedOutPrompt);
    ui->label_fw_main->setText(firmwareSignInPrompt);
}

void MainWindow::signedIn(const QString &username, const QString &pass)
{
    Q_UNUSED(pass);
    userSignedIn = true;

    ui->button_signin->setText(signOutText);
    ui->button_signin->show();
    ui->button_signup->hide();
    ui->lineEdit_pass->hide();
    ui->lineEdit_user->hide();

    ui->label_cloud_main->setText(signedInText);
    ui->label_userName->show();
    ui->label_userName->setText(username);
    ui->label_cloud_worning->hide();
    ui->label_cloud_main->show();

    ui->label_fw_main->setText(QString());

    const DeviceInfo device = serialDevice->getDevice();
    if (device.identified && device.memoryUsed > 0) {
        ui->roundBarCloud->show();
    } else {
        ui->button_cloud_upload->hide();
        ui->roundBarCloud->hide();
    }
}

void MainWindow::wrongCredentials()
{
    ui->label_cloud_worning->setText(QStringLiteral("Invalid username or password"));
    ui->label_cloud_worning->show();
    ui->button_cloud_upload->hide();
    ui->lineEdit_pass->show();
    ui->lineEdit_user->show();
}

void MainWindow::on_button_signin_clicked()
{
    ui->label_cloud_worning->hide();

    if (ui->button_signin->text() == signOutText) {
        ui->button_signin->setText(signInText);
        ui->button_signup->show();
        ui->lineEdit_pass->show();
        ui->lineEdit_user->show();
        ui->lineEdit_pass->setText(QString());
        ui->lineEdit_user->setText(QString());
        ui->button_cloud_upload->hide();
        ui->label_userName->hide();

        userSignedIn = false;
        firmwareSectionViewManager();
        ui->label_cloud_main->setText(signedOutPrompt);
        network->signOut();
        return;
    }

    if (ui->lineEdit_user->text().isEmpty() && ui->lineEdit_pass->text().isEmpty()) {
        ui->label_cloud_worning->setText(QStringLiteral("Please fill in the lines."));
        ui->label_cloud_worning->show();
        return;
    }
    network->sigIn(ui->lineEdit_user->text(), ui->lineEdit_pass->text());
}

void MainWindow::on_lineEdit_pass_returnPressed()
{
    on_button_signin_clicked();
}

void MainWindow::on_button_signup_clicked()
{
    QDesktopServices::openUrl(
        QUrl(cloudBaseUrl.toString(QUrl::StripTrailingSlash) + QStringLiteral("/login"),
             QUrl::TolerantMode));
}

void MainWindow::showDeviceBusy()
{
    QMessageBox box(QMessageBox::Warning, QString(),
                    QStringLiteral("The device is busy on other process."));
    box.setInformativeText(QStringLiteral("Please try later!"));
    box.exec();
}

void MainWindow::on_button_cloud_upload_clicked()
{
    if (!uploadOffered(serialDevice->getDevice())) {
        // No session leaves for the cloud before this device's pairing gave its id.
        qDebug() << "👇" << Q_FUNC_INFO << "Refused: the upload is not offered";
        ui->button_cloud_upload->hide();
        return;
    }
    const int result = serialDevice->downloadVitals();
    const char *message =
        result < 0 ? "The device is busy on other process." : "Vitals download started";
    qDebug() << "👇" << Q_FUNC_INFO << message;

    if (result != 0) {
        showDeviceBusy();
        return;
    }

    // A new transfer: what the last one ended with no longer applies.
    ui->label_cloud_worning->hide();
    if (ui->label_cloud_main->text() == syncDoneText)
        ui->label_cloud_main->setText(signedInText);

    ui->label_cloud_used->show();
    ui->roundBarCloud->show();
    ui->roundBarCloud->setFormat(QString());
    ui->button_cloud_upload->hide();
}

void MainWindow::sessionsDownloadProgress(int progress, int numberOfRecords)
{
    ui->roundBarCloud->show();
    ui->roundBarCloud->setFormat(QStringLiteral("Syncing"));
    ui->roundBarCloud->setMaximum(double(numberOfRecords - 1));
    ui->roundBarCloud->setValue(progress);
    if (progress == numberOfRecords)
        showSynchronizationDone();
}

void MainWindow::sessionsUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    qDebug() << "🌐" << Q_FUNC_INFO << "Bytes sent" << bytesSent << "out of" << bytesTotal;
}

void MainWindow::sessionSent(bool success)
{
    qDebug() << "🌐" << Q_FUNC_INFO << "Session sent status" << (success ? "true" : "false");
    if (success) {
        serialDevice->requestAddress();
        return;
    }
    serialDevice->reboot();
    // Nothing is erased unless every session came through: say so, without a modal box.
    showCloudWarning(uploadFailedText);
}

void MainWindow::vitalsSynchronized()
{
    showSynchronizationDone();
}

void MainWindow::showSynchronizationDone()
{
    ui->label_cloud_main->setText(syncDoneText);
    ui->label_cloud_main->show();
}

void MainWindow::appUpdateAvailable(QString message)
{
    qDebug() << "💬" << Q_FUNC_INFO << message;
    QMessageBox box(QMessageBox::Information, QString(),
                    QStringLiteral("A new version of Orvane app is available."),
                    QMessageBox::Yes | QMessageBox::Cancel);
    box.setInformativeText(message);
    // The description comes from the cloud: shown as the text it is, never as markup with
    // links that open elsewhere.
    for (QLabel *label : box.findChildren<QLabel *>()) {
        if (label->text() == message) {
            label->setTextFormat(Qt::PlainText);
            label->setOpenExternalLinks(false);
            label->setTextInteractionFlags(Qt::NoTextInteraction);
        }
    }
    if (box.exec() != QMessageBox::Yes)
        return;

    qDebug() << "💬" << Q_FUNC_INFO << installer.downloadedFile();
    const QString error = installer.installAndRestart();
    if (error.isEmpty())
        return;
    // The old program keeps running.
    qWarning() << "💬" << Q_FUNC_INFO << "update not installed:" << error;
    QMessageBox failure(QMessageBox::Warning, QString(),
                        QStringLiteral("The update could not be installed."), QMessageBox::Ok);
    failure.setInformativeText(error + QStringLiteral("\nOrvane keeps running as it is."));
    failure.exec();
}
