// The page assembler fed the device's text a line at a time, as the link does. It never
// holds more than a page, a complete page is exactly 512 hex digits, and how the text is cut
// into pieces does not matter.
#include "device/devicecodec.h"
#include "fuzzcheck.h"

#include <QList>

using devicecodec::PageAssembler;

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void checkHeld(const PageAssembler &assembler, PageAssembler::Status status)
{
    const QByteArray &digits = assembler.digits();
    FUZZ_CHECK(digits.size() <= PageAssembler::pageDigits);
    for (const char c : digits)
        FUZZ_CHECK(isHexDigit(c));
    if (status == PageAssembler::Status::Complete)
        FUZZ_CHECK(digits.size() == PageAssembler::pageDigits);
    FUZZ_CHECK((status == PageAssembler::Status::Broken) == !assembler.error().isEmpty());
}

QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> out;
    int start = 0;
    while (start < text.size()) {
        const int end = text.indexOf('\n', start);
        const int next = end < 0 ? text.size() : end + 1;
        out.append(text.mid(start, next - start));
        start = next;
    }
    return out;
}

// One page from the text, fed in pieces of the given size (0: a line at a time).
PageAssembler firstPage(const QByteArray &text, int pieceSize, PageAssembler::Status *status)
{
    PageAssembler assembler;
    *status = PageAssembler::Status::Incomplete;
    const QList<QByteArray> pieces = pieceSize == 0 ? lines(text) : [&text, pieceSize] {
        QList<QByteArray> out;
        for (int at = 0; at < text.size(); at += pieceSize)
            out.append(text.mid(at, pieceSize));
        return out;
    }();
    for (const QByteArray &piece : pieces) {
        const PageAssembler::Status before = *status;
        const QByteArray held = assembler.digits();
        *status = assembler.add(piece);
        checkHeld(assembler, *status);
        // A finished page stays as it was until it is cleared.
        if (before != PageAssembler::Status::Incomplete) {
            FUZZ_CHECK(*status == before);
            FUZZ_CHECK(assembler.digits() == held);
        }
    }
    return assembler;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzBytes(data, size);

    PageAssembler::Status byLine;
    const PageAssembler lineByLine = firstPage(text, 0, &byLine);
    for (const int pieceSize : {1, 7, 4096}) {
        PageAssembler::Status status;
        const PageAssembler other = firstPage(text, pieceSize, &status);
        FUZZ_CHECK(status == byLine);
        FUZZ_CHECK(other.digits() == lineByLine.digits());
    }

    // Page after page, as the download reads them: cleared after each page or break.
    PageAssembler assembler;
    for (const QByteArray &line : lines(text)) {
        const PageAssembler::Status status = assembler.add(line);
        checkHeld(assembler, status);
        if (status != PageAssembler::Status::Incomplete) {
            assembler.clear();
            FUZZ_CHECK(assembler.digits().isEmpty() && assembler.error().isEmpty());
        }
    }
    return 0;
}
