// The boot loader's side of a firmware upload: "F" lines of 256 bytes, a "D" separator,
// then "C" lines of 64 bytes, each line checked before it is taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevia {

class FirmwareReceiver
{
public:
    enum class Verdict { Taken, Malformed, OutOfOrder };

    // A line "F"/"C" + index + hex payload, without its line feed. On refusal `why` says
    // what was wrong. `restarted` is set when an "F" line 0 threw away a partial image.
    Verdict line(std::string_view line, std::string &why, bool &restarted);
    void separator(); // a "D"
    void reset();

    // F lines followed by their separator, or C lines: something a restart can install.
    bool complete() const;
    std::vector<uint8_t> image() const; // F blocks, then C blocks, as sent
    size_t fBlocks() const { return fData.size() / 256; }
    size_t cBlocks() const { return cData.size() / 64; }

private:
    std::vector<uint8_t> fData;
    std::vector<uint8_t> cData;
    bool separated = false; // a "D" came after the F lines
    bool sawD = false;
};

} // namespace brevia
