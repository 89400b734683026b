#include "common/executableheader.h"

#include <QCoreApplication>
#include <QFile>
#include <QIODevice>

#include <optional>

namespace executable {

namespace {

// ELF identification and header fields.
constexpr char elfMagic[] = "\x7F"
                            "ELF";
constexpr int elfClassOffset = 4, elfDataOffset = 5, elfIdentVersionOffset = 6;
constexpr int elfTypeOffset = 16, elfMachineOffset = 18, elfVersionOffset = 20;
constexpr int elf32HeaderSize = 52, elf64HeaderSize = 64;
constexpr quint16 elfTypeExecutable = 2, elfTypeShared = 3; // EXEC; DYN (PIE programs too)

// Mach-O: thin headers in either byte order, universal ("fat") headers big-endian.
constexpr quint32 machMagic32 = 0xFEEDFACE, machMagic64 = 0xFEEDFACF;
constexpr quint32 fatMagic32 = 0xCAFEBABE, fatMagic64 = 0xCAFEBABF;
constexpr quint32 machTypeExecute = 2;
constexpr int mach32HeaderSize = 28, mach64HeaderSize = 32;
constexpr int fatArch32Size = 20, fatArch64Size = 32;
// A universal file holds a handful of slices; a Java class file shares the magic and would
// read as thousands.
constexpr quint32 maxFatSlices = 32;

// Bytes at [offset, offset + length) of the device, or nothing when they are not all there.
std::optional<QByteArray> readAt(QIODevice &file, qint64 offset, qint64 length)
{
    const qint64 size = file.size();
    if (offset < 0 || length < 0 || offset > size || length > size - offset)
        return std::nullopt;
    if (!file.seek(offset))
        return std::nullopt;
    const QByteArray bytes = file.read(length);
    if (bytes.size() != length)
        return std::nullopt;
    return bytes;
}

quint64 unsignedAt(const QByteArray &bytes, int offset, int width, bool bigEndian)
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i) {
        const int index = bigEndian ? offset + i : offset + width - 1 - i;
        value = (value << 8) | quint8(bytes.at(index));
    }
    return value;
}

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

// The thin Mach-O header at offset: empty when it is an executable for cpuType.
QString checkThinMach(QIODevice &file, qint64 offset, quint32 cpuType)
{
    const std::optional<QByteArray> head = readAt(file, offset, mach32HeaderSize);
    if (!head)
        return QStringLiteral("the Mach-O header is cut short");
    const quint32 asLittle = quint32(unsignedAt(*head, 0, 4, false));
    const quint32 asBig = quint32(unsignedAt(*head, 0, 4, true));
    const bool bigEndian = asBig == machMagic32 || asBig == machMagic64;
    if (!bigEndian && asLittle != machMagic32 && asLittle != machMagic64)
        return QStringLiteral("not a Mach-O header");
    const bool is64 = (bigEndian ? asBig : asLittle) == machMagic64;
    if (is64 && !readAt(file, offset, mach64HeaderSize))
        return QStringLiteral("the Mach-O header is cut short");
    const quint32 type = quint32(unsignedAt(*head, 4, 4, bigEndian));
    if (type != cpuType)
        return QStringLiteral("a Mach-O program for CPU type %1, this computer runs %2")
            .arg(hex(type), hex(cpuType));
    const quint32 fileType = quint32(unsignedAt(*head, 12, 4, bigEndian));
    if (fileType != machTypeExecute)
        return QStringLiteral("a Mach-O file of type %1, not an executable").arg(fileType);
    return QString();
}

QString checkMach(QIODevice &file, quint32 cpuType)
{
    const std::optional<QByteArray> magic = readAt(file, 0, 8);
    if (!magic)
        return QStringLiteral("too short to be a program");
    const quint32 fat = quint32(unsignedAt(*magic, 0, 4, true));
    if (fat != fatMagic32 && fat != fatMagic64)
        return checkThinMach(file, 0, cpuType);

    const quint32 slices = quint32(unsignedAt(*magic, 4, 4, true));
    if (slices == 0 || slices > maxFatSlices)
        return QStringLiteral("not a universal program (%1 slices)").arg(slices);
    const int entrySize = fat == fatMagic64 ? fatArch64Size : fatArch32Size;
    const std::optional<QByteArray> table = readAt(file, 8, qint64(slices) * entrySize);
    if (!table)
        return QStringLiteral("the universal header is cut short");
    for (quint32 i = 0; i < slices; ++i) {
        const int at = int(i) * entrySize;
        if (quint32(unsignedAt(*table, at, 4, true)) != cpuType)
            continue;
        const bool wide = fat == fatMagic64;
        const quint64 offset = unsignedAt(*table, at + 8, wide ? 8 : 4, true);
        const quint64 size = unsignedAt(*table, at + (wide ? 16 : 12), wide ? 8 : 4, true);
        const quint64 fileSize = quint64(file.size());
        if (offset > fileSize || size > fileSize - offset)
            return QStringLiteral("the universal slice for CPU type %1 lies outside the file")
                .arg(hex(cpuType));
        return checkThinMach(file, qint64(offset), cpuType);
    }
    return QStringLiteral("a universal program without a slice for CPU type %1").arg(hex(cpuType));
}

struct ElfHeader
{
    Identity identity;
    quint16 type = 0;
};

std::optional<ElfHeader> readElf(QIODevice &file, QString *why)
{
    const auto refuse = [why](const QString &text) {
        if (why)
            *why = text;
        return std::nullopt;
    };
    const std::optional<QByteArray> head = readAt(file, 0, elf32HeaderSize);
    if (!head || !head->startsWith(QByteArray(elfMagic)))
        return refuse(QStringLiteral("not an ELF program"));
    ElfHeader header;
    header.identity.format = Format::Elf;
    header.identity.elfClass = quint8(head->at(elfClassOffset));
    header.identity.elfData = quint8(head->at(elfDataOffset));
    if (header.identity.elfClass != 1 && header.identity.elfClass != 2)
        return refuse(
            QStringLiteral("an ELF file of unknown class %1").arg(header.identity.elfClass));
    if (header.identity.elfData != 1 && header.identity.elfData != 2)
        return refuse(
            QStringLiteral("an ELF file of unknown data encoding %1").arg(header.identity.elfData));
    const bool bigEndian = header.identity.elfData == 2;
    if (head->at(elfIdentVersionOffset) != 1
        || unsignedAt(*head, elfVersionOffset, 4, bigEndian) != 1)
        return refuse(QStringLiteral("an ELF file of unknown version"));
    if (header.identity.elfClass == 2 && !readAt(file, 0, elf64HeaderSize))
        return refuse(QStringLiteral("the ELF header is cut short"));
    header.type = quint16(unsignedAt(*head, elfTypeOffset, 2, bigEndian));
    header.identity.elfMachine = quint16(unsignedAt(*head, elfMachineOffset, 2, bigEndian));
    return header;
}

} // namespace

QString Identity::describe() const
{
    switch (format) {
    case Format::Elf:
        return QStringLiteral("ELF %1-bit %2-endian machine %3")
            .arg(elfClass == 2 ? 64 : 32)
            .arg(elfData == 2 ? QStringLiteral("big") : QStringLiteral("little"))
            .arg(elfMachine);
    case Format::MachO:
        return QStringLiteral("Mach-O CPU type %1").arg(hex(machCpuType));
    case Format::Unknown:
        break;
    }
    return QStringLiteral("an unknown kind of program");
}

Identity readElfIdentity(QIODevice &file, QString *why)
{
    const std::optional<ElfHeader> header = readElf(file, why);
    return header ? header->identity : Identity();
}

quint32 compiledMachCpuType()
{
#if defined(__x86_64__)
    return 0x01000007; // x86-64
#elif defined(__aarch64__) || defined(__arm64__)
    return 0x0100000C; // ARM64
#else
    return 0;
#endif
}

Identity runningProgram()
{
    static const Identity identity = [] {
        Identity running;
#if defined(Q_OS_MACOS)
        running.format = Format::MachO;
        running.machCpuType = compiledMachCpuType();
        if (running.machCpuType == 0)
            running.format = Format::Unknown;
#elif defined(Q_OS_LINUX)
        // The image this process runs, even when its file has been replaced or removed since.
        QFile self(QStringLiteral("/proc/self/exe"));
        if (!self.open(QIODevice::ReadOnly))
            self.setFileName(QCoreApplication::applicationFilePath());
        if (self.isOpen() || self.open(QIODevice::ReadOnly))
            running = readElfIdentity(self);
#endif
        return running;
    }();
    return identity;
}

QString checkRunnable(QIODevice &file, const Identity &running)
{
    switch (running.format) {
    case Format::MachO:
        return checkMach(file, running.machCpuType);
    case Format::Elf: {
        QString why;
        const std::optional<ElfHeader> header = readElf(file, &why);
        if (!header)
            return why;
        const Identity &found = header->identity;
        if (found.elfClass != running.elfClass || found.elfData != running.elfData
            || found.elfMachine != running.elfMachine)
            return QStringLiteral("a program for %1, this computer runs %2")
                .arg(found.describe(), running.describe());
        if (header->type != elfTypeExecutable && header->type != elfTypeShared)
            return QStringLiteral("an ELF file of type %1, not a program").arg(header->type);
        return QString();
    }
    case Format::Unknown:
        break;
    }
    return QStringLiteral("the running program's own format is not known here");
}

} // namespace executable
