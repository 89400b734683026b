// The byte and text work of the device link: decoding what the device sends and building
// what it is sent. Pure functions, no I/O, no object state.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace devicecodec {

using SessionRow = QList<quint32>; // [0] start time (Unix s), [1] records count, [2] start address
using SessionTable = QList<SessionRow>;

// The device's memory as it travels: pages of 256 bytes, each sent as 512 hex digits and
// holding 21 records of 12 bytes; the 512-byte summary page at 000FF000, sent as 1024
// digits, in two reads of 512 digits when the device answers half a page at a time.
constexpr int pageBytes = 256;
constexpr int pageDigits = 512;
constexpr int recordsPerPage = 21;
constexpr int recordDigits = 24;
constexpr int fileRecordBytes = 18;
constexpr int summaryDigits = 1024;
constexpr int summaryHalfDigits = 512;

// Working-mode firmware up to this version cannot be served.
constexpr int lastUnsupportedFirmware = 1293;
// "K217-" and 12 zeros: a device without a BLE identifier yet.
constexpr char zeroBleName[] = "K217-000000000000";
constexpr char unknownBleName[] = "UNKNOWN";
constexpr char noHealthDataText[] = "No health data stored in the device";

// The device's "OK" to "ATD0" comes on its own, after the name reply or in front of the next
// reply. Leading "OK" lines (and white space) are not part of the reply being waited for.
QString withoutLeadingOk(const QString &text);

// An acknowledgement is any answer that holds "OK".
bool isAcknowledgement(const QByteArray &answer);

// The name reply to "ATN?": "K217", "WM" or "BM", the firmware version, and the UID (working
// mode) or the 12 hex digits of the BLE identifier (boot mode).
struct NameReply
{
    enum class Kind {
        Unrecognised, // neither marker, or fewer than four tokens
        Working,
        Boot,
    };
    Kind kind = Kind::Unrecognised;
    QString mode;
    int fwVersion = 0; // 0 when the token is not a decimal number
    QString identity; // token 3
    bool wellFormed = false; // the identity has the shape its mode gives it
};
NameReply parseNameReply(const QString &text);

// The MAC reply to "ATI3" ("MAC" + 12 hex digits) and the ID reply to "I" ("ID" + UID):
// recognised by their first word and at least two tokens; well formed when the second token
// has the right shape.
struct KeyedReply
{
    bool recognised = false;
    QString key; // token 0
    QString value; // token 1
    bool wellFormed = false;
};
KeyedReply parseMacReply(const QString &text);
KeyedReply parseIdReply(const QString &text);

// A device reply split at runs of white space; empty tokens are dropped.
QStringList replyTokens(const QString &text);

// A little-endian number in device hex text: the byte pairs are read in reverse order
// ("78563412" is 0x12345678). Text that is empty, not hexadecimal or wider than 32 bits
// reads as 0. An odd trailing digit counts as a byte of its own.
quint32 littleEndianHexValue(const QString &hex);

// True when the text is non-empty and holds only 0-9, a-f, A-F.
bool isHexText(const QString &text);

// The 12 hexadecimal digits of a BLE identifier, as the MAC and boot-mode name replies give
// them.
bool isBleDigits(const QString &text);

// A device's unique identifier as the name and ID replies give it: 1 to 64 letters and
// digits.
bool isDeviceUid(const QString &text);

struct MemorySummary
{
    SessionTable rows; // the kept directory entries, in directory order
    int numberOfSessions = 0;
    int numberOfRecords = 0;
    int memoryUsed = 0; // percent of the 41 directory slots
    QString memoryInfo;
};

// Decodes the 1024-character summary page. An entry is kept when its records field is not
// "FFFF" and counts at least 22 records. A shorter page decodes as far as it goes: an entry
// whose start time, start address and records fields are not all inside the text is skipped.
MemorySummary decodeSummaryPage(const QString &page);

// "one hour 2 minutes \nand 5 seconds" and the like, for a total read as seconds.
QString durationText(quint64 totalSeconds);

// The user's one-line view of the directory: "No health data stored in the device", or
// "<n> sessions with\n<duration> duration".
QString memoryInfoText(int sessions, quint64 totalSeconds);

// "Session:<i> Start time:<local RFC 2822> Start address:0x0<hex> Records count:<n>".
// Missing row fields read as 0.
QString sessionDescription(int index, const SessionRow &row);

// Two hex characters a byte; a pair that does not parse gives 0, a lone trailing character
// is dropped.
QByteArray hexToBytes(const QString &hex);

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, init and final XOR 0xFFFFFFFF).
quint32 crc32(const QByteArray &data);

// The items of the summary page's CRC diagnostic line: the two check characters (1022 and
// 1023), their value in decimal, and the CRC-32 of characters 0..1021 (bytes 0..510) in
// unsigned decimal, separated by single spaces. Parts missing from a short page are empty
// text, 0, and the CRC of what is there.
QString summaryCrcReport(const QString &page);

// "R" + the address in upper-case hex, at least 8 digits, + "\n".
QByteArray pageReadCommand(quint64 address);

// A device record (24 hex characters) as the 18-byte session file record: two zero bytes,
// the seven value bytes (record bytes 2..8), nine zero bytes. Missing or bad pairs give 0.
QByteArray fileRecord(const QString &deviceRecord);

// "ATW MM/dd/yy HH:mm:ss\n" with the given moment in UTC, 22 bytes. An invalid date and time
// gives an empty array: there is nothing sound to set the clock to.
QByteArray setTimeCommand(const QDateTime &now);

// The index of a firmware line: upper-case hex, at least 4 digits. Empty for a negative index.
QString firmwareLineIndex(int index);

// One page of device memory as the device sends it after a read command: 512 hex digits
// with white space (line breaks included) anywhere among them, ending at the first line end
// after the 512th digit. Any other text, or a digit past the 512th before that line end,
// means the page boundaries can no longer be trusted.
class PageAssembler
{
public:
    enum class Status { Incomplete, Complete, Broken };
    static constexpr int pageDigits = devicecodec::pageDigits;

    // Adds one line of the device's text, its line feed included when it has one. Once the
    // page is Complete or Broken, clear() before the next page.
    Status add(const QByteArray &line);
    void clear();
    // The page's digits so far (all 512 once Complete).
    const QByteArray &digits() const { return text; }
    // Why the page is Broken.
    QString error() const { return why; }

private:
    QByteArray text;
    QString why;
    Status status = Status::Incomplete;
};

struct FirmwareLines
{
    QStringList fLines;
    QStringList cLines;
    QString error; // why the image was refused; empty when it was cut
    bool ok() const { return error.isEmpty(); }
};

// Cuts a firmware image into its F lines (256-byte blocks, as many as the header's bytes 1..3
// announce) and C lines (the following 64-byte blocks; a shorter tail is not sent), each
// "F"/"C" + index + upper-case hex + "\n". An image that is empty, shorter than its header,
// holds fewer blocks than announced or yields no line at all is refused: `error` says why
// and both lists are empty, so that a damaged image is never written into the device.
FirmwareLines cutFirmwareImage(const QByteArray &image);

} // namespace devicecodec
