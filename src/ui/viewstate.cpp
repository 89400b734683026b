#include "ui/viewstate.h"

#include <QtGlobal>

namespace windowview {

namespace {

const QString firmwareVersionText = QStringLiteral("Firmware version:   ");
const QString bleIdText = QStringLiteral("BLE ID:  ");
const QString memoryFormat = QStringLiteral("%p% of memory used");
const QString updateAvailableText = QStringLiteral("There is an update for your Brevia device.");
const QString upToDateText = QStringLiteral("Your Brevia's firmware is up to date.");
const QString latestVersionText = QStringLiteral("Latest firmware version available:");
const QString flashingText =
    QStringLiteral("Please don't disconnect your device. It will be ready in few minutes.");
const QString firmwareSignInPrompt =
    QStringLiteral("Sign in to check your device's firmware for update.");
const QString signedOutPrompt = QStringLiteral("Sign in to upload your\nhealth data to the cloud.");
const QString signedInText = QStringLiteral("You are signed in as");
const QString syncDoneText = QStringLiteral("Health data synchronization\nis done!");
const QString pairingFailedText =
    QStringLiteral("Your Brevia could not be registered with your account, so its data "
                   "cannot be uploaded yet. Orvane tries again when the device is connected "
                   "next time.");

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

QString portAccessNotice(const QString &port)
{
    return QStringLiteral("<p><b>Your Brevia was found on %1, but Orvane may not open it.</b></p>"
                          "<p>%2</p><p>Orvane connects as soon as it may.</p>")
        .arg(port.toHtmlEscaped(), accessAdvice());
}

QString warningText(const ViewState &state)
{
    switch (state.warning) {
    case CloudWarning::None:
        break;
    case CloudWarning::WrongCredentials:
        return QStringLiteral("Invalid username or password");
    case CloudWarning::FillInTheLines:
        return QStringLiteral("Please fill in the lines.");
    case CloudWarning::PairingFailed:
        return pairingFailedText;
    case CloudWarning::TransferFailed:
        return state.transferFailure;
    }
    return QString();
}

void showDevicePanel(const ViewState &state, View &view)
{
    const DeviceInfo &device = state.device;
    // Waiting for a device, unless one was found that this user may not open.
    const bool waiting = !device.connected && state.refusedPort.isEmpty();
    view.label_indicator = {waiting, {}};
    view.label_status = {waiting, QStringLiteral("Connect the <br> device")};
    view.label_port_access = {!state.refusedPort.isEmpty(),
                              state.refusedPort.isEmpty() ? QString()
                                                          : portAccessNotice(state.refusedPort)};

    if (!state.deviceReported) {
        view.label_fw = {true, QStringLiteral("Firmware version:")};
        view.label_mac = {true, QStringLiteral("BLE ID:")};
        view.label_cloud_used = {true, QString()};
        return;
    }
    view.label_fw = {true,
                     device.fwVersion > 0 ? firmwareVersionText + QString::number(device.fwVersion)
                                          : firmwareVersionText};
    view.label_mac = {true, bleIdText + device.nameBLE};
    view.label_cloud_used = {true, device.memoryInfo};
}

void showFirmwarePanel(const ViewState &state, View &view)
{
    const QString latest = latestVersionText + QString::number(state.latestFirmwareVersion);
    switch (state.firmwarePanel) {
    case FirmwarePanel::NotRefreshed:
        view.label_fw_main = {true, state.userSignedIn ? QString() : firmwareSignInPrompt};
        view.label_fw_version = {true, {}};
        break;
    case FirmwarePanel::Hidden:
        break;
    case FirmwarePanel::UpdateOffered:
        view.label_fw_main = {true, updateAvailableText};
        view.label_fw_version = {true, latest};
        view.button_update = {true, {}};
        break;
    case FirmwarePanel::UpToDate:
        view.label_fw_main = {true, upToDateText};
        view.label_fw_version = {true, latest};
        break;
    case FirmwarePanel::Flashing:
        view.label_fw_main = {true, flashingText};
        view.label_fw_version = {true, latest};
        break;
    }
    if (state.flashProgress) {
        view.roundBarFW.visible = true;
        view.roundBarFW.maximum = state.flashProgress->maximum;
        view.roundBarFW.value = state.flashProgress->value;
    }
}

void showCloudPanel(const ViewState &state, View &view)
{
    const int memoryUsed = state.device.memoryUsed;
    Bar &bar = view.roundBarCloud;
    bar.visible = state.transferRunning || memoryUsed > 0;
    if (state.transferRunning && state.transferProgress) {
        bar.format = QStringLiteral("Syncing");
        bar.maximum = state.transferProgress->maximum;
        bar.value = state.transferProgress->value;
    } else {
        // A transfer shows no text until its first record is read.
        bar.format = state.transferRunning ? QString() : memoryFormat;
        bar.maximum = 100;
        bar.value = memoryUsed;
    }
    view.button_cloud_upload = {uploadOffered(state, state.device) && !state.transferRunning, {}};

    const bool signedIn = state.userSignedIn;
    view.label_cloud_main = {true,
                             state.synchronized ? syncDoneText
                                 : signedIn     ? signedInText
                                                : signedOutPrompt};
    view.label_userName = {signedIn,
                           signedIn ? std::optional<QString>(state.userName) : std::nullopt};
    view.label_cloud_worning = {state.warning != CloudWarning::None,
                                state.warning != CloudWarning::None
                                    ? std::optional<QString>(warningText(state))
                                    : std::nullopt};
    view.warningWraps = state.warning == CloudWarning::PairingFailed
        || state.warning == CloudWarning::TransferFailed;
    view.lineEdit_user = {!signedIn, {}};
    view.lineEdit_pass = {!signedIn, {}};
    view.button_signup = {!signedIn, {}};
    view.button_signin = {true, signedIn ? QStringLiteral("Sign out") : QStringLiteral("Sign in")};
}

} // namespace

FirmwarePanel firmwarePanelFor(const ViewState &state, const DeviceInfo &device)
{
    // Without the cloud's firmware information there is nothing to compare with, and
    // nothing that could be flashed.
    if (!state.userSignedIn || !device.identified || state.firmwareFilePath.isEmpty())
        return FirmwarePanel::Hidden;
    // Any difference offers the update, an older cloud version too.
    return device.fwVersion != state.latestFirmwareVersion ? FirmwarePanel::UpdateOffered
                                                           : FirmwarePanel::UpToDate;
}

bool uploadOffered(const ViewState &state, const DeviceInfo &device)
{
    return state.userSignedIn && !state.firmwareFilePath.isEmpty() && device.identified
        && device.memoryUsed > 0 && !device.nameBLE.isEmpty()
        && device.nameBLE == state.pairedDevice && !device.UID.isEmpty()
        && device.UID == state.pairedUid;
}

View viewFor(const ViewState &state)
{
    View view;
    showDevicePanel(state, view);
    showFirmwarePanel(state, view);
    showCloudPanel(state, view);
    return view;
}

} // namespace windowview
