#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace brevia {

// The device's flash: a 32-bit address space that reads FF wherever nothing was written.
class SparseMemory
{
public:
    void write(uint32_t address, const std::vector<uint8_t> &bytes);
    // Bytes past the top of the address space read FF.
    std::vector<uint8_t> read(uint32_t address, size_t length) const;
    void erase(uint32_t address, uint64_t length); // back to FF

private:
    using Page = std::array<uint8_t, 256>;
    std::map<uint32_t, Page> pages; // keyed by the page's first address
};

} // namespace brevia
