#include "brevia/scenario.h"

#include "sessions.h"

#include <algorithm>

namespace brevia {

const char *modeText(Mode mode)
{
    return mode == Mode::Boot ? "BM" : "WM";
}

namespace {

bool isUpperHex(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

bool isToken(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::string hex32(uint64_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        out += digits[(value >> shift) & 0xF];
    return out;
}

} // namespace

std::string validateScenario(const Scenario &s)
{
    constexpr int maxVersion = 999999999;
    if (s.firmwareVersion < 0 || s.firmwareVersion > maxVersion)
        return "firmware version must be 0 to 999999999";
    if (s.newFirmwareVersion && (*s.newFirmwareVersion < 0 || *s.newFirmwareVersion > maxVersion))
        return "new firmware version must be 0 to 999999999";
    if (s.uid.empty() || s.uid.size() > 64 || !isToken(s.uid))
        return "UID must be 1 to 64 printable characters without spaces";
    if (s.ble.size() != 12 || !isUpperHex(s.ble))
        return "BLE identifier must be 12 upper-case hexadecimal digits";
    if (s.zeroMacReplies < 0)
        return "zero-MAC reply count must not be negative";
    if (s.nameReply
        && (s.nameReply->size() > 1024 || s.nameReply->find_first_of("\r\n") != std::string::npos))
        return "name reply must be at most 1024 characters without line breaks";

    if (s.sessions.size() > directorySlots)
        return "at most 41 directory slots (" + std::to_string(s.sessions.size()) + " given)";
    for (size_t i = 0; i < s.sessions.size(); ++i) {
        if (!s.sessions[i].empty && s.sessions[i].records == 0xFFFF)
            return "session " + std::to_string(i + 1) + ": 65535 records marks an unused slot";
    }
    // Sessions must fit in the address space and keep clear of each other and of the directory.
    struct Range
    {
        uint64_t begin, end;
        std::string what;
    };
    std::vector<Range> ranges {{DeviceModel::summaryAddress,
                                DeviceModel::summaryAddress + summarySize, "the directory page"}};
    for (const SessionInfo &p : placeSessions(s.sessions)) {
        const uint64_t end = uint64_t(p.address) + pagesFor(p.records) * pageSize;
        const std::string what =
            "session in slot " + std::to_string(p.slot + 1) + " at " + hex32(p.address);
        if (end > (uint64_t(1) << 32))
            return what + " runs past the end of memory";
        if (end > p.address)
            ranges.push_back({p.address, end, what});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range &a, const Range &b) { return a.begin < b.begin; });
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].begin < ranges[i - 1].end)
            return ranges[i - 1].what + " overlaps " + ranges[i].what;
    }

    for (const DigitFlip &flip : s.summaryFlips) {
        if (flip.read < 1 || flip.digit >= 512 || !isUpperHex(std::string(1, flip.to)))
            return "a summary flip needs a read from 1, a digit 0 to 511 and an upper-case hex "
                   "digit";
    }
    if (s.pieceSizes.size() > 64)
        return "at most 64 piece sizes";
    if (std::any_of(s.pieceSizes.begin(), s.pieceSizes.end(), [](size_t n) { return n == 0; }))
        return "piece sizes must be at least 1";
    if (s.pieceGapMs < 0 || s.pieceGapMs > 60000)
        return "piece gap must be 0 to 60000 ms";
    if (s.replyGapMs < 0 || s.replyGapMs > 60000)
        return "reply gap must be 0 to 60000 ms";
    if (s.baud != 0 && (s.baud < 50 || s.baud > 10000000))
        return "baud rate must be 0 (unpaced) or 50 to 10000000";
    if (s.strayText.size() > 256)
        return "stray text must be at most 256 characters";
    if (std::any_of(s.strayReads.begin(), s.strayReads.end(), [](int n) { return n < 1; })
        || std::any_of(s.strayLineReads.begin(), s.strayLineReads.end(),
                       [](int n) { return n < 1; }))
        return "stray read numbers count from 1";
    if (!s.babbleAfter.empty() && (s.babble.empty() || s.babble.size() > 65536))
        return "babble must be 1 to 65536 bytes";
    if (s.babbleIntervalMs < 1 || s.babbleIntervalMs > 60000)
        return "the babble interval must be 1 to 60000 ms";
    if (s.strayLine.size() > 256 || s.strayLine.find('\n') != std::string::npos)
        return "the stray line must be at most 256 characters without a line feed";
    if (s.strayLineDelayMs < 0 || s.strayLineDelayMs > 60000 || s.lastDigitPauseMs < 0
        || s.lastDigitPauseMs > 60000)
        return "stray line delay and last digit pause must be 0 to 60000 ms";
    if (s.muteAfter && *s.muteAfter < 0)
        return "mute-after count must not be negative";
    if (s.unplugAfter && *s.unplugAfter < 1)
        return "unplug-after count must be at least 1";
    if (s.restartDelayMs < 0 || s.restartDelayMs > 600000)
        return "restart delay must be 0 to 600000 ms";
    if (s.replugAfterMs < -1 || s.replugAfterMs > 3600000)
        return "replug delay must be -1 (never) or 0 to 3600000 ms";
    return {};
}

} // namespace brevia
