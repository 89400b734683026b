// The summary page: 41 directory entries of 12 bytes, sent as 1024 hex digits. Arbitrary text
// must decode within the page's bounds; a page made from real directory bytes must decode
// to exactly the sessions those bytes hold.
#include "device/devicecodec.h"
#include "fuzzcheck.h"

namespace {

constexpr int entries = 41;
constexpr int entryBytes = 12;
constexpr int pageBytes = 512;
constexpr quint32 minimumRecords = 22;

void checkBounds(const QString &page, const devicecodec::MemorySummary &summary)
{
    FUZZ_CHECK(summary.rows.size() <= entries);
    FUZZ_CHECK(summary.numberOfSessions == summary.rows.size());
    qint64 records = 0;
    for (const devicecodec::SessionRow &row : summary.rows) {
        FUZZ_CHECK(row.size() == 3);
        FUZZ_CHECK(row.at(1) >= minimumRecords && row.at(1) <= 0xFFFF);
        records += row.at(1);
    }
    FUZZ_CHECK(summary.numberOfRecords == records);
    FUZZ_CHECK(summary.memoryUsed == summary.numberOfSessions * 100 / entries);
    FUZZ_CHECK(!summary.memoryInfo.isEmpty());

    // What follows the directory (the CRC, a stray line) does not change it.
    FUZZ_CHECK(devicecodec::decodeSummaryPage(page.left(entries * 2 * entryBytes)).rows
               == summary.rows);
    // A page cut short decodes as far as it goes: its rows begin the whole page's rows.
    const devicecodec::SessionTable cut =
        devicecodec::decodeSummaryPage(page.left(page.size() / 2)).rows;
    FUZZ_CHECK(cut == summary.rows.mid(0, cut.size()));
}

quint32 littleEndian(const QByteArray &bytes, int at, int count)
{
    quint32 value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

// The input as the directory's memory (unused bytes 0xFF, as in erased flash), sent as the
// device sends it: upper-case hex.
void checkDirectory(const QByteArray &input)
{
    QByteArray memory = input.left(pageBytes);
    memory.append(QByteArray(pageBytes - memory.size(), char(0xFF)));
    devicecodec::SessionTable expected;
    for (int k = 0; k < entries; ++k) {
        const int at = k * entryBytes;
        const quint32 records = littleEndian(memory, at + 8, 2);
        if (records == 0xFFFF || records < minimumRecords)
            continue;
        expected.append({littleEndian(memory, at, 4), records, littleEndian(memory, at + 4, 4)});
    }
    const QString page = QString::fromLatin1(memory.toHex().toUpper());
    const devicecodec::MemorySummary summary = devicecodec::decodeSummaryPage(page);
    FUZZ_CHECK(summary.rows == expected);
    checkBounds(page, summary);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    const QString text = QString::fromLatin1(input);
    checkBounds(text, devicecodec::decodeSummaryPage(text));
    checkDirectory(input);
    return 0;
}
