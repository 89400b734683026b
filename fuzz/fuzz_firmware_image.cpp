// Cutting a firmware image into the lines written into the device. A damaged image is refused
// whole; an accepted one gives F and C lines that carry the image's blocks exactly, in order.
#include "device/devicecodec.h"
#include "fuzzcheck.h"

namespace {

constexpr int headerBytes = 4;
constexpr int fBlockBytes = 256;
constexpr int cBlockBytes = 64;

bool isUpperHex(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// "F"/"C", the line's index in upper-case hex (at least 4 digits), the block in upper-case
// hex, a line feed. Returns the block's bytes.
QByteArray checkLine(const QString &line, QChar kind, int index, int blockBytes)
{
    const QString indexText =
        QString::number(index, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    FUZZ_CHECK(line.size() == 1 + indexText.size() + 2 * blockBytes + 1);
    FUZZ_CHECK(line.at(0) == kind);
    FUZZ_CHECK(line.mid(1, indexText.size()) == indexText);
    FUZZ_CHECK(line.endsWith(QLatin1Char('\n')));
    const QString hex = line.mid(1 + indexText.size(), 2 * blockBytes);
    for (const QChar c : hex)
        FUZZ_CHECK(isUpperHex(c));
    return QByteArray::fromHex(hex.toLatin1());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray image = fuzzBytes(data, size);
    const devicecodec::FirmwareLines lines = devicecodec::cutFirmwareImage(image);
    if (!lines.ok()) {
        FUZZ_CHECK(lines.fLines.isEmpty() && lines.cLines.isEmpty());
        return 0;
    }
    FUZZ_CHECK(image.size() >= headerBytes);
    FUZZ_CHECK(!lines.fLines.isEmpty() || !lines.cLines.isEmpty());

    // The header's bytes 1..3 announce the F blocks; the rest is cut into whole C blocks.
    const qint64 announced = qint64(quint8(image.at(1))) | (qint64(quint8(image.at(2))) << 8)
        | (qint64(quint8(image.at(3))) << 16);
    FUZZ_CHECK(lines.fLines.size() == announced);
    const qint64 rest = image.size() - headerBytes - announced * fBlockBytes;
    FUZZ_CHECK(rest >= 0);
    FUZZ_CHECK(lines.cLines.size() == rest / cBlockBytes);

    QByteArray sent;
    for (int i = 0; i < lines.fLines.size(); ++i)
        sent += checkLine(lines.fLines.at(i), QLatin1Char('F'), i, fBlockBytes);
    for (int i = 0; i < lines.cLines.size(); ++i)
        sent += checkLine(lines.cLines.at(i), QLatin1Char('C'), i, cBlockBytes);
    FUZZ_CHECK(sent == image.mid(headerBytes, sent.size()));
    return 0;
}
