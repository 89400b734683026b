// How the device lays out its recorded sessions: where they go, what their records hold,
// the directory page that lists them and the file the host should make of each.
#pragma once

#include "brevia/devicemodel.h"
#include "brevia/scenario.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brevia {

constexpr size_t recordSize = 12;
constexpr size_t recordsPerPage = 21;
constexpr size_t pageSize = 256;
constexpr size_t directorySlots = 41;
constexpr size_t summarySize = 512;

inline uint64_t pagesFor(uint32_t records)
{
    return (uint64_t(records) + recordsPerPage - 1) / recordsPerPage;
}

// Gives every used slot its address: the given one, or the next free page from 0x1A00 on
// (stepping over the directory page).
std::vector<SessionInfo> placeSessions(const std::vector<SessionSpec> &entries);

// The 12 bytes of record `index` of a session; all of them vary with the seed and the index.
std::array<uint8_t, recordSize> recordBytes(uint64_t seed, const SessionInfo &session,
                                            size_t index);

// The pages of a session as they sit in flash, from its start address on: 21 records a
// page, four filler bytes at the end of each page, unused record slots FF.
std::vector<uint8_t> sessionImage(uint64_t seed, const SessionInfo &session);

// The 512-byte directory page.
std::vector<uint8_t> summaryPage(size_t slotCount, const std::vector<SessionInfo> &sessions);

// What the host writes for a session: per record 00 00, the seven value bytes, nine 00.
std::vector<uint8_t> expectedFile(uint64_t seed, const SessionInfo &session);
std::string expectedFileName(const SessionInfo &session);

} // namespace brevia
