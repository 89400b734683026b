#include "transmitter.h"

#include <algorithm>

namespace brevia {

namespace {
// Time on the wire for `bytes` at `baud`, 10 bits a byte.
Clock::duration wireTime(size_t bytes, int baud)
{
    if (baud <= 0)
        return Clock::duration::zero();
    const auto nanos =
        std::chrono::nanoseconds(uint64_t(bytes) * 10u * 1000000000u / unsigned(baud));
    return std::chrono::duration_cast<Clock::duration>(nanos);
}
} // namespace

void Transmitter::send(const std::string &bytes, TimePoint now,
                       const std::vector<size_t> &pieceSizes, int pieceGapMs, int baud,
                       int replyGapMs)
{
    if (bytes.empty())
        return;
    TimePoint at = now;
    if (sentBefore && lineFree >= now)
        at = lineFree + std::chrono::milliseconds(std::max(0, replyGapMs));
    sentBefore = true;
    // A paced line is handed over in slices of about 5 ms, as a UART's FIFO would be.
    const size_t slice = baud > 0 ? std::max<size_t>(1, size_t(baud) / 10 / 200) : bytes.size();
    size_t offset = 0;
    size_t pieceIndex = 0;
    while (offset < bytes.size()) {
        size_t pieceLength = bytes.size() - offset;
        if (!pieceSizes.empty()) {
            const size_t wanted = pieceSizes[std::min(pieceIndex, pieceSizes.size() - 1)];
            pieceLength = std::min(pieceLength, std::max<size_t>(1, wanted));
            if (pieceIndex > 0)
                at += std::chrono::milliseconds(std::max(0, pieceGapMs));
        }
        for (size_t done = 0; done < pieceLength;) {
            const size_t n = std::min(slice, pieceLength - done);
            at += wireTime(n, baud);
            queue.push_back({at, bytes.substr(offset + done, n)});
            done += n;
        }
        offset += pieceLength;
        ++pieceIndex;
    }
    lineFree = at;
}

std::vector<DeviceModel::Chunk> Transmitter::takeDue(TimePoint now)
{
    std::vector<DeviceModel::Chunk> due;
    while (!queue.empty() && queue.front().due <= now) {
        due.push_back(std::move(queue.front()));
        queue.pop_front();
    }
    return due;
}

std::optional<TimePoint> Transmitter::nextDue() const
{
    if (queue.empty())
        return std::nullopt;
    return queue.front().due;
}

void Transmitter::clear()
{
    queue.clear();
}

} // namespace brevia
