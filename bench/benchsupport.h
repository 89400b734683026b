// What the hand-timed benchmarks share: a throw-away HOME, quiet debug output, peak memory.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGlobal>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace benchsupport {

// Debug lines are still formatted, but dropped: they would swamp the figures. Warnings and
// worse go to standard error.
inline void dropDebugLines()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}

// HOME and the XDG folders in a throw-away folder: the application folder, the log and the
// settings never touch the real user's.
inline void useHome(const QString &path)
{
    const QByteArray home = QFile::encodeName(path);
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_RUNTIME_DIR", home); // owner-only, as Qt wants it
}

// What every benchmark does first: debug lines dropped, HOME in `home`. False when the
// throw-away folder could not be made.
inline bool quietHome(const QTemporaryDir &home)
{
    dropDebugLines();
    if (!home.isValid())
        return false;
    useHome(home.path());
    return true;
}

// Runs the event loop until `done` holds or the time is up; false when the time ran out.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// The process's peak resident memory so far.
inline double peakMiB()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

} // namespace benchsupport
