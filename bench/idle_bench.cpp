// The cost of Orvane sitting open with no device: the real main window, started as main()
// starts it, on the offscreen platform with an empty port list and a fresh HOME. After it has
// settled, prints the CPU time the process used in each second of a 10 s window, the mean
// share of one core, and the peak resident memory.
//
// Usage: bench_idle [seconds]   (default 10)

#include "benchsupport.h"
#include "ui/highdpi.h"
#include "ui/mainwindow.h"
#include "device/portlister.h"
#include "ui/startup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int settleMs = 3000;
constexpr double targetCpuPercent = 1.0;
constexpr double targetPeakMiB = 60.0;

// CPU time of this process so far, all threads, in microseconds.
qint64 cpuTimeUs()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
        + usage.ru_stime.tv_usec;
}

// The resident set right now, from /proc (0 where there is none).
double currentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0.0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0.0;
}

// Runs the event loop for ms milliseconds, sleeping while nothing happens.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(std::max(0, ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    benchsupport::dropDebugLines(); // a scan pass each second
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    benchsupport::useHome(home.path());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    enableHighDpiScaling(); // as main() does
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    // As main() does, with no device on any port.
    MainWindow window(nullptr, CloudEndpoint::fromBuild(), [] { return QList<PortEntry>(); });
    setApplicationIdentity();
    const QDir folder = prepareApplicationFolder();
    startApplicationLog(&application, folder);
    window.show();

    runFor(settleMs);

    std::vector<double> perSecond;
    qint64 before = cpuTimeUs();
    QElapsedTimer clock;
    clock.start();
    for (int s = 0; s < seconds; ++s) {
        runFor(int((s + 1) * 1000 - clock.elapsed()));
        const qint64 now = cpuTimeUs();
        perSecond.push_back(double(now - before) / 1000.0);
        before = now;
        std::printf("second %2d: %6.1f ms CPU\n", s + 1, perSecond.back());
        std::fflush(stdout);
    }
    const double wallMs = double(clock.elapsed());
    double totalMs = 0.0;
    for (double ms : perSecond)
        totalMs += ms;
    const double cpuPercent = 100.0 * totalMs / wallMs;
    const double now = currentMiB(); // read first: reading it takes a little memory
    const double peak = benchsupport::peakMiB();
    std::printf("CPU: %.1f ms over %.1f s = %.2f %% of one core (target <= %.0f %%) %s\n", totalMs,
                wallMs / 1000.0, cpuPercent, targetCpuPercent,
                cpuPercent <= targetCpuPercent ? "met" : "MISSED");
    std::printf("resident memory: peak %.1f MiB (target <= %.0f) %s, now %.1f MiB\n", peak,
                targetPeakMiB, peak <= targetPeakMiB ? "met" : "MISSED", now);
    return 0;
}
