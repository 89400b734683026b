#include "images.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace standin::detail {

namespace {

// xorshift32: the same bytes for the same sizes on every run.
std::uint32_t nextRandom(std::uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

const char hexDigits[] = "0123456789abcdef";

} // namespace

std::string generateFirmware(int fBlocks, int cBlocks)
{
    const std::size_t size = 4 + std::size_t(fBlocks) * 256 + std::size_t(cBlocks) * 64;
    std::string image(size, '\0');
    image[1] = static_cast<char>(fBlocks & 0xFF);
    image[2] = static_cast<char>((fBlocks >> 8) & 0xFF);
    image[3] = static_cast<char>((fBlocks >> 16) & 0xFF);
    std::uint32_t state = 0x0B5E71A5u;
    for (std::size_t i = 4; i < size; ++i)
        image[i] = static_cast<char>(nextRandom(state) & 0xFF);
    return image;
}

std::string generateApplication(std::size_t size)
{
    std::string text = "#!/bin/sh\n"
                       "# Orvane application update served by the cloud stand-in.\n"
                       "echo \"This is not Orvane: it is the test update of the cloud stand-in.\"\n"
                       "exit 0\n";
    std::size_t line = 0;
    while (text.size() < size) {
        char buffer[80];
        std::snprintf(buffer, sizeof buffer, "# padding line %08zu of the stand-in update\n",
                      ++line);
        text += buffer;
    }
    text.resize(size);
    return text;
}

bool readFile(const std::string &path, std::size_t maxBytes, std::string *out, std::string *error)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0) {
        *error = "cannot read " + path + ": no such file";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "cannot read " + path + ": not a regular file";
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        *error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (file.gcount() != static_cast<std::streamsize>(bytes.size())) {
        *error = "cannot read all of " + path;
        return false;
    }
    *out = std::move(bytes);
    return true;
}

std::string byteArrayJson(const std::string &bytes)
{
    std::string out;
    out.reserve(bytes.size() * 4 + 2);
    out += '[';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            out += ',';
        out += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    out += ']';
    return out;
}

std::string sha256Hex(const std::string &bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += hexDigits[digest[i] >> 4];
        hex += hexDigits[digest[i] & 0xf];
    }
    return hex;
}

std::string base64(const std::string &bytes)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16)
            | (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) | std::uint8_t(bytes[i + 2]);
        out += alphabet[n >> 18];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (rest == 2)
            n |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        out += alphabet[n >> 18];
        out += alphabet[(n >> 12) & 63];
        out += rest == 2 ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string randomToken(int length)
{
    if (length <= 0)
        return {};
    std::string random(static_cast<std::size_t>(length), '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), length) != 1)
        return {};
    std::string token;
    for (const char byte : random)
        token += hexDigits[static_cast<unsigned char>(byte) & 0xf];
    if (length == 36) {
        for (const int dash : {8, 13, 18, 23})
            token[dash] = '-';
        token[14] = '4';
        token[19] = hexDigits[8 + (static_cast<unsigned char>(random[19]) & 3)];
    }
    return token;
}

} // namespace standin::detail
