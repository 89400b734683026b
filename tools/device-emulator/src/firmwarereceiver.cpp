#include "firmwarereceiver.h"

namespace brevia {

namespace {

int upperHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

FirmwareReceiver::Verdict FirmwareReceiver::line(std::string_view text, std::string &why,
                                                 bool &restarted)
{
    restarted = false;
    const bool isF = !text.empty() && text[0] == 'F';
    const size_t payloadDigits = isF ? 512 : 128;
    const char kind = isF ? 'F' : 'C';
    // The index has 4 to 8 digits (more than 4 only without a leading zero).
    if (text.size() < 1 + 4 + payloadDigits || text.size() > 1 + 8 + payloadDigits) {
        why = std::string(1, kind) + " line of " + std::to_string(text.size())
            + " characters: needs 1 + index (4 to 8 digits) + " + std::to_string(payloadDigits);
        return Verdict::Malformed;
    }
    const std::string_view indexText = text.substr(1, text.size() - 1 - payloadDigits);
    const std::string_view payload = text.substr(1 + indexText.size());
    uint64_t index = 0;
    for (char c : indexText) {
        const int v = upperHexValue(c);
        if (v < 0) {
            why = std::string(1, kind) + " line index is not upper-case hexadecimal";
            return Verdict::Malformed;
        }
        index = index * 16 + uint64_t(v);
    }
    if (indexText.size() > 4 && indexText[0] == '0') {
        why = std::string(1, kind) + " line index has more than four digits and a leading zero";
        return Verdict::Malformed;
    }
    std::vector<uint8_t> block(payloadDigits / 2);
    for (size_t i = 0; i < block.size(); ++i) {
        const int hi = upperHexValue(payload[2 * i]);
        const int lo = upperHexValue(payload[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            why = std::string(1, kind) + " line payload is not upper-case hexadecimal at "
                + std::to_string(2 * i + (hi < 0 ? 0 : 1));
            return Verdict::Malformed;
        }
        block[i] = uint8_t(hi * 16 + lo);
    }

    if (isF) {
        if (index == 0) {
            // A new upload begins; whatever came before it is dropped.
            restarted = !fData.empty() || !cData.empty();
            reset();
        } else if (separated || !cData.empty() || index != fBlocks()) {
            why = separated || !cData.empty()
                ? "F line " + std::to_string(index) + " after the separator"
                : "F line " + std::to_string(index) + " where " + std::to_string(fBlocks())
                    + " was due";
            return Verdict::OutOfOrder;
        }
        fData.insert(fData.end(), block.begin(), block.end());
        return Verdict::Taken;
    }

    if (!(separated || (fData.empty() && sawD))) {
        why = "C line " + std::to_string(index) + " before the separator";
        return Verdict::OutOfOrder;
    }
    if (index != cBlocks()) {
        why =
            "C line " + std::to_string(index) + " where " + std::to_string(cBlocks()) + " was due";
        return Verdict::OutOfOrder;
    }
    cData.insert(cData.end(), block.begin(), block.end());
    return Verdict::Taken;
}

void FirmwareReceiver::separator()
{
    sawD = true;
    if (!fData.empty())
        separated = true;
}

void FirmwareReceiver::reset()
{
    fData.clear();
    cData.clear();
    separated = false;
    sawD = false;
}

bool FirmwareReceiver::complete() const
{
    return (!fData.empty() && separated) || !cData.empty();
}

std::vector<uint8_t> FirmwareReceiver::image() const
{
    std::vector<uint8_t> out = fData;
    out.insert(out.end(), cData.begin(), cData.end());
    return out;
}

} // namespace brevia
