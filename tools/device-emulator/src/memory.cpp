#include "memory.h"

#include <algorithm>

namespace brevia {

namespace {
constexpr uint64_t addressSpace = uint64_t(1) << 32;
}

void SparseMemory::write(uint32_t address, const std::vector<uint8_t> &bytes)
{
    uint64_t at = address;
    size_t done = 0;
    while (done < bytes.size() && at < addressSpace) {
        const uint32_t base = uint32_t(at) & ~uint32_t(0xFF);
        auto it = pages.find(base);
        if (it == pages.end()) {
            Page blank;
            blank.fill(0xFF);
            it = pages.emplace(base, blank).first;
        }
        const size_t offset = size_t(at - base);
        const size_t n = std::min(bytes.size() - done, size_t(256) - offset);
        std::copy_n(bytes.begin() + done, n, it->second.begin() + offset);
        done += n;
        at += n;
    }
}

std::vector<uint8_t> SparseMemory::read(uint32_t address, size_t length) const
{
    std::vector<uint8_t> out(length, 0xFF);
    for (size_t i = 0; i < length; ++i) {
        const uint64_t at = uint64_t(address) + i;
        if (at >= addressSpace)
            break;
        const auto it = pages.find(uint32_t(at) & ~uint32_t(0xFF));
        if (it != pages.end())
            out[i] = it->second[at & 0xFF];
    }
    return out;
}

void SparseMemory::erase(uint32_t address, uint64_t length)
{
    const uint64_t end = std::min<uint64_t>(uint64_t(address) + length, addressSpace);
    for (uint64_t at = address; at < end;) {
        const uint32_t base = uint32_t(at) & ~uint32_t(0xFF);
        const uint64_t pageEnd = uint64_t(base) + 256;
        auto it = pages.find(base);
        if (it != pages.end()) {
            if (at == base && end >= pageEnd) {
                pages.erase(it);
            } else {
                for (uint64_t a = at; a < std::min(end, pageEnd); ++a)
                    it->second[a & 0xFF] = 0xFF;
            }
        }
        at = pageEnd;
    }
}

} // namespace brevia
