// The command line. Orvane has no options of its own but --help and --version, and both are
// answered before anything needs a display. Qt's own options for programs with a window
// (-platform, -style, ...) are let through for QApplication, which takes them out of argv.
#pragma once

#include <optional>

// Prints the help or "Orvane 7.4" on standard output, or why the command line is refused on
// standard error, and returns the exit code when the program ends here: 0, or 2 for a
// refused command line. Returns nothing when the program goes on to open its window.
std::optional<int> answerCommandLine(int argc, char *argv[]);
