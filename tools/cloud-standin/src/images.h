// Byte images the stand-in hands out (firmware, application) and the byte helpers around
// them: JSON byte arrays, SHA-256, Base64, random tokens, bounded file reads.
#pragma once

#include <cstddef>
#include <string>

namespace standin::detail {

constexpr std::size_t maxFirmwareBytes = 16u << 20;
constexpr std::size_t maxApplicationBytes = 64u << 20;

// A firmware image: byte 0 zero, bytes 1..3 the number of 256-byte blocks (little-endian),
// then fBlocks blocks of 256 bytes and cBlocks blocks of 64 bytes of deterministic content.
std::string generateFirmware(int fBlocks, int cBlocks);

// A deterministic application of exactly `size` bytes: a shell script that says it came
// from the stand-in, padded with comment lines (cut short for tiny sizes).
std::string generateApplication(std::size_t size);

// Reads a whole regular file of at most maxBytes; false with *error set otherwise.
bool readFile(const std::string &path, std::size_t maxBytes, std::string *out, std::string *error);

// "[0,255,...]": one JSON number per byte.
std::string byteArrayJson(const std::string &bytes);

std::string sha256Hex(const std::string &bytes);
std::string base64(const std::string &bytes);

// A fresh session token from the system's random source: 36 characters give the UUID form
// 8-4-4-4-12 (version 4), any other length lower-case hexadecimal digits.
std::string randomToken(int length);

} // namespace standin::detail
