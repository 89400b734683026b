#include "brevia/commandline.h"

#include <cstdint>
#include <cstdlib>
#include <map>

namespace brevia {

namespace {

// Whole text as a decimal number no larger than `max`.
bool parseDecimal(const std::string &text, uint64_t max, uint64_t &value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return value <= max;
}

// Hexadecimal, "0x" optional, at most 8 digits.
bool parseHex32(std::string text, uint32_t &value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            return false;
        value = value * 16 + uint32_t(v);
    }
    return true;
}

bool parseSession(const std::string &text, SessionSpec &entry, std::string &error)
{
    if (text == "empty") {
        entry.empty = true;
        return true;
    }
    const size_t colon = text.find(':');
    const size_t at = text.find('@');
    if (colon == std::string::npos || (at != std::string::npos && at < colon)) {
        error = "--session wants START:RECORDS[@ADDRESS] or \"empty\", not \"" + text + "\"";
        return false;
    }
    const std::string start = text.substr(0, colon);
    const std::string records =
        text.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1);
    uint64_t value = 0;
    if (!parseDecimal(start, UINT32_MAX, value)) {
        error =
            "--session start time \"" + start + "\" is not a number of seconds up to 4294967295";
        return false;
    }
    entry.startTime = uint32_t(value);
    if (!parseDecimal(records, 65534, value)) {
        error = "--session records \"" + records + "\" is not a number from 0 to 65534";
        return false;
    }
    entry.records = uint16_t(value);
    if (at != std::string::npos) {
        uint32_t address = 0;
        if (!parseHex32(text.substr(at + 1), address)) {
            error = "--session address \"" + text.substr(at + 1)
                + "\" is not hexadecimal of at most 8 digits";
            return false;
        }
        entry.address = address;
    }
    return true;
}

} // namespace

std::string usageText()
{
    return R"(Usage: brevia-emulator [options]

Emulates a Brevia (K217) on a pseudo-terminal. Prints the pty path on the first line of
standard output and, with --link, the link path on the second, as soon as the device is
ready. SIGUSR1 unplugs the device, SIGUSR2 plugs it in again (a new pty, the link
re-pointed); SIGINT and SIGTERM remove the link and exit.

Identity:
  --mode WM|BM              working mode (default) or boot mode at start
  --fw N                    firmware version (default 1310)
  --new-fw N                version after a complete firmware image and a restart
                            (default: unchanged)
  --uid TEXT                unique identifier (default 4B21C07DE5A19F03)
  --ble HEX12               BLE identifier, 12 upper-case hex digits (default C8F09E4D21A7)
  --zero-mac N              answer the first N "ATI3" with twelve zeros (default 0)
  --name-reply TEXT         answer "ATN?" with TEXT instead of the name reply

Memory:
  --session START:RECORDS[@ADDRESS]
                            one directory slot: start time (Unix seconds), records
                            (0 to 65534) and optionally the start address (hex); without
                            one, sessions are placed page by page from 0x1A00. Repeatable,
                            in slot order, at most 41 slots
  --session empty           an unused directory slot
  --seed N                  seed of the record bytes and of the white-space positions
                            (default 1)

Replies:
  --atd0-ok separate|name|next|none
                            the "OK" to "ATD0": its own reply (default), in one write with
                            the name reply, in front of the next reply, or never
  --summary-half            "ATA?" answers only the first 256 bytes (512 digits)
  --pieces N[,N...]         cut every write into pieces of these sizes, the last repeating
  --piece-gap-ms MS         pause between pieces (default 30)
  --reply-gap-ms MS         pause between two replies that would leave back to back
                            (default 10)
  --baud N                  pace the output at N baud, 10 bits a byte (default 0: unpaced)
  --whitespace none|reads|all
                            sprinkle spaces and line breaks into page reads ("R") only, or
                            into every hex reply ("R" and "ATA?") (default none)
  --stray-read N|all        add stray text to the N-th page read (counting from 1), or to
                            all. Repeatable
  --stray-text TEXT         the stray text (default "#?")
  --stray-line-after N      send a line of its own a moment after the N-th page read's
                            reply (counting from 1). Repeatable
  --stray-line TEXT         that line (default "A")
  --stray-line-delay-ms MS  how long after the page it follows (default 20)
  --last-digit-pause-ms MS  hold back each page reply's last digit for MS
  --flip-summary READ:DIGIT:HEX
                            in the READ-th read of the summary ("ATA?" or "R000FF000",
                            counting from 1), the host gets HEX for the DIGIT-th hex digit
                            (0 to 511): a bit error on the line. Repeatable

Faults:
  --babble-after CMD        do not answer commands that begin with CMD; send the babble
                            text every --babble-interval-ms instead, until the next command
  --babble TEXT             the babble (default a status line; "\n" for a line break)
  --babble-interval-ms MS   (default 300)
  --mute-after K            answer the first K commands, then stay silent
  --unplug-after K          the K-th command unplugs the device before it is answered
  --unplug-on CMD           the first command that begins with CMD unplugs the device before
                            it is answered (once)
  --replug-after-ms M       after an unplug, plug in again after M ms
  --restart-delay-ms MS     time from "Z" to the "BOOT" message; input in between is
                            dropped (default 200)

Output:
  --link PATH               keep a symbolic link at PATH pointing at the current pty
  --log FILE                JSON lines: every command, reply, violation, unplug and plug,
                            erase, restart, clock set and received image
  --dump-dir DIR            write the expected session files at start and "flashed.bin"
                            after each complete firmware image
  -h, --help                this text

Argument errors exit with code 2.
)";
}

CommandLine parseCommandLine(const std::vector<std::string> &arguments)
{
    CommandLine result;
    Scenario &s = result.scenario;
    enum Kind { Flag, Value };
    static const std::map<std::string, Kind> known = {{"--mode", Value},
                                                      {"--fw", Value},
                                                      {"--new-fw", Value},
                                                      {"--uid", Value},
                                                      {"--ble", Value},
                                                      {"--zero-mac", Value},
                                                      {"--name-reply", Value},
                                                      {"--session", Value},
                                                      {"--seed", Value},
                                                      {"--atd0-ok", Value},
                                                      {"--summary-half", Flag},
                                                      {"--pieces", Value},
                                                      {"--piece-gap-ms", Value},
                                                      {"--reply-gap-ms", Value},
                                                      {"--baud", Value},
                                                      {"--whitespace", Value},
                                                      {"--stray-read", Value},
                                                      {"--stray-text", Value},
                                                      {"--babble-after", Value},
                                                      {"--babble", Value},
                                                      {"--babble-interval-ms", Value},
                                                      {"--stray-line-after", Value},
                                                      {"--stray-line", Value},
                                                      {"--stray-line-delay-ms", Value},
                                                      {"--last-digit-pause-ms", Value},
                                                      {"--flip-summary", Value},
                                                      {"--unplug-on", Value},
                                                      {"--mute-after", Value},
                                                      {"--unplug-after", Value},
                                                      {"--replug-after-ms", Value},
                                                      {"--restart-delay-ms", Value},
                                                      {"--link", Value},
                                                      {"--log", Value},
                                                      {"--dump-dir", Value},
                                                      {"--help", Flag},
                                                      {"-h", Flag}};

    auto fail = [&](const std::string &text) {
        result.error = text;
        return result;
    };

    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        const auto it = known.find(name);
        if (it == known.end())
            return fail("unknown option \"" + arguments[i] + "\"");
        if (it->second == Flag) {
            if (inlineValue)
                return fail(name + " takes no value");
        } else if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return fail(name + " needs a value");
            value = arguments[++i];
        }

        uint64_t number = 0;
        auto wantNumber = [&](uint64_t max) {
            if (parseDecimal(value, max, number))
                return true;
            result.error = name + " wants a whole number from 0 to " + std::to_string(max)
                + ", not \"" + value + "\"";
            return false;
        };

        if (name == "--help" || name == "-h") {
            result.help = true;
        } else if (name == "--summary-half") {
            s.summaryFirstHalfOnly = true;
        } else if (name == "--mode") {
            if (value != "WM" && value != "BM")
                return fail("--mode wants WM or BM, not \"" + value + "\"");
            s.mode = value == "BM" ? Mode::Boot : Mode::Working;
        } else if (name == "--fw" || name == "--new-fw") {
            if (!wantNumber(999999999))
                return result;
            if (name == "--fw")
                s.firmwareVersion = int(number);
            else
                s.newFirmwareVersion = int(number);
        } else if (name == "--uid") {
            s.uid = value;
        } else if (name == "--ble") {
            s.ble = value;
        } else if (name == "--zero-mac") {
            if (!wantNumber(1000000))
                return result;
            s.zeroMacReplies = int(number);
        } else if (name == "--name-reply") {
            s.nameReply = value;
        } else if (name == "--session") {
            SessionSpec entry;
            if (!parseSession(value, entry, result.error))
                return result;
            s.sessions.push_back(entry);
        } else if (name == "--seed") {
            if (!wantNumber(UINT64_MAX / 10))
                return result;
            s.seed = number;
        } else if (name == "--atd0-ok") {
            static const std::map<std::string, OkPlacement> placements = {
                {"separate", OkPlacement::Separate},
                {"name", OkPlacement::GluedToName},
                {"next", OkPlacement::GluedToNext},
                {"none", OkPlacement::None}};
            const auto p = placements.find(value);
            if (p == placements.end())
                return fail("--atd0-ok wants separate, name, next or none, not \"" + value + "\"");
            s.atd0Ok = p->second;
        } else if (name == "--pieces") {
            s.pieceSizes.clear();
            size_t from = 0;
            while (true) {
                const size_t comma = value.find(',', from);
                const std::string part = value.substr(
                    from, comma == std::string::npos ? std::string::npos : comma - from);
                if (!parseDecimal(part, 1000000, number) || number == 0)
                    return fail("--pieces wants sizes from 1 to 1000000 separated by commas, not \""
                                + value + "\"");
                s.pieceSizes.push_back(size_t(number));
                if (comma == std::string::npos)
                    break;
                from = comma + 1;
            }
        } else if (name == "--piece-gap-ms" || name == "--reply-gap-ms") {
            if (!wantNumber(60000))
                return result;
            (name == "--piece-gap-ms" ? s.pieceGapMs : s.replyGapMs) = int(number);
        } else if (name == "--baud") {
            if (!wantNumber(10000000))
                return result;
            s.baud = int(number);
        } else if (name == "--whitespace") {
            if (value == "none")
                s.whitespace = Whitespace::None;
            else if (value == "reads")
                s.whitespace = Whitespace::PageReads;
            else if (value == "all")
                s.whitespace = Whitespace::AllHex;
            else
                return fail("--whitespace wants none, reads or all, not \"" + value + "\"");
        } else if (name == "--stray-read") {
            if (value == "all") {
                s.strayAllReads = true;
            } else {
                if (!parseDecimal(value, 100000000, number) || number == 0)
                    return fail("--stray-read wants a read number from 1, or all, not \"" + value
                                + "\"");
                s.strayReads.push_back(int(number));
            }
        } else if (name == "--stray-text") {
            s.strayText = value;
        } else if (name == "--stray-line-after") {
            if (!parseDecimal(value, 100000000, number) || number == 0)
                return fail("--stray-line-after wants a read number from 1, not \"" + value + "\"");
            s.strayLineReads.push_back(int(number));
        } else if (name == "--babble-after") {
            s.babbleAfter = value;
        } else if (name == "--babble") {
            std::string text;
            for (size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
                    text += "\r\n";
                    ++i;
                } else {
                    text += value[i];
                }
            }
            s.babble = text;
        } else if (name == "--babble-interval-ms") {
            if (!wantNumber(60000))
                return result;
            s.babbleIntervalMs = int(number);
        } else if (name == "--unplug-on") {
            s.unplugOn = value;
        } else if (name == "--flip-summary") {
            DigitFlip flip;
            const size_t first = value.find(':'), second = value.find(':', first + 1);
            const std::string read = value.substr(0, first);
            const std::string digit = first == std::string::npos
                ? std::string()
                : value.substr(first + 1, second - first - 1);
            const std::string to =
                second == std::string::npos ? std::string() : value.substr(second + 1);
            char *end = nullptr;
            const unsigned long r = std::strtoul(read.c_str(), &end, 10);
            const bool readOk = !read.empty() && *end == '\0';
            const unsigned long d = std::strtoul(digit.c_str(), &end, 10);
            const bool digitOk = !digit.empty() && *end == '\0';
            if (!readOk || !digitOk || to.size() != 1 || r > 1000000 || d > 511)
                return fail("--flip-summary wants READ:DIGIT:HEX, not \"" + value + "\"");
            flip.read = int(r);
            flip.digit = size_t(d);
            flip.to = to[0];
            s.summaryFlips.push_back(flip);
        } else if (name == "--stray-line") {
            s.strayLine = value;
        } else if (name == "--stray-line-delay-ms" || name == "--last-digit-pause-ms") {
            if (!wantNumber(60000))
                return result;
            (name == "--stray-line-delay-ms" ? s.strayLineDelayMs : s.lastDigitPauseMs) =
                int(number);
        } else if (name == "--mute-after" || name == "--unplug-after") {
            if (!wantNumber(100000000))
                return result;
            (name == "--mute-after" ? s.muteAfter : s.unplugAfter) = int(number);
        } else if (name == "--replug-after-ms") {
            if (!wantNumber(3600000))
                return result;
            s.replugAfterMs = int(number);
        } else if (name == "--restart-delay-ms") {
            if (!wantNumber(600000))
                return result;
            s.restartDelayMs = int(number);
        } else if (name == "--link" || name == "--log" || name == "--dump-dir") {
            if (value.empty())
                return fail(name + " needs a path");
            (name == "--link" ? result.linkPath : name == "--log" ? s.logPath : s.dumpDir) = value;
        }
    }
    if (!result.help) {
        const std::string problem = validateScenario(s);
        if (!problem.empty())
            result.error = problem;
    }
    return result;
}

} // namespace brevia
