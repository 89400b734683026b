// The program's only window: the device panel, the firmware panel and the cloud panel. It owns
// the device link and the cloud client and wires them to each other and to its slots. The
// slots note what happened in the window's state; what the panels show follows from that
// state alone (viewstate.h).
#pragma once

#include "cloud/cloudendpoint.h"
#include "device/portlister.h"
#include "ui/appinstaller.h"
#include "ui/viewstate.h"

#include <QMainWindow>
#include <QString>
#include <QUrl>

#include <functional>

namespace Ui {
class MainWindow;
}
class Network;
class QLabel;
class SerialDevice;
class SyncSession;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Production uses the defaults; tests hand a local cloud and the ports of an emulator.
    explicit MainWindow(QWidget *parent = nullptr,
                        const CloudEndpoint &endpoint = CloudEndpoint::fromBuild(),
                        PortLister portLister = qOverload<>(systemPorts));
    ~MainWindow() override;

    // Test seam for the application update: the file a confirmed update replaces (the running
    // program's own file when empty, the default) and what runs once it is installed (by
    // default: quit and start the program again, detached, with the same arguments). Tests
    // point both elsewhere so that the test binary is neither replaced nor restarted.
    void setApplicationUpdateTarget(const QString &targetPath);
    void setRestartHandler(std::function<void()> restart);

private slots:
    void showDeviceInfo();
    void notSupportedDeviceHandler();
    void setupUiComponents();
    void notSignedIn();
    void signedIn(const QString &username, const QString &pass);
    void wrongCredentials();
    void firmwareInfoFromCloud(const QString &filePath, int version);
    void firmwareSectionViewManager();
    void setFirmwareUpdateProgress(int current, int max);
    void firmwareUpdateDone();
    void sessionSent(bool success);
    void sessionsDownloadProgress(int progress, int numberOfRecords);
    void sessionsUploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void on_button_signin_clicked();
    void on_lineEdit_pass_returnPressed();
    void on_button_signup_clicked();
    void on_button_update_clicked();
    void on_button_cloud_upload_clicked();
    void appUpdateAvailable(QString message);

    // Every session of the transfer is in the cloud and the device was proven empty.
    void vitalsSynchronized();
    // The transfer ended otherwise; the message says why.
    void transferFailed(const QString &message);
    // The cloud answered the pairing of a device with its id, or gave none.
    void devicePaired(const QString &nameBLE, const QString &uid, int id);
    void devicePairingFailed(const QString &nameBLE, const QString &uid);

    // The device panel explains a port this user may not open, in place of the waiting
    // animation, until the port opens or goes away (mainwindow_portaccess.cpp).
    void showPortAccessDenied(const QString &port);
    void hidePortAccessDenied();

private:
    // The firmware panel's refresh: decided anew from the device as the link holds it now.
    void refreshFirmwarePanel();
    // Puts what the state says on every widget; the only place that shows or hides one.
    void applyState();
    // Pairs the identified device once the user is signed in and the firmware information
    // is in; every call that finds the three conditions met pairs it (again).
    void pairDeviceWhenReady();
    // The warning box for a job the device link refused because it is busy.
    void showDeviceBusy();
    // "Update" with health data on a paired device: the sync first, then the flashing once
    // the device is back, proven empty.
    void syncThenFlash(const DeviceInfo &device);
    void flashWhenSynchronized();
    void startFlashing();
    void setupPortAccessNotice();

    Ui::MainWindow *ui;
    SerialDevice *serialDevice;
    Network *network;
    // The sync between the two: what a sign-out, another account or device stops.
    SyncSession *syncSession;
    // Signed in, the firmware information (userSignedIn, firmwareFilePath,
    // latestFirmwareVersion), the device, the job running and the last outcome.
    windowview::ViewState state;

    QUrl cloudBaseUrl; // for the sign-up page
    AppInstaller installer;
    QLabel *portAccessNotice = nullptr; // "label_port_access", under label_status
};
