// Whether the serial line sets the pace of a sync: the real link, cloud client and sync against
// the emulated Brevia paced at 115200 baud and the cloud stand-in answering each upload only
// after a delay (a slow network). Three sessions of 1,500 records by default.
//
// Measures the time from the start of the sync to the erase command, and compares it with what
// no sync can beat: the wire time of every byte the device sent meanwhile, plus the wait for
// the last upload's answer. Prints each run and the ratio; the goal is at most 1.15.
//
// Usage: bench_sync_pace [repetitions] [answer delay ms] [records per session]
//        (defaults 3, 1500, 1500)

#include "benchsupport.h"
#include "brevia/ptydevice.h"
#include "cloud/network.h"
#include "common/appfolder.h"
#include "device/portlister.h"
#include "device/serialdevice.h"
#include "standin/server.h"
#include "sync/syncsession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int baud = 115200;
constexpr int bitsPerByte = 10; // a start bit, eight data bits, a stop bit
constexpr double targetRatio = 1.15;

// Bytes the device sent between two moments, from its event log (milliseconds since it began).
qint64 bytesSent(const QString &log, qint64 fromMs, qint64 untilMs)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 bytes = 0;
    while (!file.atEnd()) {
        const QJsonObject event = QJsonDocument::fromJson(file.readLine()).object();
        const qint64 ms = qint64(event.value(QLatin1String("ms")).toDouble());
        if (event.value(QLatin1String("event")) == QLatin1String("reply") && ms >= fromMs
            && ms <= untilMs)
            bytes += event.value(QLatin1String("data")).toString().toLatin1().size();
    }
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!benchsupport::quietHome(home))
        return 2;
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int answerDelayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1500;
    const int records = argc > 3 ? std::clamp(std::atoi(argv[3]), 22, 65534) : 1500;

    standin::Scenario cloudScenario;
    cloudScenario.appVersionMinor = 4; // no application update
    cloudScenario.uploadReplyDelayMs = answerDelayMs;
    standin::Server cloud(cloudScenario, (home.path() + "/certs").toStdString(),
                          (home.path() + "/cloud").toStdString());
    if (!cloud.start(0)) {
        std::fprintf(stderr, "stand-in: %s\n", cloud.errorString().c_str());
        return 2;
    }
    CloudEndpoint endpoint;
    endpoint.baseUrl = QUrl(QString::fromStdString(cloud.baseUrl()));
    endpoint.extraCaCertificates =
        QSslCertificate::fromPath(QString::fromStdString(cloud.caCertificatePath()));
    Network network(nullptr, endpoint);

    std::vector<double> ratios;
    for (int run = 0; run < repetitions; ++run) {
        // A fresh device each run, full again.
        brevia::Scenario scenario;
        scenario.baud = baud;
        for (int i = 0; i < 3; ++i)
            scenario.sessions.push_back(
                {false, 1767225600u + 3600u * unsigned(i), uint16_t(records), std::nullopt});
        scenario.logPath =
            (home.path() + QStringLiteral("/device-%1.jsonl").arg(run)).toStdString();
        const QString link = home.path() + QStringLiteral("/brevia-%1-%2").arg(::getpid()).arg(run);
        brevia::PtyDevice device(scenario, QFile::encodeName(link).toStdString());
        const brevia::TimePoint deviceEpoch = brevia::Clock::now();
        if (!device.start()) {
            std::fprintf(stderr, "emulator: %s\n", device.errorText().c_str());
            return 2;
        }
        const PortEntry entry {QLatin1String(devicePortNamePrefix) + QFileInfo(link).fileName(),
                               QStringLiteral("XR21B1411 emulated bridge"), link};
        SerialDevice serial(nullptr, [entry] {
            return QFileInfo::exists(entry.systemLocation) ? QList<PortEntry> {entry}
                                                           : QList<PortEntry> {};
        });
        SyncSession sync(&serial, &network);
        bool done = false, failed = false;
        QObject::connect(&sync, &SyncSession::synchronized, [&] { done = true; });
        QObject::connect(&sync, &SyncSession::failed, [&](const QString &why) {
            failed = true;
            std::fprintf(stderr, "run %d: the sync failed: %s\n", run + 1, qPrintable(why));
        });

        if (run == 0)
            network.sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
        if (!benchsupport::waitFor([&] { return !network.currentToken().isEmpty(); }, 15000)
            || !benchsupport::waitFor(
                [&] { return serial.getDevice().identified && !serial.getDevice().busy; }, 15000)) {
            std::fprintf(stderr, "run %d: not signed in, or the device not identified\n", run + 1);
            return 1;
        }
        const DeviceInfo info = serial.getDevice();
        network.pairDevice(info.nameBLE, info.UID);
        if (!benchsupport::waitFor([&] { return network.currentDeviceID() > 0; }, 15000)) {
            std::fprintf(stderr, "run %d: the device was not paired\n", run + 1);
            return 1;
        }

        QElapsedTimer clock;
        clock.start();
        const brevia::TimePoint began = brevia::Clock::now();
        if (sync.start() != SyncSession::Start::Started) {
            std::fprintf(stderr, "run %d: the sync did not start\n", run + 1);
            return 1;
        }
        if (!benchsupport::waitFor([&] { return done || failed; }, 300000) || failed)
            return 1;

        const std::vector<std::string> commands = device.commands();
        const std::vector<brevia::TimePoint> times = device.commandTimes();
        const auto erase = std::find(commands.begin(), commands.end(), "E000FF000\n");
        if (erase == commands.end()) {
            std::fprintf(stderr, "run %d: no erase\n", run + 1);
            return 1;
        }
        const brevia::TimePoint erasedAt = times[size_t(erase - commands.begin())];
        using std::chrono::duration;
        using std::chrono::duration_cast;
        using std::chrono::milliseconds;
        const double seconds = duration<double>(erasedAt - began).count();
        const qint64 bytes = bytesSent(QString::fromStdString(scenario.logPath),
                                       duration_cast<milliseconds>(began - deviceEpoch).count(),
                                       duration_cast<milliseconds>(erasedAt - deviceEpoch).count());
        const double wire = double(bytes) * bitsPerByte / baud;
        const double floor = wire + answerDelayMs / 1000.0;
        ratios.push_back(seconds / floor);
        std::printf("run %d: start to erase %.2f s; the device sent %lld bytes = %.2f s on the "
                    "wire; + last answer %.2f s = %.2f s; ratio %.3f\n",
                    run + 1, seconds, static_cast<long long>(bytes), wire, answerDelayMs / 1000.0,
                    floor, seconds / floor);
        std::fflush(stdout);
        if (!benchsupport::waitFor([&] { return serial.state() == QLatin1String("toIdle"); },
                                   15000))
            return 1;
    }

    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("sessions: 3 x %d records at %d baud, each upload answered after %d ms\n", records,
                baud, answerDelayMs);
    std::printf("median ratio: %.3f (target <= %.2f) %s\n", median, targetRatio,
                median <= targetRatio ? "met" : "MISSED");
    std::printf("peak memory: %.1f MiB\n", benchsupport::peakMiB());
    return median <= targetRatio ? 0 : 1;
}
