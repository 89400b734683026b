// What kind of program a file holds, read from its header: the executable format and the
// processor it is built for. The file is untrusted (a download): every read is checked
// against its size, and anything that is not plainly a program is refused.
#pragma once

#include <QString>
#include <QtGlobal>

class QIODevice;

namespace executable {

enum class Format { Unknown, Elf, MachO };

// The kind of program this computer runs: the running program's own.
struct Identity
{
    Format format = Format::Unknown;
    // ELF: class (1: 32-bit, 2: 64-bit), data encoding (1: little, 2: big endian), machine.
    quint8 elfClass = 0;
    quint8 elfData = 0;
    quint16 elfMachine = 0;
    // Mach-O: the CPU type of the running slice.
    quint32 machCpuType = 0;

    QString describe() const;
};

// The identity of an ELF program or shared object in the file; Format::Unknown when the file
// is not one (why in *why when given). Used for the running program's own file.
Identity readElfIdentity(QIODevice &file, QString *why = nullptr);

// The Mach-O CPU type this code was compiled for; 0 where it is not known.
quint32 compiledMachCpuType();

// The kind of program this computer runs, read once: on Linux the running program's own ELF
// header, on macOS the CPU type the program was compiled for. Format::Unknown elsewhere.
Identity runningProgram();

// Empty when the file is a program that `running` can start: ELF with the same class, data
// encoding and machine, of type executable or position-independent executable; Mach-O of
// type executable for the same CPU type, or a universal file with a slice for it. Otherwise
// why not, in a short technical text for the log.
QString checkRunnable(QIODevice &file, const Identity &running);

} // namespace executable
