// The emulated Brevia on a pseudo-terminal, served on a thread of its own: what the
// application opens as its serial port. Every public function is thread-safe.
#pragma once

#include "brevia/devicemodel.h"
#include "brevia/scenario.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brevia {

class PtyDevice
{
public:
    // linkPath: a symbolic link kept pointing at the current pty (none when empty).
    explicit PtyDevice(Scenario scenario, std::string linkPath = {});
    ~PtyDevice(); // stops the thread, closes the pty, removes the link
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    // Checks the scenario, opens the log, writes the dump files, creates the pty and the
    // thread. False with errorText() on failure; false when already started.
    bool start();
    void stop();
    std::string errorText() const;

    std::string ptyPath() const; // "/dev/pts/N", "" while unplugged
    std::string linkPath() const;

    // Pulls the cable: the link goes, the pty closes, an open port on it hangs up.
    void unplug();
    // A new pty, the link re-pointed at it. True when plugged in afterwards.
    bool plugIn();
    bool plugged() const;
    int plugCount() const; // how many ptys were created so far

    std::vector<std::string> commands() const;
    std::vector<TimePoint> commandTimes() const; // when each of commands() arrived
    std::vector<std::string> violations() const;
    std::string droppedInput() const;
    int eraseCount() const;
    int restartCount() const;
    std::vector<std::string> clockSets() const;
    std::string mode() const; // "WM" or "BM"
    int firmwareVersion() const;
    bool restarting() const;
    std::vector<uint8_t> flashedImage() const;
    int imagesReceived() const;
    std::vector<uint8_t> readMemory(uint32_t address, size_t length) const;

    size_t sessionCount() const;
    SessionInfo session(size_t index) const;
    std::vector<uint8_t> expectedSessionFile(size_t index) const;
    std::string expectedSessionFileName(size_t index) const;

    // The device says something of its own accord (a late tail, a status line), now.
    void say(const std::string &bytes);
    void setMuted(bool muted);
    // Changes reply behaviour at run time (see DeviceModel::behaviour()). `change` runs under
    // the device's lock and must not call back into it. The log, the link, the dump folder
    // and replugAfterMs are fixed at construction.
    void adjust(const std::function<void(Scenario &)> &change);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace brevia
