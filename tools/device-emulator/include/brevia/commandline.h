// The command line of brevia-emulator, turned into a scenario.
#pragma once

#include "brevia/scenario.h"

#include <string>
#include <vector>

namespace brevia {

struct CommandLine
{
    Scenario scenario;
    std::string linkPath;
    bool help = false;
    std::string error; // non-empty: the arguments were not usable
};

CommandLine parseCommandLine(const std::vector<std::string> &arguments); // without argv[0]
std::string usageText();

} // namespace brevia
