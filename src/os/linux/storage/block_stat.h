// The counters of a block device as the kernel writes them, in
// /sys/block/NAME/stat and after major, minor and name on each line of
// /proc/diskstats: reads completed, reads merged, sectors read, milliseconds
// reading, then the same four for writes, then fields not used here.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lumenstat::os::block_stat {

// In the units the Darwin driver statistics carry: bytes and nanoseconds.
struct Counters {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t bytes_read = 0;
    std::uint64_t bytes_written = 0;
    std::uint64_t read_time_ns = 0;
    std::uint64_t write_time_ns = 0;
};

// Nothing when one of the first eight fields is missing or not a number.
// Sectors are 512 bytes whatever the device's own sector size; products that
// do not fit saturate.
std::optional<Counters> parse(std::string_view text);

// /proc/diskstats: the counters of every well-formed line, by device name as
// /sys/block spells it ("cciss!c0d0" for "cciss/c0d0").
std::map<std::string, Counters, std::less<>> parse_table(std::string_view text);

}  // namespace lumenstat::os::block_stat
