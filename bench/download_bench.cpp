// Vitals download throughput: the real download path (page request, pty, device reply,
// decoding, session assembly, session file) against the emulated Brevia, unpaced, for one
// session of 65,534 records (3,121 pages). Reports pages per second and the process's peak
// memory (the emulator runs in the same process and is counted too).
//
// A plain main rather than a Google Benchmark loop: the download is driven by the event loop
// and one run is a whole session, so each repetition is timed by hand.
//
// Usage: bench_vitals_download [repetitions]   (default 3)

#include "benchsupport.h"
#include "brevia/ptydevice.h"
#include "common/appfolder.h"
#include "device/portlister.h"
#include "device/serialdevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int sessionRecords = 65534;
constexpr int sessionPages = (sessionRecords + 20) / 21;
constexpr double targetPagesPerSecond = 1000.0;
constexpr double targetPeakMiB = 64.0;
} // namespace

int main(int argc, char *argv[])
{
    // The session files go to a throw-away application folder.
    QTemporaryDir home;
    if (!benchsupport::quietHome(home))
        return 2;
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QDir().mkpath(applicationFolderPath());

    brevia::Scenario scenario;
    scenario.sessions = {brevia::SessionSpec {false, 1767225600u, sessionRecords, std::nullopt}};
    scenario.replyGapMs = 0;
    const QString link = home.path() + QStringLiteral("/bench-brevia-%1").arg(::getpid());
    brevia::PtyDevice device(scenario, QFile::encodeName(link).toStdString());
    if (!device.start()) {
        std::fprintf(stderr, "emulator: %s\n", device.errorText().c_str());
        return 2;
    }
    const std::vector<uint8_t> expected = device.expectedSessionFile(0);

    const PortEntry entry {QLatin1String(devicePortNamePrefix) + QFileInfo(link).fileName(),
                           QStringLiteral("XR21B1411 emulated bridge"), link};
    SerialDevice serial(nullptr, [entry] {
        return QFileInfo::exists(entry.systemLocation) ? QList<PortEntry> {entry}
                                                       : QList<PortEntry> {};
    });

    QString fileName;
    QObject::connect(&serial, &SerialDevice::sessionDownloadDone,
                     [&fileName](const QString &path, const QString &) { fileName = path; });

    std::vector<double> rates;
    for (int run = 0; run < repetitions; ++run) {
        if (!benchsupport::waitFor(
                [&] { return serial.getDevice().identified && !serial.getDevice().busy; }, 15000)) {
            std::fprintf(stderr, "run %d: the device was not identified\n", run + 1);
            return 1;
        }
        fileName.clear();
        QElapsedTimer clock;
        clock.start();
        if (serial.downloadVitals() != 0) {
            std::fprintf(stderr, "run %d: the download was refused\n", run + 1);
            return 1;
        }
        if (!benchsupport::waitFor([&] { return !fileName.isEmpty(); }, 120000)) {
            std::fprintf(stderr, "run %d: no session file\n", run + 1);
            return 1;
        }
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        QFile file(fileName);
        const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (content
            != QByteArray(reinterpret_cast<const char *>(expected.data()), int(expected.size()))) {
            std::fprintf(stderr, "run %d: the session file differs from the device's records\n",
                         run + 1);
            return 1;
        }
        rates.push_back(sessionPages / seconds);
        std::printf("run %d: %d pages in %.3f s = %.0f pages/s\n", run + 1, sessionPages, seconds,
                    sessionPages / seconds);
        std::fflush(stdout);
        // Upload "failed": the device keeps its session for the next run.
        serial.reboot();
    }

    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    const double peak = benchsupport::peakMiB();
    std::printf("session: %d records, %d pages, file %d bytes\n", sessionRecords, sessionPages,
                int(expected.size()));
    std::printf("median: %.0f pages/s (target >= %.0f) %s\n", median, targetPagesPerSecond,
                median >= targetPagesPerSecond ? "met" : "MISSED");
    std::printf("peak memory: %.1f MiB (target < %.0f) %s\n", peak, targetPeakMiB,
                peak < targetPeakMiB ? "met" : "MISSED");
    return 0;
}
