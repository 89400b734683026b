// The device's serial output: each write is cut into pieces and paced at the line's baud
// rate, and every piece gets the time at which it leaves.
#pragma once

#include "brevia/devicemodel.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace brevia {

class Transmitter
{
public:
    // pieceSizes empty: one piece. baud 0: no pacing. A write that would follow the previous
    // one without a pause waits replyGapMs, so that each reaches the host as a read of its own.
    void send(const std::string &bytes, TimePoint now, const std::vector<size_t> &pieceSizes,
              int pieceGapMs, int baud, int replyGapMs);
    std::vector<DeviceModel::Chunk> takeDue(TimePoint now);
    std::optional<TimePoint> nextDue() const;
    void clear();

private:
    std::deque<DeviceModel::Chunk> queue;
    TimePoint lineFree {}; // when the last queued byte has left
    bool sentBefore = false;
};

} // namespace brevia
