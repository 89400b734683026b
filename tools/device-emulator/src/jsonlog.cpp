#include "jsonlog.h"

#include <cerrno>
#include <cstring>

namespace brevia {

std::string jsonString(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\u00";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        } else {
            out += char(c);
        }
    }
    out += '"';
    return out;
}

JsonLog::~JsonLog()
{
    close();
}

bool JsonLog::open(const std::string &path, TimePoint start, std::string &error)
{
    close();
    file = std::fopen(path.c_str(), "w");
    if (!file) {
        error = "cannot open the log " + path + ": " + std::strerror(errno);
        return false;
    }
    epoch = start;
    return true;
}

void JsonLog::close()
{
    if (file)
        std::fclose(file);
    file = nullptr;
}

void JsonLog::write(TimePoint at, const std::string &kind, const std::string &data)
{
    if (!file)
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - epoch).count();
    const std::string line = "{\"ms\":" + std::to_string(ms) + ",\"event\":" + jsonString(kind)
        + ",\"data\":" + jsonString(data) + "}\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

} // namespace brevia
