#include "device/devicecodec.h"

#include <QLocale>
#include <QRegularExpression>

#include <array>

namespace devicecodec {

namespace {

// Summary page layout: 41 directory entries of 12 bytes (24 characters) each.
constexpr int directoryEntries = 41;
constexpr int entryChars = 24;
// Start time (0..7), start address (8..15) and records count (16..19) are read.
constexpr int entryReadChars = 20;
// A session needs at least this many records to be listed.
constexpr quint32 minimumRecords = 22;
// Bytes 0..510 of the page are covered by the CRC, byte 511 is the check byte.
constexpr int crcDataChars = 1022;

// Firmware image layout.
constexpr int imageHeaderBytes = 4;
constexpr int fBlockBytes = 256;
constexpr int cBlockBytes = 64;

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// The byte pairs of the text in reverse order; an odd trailing digit is a pair of its own.
QString reversedPairs(const QString &hex)
{
    QString out;
    out.reserve(hex.size());
    for (int i = 0; i < hex.size(); i += 2)
        out.prepend(hex.mid(i, 2));
    return out;
}

// The hex text as a 32-bit number; 0 when it is not hex or does not fit.
quint32 hexValue(const QString &hex)
{
    if (!isHexText(hex))
        return 0;
    quint64 value = 0;
    for (const QChar c : hex) {
        value = (value << 4) | quint64(hexDigit(c));
        if (value > 0xFFFFFFFFu)
            return 0;
    }
    return quint32(value);
}

constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table {};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[n] = c;
    }
    return table;
}

constexpr std::array<quint32, 256> crcTable = makeCrcTable();

QString blockLine(char kind, int index, const QByteArray &image, int offset, int length)
{
    const QByteArray hex = QByteArray::fromRawData(image.constData() + offset, length).toHex();
    return QLatin1Char(kind) + firmwareLineIndex(index) + QString::fromLatin1(hex).toUpper()
        + QLatin1Char('\n');
}

} // namespace

QStringList replyTokens(const QString &text)
{
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    return text.split(whiteSpace, Qt::SkipEmptyParts);
}

quint32 littleEndianHexValue(const QString &hex)
{
    return hexValue(reversedPairs(hex));
}

bool isHexText(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (hexDigit(c) < 0)
            return false;
    }
    return true;
}

QString withoutLeadingOk(const QString &text)
{
    int at = 0;
    for (;;) {
        while (at < text.size() && text.at(at).isSpace())
            ++at;
        if (text.midRef(at, 2) == QLatin1String("OK")
            && (at + 2 == text.size() || text.at(at + 2).isSpace())) {
            at += 2;
            continue;
        }
        return text.mid(at);
    }
}

bool isAcknowledgement(const QByteArray &answer)
{
    return answer.contains("OK");
}

NameReply parseNameReply(const QString &text)
{
    NameReply reply;
    const QStringList tokens = replyTokens(text);
    const bool working = text.contains(QLatin1String("K217 W"));
    const bool boot = !working && text.contains(QLatin1String("K217 B"));
    // A name reply is read up to its fourth token; a shorter one is not understood.
    if ((!working && !boot) || tokens.size() < 4)
        return reply;
    reply.kind = working ? NameReply::Kind::Working : NameReply::Kind::Boot;
    reply.mode = tokens.at(1);
    bool isNumber = false;
    reply.fwVersion = tokens.at(2).toInt(&isNumber, 10);
    if (!isNumber)
        reply.fwVersion = 0;
    reply.identity = tokens.at(3);
    reply.wellFormed = working ? isDeviceUid(reply.identity) : isBleDigits(reply.identity);
    return reply;
}

namespace {
KeyedReply keyedReply(const QString &text, QLatin1String key, bool (*valueShape)(const QString &))
{
    KeyedReply reply;
    const QStringList tokens = replyTokens(text);
    if (!text.startsWith(key) || tokens.size() < 2)
        return reply;
    reply.recognised = true;
    reply.key = tokens.at(0);
    reply.value = tokens.at(1);
    reply.wellFormed = valueShape(reply.value);
    return reply;
}
} // namespace

KeyedReply parseMacReply(const QString &text)
{
    return keyedReply(text, QLatin1String("MAC"), isBleDigits);
}

KeyedReply parseIdReply(const QString &text)
{
    return keyedReply(text, QLatin1String("ID"), isDeviceUid);
}

bool isBleDigits(const QString &text)
{
    return text.size() == 12 && isHexText(text);
}

bool isDeviceUid(const QString &text)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    for (const QChar c : text) {
        if (c.unicode() > 0x7F || !c.isLetterOrNumber())
            return false;
    }
    return true;
}

MemorySummary decodeSummaryPage(const QString &page)
{
    MemorySummary summary;
    quint64 totalRecords = 0;
    for (int k = 0; k < directoryEntries; ++k) {
        const int at = k * entryChars;
        // A page cut short ends the directory; a half-present entry would give bogus counts.
        if (at + entryReadChars > page.size())
            break;
        const QString recordsText = reversedPairs(page.mid(at + 16, 4));
        if (recordsText == QLatin1String("FFFF"))
            continue;
        const quint32 records = hexValue(recordsText);
        if (records < minimumRecords)
            continue;
        const quint32 startTime = littleEndianHexValue(page.mid(at, 8));
        const quint32 startAddress = littleEndianHexValue(page.mid(at + 8, 8));
        summary.rows.append(SessionRow {startTime, records, startAddress});
        totalRecords += records;
    }
    summary.numberOfSessions = summary.rows.size();
    summary.numberOfRecords = int(totalRecords); // at most 41 x 0xFFFE, fits an int
    summary.memoryUsed = summary.numberOfSessions * 100 / directoryEntries;
    summary.memoryInfo = memoryInfoText(summary.numberOfSessions, totalRecords);
    return summary;
}

QString durationText(quint64 totalSeconds)
{
    QString text;
    const quint64 hours = totalSeconds / 3600;
    if (hours == 1)
        text += QLatin1String("one hour ");
    else if (hours > 1)
        text += QString::number(hours) + QLatin1String(" hours ");

    const quint64 minutes = (totalSeconds % 3600) / 60;
    if (minutes == 1)
        text += QLatin1String("one minute ");
    else if (minutes > 1)
        text += QString::number(minutes) + QLatin1String(" minutes \nand ");

    const quint64 seconds = totalSeconds % 60;
    if (seconds == 1)
        text += QLatin1String("one second");
    else
        text += QString::number(seconds) + QLatin1String(" seconds");
    return text;
}

QString memoryInfoText(int sessions, quint64 totalSeconds)
{
    if (sessions < 1)
        return QStringLiteral("No health data stored in the device");
    return QString::number(sessions) + QLatin1String(" sessions with\n")
        + durationText(totalSeconds) + QLatin1String(" duration");
}

QString sessionDescription(int index, const SessionRow &row)
{
    const quint32 startTime = row.value(0, 0);
    const quint32 records = row.value(1, 0);
    const quint32 startAddress = row.value(2, 0);
    const QDateTime start = QDateTime::fromSecsSinceEpoch(qint64(startTime), Qt::LocalTime);
    return QLatin1String("Session:") + QString::number(index) + QLatin1String(" Start time:")
        + start.toString(Qt::RFC2822Date) + QLatin1String(" Start address:0x0")
        + QString::number(startAddress, 16) + QLatin1String(" Records count:")
        + QString::number(records);
}

QByteArray hexToBytes(const QString &hex)
{
    QByteArray bytes(hex.size() / 2, '\0');
    for (int i = 0; i < bytes.size(); ++i) {
        const int high = hexDigit(hex.at(2 * i));
        const int low = hexDigit(hex.at(2 * i + 1));
        if (high >= 0 && low >= 0)
            bytes[i] = char((high << 4) | low);
    }
    return bytes;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data)
        crc = crcTable[(crc ^ quint8(byte)) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QString summaryCrcReport(const QString &page)
{
    const QString checkText = page.mid(crcDataChars, 2);
    const quint32 checkValue = hexValue(checkText);
    const quint32 crc = crc32(hexToBytes(page.left(crcDataChars)));
    return checkText + QLatin1Char(' ') + QString::number(checkValue) + QLatin1Char(' ')
        + QString::number(crc);
}

QByteArray pageReadCommand(quint64 address)
{
    return "R" + QByteArray::number(address, 16).toUpper().rightJustified(8, '0') + "\n";
}

QByteArray fileRecord(const QString &deviceRecord)
{
    QByteArray record(18, '\0');
    // Value bytes 1 to 7 are record bytes 2..8 (characters 4..17).
    const QByteArray values = hexToBytes(deviceRecord.mid(4, 14));
    for (int i = 0; i < values.size(); ++i)
        record[2 + i] = values.at(i);
    return record;
}

QByteArray setTimeCommand(const QDateTime &now)
{
    if (!now.isValid())
        return QByteArray();
    // The C locale keeps the digits ASCII whatever the user's locale is.
    const QString time = QLocale::c().toString(now.toUTC(), QStringLiteral("MM/dd/yy HH:mm:ss"));
    return "ATW " + time.toLatin1() + "\n";
}

QString firmwareLineIndex(int index)
{
    if (index < 0)
        return QString();
    return QString::number(index, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

FirmwareLines cutFirmwareImage(const QByteArray &image)
{
    FirmwareLines lines;
    if (image.isEmpty()) {
        lines.error = QStringLiteral("the firmware image is empty");
        return lines;
    }
    if (image.size() < imageHeaderBytes) {
        lines.error = QStringLiteral("the firmware image holds %1 bytes, fewer than its %2-byte "
                                     "header")
                          .arg(image.size())
                          .arg(imageHeaderBytes);
        return lines;
    }

    const quint32 fCount = quint32(quint8(image.at(1))) | (quint32(quint8(image.at(2))) << 8)
        | (quint32(quint8(image.at(3))) << 16);
    const qint64 body = image.size() - imageHeaderBytes;
    const qint64 fBytes = qint64(fCount) * fBlockBytes;
    if (fBytes > body) {
        lines.error = QStringLiteral("the firmware image header announces %1 blocks of %2 bytes, "
                                     "but only %3 bytes follow the header: the image is "
                                     "truncated")
                          .arg(fCount)
                          .arg(fBlockBytes)
                          .arg(body);
        return lines;
    }
    const qint64 cCount = (body - fBytes) / cBlockBytes;
    if (fCount == 0 && cCount == 0) {
        lines.error = QStringLiteral("the firmware image holds no block to send");
        return lines;
    }

    // fCount and cCount are bounded by the image size, which fits an int.
    lines.fLines.reserve(int(fCount));
    int offset = imageHeaderBytes;
    for (int i = 0; i < int(fCount); ++i, offset += fBlockBytes)
        lines.fLines.append(blockLine('F', i, image, offset, fBlockBytes));
    lines.cLines.reserve(int(cCount));
    for (int i = 0; i < int(cCount); ++i, offset += cBlockBytes)
        lines.cLines.append(blockLine('C', i, image, offset, cBlockBytes));
    return lines;
}

PageAssembler::Status PageAssembler::add(const QByteArray &line)
{
    if (status != Status::Incomplete)
        return status;
    for (const char c : line) {
        if (c == '\n') {
            if (text.size() == pageDigits)
                return status = Status::Complete;
            continue;
        }
        if (c == ' ' || c == '\r' || c == '\t')
            continue;
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            why = QStringLiteral("the page holds text that is not hexadecimal (byte 0x%1 after "
                                 "%2 digits)")
                      .arg(quint8(c), 2, 16, QLatin1Char('0'))
                      .arg(text.size());
            return status = Status::Broken;
        }
        if (text.size() == pageDigits) {
            why = QStringLiteral("the page text goes on past 512 digits before its line end");
            return status = Status::Broken;
        }
        text.append(c);
    }
    return status;
}

void PageAssembler::clear()
{
    text.clear();
    why.clear();
    status = Status::Incomplete;
}

} // namespace devicecodec
