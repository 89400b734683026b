// The emulator's log: one JSON object a line, written through at once so that another
// process can follow it.
#pragma once

#include "brevia/devicemodel.h"

#include <cstdio>
#include <string>

namespace brevia {

// Bytes as a JSON string: each byte one code point (Latin-1), control characters, quotes,
// backslashes and bytes from 0x7F up as \u00XX, so the exact bytes can be recovered.
std::string jsonString(const std::string &bytes);

class JsonLog
{
public:
    JsonLog() = default;
    ~JsonLog();
    JsonLog(const JsonLog &) = delete;
    JsonLog &operator=(const JsonLog &) = delete;

    bool open(const std::string &path, TimePoint epoch, std::string &error);
    void close();
    // {"ms":<since the epoch>,"event":"<kind>","data":"<bytes>"}
    void write(TimePoint at, const std::string &kind, const std::string &data);

private:
    std::FILE *file = nullptr;
    TimePoint epoch;
};

} // namespace brevia
