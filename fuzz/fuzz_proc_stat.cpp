// sources: src/os/linux/process/process_stat.cpp src/os/linux/proc_files.cpp

// The /proc text parsers of the Linux personality. Any bytes: no read out of
// bounds, and a parsed command name is always NUL-terminated within its 16
// bytes. The bytes as a command name inside a well-formed stat line (names
// may hold spaces, parentheses and newlines): every field after it still
// parses to the value written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "os/linux/proc_files.h"
#include "os/linux/process/process_stat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat::os::procfs;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    ProcessStat stat;
    if (parse_process_stat(bytes, stat) &&
        std::memchr(stat.comm, '\0', sizeof stat.comm) == nullptr) {
        std::abort();
    }
    std::uint64_t value = 0;
    keyed_u64(bytes, "MemTotal:", value);
    std::string_view rest = bytes;
    while (skip_field(rest)) {
        parse_u64(rest, value);
    }

    std::string line = "4242 (" + std::string(bytes) +
                       ") S 17 4242 4242 34816 4242 4194304 11 0 3 0 25 7 0 0 20 0 3 0 "
                       "123456 987654321 555 18446744073709551615 1 2 140720000000000 "
                       "0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 4 5 6 140720000000100 140720000000200 "
                       "140720000000200 140720000000300 0\n";
    if (!parse_process_stat(line, stat)) {
        std::abort();
    }
    std::size_t kept = std::min<std::size_t>(size, 16);
    if (stat.pid != 4242 || stat.state != 'S' || stat.ppid != 17 || stat.tty_nr != 34816 ||
        stat.minflt != 11 || stat.majflt != 3 || stat.utime != 25 || stat.stime != 7 ||
        stat.num_threads != 3 || stat.starttime != 123456 || stat.vsize != 987654321 ||
        stat.rss != 555 || stat.start_stack != 140720000000000 || stat.exit_signal != 17 ||
        stat.arg_start != 140720000000100 || stat.arg_end != 140720000000200 ||
        stat.env_end != 140720000000300 || std::memcmp(stat.comm, data, kept) != 0) {
        std::abort();
    }
    // Cut short right after the environment's end: its addresses are not taken.
    line.resize(line.size() - 3);
    if (!parse_process_stat(line, stat) || stat.arg_start != 0 || stat.env_end != 0 ||
        stat.exit_signal != 17) {
        std::abort();
    }
    return 0;
}
