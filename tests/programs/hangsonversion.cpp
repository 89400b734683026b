// A program that never answers "--version": it starts a child that holds on too, and both
// ignore the polite ways of being asked to stop. The proof of an update must kill them both.
#include <csignal>
#include <unistd.h>

int main()
{
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    ::fork(); // the child, if any, waits as well
    for (;;)
        ::pause();
}
