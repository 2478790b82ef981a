#include "os/linux/block_stat.h"

#include <limits>

#include "os/linux/proc_files.h"

namespace lumenstat::os::block_stat {

namespace {

std::uint64_t times(std::uint64_t value, std::uint64_t unit) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(value, unit, &product) ? std::numeric_limits<std::uint64_t>::max()
                                                         : product;
}

}  // namespace

std::optional<Counters> parse(std::string_view text) {
    std::uint64_t field[8] = {};
    for (std::uint64_t& value : field) {
        if (!procfs::parse_u64(text, value)) return std::nullopt;
    }
    Counters counters;
    counters.reads = field[0];
    counters.bytes_read = times(field[2], 512);
    counters.read_time_ns = times(field[3], 1'000'000);
    counters.writes = field[4];
    counters.bytes_written = times(field[6], 512);
    counters.write_time_ns = times(field[7], 1'000'000);
    return counters;
}

}  // namespace lumenstat::os::block_stat
