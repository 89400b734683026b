// What the emulated Brevia holds and how it behaves on the wire. Every option has a
// default that makes a well-behaved device; tests and the command line change what they need.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brevia {

enum class Mode { Working, Boot }; // "WM" and "BM" on the wire

// Where the "OK" that answers "ATD0" goes.
enum class OkPlacement {
    Separate, // its own reply
    GluedToName, // the name reply is held back until "ATD0" and both go out in one write
    GluedToNext, // held back and sent in the same write as the next reply, in front of it
    None, // never sent
};

// Where white space is sprinkled into hexadecimal replies.
enum class Whitespace {
    None,
    PageReads, // replies to "R" + address
    AllHex, // replies to "R" and to "ATA?"
};

// One hex digit of a summary read changed on its way to the host (a bit error on the line).
struct DigitFlip
{
    int read = 1; // which read of the summary, counting from 1: replies to "ATA?" and "R000FF000"
    size_t digit = 0; // position in the summary's first 512 hex digits
    char to = '0'; // the digit the host gets instead
};

// One slot of the session directory.
struct SessionSpec
{
    bool empty = false; // an unused slot (all FF) between used ones
    uint32_t startTime = 0; // Unix seconds
    uint16_t records = 0; // FFFF is not allowed: it marks an unused slot
    std::optional<uint32_t> address; // first data page; allocated when not given
};

struct Scenario
{
    // Identity.
    Mode mode = Mode::Working;
    int firmwareVersion = 1310;
    std::optional<int> newFirmwareVersion; // version after a complete image and a restart
    std::string uid = "4B21C07DE5A19F03";
    std::string ble = "C8F09E4D21A7"; // 12 upper-case hex digits
    int zeroMacReplies = 0; // the first this many "ATI3" replies carry twelve zeros
    std::optional<std::string> nameReply; // replaces the "ATN?" reply text (both modes)

    // Memory.
    std::vector<SessionSpec> sessions; // directory slots in order, at most 41
    uint64_t seed = 1; // record bytes and white-space positions

    // Reply shaping.
    OkPlacement atd0Ok = OkPlacement::Separate;
    bool summaryFirstHalfOnly = false; // "ATA?" answers only bytes 0..255
    std::vector<size_t> pieceSizes; // each write cut into pieces of these sizes, the last repeating
    int pieceGapMs = 30; // pause between two pieces
    int baud = 0; // 10 bits a byte; 0 sends at once
    int replyGapMs = 10; // pause between two replies that would otherwise leave back to back
    Whitespace whitespace = Whitespace::None;
    std::string strayText = "#?"; // added after the hex digits of the chosen page reads
    std::vector<int> strayReads; // 1-based numbers of "R" replies that get it
    bool strayAllReads = false;
    // A line of its own that follows the chosen page reads' replies a moment later.
    std::string strayLine = "A";
    std::vector<int> strayLineReads; // 1-based numbers of "R" replies followed by it
    int strayLineDelayMs = 20;
    int lastDigitPauseMs = 0; // each page reply's last digit follows after this pause
    std::vector<DigitFlip> summaryFlips; // digits of summary reads misread on the line

    // Babble: a command that begins with babbleAfter is not answered; instead the device
    // sends babble every babbleIntervalMs until the next command, a restart or the cable
    // (at most 64 MiB in all). A status line makes a chatty device, text without a line
    // break an endless stream.
    std::string babbleAfter; // empty: never
    std::string babble = "STATUS BATTERY 87%\r\n";
    int babbleIntervalMs = 300;

    // Faults and timing.
    std::optional<int> muteAfter; // answer the first K commands, then nothing more
    std::optional<int> unplugAfter; // the K-th command pulls the cable before it is answered
    std::string unplugOn; // the first command beginning with this pulls the cable instead
    int restartDelayMs = 200;

    // Around the device (used by the pty server, not by the model).
    std::string logPath; // JSON lines of everything that happens; empty: no log
    int replugAfterMs = -1; // after an unplug, plug in again after this long; -1: stay out
    std::string dumpDir; // expected session files at start, "flashed.bin" after each image
};

// Empty when the scenario can be served, otherwise what is wrong with it.
std::string validateScenario(const Scenario &scenario);

const char *modeText(Mode mode); // "WM" or "BM"

} // namespace brevia
