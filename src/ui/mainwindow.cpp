#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "buildconfig.h"

#include "cloud/network.h"
#include "device/serialdevice.h"
#include "sync/syncsession.h"
#include "ui/labelanimation.h"
#include "ui/platformfonts.h"

#include <QDebug>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMovie>
#include <QPalette>

using windowview::CloudWarning;
using windowview::FirmwarePanel;

namespace {

// A hidden widget keeps the text it had: only the texts the view sets change.
template<class Widget>
void setText(Widget *widget, const std::optional<QString> &text)
{
    if (text)
        widget->setText(*text);
}

// Texts from the cloud or about files are shown as the text they are, never as markup with
// links that open elsewhere.
void showPlainInformativeText(QMessageBox *box, const QString &text)
{
    box->setInformativeText(text);
    for (QLabel *label : box->findChildren<QLabel *>()) {
        if (label->text() == text) {
            label->setTextFormat(Qt::PlainText);
            label->setOpenExternalLinks(false);
            label->setTextInteractionFlags(Qt::NoTextInteraction);
        }
    }
}

void setBar(RoundProgressBar *bar, const windowview::Bar &shown)
{
    if (shown.format)
        bar->setFormat(*shown.format);
    // The maximum first: the bar clamps the value into its range.
    if (shown.maximum)
        bar->setMaximum(*shown.maximum);
    if (shown.value)
        bar->setValue(*shown.value);
}

} // namespace

MainWindow::MainWindow(QWidget *parent, const CloudEndpoint &endpoint, PortLister portLister)
    : QMainWindow(parent), cloudBaseUrl(endpoint.baseUrl)
{
    platformfonts::installFallbacks();
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    platformfonts::adaptSizes(this);

    network = new Network(nullptr, endpoint);
    // Where a package manager owns the program, no application is downloaded.
    network->setApplicationDownload(installer.packageManaged().isEmpty());
    serialDevice = new SerialDevice(nullptr, std::move(portLister));

    connect(serialDevice, &SerialDevice::deviceInfoChanged, this, &MainWindow::showDeviceInfo);
    connect(serialDevice, &SerialDevice::firmwareUpdateProgress, this,
            &MainWindow::setFirmwareUpdateProgress);
    connect(serialDevice, &SerialDevice::firmwareUpdateDone, this, &MainWindow::firmwareUpdateDone);
    connect(serialDevice, &SerialDevice::sessionDownloadProgress, this,
            &MainWindow::sessionsDownloadProgress);
    connect(serialDevice, &SerialDevice::notSupportedDevice, this,
            &MainWindow::notSupportedDeviceHandler);
    // The sync owns the way from the link's session files to the cloud and back; the window
    // is told when the whole transfer has come through, or why it stopped.
    syncSession = new SyncSession(serialDevice, network);
    connect(syncSession, &SyncSession::synchronized, this, &MainWindow::vitalsSynchronized);
    connect(syncSession, &SyncSession::failed, this, &MainWindow::transferFailed);
    setupPortAccessNotice();

    setupUiComponents();
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
    delete syncSession;
    delete serialDevice;
    delete network;
}

void MainWindow::setApplicationUpdateTarget(const QString &targetPath)
{
    installer.setTarget(targetPath);
    network->setApplicationDownload(installer.packageManaged().isEmpty());
}

void MainWindow::setRestartHandler(std::function<void()> restart)
{
    installer.setRestartHandler(std::move(restart));
}

// What never changes with the state: the animation and the bars' look.
void MainWindow::setupUiComponents()
{
    // Owned by the label that plays it, so that it goes with the widgets.
    auto *movie =
        new QMovie(QStringLiteral(":/resources/cargando.gif"), QByteArray(), ui->label_indicator);
    movie->setSpeed(70);
    // Each frame is decoded once; later rounds play the kept frames. The label shows them at
    // the size it has now, before the window is laid out, sharp at any pixel density.
    movie->setCacheMode(QMovie::CacheAll);
    new LabelAnimation(movie, ui->label_indicator, ui->label_indicator->size());
    movie->start();

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

    ui->roundBarCloud->setDecimals(0);
    ui->roundBarCloud->setPalette(palette);
    ui->roundBarCloud->setBarStyle(RoundProgressBar::Donut);

    applyState();
}

void MainWindow::applyState()
{
    const windowview::View view = windowview::viewFor(state);

    setText(ui->label_status, view.label_status.text);
    setText(portAccessNotice, view.label_port_access.text);
    setText(ui->label_fw, view.label_fw.text);
    setText(ui->label_mac, view.label_mac.text);
    setText(ui->label_cloud_used, view.label_cloud_used.text);
    ui->label_indicator->setVisible(view.label_indicator.visible);
    ui->label_status->setVisible(view.label_status.visible);
    portAccessNotice->setVisible(view.label_port_access.visible);
    ui->label_fw->setVisible(view.label_fw.visible);
    ui->label_mac->setVisible(view.label_mac.visible);
    ui->label_cloud_used->setVisible(view.label_cloud_used.visible);

    setText(ui->label_fw_main, view.label_fw_main.text);
    setText(ui->label_fw_version, view.label_fw_version.text);
    setBar(ui->roundBarFW, view.roundBarFW);
    ui->label_fw_main->setVisible(view.label_fw_main.visible);
    ui->label_fw_version->setVisible(view.label_fw_version.visible);
    ui->button_update->setVisible(view.button_update.visible);
    ui->roundBarFW->setVisible(view.roundBarFW.visible);

    setBar(ui->roundBarCloud, view.roundBarCloud);
    setText(ui->label_cloud_main, view.label_cloud_main.text);
    setText(ui->label_userName, view.label_userName.text);
    // Setting it lays the label out again, even when nothing changes.
    if (ui->label_cloud_worning->wordWrap() != view.warningWraps)
        ui->label_cloud_worning->setWordWrap(view.warningWraps);
    setText(ui->label_cloud_worning, view.label_cloud_worning.text);
    setText(ui->button_signin, view.button_signin.text);
    ui->roundBarCloud->setVisible(view.roundBarCloud.visible);
    ui->button_cloud_upload->setVisible(view.button_cloud_upload.visible);
    ui->label_cloud_main->setVisible(view.label_cloud_main.visible);
    ui->label_userName->setVisible(view.label_userName.visible);
    ui->label_cloud_worning->setVisible(view.label_cloud_worning.visible);
    ui->lineEdit_user->setVisible(view.lineEdit_user.visible);
    ui->lineEdit_pass->setVisible(view.lineEdit_pass.visible);
    ui->button_signup->setVisible(view.button_signup.visible);
    ui->button_signin->setVisible(view.button_signin.visible);

    // The panels make room for what changed now, not when the event loop gets to it: until
    // then a text that grew would be cut or drawn under its neighbour.
    for (QWidget *panel : {ui->widget_1, ui->widget_2, ui->widget_3})
        panel->layout()->activate();
}

// ---- Device and firmware panels

void MainWindow::showDeviceInfo()
{
    // The cloud id belongs to the device it was answered for: another device, or none,
    // starts without one.
    const DeviceInfo device = serialDevice->getDevice();
    if (!device.identified || device.nameBLE != state.pairedDevice
        || device.UID != state.pairedUid) {
        state.pairedDevice.clear();
        state.pairedUid.clear();
        network->forgetDevice();
    }
    state.deviceReported = true;
    state.device = device;
    // A flashing that waits for the device is given up when the device goes.
    if (!device.connected)
        state.flashAfterSyncOf.clear();
    // A transfer ends with the device's next report: erased, given up, or found again.
    state.transferRunning = false;
    state.transferProgress.reset();
    refreshFirmwarePanel();
    pairDeviceWhenReady();
    applyState();
    flashWhenSynchronized();
}

void MainWindow::firmwareSectionViewManager()
{
    refreshFirmwarePanel();
    applyState();
}

void MainWindow::refreshFirmwarePanel()
{
    // A flashing waits for its sync: the notice stays up meanwhile.
    if (!state.flashAfterSyncOf.isEmpty())
        return;
    state.firmwarePanel = windowview::firmwarePanelFor(state, serialDevice->getDevice());
    state.flashProgress.reset();
}

void MainWindow::devicePaired(const QString &nameBLE, const QString &uid, int id)
{
    qDebug() << "🌐" << Q_FUNC_INFO << nameBLE << id;
    const DeviceInfo device = serialDevice->getDevice();
    if (nameBLE != device.nameBLE || uid != device.UID)
        return;
    state.pairedDevice = nameBLE;
    state.pairedUid = uid;
    if (state.warning == CloudWarning::PairingFailed)
        state.warning = CloudWarning::None;
    // The upload is offered from now on; the firmware panel is left as it is (a flashing may
    // have begun while the pairing was on its way).
    applyState();
}

void MainWindow::devicePairingFailed(const QString &nameBLE, const QString &uid)
{
    qDebug() << "🌐" << Q_FUNC_INFO << nameBLE;
    const DeviceInfo device = serialDevice->getDevice();
    if (nameBLE != device.nameBLE || uid != device.UID)
        return;
    state.pairedDevice.clear();
    state.pairedUid.clear();
    state.warning = CloudWarning::PairingFailed;
    applyState();
}

void MainWindow::transferFailed(const QString &message)
{
    qDebug().noquote() << "📝" << Q_FUNC_INFO << message;
    state.warning = CloudWarning::TransferFailed;
    state.transferFailure = message;
    if (!state.flashAfterSyncOf.isEmpty()) {
        // The health data is not safe in the cloud: nothing is flashed.
        state.flashAfterSyncOf.clear();
        state.transferFailure = QStringLiteral("The firmware update did not start, so that "
                                               "no health data is lost. ")
            + message;
        refreshFirmwarePanel();
    }
    applyState();
}

void MainWindow::firmwareInfoFromCloud(const QString &filePath, int version)
{
    state.firmwareFilePath = filePath;
    state.latestFirmwareVersion = version;
    qDebug() << "🟣" << Q_FUNC_INFO << filePath << version;
    refreshFirmwarePanel();
    applyState();
    // A device identified before the sign-in is paired now, not at its next report: until
    // then its sessions would go to the cloud under no device of the account.
    pairDeviceWhenReady();
}

void MainWindow::pairDeviceWhenReady()
{
    const DeviceInfo device = serialDevice->getDevice();
    // A device turned away as not supported was never read out: it has no BLE name to pair.
    if (state.userSignedIn && device.identified && !state.firmwareFilePath.isEmpty()
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
    const DeviceInfo device = serialDevice->getDevice();
    if (device.numberOfSessions != 0) {
        // The health data on the device goes to the cloud first, by the usual rule, and the
        // device is flashed once it is proven empty. Only where no sync is possible does the
        // user decide whether to lose it.
        if (windowview::uploadOffered(state, device)) {
            syncThenFlash(device);
            return;
        }
        QMessageBox box(QMessageBox::Warning, QString(),
                        QStringLiteral("There is unsaved data on your device, that will be lost "
                                       "during the update."),
                        QMessageBox::Yes | QMessageBox::Cancel);
        box.setInformativeText(QStringLiteral("Do you want to proceed?"));
        if (box.exec() != QMessageBox::Yes)
            return;
    } else if (device.identified && serialDevice->state() != QLatin1String("toIdle")) {
        // Just synced: the device restarts and is identified again before it can be flashed.
        state.flashAfterSyncOf = device.UID;
        state.firmwarePanel = FirmwarePanel::Flashing;
        applyState();
        return;
    }
    startFlashing();
}

void MainWindow::syncThenFlash(const DeviceInfo &device)
{
    const SyncSession::Start result = syncSession->start();
    qDebug() << "💬" << Q_FUNC_INFO
             << (result == SyncSession::Start::Started ? "Syncing the health data first"
                                                       : "The device is busy on other process");
    if (result == SyncSession::Start::Busy) {
        showDeviceBusy();
        return;
    }
    if (result != SyncSession::Start::Started)
        return;
    state.flashAfterSyncOf = device.UID;
    state.firmwarePanel = FirmwarePanel::Flashing;
    state.warning = CloudWarning::None;
    state.synchronized = false;
    state.transferRunning = true;
    state.transferProgress.reset();
    applyState();
}

void MainWindow::flashWhenSynchronized()
{
    // The device comes back after its erase and restart: flashed once the link is idle with
    // it again, empty.
    const DeviceInfo device = serialDevice->getDevice();
    if (state.flashAfterSyncOf.isEmpty() || !device.identified
        || serialDevice->state() != QLatin1String("toIdle"))
        return;
    const bool same = device.UID == state.flashAfterSyncOf && device.numberOfSessions == 0;
    state.flashAfterSyncOf.clear();
    if (same)
        startFlashing();
}

void MainWindow::startFlashing()
{
    state.firmwarePanel = FirmwarePanel::Flashing;
    applyState();
    const int result = serialDevice->updateFirmware(state.firmwareFilePath);
    qDebug() << "💬" << Q_FUNC_INFO
             << (result < 0 ? "The device is busy on other process" : "FW update started");
    if (result < 0) {
        // Nothing is being flashed: put the panel back and say why instead of leaving the
        // flashing notice up (a transfer or a restart still holds the device).
        refreshFirmwarePanel();
        applyState();
        showDeviceBusy();
    }
}

void MainWindow::setFirmwareUpdateProgress(int current, int max)
{
    state.flashProgress = windowview::Progress {current, max};
    applyState();
}

void MainWindow::firmwareUpdateDone()
{
    // The device now runs the image that was flashed: that version is the one to report.
    network->updateFwVersion(serialDevice->getDevice().nameBLE, state.latestFirmwareVersion);
}

// ---- Cloud panel

void MainWindow::notSignedIn()
{
    state.userSignedIn = false;
    state.pairedDevice.clear();
    state.pairedUid.clear();
    state.synchronized = false;
    applyState();
}

void MainWindow::signedIn(const QString &username, const QString &pass)
{
    Q_UNUSED(pass);
    // Another account: the device's pairing was answered to the one before.
    state.pairedDevice.clear();
    state.pairedUid.clear();
    state.userSignedIn = true;
    state.userName = username;
    state.warning = CloudWarning::None;
    state.synchronized = false;
    applyState();
}

void MainWindow::wrongCredentials()
{
    state.warning = CloudWarning::WrongCredentials;
    applyState();
}

void MainWindow::on_button_signin_clicked()
{
    state.warning = CloudWarning::None;

    if (state.userSignedIn) {
        ui->lineEdit_pass->setText(QString());
        ui->lineEdit_user->setText(QString());
        state.userSignedIn = false;
        // The cloud id was answered to this account: after the next sign-in the device's
        // data waits for that account's own answer. A sync running now stops with the
        // sign-out (the cloud client tells the sync), its device untouched.
        state.pairedDevice.clear();
        state.pairedUid.clear();
        state.synchronized = false;
        refreshFirmwarePanel();
        applyState();
        // A sync running now (one for a firmware update too) stops with the sign-out.
        network->signOut();
        return;
    }

    if (ui->lineEdit_user->text().isEmpty() && ui->lineEdit_pass->text().isEmpty()) {
        state.warning = CloudWarning::FillInTheLines;
        applyState();
        return;
    }
    applyState();
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
    if (!windowview::uploadOffered(state, serialDevice->getDevice())) {
        // No session leaves for the cloud before this device's pairing gave its id.
        qDebug() << "👇" << Q_FUNC_INFO << "Refused: the upload is not offered";
        return;
    }
    const SyncSession::Start result = syncSession->start();
    const char *message = result == SyncSession::Start::Started
        ? "Vitals download started"
        : "The device is busy on other process.";
    qDebug() << "👇" << Q_FUNC_INFO << message;

    if (result == SyncSession::Start::Busy) {
        showDeviceBusy();
        return;
    }
    if (result != SyncSession::Start::Started)
        return;

    // A new transfer: what the last one ended with no longer applies.
    state.warning = CloudWarning::None;
    state.synchronized = false;
    state.transferRunning = true;
    state.transferProgress.reset();
    applyState();
}

void MainWindow::sessionsDownloadProgress(int progress, int numberOfRecords)
{
    // The link reports every record but the last, which writes the session file instead:
    // the bar is full at the last report.
    state.transferRunning = true;
    state.transferProgress = windowview::Progress {progress, numberOfRecords - 1};
    if (progress == numberOfRecords)
        state.synchronized = true;
    applyState();
}

void MainWindow::sessionsUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    qDebug() << "🌐" << Q_FUNC_INFO << "Bytes sent" << bytesSent << "out of" << bytesTotal;
}

void MainWindow::sessionSent(bool success)
{
    // The sync acts on each outcome (the next session, or a stop that leaves the device as
    // it is) and says what went wrong; the window only notes it.
    qDebug() << "🌐" << Q_FUNC_INFO << "Session sent status" << (success ? "true" : "false");
}

void MainWindow::vitalsSynchronized()
{
    state.synchronized = true;
    applyState();
}

void MainWindow::appUpdateAvailable(QString message)
{
    qDebug() << "💬" << Q_FUNC_INFO << message;
    const QString version = QStringLiteral("%1.%2")
                                .arg(network->offeredVersionMajor())
                                .arg(network->offeredVersionMinor());
    const QString managed = installer.packageManaged();
    if (!managed.isEmpty()) {
        // Nothing was downloaded: the package manager installs it.
        QMessageBox box(QMessageBox::Information, QString(),
                        QStringLiteral("A new version of Orvane app is available."),
                        QMessageBox::Ok);
        QString text = QStringLiteral("Orvane %1 is available. %2 Install it with your package "
                                      "manager.")
                           .arg(version, managed);
        if (!message.isEmpty())
            text += QStringLiteral("\n\n") + message;
        showPlainInformativeText(&box, text);
        box.exec();
        return;
    }

    QMessageBox box(QMessageBox::Information, QString(),
                    QStringLiteral("A new version of Orvane app is available."),
                    QMessageBox::Yes | QMessageBox::Cancel);
    showPlainInformativeText(&box, message);
    if (box.exec() != QMessageBox::Yes)
        return;

    qDebug() << "💬" << Q_FUNC_INFO << installer.downloadedFile();
    const QString refusal =
        installer.installAndRestart(network->offeredVersionMajor(), network->offeredVersionMinor());
    if (refusal.isEmpty())
        return;
    // The old program keeps running.
    qWarning().noquote() << "💬" << Q_FUNC_INFO << "update not installed:" << refusal;
    QMessageBox failure(QMessageBox::Warning, QString(),
                        QStringLiteral("The update could not be installed."), QMessageBox::Ok);
    showPlainInformativeText(&failure, refusal);
    failure.exec();
}
