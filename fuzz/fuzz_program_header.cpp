// The header of a downloaded application, read before it is kept or installed. Any bytes are
// read within their bounds, and a file is taken for a program of this computer only when its
// first bytes say so: ELF of the running class, byte order and machine, of type executable or
// position-independent executable; Mach-O for the running CPU, thin or universal.
#include "common/executableheader.h"
#include "fuzzcheck.h"

#include <QBuffer>

namespace {

quint32 word(const QByteArray &bytes, int at, bool bigEndian)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | quint8(bytes.at(bigEndian ? at + i : at + 3 - i));
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray input = fuzzBytes(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);

    executable::Identity linux64;
    linux64.format = executable::Format::Elf;
    linux64.elfClass = 2;
    linux64.elfData = 1;
    linux64.elfMachine = 62;
    if (executable::checkRunnable(buffer, linux64).isEmpty()) {
        FUZZ_CHECK(input.size() >= 64 && input.startsWith("\x7F"
                                                          "ELF"));
        FUZZ_CHECK(input.at(4) == 2 && input.at(5) == 1);
        FUZZ_CHECK(quint8(input.at(18)) == 62 && input.at(19) == 0);
        FUZZ_CHECK(input.at(17) == 0 && (input.at(16) == 2 || input.at(16) == 3));
    }
    const executable::Identity read = executable::readElfIdentity(buffer);
    FUZZ_CHECK(read.format == executable::Format::Unknown
               || (input.startsWith("\x7F"
                                    "ELF")
                   && read.elfClass == quint8(input.at(4))));

    executable::Identity appleArm;
    appleArm.format = executable::Format::MachO;
    appleArm.machCpuType = 0x0100000C;
    if (executable::checkRunnable(buffer, appleArm).isEmpty()) {
        FUZZ_CHECK(input.size() >= 28);
        const quint32 fat = word(input, 0, true);
        const bool thin = (word(input, 0, false) & 0xFFFFFFFE) == 0xFEEDFACE
            || (fat & 0xFFFFFFFE) == 0xFEEDFACE;
        FUZZ_CHECK(thin || fat == 0xCAFEBABE || fat == 0xCAFEBABF);
        if (thin)
            FUZZ_CHECK(word(input, 4, (fat & 0xFFFFFFFE) == 0xFEEDFACE) == appleArm.machCpuType);
    }
    return 0;
}
