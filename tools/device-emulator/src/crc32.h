#pragma once

#include <cstddef>
#include <cstdint>

namespace brevia {

// CRC-32 as in IEEE 802.3 (reflected, 0xEDB88320, initial and final XOR all ones).
uint32_t crc32(const uint8_t *data, size_t length);

} // namespace brevia
