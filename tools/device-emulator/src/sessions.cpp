#include "sessions.h"

#include "crc32.h"

namespace brevia {

namespace {

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t sessionKey(uint64_t seed, const SessionInfo &session)
{
    return mix(seed ^ mix((uint64_t(session.startTime) << 8) ^ session.slot));
}

void putLe(std::vector<uint8_t> &out, size_t at, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out[at + i] = uint8_t(value >> (8 * i));
}

constexpr uint64_t summaryStart = DeviceModel::summaryAddress;
constexpr uint64_t summaryEnd = summaryStart + summarySize;

} // namespace

std::vector<SessionInfo> placeSessions(const std::vector<SessionSpec> &entries)
{
    std::vector<SessionInfo> placed;
    uint64_t cursor = DeviceModel::firstSessionAddress;
    for (size_t slot = 0; slot < entries.size(); ++slot) {
        const SessionSpec &entry = entries[slot];
        if (entry.empty)
            continue;
        const uint64_t length = pagesFor(entry.records) * pageSize;
        uint64_t address = cursor;
        if (entry.address) {
            address = *entry.address;
        } else if (length > 0 && address < summaryEnd && address + length > summaryStart) {
            address = summaryEnd + (pageSize - summaryEnd % pageSize) % pageSize;
        }
        const uint64_t end = address + length;
        const uint64_t alignedEnd = (end + pageSize - 1) / pageSize * pageSize;
        if (alignedEnd > cursor)
            cursor = alignedEnd;
        SessionInfo info;
        info.slot = slot;
        info.startTime = entry.startTime;
        info.records = entry.records;
        info.address = uint32_t(address);
        info.listed = entry.records > recordsPerPage;
        placed.push_back(info);
    }
    return placed;
}

std::array<uint8_t, recordSize> recordBytes(uint64_t seed, const SessionInfo &session, size_t index)
{
    const uint64_t key = sessionKey(seed, session);
    const uint64_t a = mix(key ^ (uint64_t(index) * 2));
    const uint64_t b = mix(key ^ (uint64_t(index) * 2 + 1));
    std::array<uint8_t, recordSize> r {};
    for (int i = 0; i < 8; ++i)
        r[i] = uint8_t(a >> (8 * i));
    for (int i = 0; i < 4; ++i)
        r[8 + i] = uint8_t(b >> (8 * i));
    return r;
}

std::vector<uint8_t> sessionImage(uint64_t seed, const SessionInfo &session)
{
    const uint64_t pages = pagesFor(session.records);
    std::vector<uint8_t> image(pages * pageSize, 0xFF);
    for (size_t i = 0; i < session.records; ++i) {
        const auto r = recordBytes(seed, session, i);
        const size_t at = (i / recordsPerPage) * pageSize + (i % recordsPerPage) * recordSize;
        std::copy(r.begin(), r.end(), image.begin() + at);
    }
    // The firmware stamps each page's last four bytes with a page check word.
    const uint64_t key = sessionKey(seed, session);
    for (uint64_t p = 0; p < pages; ++p)
        putLe(image, p * pageSize + 252, mix(key ^ ~p), 4);
    return image;
}

std::vector<uint8_t> summaryPage(size_t slotCount, const std::vector<SessionInfo> &sessions)
{
    std::vector<uint8_t> page(summarySize, 0xFF);
    for (const SessionInfo &s : sessions) {
        if (s.slot >= slotCount || s.slot >= directorySlots)
            continue;
        const size_t at = s.slot * recordSize;
        putLe(page, at, s.startTime, 4);
        putLe(page, at + 4, s.address, 4);
        putLe(page, at + 8, s.records, 2);
        putLe(page, at + 10, pagesFor(s.records), 2); // pages in use
    }
    page[summarySize - 1] = uint8_t(crc32(page.data(), summarySize - 1));
    return page;
}

std::vector<uint8_t> expectedFile(uint64_t seed, const SessionInfo &session)
{
    std::vector<uint8_t> file(size_t(session.records) * 18, 0x00);
    for (size_t i = 0; i < session.records; ++i) {
        const auto r = recordBytes(seed, session, i);
        std::copy(r.begin() + 2, r.begin() + 9, file.begin() + i * 18 + 2);
    }
    return file;
}

std::string expectedFileName(const SessionInfo &session)
{
    return std::to_string(session.startTime) + "000";
}

} // namespace brevia
