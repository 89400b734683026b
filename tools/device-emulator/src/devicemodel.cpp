#include "brevia/devicemodel.h"

#include "crc32.h"
#include "firmwarereceiver.h"
#include "memory.h"
#include "sessions.h"
#include "transmitter.h"

#include <algorithm>
#include <random>
#include <utility>

namespace brevia {

namespace {

constexpr auto bareBtrQuiet = std::chrono::milliseconds(30);
constexpr char hexDigits[] = "0123456789ABCDEF";

std::string toHex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += hexDigits[b >> 4];
        out += hexDigits[b & 0xF];
    }
    return out;
}

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// A command as it can be shown in a log line: at most 60 bytes, odd bytes as \xHH.
std::string printable(std::string_view bytes)
{
    std::string out = "\"";
    const size_t shown = std::min<size_t>(bytes.size(), 60);
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += hexDigits[c >> 4];
            out += hexDigits[c & 0xF];
        } else {
            out += char(c);
        }
    }
    out += "\"";
    if (shown < bytes.size())
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// Spaces and line breaks at positions drawn from the seed and the reply's number.
std::string sprinkle(const std::string &hex, uint64_t seed, uint64_t replyNumber)
{
    static const char *const blanks[] = {" ", "  ", "\n", "\r\n", " \n"};
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + replyNumber);
    const size_t count = 1 + rng() % 6;
    std::vector<size_t> positions;
    for (size_t i = 0; i < count; ++i)
        positions.push_back(size_t(rng() % (hex.size() + 1)));
    std::sort(positions.rbegin(), positions.rend());
    std::string out = hex;
    for (size_t at : positions)
        out.insert(at, blanks[rng() % (sizeof(blanks) / sizeof(blanks[0]))]);
    return out;
}

bool validClock(const std::string &cmd)
{
    // "ATW MM/dd/yy HH:mm:ss"
    static const std::string shape = "ATW 99/99/99 99:99:99";
    if (cmd.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == '9' ? (cmd[i] >= '0' && cmd[i] <= '9') : cmd[i] == shape[i];
        if (!ok)
            return false;
    }
    auto num = [&](size_t at) { return (cmd[at] - '0') * 10 + (cmd[at + 1] - '0'); };
    const int month = num(4), day = num(7), year = 2000 + num(10);
    const int hour = num(13), minute = num(16), second = num(19);
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = monthDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= days && hour <= 23 && minute <= 59 && second <= 59;
}

} // namespace

struct DeviceModel::Private
{
    Scenario sc;
    const uint64_t recordSeed; // the records were made with it; later changes do not count
    Mode mode;
    int fw;
    std::vector<SessionInfo> sessions;
    SparseMemory memory;
    Transmitter tx;
    FirmwareReceiver firmware;

    std::string line; // bytes of the command being received
    bool discarding = false; // after an over-long line, until its line feed
    std::optional<TimePoint> bareBtrAt; // a lone "BTR" counts as a command at this time
    std::optional<TimePoint> babbleAt; // when the next babble goes out
    uint64_t babbled = 0; // bytes of babble sent so far
    static constexpr uint64_t maxBabble = uint64_t(64) << 20;
    std::optional<TimePoint> restartAt;
    bool install = false; // a complete image waits for the restart

    bool muted = false;
    bool unplugRequest = false;
    bool unpluggedOn = false; // the cable was pulled on Scenario::unplugOn already
    int commandCount = 0;
    int macReplies = 0;
    int pageReads = 0;
    int summaryReads = 0; // replies to "ATA?" and "R000FF000"
    uint64_t sprinkled = 0;
    std::optional<std::string> heldName;
    bool okPending = false;

    std::vector<std::string> commands;
    std::vector<TimePoint> commandTimes;
    std::vector<std::string> violations;
    std::vector<std::string> clockSets;
    std::string dropped;
    int erases = 0;
    int restarts = 0;
    int images = 0;
    std::vector<uint8_t> image;
    std::vector<Event> events;

    explicit Private(Scenario scenario)
        : sc(std::move(scenario)), recordSeed(sc.seed), mode(sc.mode), fw(sc.firmwareVersion)
    {
        sessions = placeSessions(sc.sessions);
        for (const SessionInfo &s : sessions)
            memory.write(s.address, sessionImage(recordSeed, s));
        memory.write(summaryAddress, summaryPage(sc.sessions.size(), sessions));
    }

    bool restartingAt(TimePoint now) const { return restartAt && now < *restartAt; }

    void event(TimePoint at, std::string kind, std::string data = {})
    {
        events.push_back({at, std::move(kind), std::move(data)});
    }

    // One write on the line.
    void write(const std::string &bytes, TimePoint now)
    {
        event(now, "reply", bytes);
        tx.send(bytes, now, sc.pieceSizes, sc.pieceGapMs, sc.baud, sc.replyGapMs);
    }

    void reply(const std::string &text, TimePoint now, bool lineEnd = true)
    {
        std::string bytes = okPending ? "OK\r\n" : "";
        okPending = false;
        write(bytes + text + (lineEnd ? "\r\n" : ""), now);
    }

    // Error replies start with "ERROR" and never contain "OK", so no host takes one for
    // an acknowledgement.
    void refuse(const char *text, const std::string &why, TimePoint now)
    {
        violations.push_back(why);
        event(now, "violation", why);
        reply(text, now);
    }

    void command(const std::string &raw, TimePoint now)
    {
        commands.push_back(raw);
        commandTimes.push_back(now);
        event(now, "command", raw);
        ++commandCount;
        if ((sc.unplugAfter && commandCount == *sc.unplugAfter)
            || (!sc.unplugOn.empty() && !unpluggedOn
                && raw.compare(0, sc.unplugOn.size(), sc.unplugOn) == 0)) {
            unpluggedOn = unpluggedOn || !sc.unplugOn.empty();
            unplugRequest = true;
            return;
        }
        if (muted || (sc.muteAfter && commandCount > *sc.muteAfter)) {
            event(now, "ignored", "muted");
            return;
        }
        std::string cmd = raw;
        if (!cmd.empty() && cmd.back() == '\n')
            cmd.pop_back();
        babbleAt.reset(); // a new command ends the babble
        if (!sc.babbleAfter.empty() && cmd.compare(0, sc.babbleAfter.size(), sc.babbleAfter) == 0) {
            event(now, "babble", sc.babble);
            babbleAt = now;
            return;
        }
        if (heldName && cmd != "ATD0") {
            const std::string held = std::move(*heldName);
            heldName.reset();
            write(held, now);
        }
        if (cmd.find('\r') != std::string::npos) {
            refuse("ERROR unknown command", "carriage return in command " + printable(raw), now);
            return;
        }
        if (mode == Mode::Working)
            working(cmd, raw, now);
        else
            boot(cmd, raw, now);
    }

    void working(const std::string &cmd, const std::string &raw, TimePoint now)
    {
        if (cmd == "ATN?") {
            nameReply(now);
        } else if (cmd == "ATD0") {
            atd0(now);
        } else if (cmd == "ATI3") {
            ++macReplies;
            reply("MAC " + (macReplies <= sc.zeroMacReplies ? std::string(12, '0') : sc.ble), now);
        } else if (cmd == "ATA?") {
            const auto page = memory.read(summaryAddress, sc.summaryFirstHalfOnly ? 256 : 512);
            std::string hex = flipSummaryDigits(toHex(page), now);
            if (sc.whitespace == Whitespace::AllHex)
                hex = sprinkle(hex, sc.seed, sprinkled++);
            reply(hex, now);
        } else if (!cmd.empty() && cmd[0] == 'R') {
            readPage(cmd, raw, now);
        } else if (cmd == "BTR") {
            mode = Mode::Boot;
            firmware.reset();
            event(now, "mode", "BM");
            reply("ENTER BM", now);
        } else if (cmd == "E000FF000") {
            erase(now);
        } else if (cmd == "Z") {
            restart(now);
        } else if (cmd.compare(0, 3, "ATW") == 0) {
            if (validClock(cmd)) {
                clockSets.push_back(cmd.substr(4));
                event(now, "clock", cmd.substr(4));
                reply("OK", now);
            } else {
                refuse("ERROR bad time",
                       "clock command " + printable(raw) + " is not \"ATW MM/dd/yy HH:mm:ss\"",
                       now);
            }
        } else if (cmd == "I" || cmd == "D" || cmd[0] == 'F' || cmd[0] == 'C') {
            refuse("ERROR not in boot mode",
                   "boot-mode command " + printable(raw) + " in working mode", now);
        } else {
            refuse("ERROR unknown command", "unknown command " + printable(raw) + " in WM", now);
        }
    }

    void boot(const std::string &cmd, const std::string &raw, TimePoint now)
    {
        if (cmd == "ATN?") {
            nameReply(now);
        } else if (cmd == "ATD0") {
            atd0(now);
        } else if (cmd == "I") {
            reply("ID " + sc.uid, now);
        } else if (!cmd.empty() && cmd[0] == 'R') {
            readPage(cmd, raw, now);
        } else if (cmd == "D") {
            firmware.separator();
            reply("OK", now);
        } else if (cmd[0] == 'F' || cmd[0] == 'C') {
            std::string why;
            bool restarted = false;
            const auto verdict = firmware.line(cmd, why, restarted);
            if (restarted)
                event(now, "image-restarted", "F line 0 began a new image");
            if (verdict == FirmwareReceiver::Verdict::Taken)
                reply("OK", now);
            else if (verdict == FirmwareReceiver::Verdict::Malformed)
                refuse("ERROR bad line", why, now);
            else
                refuse("ERROR out of order", why, now);
        } else if (cmd == "E000FF000") {
            erase(now);
        } else if (cmd == "Z") {
            restart(now);
        } else {
            refuse("ERROR unknown command", "unknown command " + printable(raw) + " in BM", now);
        }
    }

    void nameReply(TimePoint now)
    {
        const std::string text = sc.nameReply ? *sc.nameReply
                                              : "K217 " + std::string(modeText(mode)) + " "
                + std::to_string(fw) + " " + (mode == Mode::Working ? sc.uid : sc.ble);
        if (sc.atd0Ok == OkPlacement::GluedToName)
            heldName = text + "\r\n";
        else
            reply(text, now);
    }

    void atd0(TimePoint now)
    {
        switch (sc.atd0Ok) {
        case OkPlacement::Separate:
            reply("OK", now);
            break;
        case OkPlacement::GluedToName:
            if (heldName) {
                const std::string held = std::move(*heldName);
                heldName.reset();
                write(held + "OK\r\n", now);
            } else {
                reply("OK", now);
            }
            break;
        case OkPlacement::GluedToNext:
            okPending = true;
            break;
        case OkPlacement::None:
            break;
        }
    }

    void readPage(const std::string &cmd, const std::string &raw, TimePoint now)
    {
        if (cmd.size() != 9 || !std::all_of(cmd.begin() + 1, cmd.end(), isUpperHexDigit)) {
            refuse("ERROR bad address",
                   "read command " + printable(raw) + " needs 8 upper-case hexadecimal digits",
                   now);
            return;
        }
        const auto address = uint32_t(std::stoul(cmd.substr(1), nullptr, 16));
        ++pageReads;
        std::string hex = toHex(memory.read(address, pageSize));
        if (address == summaryAddress)
            hex = flipSummaryDigits(hex, now);
        if (sc.whitespace != Whitespace::None)
            hex = sprinkle(hex, sc.seed, sprinkled++);
        if (sc.strayAllReads
            || std::find(sc.strayReads.begin(), sc.strayReads.end(), pageReads)
                != sc.strayReads.end())
            hex += sc.strayText;
        if (sc.lastDigitPauseMs > 0) {
            // The reply's last character waits: a host that counts digits sees a page one
            // short for a while.
            reply(hex.substr(0, hex.size() - 1), now, false);
            write(hex.substr(hex.size() - 1) + "\r\n",
                  now + std::chrono::milliseconds(sc.lastDigitPauseMs));
        } else {
            reply(hex, now);
        }
        if (std::find(sc.strayLineReads.begin(), sc.strayLineReads.end(), pageReads)
            != sc.strayLineReads.end())
            write(sc.strayLine + "\r\n", now + std::chrono::milliseconds(sc.strayLineDelayMs));
    }

    // A new read of the summary begins (its first bytes are asked for): the digits the
    // scenario has the line change in this read are changed.
    std::string flipSummaryDigits(std::string hex, TimePoint now)
    {
        ++summaryReads;
        for (const DigitFlip &flip : sc.summaryFlips) {
            if (flip.read == summaryReads && flip.digit < hex.size()) {
                event(now, "flip",
                      "summary read " + std::to_string(summaryReads) + ": digit "
                          + std::to_string(flip.digit) + " " + hex[flip.digit] + " -> " + flip.to);
                hex[flip.digit] = flip.to;
            }
        }
        return hex;
    }

    void erase(TimePoint now)
    {
        // The directory and the session pages it listed go back to FF.
        memory.erase(summaryAddress, summarySize);
        for (const SessionInfo &s : sessions)
            memory.erase(s.address, pagesFor(s.records) * pageSize);
        ++erases;
        event(now, "erase");
        reply("ERASED OK", now);
    }

    void restart(TimePoint now)
    {
        ++restarts;
        if (firmware.complete()) {
            image = firmware.image();
            ++images;
            install = true;
            event(now, "image",
                  std::to_string(firmware.fBlocks()) + " F blocks, "
                      + std::to_string(firmware.cBlocks()) + " C blocks, "
                      + std::to_string(image.size()) + " bytes, CRC-32 "
                      + std::to_string(crc32(image.data(), image.size())));
        }
        restartAt = now + std::chrono::milliseconds(sc.restartDelayMs);
        heldName.reset();
        okPending = false;
        line.clear();
        discarding = false;
        bareBtrAt.reset();
        event(now, "restart", std::to_string(sc.restartDelayMs) + " ms");
    }

    void finishRestart()
    {
        const TimePoint at = *restartAt;
        restartAt.reset();
        mode = Mode::Working;
        if (install && sc.newFirmwareVersion)
            fw = *sc.newFirmwareVersion;
        install = false;
        firmware.reset();
        event(at, "boot", "WM " + std::to_string(fw));
        reply("BOOT K217 " + std::to_string(fw), at);
    }

    void advance(TimePoint now)
    {
        if (restartAt && now >= *restartAt)
            finishRestart();
        while (babbleAt && now >= *babbleAt && !restartAt) {
            if (babbled >= maxBabble) {
                babbleAt.reset();
                break;
            }
            write(sc.babble, *babbleAt);
            babbled += sc.babble.size();
            *babbleAt += std::chrono::milliseconds(sc.babbleIntervalMs);
        }
        if (bareBtrAt && now >= *bareBtrAt) {
            const TimePoint at = *bareBtrAt;
            bareBtrAt.reset();
            if (line == "BTR") {
                line.clear();
                command("BTR", at);
            }
        }
    }
};

DeviceModel::DeviceModel(Scenario scenario) : d(std::make_unique<Private>(std::move(scenario))) { }

DeviceModel::~DeviceModel() = default;

void DeviceModel::receive(std::string_view bytes, TimePoint now)
{
    d->advance(now);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (d->unplugRequest)
            return; // the cable is being pulled: the rest never arrives
        if (d->restartingAt(now)) {
            const std::string_view rest = bytes.substr(i);
            d->dropped.append(rest.data(), rest.size());
            d->event(now, "dropped", std::string(rest));
            return;
        }
        const char c = bytes[i];
        if (d->discarding) {
            d->discarding = c != '\n';
            continue;
        }
        if (c == '\n') {
            std::string text = std::move(d->line);
            d->line.clear();
            if (!text.empty()) // empty lines are ignored
                d->command(text + '\n', now);
            d->advance(now);
            continue;
        }
        d->line.push_back(c);
        if (d->line.size() == 4 && d->line.compare(0, 3, "BTR") == 0) {
            // "BTR" needs no line feed: it is complete as soon as something else follows.
            d->line.erase(0, 3);
            d->command("BTR", now);
            d->advance(now);
        } else if (d->line.size() > maxLineLength) {
            d->line.clear();
            d->discarding = true;
            d->refuse("ERROR line too long",
                      "more than " + std::to_string(maxLineLength)
                          + " bytes without a line feed; dropped up to the next line feed",
                      now);
        }
    }
    if (d->line == "BTR" && !d->restartingAt(now))
        d->bareBtrAt = now + bareBtrQuiet;
    else
        d->bareBtrAt.reset();
}

void DeviceModel::advance(TimePoint now)
{
    d->advance(now);
}

std::vector<DeviceModel::Chunk> DeviceModel::takeDue(TimePoint now)
{
    return d->tx.takeDue(now);
}

std::optional<TimePoint> DeviceModel::nextWakeup() const
{
    std::optional<TimePoint> next = d->tx.nextDue();
    for (const auto &t : {d->restartAt, d->bareBtrAt, d->babbleAt}) {
        if (t && (!next || *t < *next))
            next = t;
    }
    return next;
}

std::vector<DeviceModel::Event> DeviceModel::takeEvents()
{
    std::vector<Event> out;
    out.swap(d->events);
    return out;
}

bool DeviceModel::takeUnplugRequest()
{
    return std::exchange(d->unplugRequest, false);
}

void DeviceModel::disconnect()
{
    d->tx.clear();
    d->line.clear();
    d->discarding = false;
    d->bareBtrAt.reset();
    d->babbleAt.reset();
    d->heldName.reset();
    d->okPending = false;
}

void DeviceModel::say(const std::string &bytes, TimePoint now)
{
    d->write(bytes, now);
}

void DeviceModel::setMuted(bool muted)
{
    d->muted = muted;
}

bool DeviceModel::muted() const
{
    return d->muted;
}

Scenario &DeviceModel::behaviour()
{
    return d->sc;
}

std::vector<std::string> DeviceModel::commands() const
{
    return d->commands;
}

std::vector<TimePoint> DeviceModel::commandTimes() const
{
    return d->commandTimes;
}

std::vector<std::string> DeviceModel::violations() const
{
    return d->violations;
}

std::string DeviceModel::droppedInput() const
{
    return d->dropped;
}

int DeviceModel::eraseCount() const
{
    return d->erases;
}

int DeviceModel::restartCount() const
{
    return d->restarts;
}

std::vector<std::string> DeviceModel::clockSets() const
{
    return d->clockSets;
}

Mode DeviceModel::mode() const
{
    return d->mode;
}

int DeviceModel::firmwareVersion() const
{
    return d->fw;
}

bool DeviceModel::restarting() const
{
    return d->restartAt.has_value();
}

std::vector<uint8_t> DeviceModel::flashedImage() const
{
    return d->image;
}

int DeviceModel::imagesReceived() const
{
    return d->images;
}

std::vector<uint8_t> DeviceModel::readMemory(uint32_t address, size_t length) const
{
    return d->memory.read(address, length);
}

size_t DeviceModel::sessionCount() const
{
    return d->sessions.size();
}

SessionInfo DeviceModel::session(size_t index) const
{
    return index < d->sessions.size() ? d->sessions[index] : SessionInfo {};
}

std::vector<uint8_t> DeviceModel::expectedSessionFile(size_t index) const
{
    if (index >= d->sessions.size())
        return {};
    return expectedFile(d->recordSeed, d->sessions[index]);
}

std::string DeviceModel::expectedSessionFileName(size_t index) const
{
    return index < d->sessions.size() ? expectedFileName(d->sessions[index]) : std::string();
}

} // namespace brevia
