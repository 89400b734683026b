#include "brevia/ptydevice.h"

#include "jsonlog.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace brevia {

namespace {

constexpr auto pollSlice = std::chrono::milliseconds(20); // bounds how late stop() is seen

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Writes a file whole or not at all: readers in other processes never see half of it.
bool writeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes,
                         std::string &error)
{
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = systemError("cannot create " + temporary);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = systemError("cannot write " + temporary);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += size_t(n);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = systemError("cannot rename " + temporary + " to " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

struct PtyDevice::Private
{
    mutable std::mutex mutex;
    DeviceModel model;
    const Scenario scenario; // as given: transport options and the dump folder
    const std::string link;
    std::string error;

    int master = -1;
    int ownSlave = -1; // keeps the pty alive while the host has its port closed
    // Opens and closes of the pty by others, seen through inotify. A real serial port
    // loses what the device sends while nobody has it open; so does this one.
    int watch = -1;
    int hostOpens = 0;
    std::string pts;
    int plugs = 0;
    std::string pending; // due bytes the pty has not taken yet
    std::optional<TimePoint> replugAt;

    bool started = false;
    bool stopping = false;
    std::thread thread;
    int wake[2] = {-1, -1};
    JsonLog log;

    Private(Scenario s, std::string linkPath)
        : model(s), scenario(std::move(s)), link(std::move(linkPath))
    { }

    template<typename F>
    auto read(F f) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f(model);
    }

    void note(const std::string &kind, const std::string &data = {})
    {
        log.write(Clock::now(), kind, data);
    }

    void wakeThread()
    {
        if (wake[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
        }
    }

    bool pointLink()
    {
        if (link.empty())
            return true;
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = link + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        const std::string temporary = link + ".new";
        ::unlink(temporary.c_str());
        if (::symlink(pts.c_str(), temporary.c_str()) != 0) {
            error = systemError("cannot create the link " + temporary);
            return false;
        }
        if (::rename(temporary.c_str(), link.c_str()) != 0) {
            error = systemError("cannot move the link to " + link);
            ::unlink(temporary.c_str());
            return false;
        }
        return true;
    }

    void removeLink()
    {
        struct stat st;
        if (!link.empty() && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(link.c_str());
    }

    bool plug()
    {
        if (master >= 0)
            return true;
        int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m < 0) {
            error = systemError("posix_openpt");
            return false;
        }
        char name[128] = {};
        if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
            error = systemError("cannot unlock the pty");
            ::close(m);
            return false;
        }
        ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
        int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (s < 0) {
            error = systemError(std::string("cannot open ") + name);
            ::close(m);
            return false;
        }
        // Raw: no echo, no line editing, no CR/LF translation, bytes as they are.
        struct termios tio;
        if (::tcgetattr(s, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetispeed(&tio, B115200);
            ::cfsetospeed(&tio, B115200);
            ::tcsetattr(s, TCSANOW, &tio);
        }
        master = m;
        ownSlave = s;
        pts = name;
        hostOpens = 0;
        watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch >= 0 && ::inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE) < 0)
            closeFd(watch);
        if (watch < 0)
            note("no-open-tracking", systemError("inotify") + "; replies always go out");
        if (!pointLink()) {
            closeFd(watch);
            closeFd(master);
            closeFd(ownSlave);
            pts.clear();
            return false;
        }
        ++plugs;
        replugAt.reset();
        note("plug", pts);
        return true;
    }

    void unplug(bool replug)
    {
        if (master < 0)
            return;
        removeLink();
        closeFd(watch);
        closeFd(master);
        closeFd(ownSlave);
        note("unplug", pts);
        pts.clear();
        pending.clear();
        model.disconnect();
        if (replug && scenario.replugAfterMs >= 0)
            replugAt = Clock::now() + std::chrono::milliseconds(scenario.replugAfterMs);
    }

    // Without tracking, the host counts as always there.
    bool hostPresent() const { return watch < 0 || hostOpens > 0; }

    void trackHost()
    {
        alignas(inotify_event) char buffer[4096];
        while (watch >= 0) {
            const ssize_t n = ::read(watch, buffer, sizeof buffer);
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    hostOpens = std::max(hostOpens, 1); // lost count: rather deliver
                } else if (e->mask & IN_OPEN) {
                    if (hostOpens++ == 0)
                        note("port-opened", pts);
                } else if ((e->mask & IN_CLOSE) && hostOpens > 0) {
                    if (--hostOpens == 0) {
                        // The last close of a serial port discards what was not read.
                        ::tcflush(ownSlave, TCIFLUSH);
                        if (!pending.empty())
                            note("lost", pending);
                        pending.clear();
                        note("port-closed", pts);
                    }
                }
            }
        }
    }

    void flushEvents()
    {
        for (const DeviceModel::Event &e : model.takeEvents()) {
            log.write(e.at, e.kind, e.data);
            if (e.kind == "image" && !scenario.dumpDir.empty()) {
                std::string why;
                if (!writeFileAtomically(scenario.dumpDir + "/flashed.bin", model.flashedImage(),
                                         why))
                    note("dump-error", why);
            }
        }
    }

    void writePending()
    {
        while (master >= 0 && !pending.empty()) {
            const ssize_t n = ::write(master, pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, size_t(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return; // full: POLLOUT brings us back
            }
        }
    }

    // One turn of the server: what came in, what is due, what to send.
    void serve(int polledMaster, int polledPlugs, short revents)
    {
        const TimePoint now = Clock::now();
        trackHost(); // an open comes before the bytes written after it
        if (polledMaster >= 0 && polledMaster == master && polledPlugs == plugs) {
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                for (int round = 0; round < 16 && master >= 0; ++round) {
                    const ssize_t n = ::read(master, buffer, sizeof buffer);
                    if (n > 0) {
                        model.receive(std::string_view(buffer, size_t(n)), Clock::now());
                        if (model.takeUnplugRequest())
                            unplug(true);
                        continue;
                    }
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                        break;
                    // The pty itself failed (cannot happen while we hold a slave open):
                    // treat it as a pulled cable rather than spinning on it.
                    note("pty-error", n == 0 ? "end of file" : std::strerror(errno));
                    unplug(true);
                    break;
                }
            }
        }
        model.advance(now);
        if (model.takeUnplugRequest())
            unplug(true);
        trackHost();
        for (DeviceModel::Chunk &chunk : model.takeDue(now)) {
            if (master >= 0 && hostPresent())
                pending += chunk.bytes;
            else
                note("lost", chunk.bytes);
        }
        writePending();
        if (replugAt && now >= *replugAt && !plug())
            note("plug-error", error);
        flushEvents();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            const TimePoint now = Clock::now();
            TimePoint until = now + pollSlice;
            if (const auto next = model.nextWakeup())
                until = std::min(until, *next);
            if (replugAt)
                until = std::min(until, *replugAt);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - now + std::chrono::microseconds(999));
            struct pollfd fds[3] = {{wake[0], POLLIN, 0}, {master, POLLIN, 0}, {watch, POLLIN, 0}};
            if (!pending.empty())
                fds[1].events |= POLLOUT;
            const int polledMaster = master;
            const int polledPlugs = plugs;
            lock.unlock();
            const nfds_t count = polledMaster < 0 ? 1 : fds[2].fd < 0 ? 2 : 3;
            const int ready = ::poll(fds, count, int(std::max<int64_t>(0, wait.count())));
            if (ready > 0 && (fds[0].revents & POLLIN)) {
                char drain[64];
                while (::read(wake[0], drain, sizeof drain) > 0) { }
            }
            lock.lock();
            if (stopping)
                break;
            serve(polledMaster, polledPlugs, ready > 0 ? fds[1].revents : 0);
        }
    }
};

PtyDevice::PtyDevice(Scenario scenario, std::string linkPath)
    : d(std::make_unique<Private>(std::move(scenario), std::move(linkPath)))
{ }

PtyDevice::~PtyDevice()
{
    stop();
}

bool PtyDevice::start()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->started || d->stopping) {
        d->error = "the emulator was started before";
        return false;
    }
    const std::string problem = validateScenario(d->scenario);
    if (!problem.empty()) {
        d->error = problem;
        return false;
    }
    if (!d->scenario.logPath.empty() && !d->log.open(d->scenario.logPath, Clock::now(), d->error))
        return false;
    if (!d->scenario.dumpDir.empty()) {
        if (::mkdir(d->scenario.dumpDir.c_str(), 0755) != 0 && errno != EEXIST) {
            d->error = systemError("cannot create " + d->scenario.dumpDir);
            return false;
        }
        for (size_t i = 0; i < d->model.sessionCount(); ++i) {
            if (!d->model.session(i).listed)
                continue; // the host skips it, so it makes no file
            const std::string path =
                d->scenario.dumpDir + "/" + d->model.expectedSessionFileName(i);
            if (!writeFileAtomically(path, d->model.expectedSessionFile(i), d->error))
                return false;
        }
    }
    if (::pipe2(d->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        d->error = systemError("pipe2");
        return false;
    }
    if (!d->plug()) {
        closeFd(d->wake[0]);
        closeFd(d->wake[1]);
        return false;
    }
    d->started = true;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void PtyDevice::stop()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->stopping)
            return;
        d->stopping = true;
        d->wakeThread();
    }
    if (d->thread.joinable())
        d->thread.join();
    std::lock_guard<std::mutex> lock(d->mutex);
    d->unplug(false);
    d->replugAt.reset();
    d->flushEvents();
    d->log.close();
    closeFd(d->wake[0]);
    closeFd(d->wake[1]);
}

std::string PtyDevice::errorText() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->error;
}

std::string PtyDevice::ptyPath() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->pts;
}

std::string PtyDevice::linkPath() const
{
    return d->link;
}

void PtyDevice::unplug()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->unplug(true);
    d->wakeThread();
}

bool PtyDevice::plugIn()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->started || d->stopping) {
        d->error = "the emulator is not running";
        return false;
    }
    const bool ok = d->plug();
    d->wakeThread();
    return ok;
}

bool PtyDevice::plugged() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->master >= 0;
}

int PtyDevice::plugCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->plugs;
}

std::vector<std::string> PtyDevice::commands() const
{
    return d->read([](const DeviceModel &m) { return m.commands(); });
}

std::vector<TimePoint> PtyDevice::commandTimes() const
{
    return d->read([](const DeviceModel &m) { return m.commandTimes(); });
}

std::vector<std::string> PtyDevice::violations() const
{
    return d->read([](const DeviceModel &m) { return m.violations(); });
}

std::string PtyDevice::droppedInput() const
{
    return d->read([](const DeviceModel &m) { return m.droppedInput(); });
}

int PtyDevice::eraseCount() const
{
    return d->read([](const DeviceModel &m) { return m.eraseCount(); });
}

int PtyDevice::restartCount() const
{
    return d->read([](const DeviceModel &m) { return m.restartCount(); });
}

std::vector<std::string> PtyDevice::clockSets() const
{
    return d->read([](const DeviceModel &m) { return m.clockSets(); });
}

std::string PtyDevice::mode() const
{
    return d->read([](const DeviceModel &m) { return std::string(modeText(m.mode())); });
}

int PtyDevice::firmwareVersion() const
{
    return d->read([](const DeviceModel &m) { return m.firmwareVersion(); });
}

bool PtyDevice::restarting() const
{
    return d->read([](const DeviceModel &m) { return m.restarting(); });
}

std::vector<uint8_t> PtyDevice::flashedImage() const
{
    return d->read([](const DeviceModel &m) { return m.flashedImage(); });
}

int PtyDevice::imagesReceived() const
{
    return d->read([](const DeviceModel &m) { return m.imagesReceived(); });
}

std::vector<uint8_t> PtyDevice::readMemory(uint32_t address, size_t length) const
{
    return d->read([&](const DeviceModel &m) { return m.readMemory(address, length); });
}

size_t PtyDevice::sessionCount() const
{
    return d->read([](const DeviceModel &m) { return m.sessionCount(); });
}

SessionInfo PtyDevice::session(size_t index) const
{
    return d->read([&](const DeviceModel &m) { return m.session(index); });
}

std::vector<uint8_t> PtyDevice::expectedSessionFile(size_t index) const
{
    return d->read([&](const DeviceModel &m) { return m.expectedSessionFile(index); });
}

std::string PtyDevice::expectedSessionFileName(size_t index) const
{
    return d->read([&](const DeviceModel &m) { return m.expectedSessionFileName(index); });
}

void PtyDevice::say(const std::string &bytes)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->model.say(bytes, Clock::now());
    }
    d->wakeThread();
}

void PtyDevice::setMuted(bool muted)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->model.setMuted(muted);
}

void PtyDevice::adjust(const std::function<void(Scenario &)> &change)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    change(d->model.behaviour());
    d->wakeThread();
}

} // namespace brevia
