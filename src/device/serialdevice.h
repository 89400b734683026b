// The device link: the one object that owns the serial port to the Brevia. It finds the
// device, identifies it, reads its recorded sessions into files, writes firmware into it and
// recovers when the device goes away or stops making sense.
//
// The link is a state machine with one state value, LinkState: scanning, identifying, idle,
// flashing or downloading. It is entered in one place, enter(); the state names "toScan",
// "toIdentify", "toIdle", "toUpdateFirmware" and "toDownloadVitals" are only its log text,
// what state() reports and what ClassStateHandler() takes. Everything else follows from the value: whether the
// scan looks for ports, which dialogue (if any) the device's text goes to, whether the link
// is free for a job. Each entry also starts a new link generation, so that work begun before
// it (a pending restart, an upload's outcome) acts no more.
//
// What the device says is judged by three pure dialogues (identification, download,
// flashing) behind one interface, LinkDialogue. This shell owns the port and the timers: it
// frames the port's bytes into lines, hands each line and the time to the dialogue of the
// state through one read handler, writes what the dialogue asks, saves session files and
// turns the dialogue's events into the signals below.
#pragma once

#include "device/deviceinfo.h"
#include "device/download.h"
#include "device/flashing.h"
#include "device/identification.h"
#include "device/portlister.h"
#include "device/portrefusals.h"
#include "device/probebackoff.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class SerialDevice : public QObject
{
    Q_OBJECT

public:
    // A device that leaves an awaited answer unsent for this long (no byte at all) is given
    // up on: the link goes back to scanning with the device memory untouched.
    static constexpr int defaultStallTimeoutMs = 10000;
    // How long the line stays quiet before an unterminated answer of a job (flashing,
    // download) counts as whole. At 115200 baud a reply's bytes follow each other within a
    // fraction of a millisecond; a bridge hands them over in packets a few milliseconds
    // apart. The identification always waits for the line end.
    static constexpr int replyQuietMs = 50;
    // The longest line the device may send: the summary page's 1024 digits with room to
    // spare. A device that goes on without a line break past it is not making sense.
    static constexpr int maxLineBytes = 4096;
    // What the port may hold unread while no dialogue reads it (the link idle).
    static constexpr int maxUnreadBytes = 64 * 1024;
    // How often the scan asks its port list while no device is connected. The system's list
    // answers from what it enumerated last, and a change the system tells brings a scan pass
    // at once (systemPorts(), PortWatch).
    static constexpr int defaultScanIntervalMs = 1000;

    // portLister: where the scan looks for the device's port; tests hand their own list.
    explicit SerialDevice(QObject *parent = nullptr,
                          PortLister portLister = qOverload<>(systemPorts));
    ~SerialDevice() override;

    // A copy of everything known about the connected device.
    DeviceInfo getDevice() const;

    // The name of the state entered last ("toScan", ...).
    QString state() const;

    // Test seam: the stall watchdog's interval in milliseconds (defaultStallTimeoutMs in the
    // application), so that tests need not wait ten seconds. Takes effect at the next arming.
    void setStallTimeout(int ms);
    // Test seams: the scan tick's interval in milliseconds (defaultScanIntervalMs in the
    // application), and how a port whose device answers like no Brevia is probed less often.
    void setScanInterval(int ms);
    void setProbeBackoff(const ProbeBackoff::Rule &rule);

    // Starts a download like downloadVitals(); the rows listed in `inCloud` were confirmed by
    // an earlier sync of this device and account: they are not read again and count as
    // confirmed for the erase. Those in `inFlight` are being uploaded by an earlier sync: not
    // read either, and awaited under their files. Returns 0 when started, -1 when refused.
    int startDownload(const devicecodec::SessionTable &inCloud,
                      const SyncLedger::InFlight &inFlight = {});

signals:
    void deviceInfoChanged();
    void notSupportedDevice();
    void firmwareUpdateProgress(int progress, int maxValue);
    void firmwareUpdateDone();
    void sessionDownloadProgress(int progress, int numberOfRecordsInSession);
    // Every session confirmed, the directory erased, and a fresh read of it shows it empty.
    void vitalsDownloadDone();
    void sessionDownloadDone(QString fileName, QString timeStamp);
    // The link went back to scanning (device lost, rebooted, restarted after a job or an
    // unusable answer): whatever it had begun, uploads of its session files included, is void.
    void linkRestarted();
    // A download ended without the proof that the device is empty: before every session was
    // through (the device memory untouched), or after the erase without a directory that
    // reads empty. The message says, in words for the user, what failed and where.
    void vitalsDownloadFailed(QString message);
    // The device's port (its device node) is there, but this user may not open it. Told
    // once per port while it stays listed; the scan goes on meanwhile.
    void portAccessDenied(const QString &port);
    // No port refused for want of access is left: one opened, or they went away.
    void portAccessCleared();

public slots:
    void toggleBootMode();
    void sendCommand(QByteArray state);
    int updateFirmware(QString const &filename);
    int downloadVitals();
    void reboot();
    void requestAddress();
    // The cloud's outcome for the upload of a session file this link announced. Recorded
    // only for the file whose upload the running download awaits; anything else is logged
    // and ignored. The next page is then asked for by requestAddress().
    void sessionUploadFinished(const QString &fileName, bool success);

private slots:
    // Enters the state of that name; a name that matches none does nothing.
    void ClassStateHandler(QString const &state);
    // A scan pass: runs on the scan tick and when the system's ports change, while scanning.
    void scanForDevices();
    // identifyDeviceHandler(), updateFirmwareHandler() and downloadVitalsHandler() each hand
    // over to the one read handler, readReply(), which serves the state's dialogue.
    void identifyDeviceHandler();
    void parseVitalsSummary(QString const &sessionPage);
    void updateFirmwareHandler();
    void downloadVitalsHandler();
    // A complete page (512 hex digits) for the download dialogue; the dialogue decodes the
    // pages it reads itself.
    void parsVitalPage(QString page);
    // Saves the session the download handed over, proven on disk, and announces it.
    void sendSession();
    void portError(QSerialPort::SerialPortError error);
    void printDeviceInfo();
    void retry();
    void setTime();
    int checkCRC8(QString const &dataStringHex);

private:
    // In the order of the state names (serialdevice.cpp).
    enum class LinkState { Scan, Identify, Idle, UpdateFirmware, DownloadVitals };
    static QString stateName(LinkState state);
    // The one place a state is entered.
    void enter(LinkState next);
    // The dialogue the state runs; none while scanning or idle.
    LinkDialogue *dialogueOf(LinkState state);

    // The one read handler, reached by the port's readyRead() and the reply-quiet timer in
    // every state: the device's text a line at a time to the state's dialogue. While no
    // dialogue runs the bytes wait in the port for the next one.
    void readReply();
    // The device's text a line at a time. Its bytes may reach us in several reads (a slow
    // line, the bridge's USB packets) and several lines may come in one read: each line is
    // handed out whole, its line feed included. An answer that may come without a line end
    // is handed out once the line has been quiet for replyQuietMs. readInput() returns false
    // when the device sent more than maxLineBytes without a line break: the link was
    // restarted and the caller stops.
    bool readInput(bool *sawHexDigits);
    bool takeLine(QByteArray &line, bool restWhenQuiet);
    void discardInput();
    // The stall timer fired: the running dialogue is handed the time.
    void stalled();

    // Carries out what the dialogue of state `job` answered: writes, input dropped, the
    // watchdog followed, the log, and what its event means for the record and the signals.
    void carryOut(LinkState job, const LinkStep &step);
    void write(const LinkStep &step);
    void followDeadline(qint64 deadline);
    qint64 now() const { return clock.elapsed(); }
    void logNote(LinkState job, const QString &note);
    // The identification ended, the device served or not: what it told, into the record.
    void takeIdentity();
    // Ends a download that cannot go on: log line, the user told what failed, back to
    // scanning with the device memory untouched.
    void failDownload(const QString &why, const QString &userMessage);
    // Whether a job (download, flashing) is refused now: the link is busy, a download holds
    // the device until the link scans again, or the device's mode is one no job can start
    // in. A refusal that is not plain busyness is logged under the tag and the function.
    bool refusesJob(const char *tag, const char *function) const;

    void clearRecord();
    // The device ports a scan pass listed: logged when they are not those of the pass before.
    void noteListedPorts(const QStringList &listed);
    // The identification of the port the scan opened ended, or was cut off by what the device
    // sent: a device that gave no name reply answered like no Brevia and is probed less often.
    void judgeProbe();
    // A failed open during the scan: a refusal is logged once per port, a refusal for want
    // of access is also told.
    void noteRefusedOpen(const PortEntry &entry);
    // The refusals of ports no longer listed are forgotten; all of them once a port opened.
    void forgetRefusals(const QStringList &listed);
    void forgetAllRefusals();
    // retry() after the usual 1000 ms, unless the link has been restarted meanwhile.
    void scheduleRetry();

    std::unique_ptr<QSerialPort> serial;
    DeviceInfo device;
    std::unique_ptr<QTimer> scanTimer;
    QString summaryPage;

    // The state, and the generation its last entry began.
    LinkState linkState = LinkState::Scan;
    quint64 linkGeneration = 0;

    IdentificationDialogue identification;
    DownloadDialogue download;
    FlashingDialogue flashing;

    PortLister portLister;
    PortRefusals refusedPorts;
    ProbeBackoff probeBackoff;
    QStringList listedPorts; // the device ports of the last scan pass
    bool portsListed = false; // a scan pass ran
    bool scanOpening = false; // the scan is opening a port: its failure is noted, not logged
    // The port the scan opened last (its device node's identity), until its identification
    // is judged.
    struct Probe
    {
        QString port;
        QByteArray node;
        bool judged = true;
    } probe;
    QElapsedTimer clock; // the dialogues' time
    QTimer stallTimer; // fires at the running dialogue's deadline
    int stallTimeout = defaultStallTimeoutMs;
    QByteArray pendingReply; // bytes read but not handed out yet
    QTimer replyQuietTimer;
};
