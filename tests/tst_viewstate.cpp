// The window's look as a function of its state: rows of changes and the lines they must give.
#include "testmain.h"

#include "ui/viewstate.h"

#include <functional>

using namespace windowview;

namespace {

const QString ble = QStringLiteral("K217-C8F09E4D21A7");
const Progress transferAt {3, 9}, flashAt {120, 480};

// Signed in, firmware 1400 offered to a paired device with data on 1310; then the changes.
ViewState stateWith(const QString &changes)
{
    ViewState s;
    s.userSignedIn = s.deviceReported = s.device.connected = s.device.identified = true;
    s.firmwareFilePath = QStringLiteral("/home/u/orvane/rev.bin");
    s.latestFirmwareVersion = 1400;
    s.device.fwVersion = 1310;
    s.device.nameBLE = s.pairedDevice = ble;
    s.device.UID = s.pairedUid = QStringLiteral("4B21C07DE5A19F03");
    s.device.memoryUsed = 40;
    s.firmwarePanel = FirmwarePanel::UpdateOffered;
    using Change = std::function<void(ViewState &)>;
    static const QHash<QString, Change> named {
        {"signed-out", [](ViewState &s) { s.userSignedIn = false; }},
        {"no-firmware-file", [](ViewState &s) { s.firmwareFilePath.clear(); }},
        {"unpaired", [](ViewState &s) { s.pairedDevice.clear(); }},
        {"other-paired", [](ViewState &s) { s.pairedDevice = "K217-000000000001"; }},
        // Two devices without a BLE id share the placeholder name.
        {"other-same-name", [](ViewState &s) { s.pairedUid = "77AA00BB11CC22DD"; }},
        {"nameless", [](ViewState &s) { s.device.nameBLE.clear(); }},
        {"unidentified", [](ViewState &s) { s.device.identified = false; }},
        {"no-data", [](ViewState &s) { s.device.memoryUsed = 0; }},
        {"unplugged", [](ViewState &s) { s.device = DeviceInfo(); }},
        {"transfer", [](ViewState &s) { s.transferRunning = true; }},
        {"progress", [](ViewState &s) { s.transferProgress = transferAt; }},
        {"synchronized", [](ViewState &s) { s.synchronized = true; }},
        {"up-to-date", [](ViewState &s) { s.firmwarePanel = FirmwarePanel::UpToDate; }},
        {"flashing", [](ViewState &s) { s.firmwarePanel = FirmwarePanel::Flashing; }},
        {"flash-progress", [](ViewState &s) { s.flashProgress = flashAt; }},
        {"not-refreshed", [](ViewState &s) { s.firmwarePanel = FirmwarePanel::NotRefreshed; }},
        {"failed", [](ViewState &s) { s.transferFailure = "It stopped."; }}};
    for (const QString &change : changes.split(' ', Qt::SkipEmptyParts)) {
        if (change.startsWith("warning")) // the CloudWarning's value
            s.warning = CloudWarning(change.mid(7).toInt());
        else
            named.value(change, [&change](ViewState &) { QFAIL(qPrintable(change)); })(s);
    }
    return s;
}

QString line(const char *name, const Shown &shown)
{
    return QStringLiteral("%1 %2").arg(name).arg(shown.visible)
        + (shown.text ? QStringLiteral(" \"%1\"").arg(*shown.text) : QString());
}

QString line(const char *name, const Bar &bar)
{
    return QStringLiteral("%1 %2").arg(name).arg(bar.visible)
        + (bar.format ? QStringLiteral(" \"%1\"").arg(*bar.format) : QString())
        + (bar.maximum ? QStringLiteral(" max %1 value %2").arg(*bar.maximum).arg(*bar.value)
                       : QString());
}

} // namespace

class TestViewState : public QObject
{
    Q_OBJECT

private slots:
    void look()
    {
        const QString upload0 = "button_cloud_upload 0";
        const QString memory = "roundBarCloud 1 \"%p% of memory used\" max 100 value 40";
        const QString noMemory = "roundBarCloud 0 \"%p% of memory used\" max 100 value 0";
        const QList<std::pair<QString, QStringList>> rows {
            {"",
             {"button_cloud_upload 1", memory, "button_update 1", "roundBarFW 0",
              "label_fw_main 1 \"There is an update for your Brevia device.\""}},
            // The upload needs every one of its conditions.
            {"signed-out", {upload0, memory}},
            {"no-firmware-file", {upload0}},
            {"unpaired", {upload0}},
            {"other-paired", {upload0}},
            {"other-same-name", {upload0}},
            {"nameless unpaired", {upload0}},
            {"unidentified", {upload0}},
            {"no-data", {upload0, noMemory}},
            {"unplugged", {upload0, noMemory}},
            {"transfer", {upload0, "roundBarCloud 1 \"\" max 100 value 40"}},
            {"transfer progress", {upload0, "roundBarCloud 1 \"Syncing\" max 9 value 3"}},
            {"synchronized signed-out no-data",
             {noMemory, "label_cloud_main 1 \"Health data synchronization\nis done!\""}},
            // The firmware panel.
            {"up-to-date",
             {"label_fw_main 1 \"Your Brevia's firmware is up to date.\"", "button_update 0"}},
            {"flashing flash-progress",
             {"button_update 0", "roundBarFW 1 max 480 value 120", "button_cloud_upload 1"}},
            {"not-refreshed", {"label_fw_main 1 \"\"", "button_update 0"}},
            {"not-refreshed signed-out",
             {"label_fw_main 1 \"Sign in to check your device's firmware for update.\""}},
            // Warnings: the sign-in ones on one line, the explanations wrapped.
            {"", {"label_cloud_worning 0"}},
            {"warning1", {"label_cloud_worning 1", "wraps 0"}},
            {"warning2", {"label_cloud_worning 1", "wraps 0"}},
            {"warning3", {"label_cloud_worning 1", "wraps 1"}},
            {"warning4 failed", {"label_cloud_worning 1 \"It stopped.\"", "wraps 1"}}};
        for (const auto &[changes, expected] : rows) {
            const View view = viewFor(stateWith(changes));
            QMap<QString, QString> look;
#define WIDGET(name) look.insert(QStringLiteral(#name), line(#name, view.name))
            WIDGET(label_fw_main);
            WIDGET(button_update);
            WIDGET(roundBarFW);
            WIDGET(roundBarCloud);
            WIDGET(button_cloud_upload);
            WIDGET(label_cloud_main);
            WIDGET(label_cloud_worning);
#undef WIDGET
            look.insert("wraps", QStringLiteral("wraps %1").arg(view.warningWraps));
            for (const QString &want : expected) {
                // "name 1" alone: shown, whatever it says.
                const QString got = look.value(want.section(' ', 0, 0));
                QCOMPARE(changes + ": " + (want.count(' ') > 1 ? got : got.section(' ', 0, 1)),
                         changes + ": " + want);
            }
        }
    }

    void firmwarePanelOfARefresh()
    {
        // Any version but the cloud's (1400) is offered the update, given user, file and device.
        const QList<std::pair<QString, FirmwarePanel>> rows {
            {"", FirmwarePanel::UpdateOffered},     {"1500", FirmwarePanel::UpdateOffered},
            {"0", FirmwarePanel::UpdateOffered},    {"1400", FirmwarePanel::UpToDate},
            {"signed-out", FirmwarePanel::Hidden},  {"no-firmware-file", FirmwarePanel::Hidden},
            {"unidentified", FirmwarePanel::Hidden}};
        for (const auto &[changes, panel] : rows) {
            bool isVersion = false;
            const int version = changes.toInt(&isVersion);
            ViewState state = stateWith(isVersion ? QString() : changes);
            state.device.fwVersion = isVersion ? version : state.device.fwVersion;
            QVERIFY2(firmwarePanelFor(state, state.device) == panel, qPrintable(changes));
        }
    }

    // The notice of a port closed to the user names the port as text, not markup.
    void portClosedToTheUser()
    {
        ViewState state = stateWith("unplugged");
        state.refusedPort = QStringLiteral("/dev/ttyUSB<b>0</b>");
        const QString notice = viewFor(state).label_port_access.text.value_or(QString());
        QVERIFY2(notice.contains("ttyUSB&lt;b&gt;0&lt;/b&gt;") && !notice.contains("ttyUSB<b>"),
                 qPrintable(notice));
    }
};

ORVANE_TEST_MAIN(TestViewState)
#include "tst_viewstate.moc"
