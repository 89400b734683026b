// brevia-emulator: a Brevia on a pseudo-terminal, for running Orvane and its tests.
#include "brevia/commandline.h"
#include "brevia/ptydevice.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>

int main(int argc, char *argv[])
{
    const brevia::CommandLine cli =
        brevia::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (cli.help) {
        std::fputs(brevia::usageText().c_str(), stdout);
        return 0;
    }
    if (!cli.error.empty()) {
        std::fprintf(stderr, "brevia-emulator: %s\nTry 'brevia-emulator --help'.\n",
                     cli.error.c_str());
        return 2;
    }

    // Signals are taken synchronously by this thread only; the server thread never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    brevia::PtyDevice device(cli.scenario, cli.linkPath);
    if (!device.start()) {
        std::fprintf(stderr, "brevia-emulator: %s\n", device.errorText().c_str());
        return 1;
    }
    std::printf("%s\n", device.ptyPath().c_str());
    if (!cli.linkPath.empty())
        std::printf("%s\n", cli.linkPath.c_str());
    std::fflush(stdout);

    bool wasPlugged = true;
    while (true) {
        const timespec slice = {0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &slice);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
            break;
        if (sig == SIGUSR1)
            device.unplug();
        if (sig == SIGUSR2 && !device.plugIn())
            std::fprintf(stderr, "brevia-emulator: cannot plug in: %s\n",
                         device.errorText().c_str());
        const bool plugged = device.plugged();
        if (plugged != wasPlugged) {
            if (plugged)
                std::fprintf(stderr, "brevia-emulator: plugged in at %s\n",
                             device.ptyPath().c_str());
            else
                std::fprintf(stderr, "brevia-emulator: unplugged\n");
            wasPlugged = plugged;
        }
    }
    device.stop();
    return 0;
}
