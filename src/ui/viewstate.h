// What the main window knows, and what each of its widgets shows because of it. The window's
// slots change a ViewState; viewFor() turns it into a View, which the window puts on its
// widgets in one place. Neither reads a widget.
#pragma once

#include "device/deviceinfo.h"

#include <QString>

#include <optional>

namespace windowview {

struct Progress
{
    int value = 0;
    int maximum = 0;
};

// The firmware panel as its last refresh found it. The panel is refreshed when the cloud's
// preparations are done, the firmware information arrives, the device is reported or paired,
// the user signs out, or a flashing is refused; flashing lasts from "Update" to the next
// refresh.
enum class FirmwarePanel {
    NotRefreshed, // from construction: the sign-in prompt (empty once signed in)
    Hidden, // signed out, no identified device, or no firmware information yet
    UpdateOffered,
    UpToDate,
    Flashing,
};

// What the cloud panel last had to warn about; a new attempt takes it away.
enum class CloudWarning {
    None,
    WrongCredentials,
    FillInTheLines,
    PairingFailed,
    TransferFailed, // the sync's own explanation, in transferFailure
};

struct ViewState
{
    // The cloud: who is signed in, and the newest firmware it offered (known once the image
    // is on disk; firmwareFilePath stays empty until then).
    bool userSignedIn = false;
    QString userName;
    QString firmwareFilePath;
    int latestFirmwareVersion = 0;

    // The device as the link last reported it. Before the first report the device panel
    // keeps its initial labels.
    bool deviceReported = false;
    DeviceInfo device;
    // BLE name and unique number of the device whose pairing answered with its cloud id under
    // the account signed in: only its data may be uploaded.
    QString pairedDevice;
    QString pairedUid;
    // The port of a device this user may not open; empty when there is none.
    QString refusedPort;

    FirmwarePanel firmwarePanel = FirmwarePanel::NotRefreshed;
    // The last flashing progress since the firmware panel's last refresh.
    std::optional<Progress> flashProgress;

    // A transfer runs from "Upload to cloud" until the device is reported again: after the
    // erase, after a failure, or when it is found again after a failed upload.
    bool transferRunning = false;
    std::optional<Progress> transferProgress; // records read, of all records but one

    // The UID of the device to flash once its sync proved it empty; empty when none waits.
    QString flashAfterSyncOf;

    CloudWarning warning = CloudWarning::None;
    QString transferFailure;
    // Every session of the last transfer is in the cloud; said until the next transfer or
    // sign-in change.
    bool synchronized = false;
};

// The firmware panel that a refresh finds, given the device as the link holds it now.
FirmwarePanel firmwarePanelFor(const ViewState &state, const DeviceInfo &device);

// The device's health data may be uploaded: signed in, the firmware information in, the
// device identified with data, and its own pairing answered with its cloud id.
bool uploadOffered(const ViewState &state, const DeviceInfo &device);

// One widget: hidden widgets keep whatever text they had (unset text: leave it).
struct Shown
{
    bool visible = false;
    std::optional<QString> text;
};

struct Bar
{
    bool visible = false;
    std::optional<QString> format;
    std::optional<double> maximum;
    std::optional<double> value;
};

// Every widget the window changes, by object name.
struct View
{
    // Device panel
    Shown label_indicator; // the waiting animation; its text is never set
    Shown label_status;
    Shown label_port_access;
    Shown label_fw;
    Shown label_mac;
    Shown label_cloud_used;
    // Firmware panel
    Shown label_fw_main;
    Shown label_fw_version;
    Shown button_update;
    Bar roundBarFW;
    // Cloud panel
    Bar roundBarCloud;
    Shown button_cloud_upload;
    Shown label_cloud_main;
    Shown label_userName;
    Shown label_cloud_worning;
    bool warningWraps = false; // the long explanations wrap, the sign-in warnings do not
    Shown lineEdit_user;
    Shown lineEdit_pass;
    Shown button_signup;
    Shown button_signin;
};

View viewFor(const ViewState &state);

} // namespace windowview
