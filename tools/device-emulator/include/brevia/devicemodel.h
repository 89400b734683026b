// The emulated Brevia itself: host bytes in, timed device replies out. It does no I/O and
// never looks at a clock; the caller passes the time, so it can be driven step by step.
// Not thread-safe: PtyDevice serialises access to it.
#pragma once

#include "brevia/scenario.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevia {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// A session as the device stores it.
struct SessionInfo
{
    size_t slot = 0; // directory entry
    uint32_t startTime = 0;
    uint16_t records = 0;
    uint32_t address = 0;
    bool listed = false; // more than 21 records: the host downloads it
};

class DeviceModel
{
public:
    // Bytes that leave the device in one write, not before `due`.
    struct Chunk
    {
        TimePoint due;
        std::string bytes;
    };

    // Something worth a line in the log. Kinds: "command", "reply", "violation", "ignored"
    // (muted), "dropped" (input during a restart), "mode", "erase", "restart", "boot",
    // "clock", "image", "image-restarted".
    struct Event
    {
        TimePoint at;
        std::string kind;
        std::string data;
    };

    static constexpr size_t maxLineLength = 4096;
    static constexpr uint32_t summaryAddress = 0x000FF000;
    static constexpr uint32_t firstSessionAddress = 0x1A00;

    explicit DeviceModel(Scenario scenario);
    ~DeviceModel();
    DeviceModel(const DeviceModel &) = delete;
    DeviceModel &operator=(const DeviceModel &) = delete;

    // Host bytes as they arrived at `now`.
    void receive(std::string_view bytes, TimePoint now);
    // Lets time-driven things happen (end of a restart, a lone "BTR" without line feed).
    void advance(TimePoint now);
    // The chunks that are due at `now`, in order; they leave the queue.
    std::vector<Chunk> takeDue(TimePoint now);
    // When advance()/takeDue() next have something to do.
    std::optional<TimePoint> nextWakeup() const;
    std::vector<Event> takeEvents();
    // True once when a command asked for the cable to be pulled (Scenario::unplugAfter).
    bool takeUnplugRequest();
    // The cable was pulled: what was on its way and any half-received line are lost.
    void disconnect();

    // Bytes the device sends of its own accord at `now`, answering nothing.
    void say(const std::string &bytes, TimePoint now);
    void setMuted(bool muted);
    bool muted() const;
    // Changes how the device answers from the next command on. Identity and memory are
    // fixed at construction: changes to mode, firmwareVersion, sessions and seed are ignored.
    Scenario &behaviour();

    std::vector<std::string> commands() const; // exact bytes, line feed included
    std::vector<TimePoint> commandTimes() const; // when each of commands() arrived
    std::vector<std::string> violations() const;
    std::string droppedInput() const; // bytes that arrived during restarts
    int eraseCount() const;
    int restartCount() const;
    std::vector<std::string> clockSets() const; // "MM/dd/yy HH:mm:ss" as received
    Mode mode() const;
    int firmwareVersion() const;
    bool restarting() const;
    std::vector<uint8_t> flashedImage() const; // the last complete image, F blocks then C blocks
    int imagesReceived() const;
    std::vector<uint8_t> readMemory(uint32_t address, size_t length) const;

    size_t sessionCount() const; // used slots, in directory order
    SessionInfo session(size_t index) const;
    std::vector<uint8_t> expectedSessionFile(size_t index) const;
    std::string expectedSessionFileName(size_t index) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace brevia
