#include "command_line.h"

#include <cstdint>
#include <string_view>

namespace lumenstat::nettop {

namespace {

constexpr std::int64_t kMaxPid = 2147483647;

// A process id in decimal, 1 to 2^31 - 1; 0 for anything else.
int parse_pid(std::string_view text) {
    if (text.empty() || text.size() > 10) return 0;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value > kMaxPid ? 0 : static_cast<int>(value);
}

}  // namespace

CommandLine parse_command_line(std::span<const char* const> args) {
    CommandLine line;
    constexpr std::string_view kShape[] = {"-L", "1", "-n", "-p"};
    if (args.size() != std::size(kShape) + 1) {
        line.error = kUsage;
        return line;
    }
    for (std::size_t i = 0; i < std::size(kShape); ++i) {
        if (args[i] != kShape[i]) {
            line.error = kUsage;
            return line;
        }
    }
    line.pid = parse_pid(args.back());
    if (line.pid == 0) {
        line.error = std::string("nettop: invalid process id '") + args.back() +
                     "': a number from 1 to 2147483647 is needed\n" + kUsage;
    }
    return line;
}

}  // namespace lumenstat::nettop
