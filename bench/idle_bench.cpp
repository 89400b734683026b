// The cost of Orvane sitting open with no device: the real main window, started as main()
// starts it, with the system's own port scan, on the offscreen platform and a fresh HOME.
// After it has settled, prints the CPU time the process used in each second of a 10 s window,
// the mean share of one core and the peak resident memory; then the same window again with
// the waiting animation paused, which tells the animation's share.
//
// Usage: bench_idle [seconds]   (default 10)

#include "benchsupport.h"
#include "ui/highdpi.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

// The event loop for that many seconds, printing the CPU time of each; the mean share of
// one core.
double measure(int seconds)
{
    double totalMs = 0.0;
    qint64 before = cpuTimeUs();
    QElapsedTimer clock;
    clock.start();
    for (int s = 0; s < seconds; ++s) {
        runFor(int((s + 1) * 1000 - clock.elapsed()));
        const qint64 now = cpuTimeUs();
        const double ms = double(now - before) / 1000.0;
        totalMs += ms;
        before = now;
        std::printf("second %2d: %6.1f ms CPU\n", s + 1, ms);
        std::fflush(stdout);
    }
    const double wallMs = double(clock.elapsed());
    std::printf("CPU: %.1f ms over %.1f s = %.2f %% of one core\n", totalMs, wallMs / 1000.0,
                100.0 * totalMs / wallMs);
    return 100.0 * totalMs / wallMs;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!benchsupport::quietHome(home))
        return 2;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    enableHighDpiScaling(); // as main() does
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    // As main() does: the system's ports, none of them a device.
    MainWindow window;
    setApplicationIdentity();
    const QDir folder = prepareApplicationFolder();
    startApplicationLog(&application, folder);
    window.show();

    runFor(settleMs);
    std::printf("The window as the user sees it, waiting for a device:\n");
    const double cpuPercent = measure(seconds);
    const double now = currentMiB(); // read first: reading it takes a little memory
    const double peak = benchsupport::peakMiB();

    const auto *indicator = window.findChild<QLabel *>(QStringLiteral("label_indicator"));
    QMovie *animation = indicator ? indicator->movie() : nullptr;
    double stillPercent = -1.0;
    if (animation) {
        animation->setPaused(true);
        std::printf("The same with the waiting animation paused:\n");
        stillPercent = measure(seconds);
        animation->setPaused(false);
    }

    std::printf("CPU: %.2f %% of one core (target <= %.0f %%) %s\n", cpuPercent, targetCpuPercent,
                cpuPercent <= targetCpuPercent ? "met" : "MISSED");
    if (stillPercent >= 0.0)
        std::printf("  of which the waiting animation: %.2f %%\n", cpuPercent - stillPercent);
    std::printf("resident memory: peak %.1f MiB (target <= %.0f) %s, now %.1f MiB\n", peak,
                targetPeakMiB, peak <= targetPeakMiB ? "met" : "MISSED", now);
    return 0;
}
