// The one command line the traffic tool honours: -L 1 -n -p PID (one sample,
// numeric addresses, one process).
#pragma once

#include <span>
#include <string>

namespace lumenstat::nettop {

struct CommandLine {
    int pid = 0;
    std::string error;  // set when the command line is refused
};

inline constexpr const char* kUsage = "usage: nettop -L 1 -n -p PID";

// `args` without the program name.
CommandLine parse_command_line(std::span<const char* const> args);

}  // namespace lumenstat::nettop
