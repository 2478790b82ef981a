// sources: src/os/linux/storage/block_stat.cpp src/os/linux/proc_files.cpp
// A block device's statistics, any bytes (truncated lines, numbers past 64
// bits, names that are not UTF-8): neither the one-device reader nor the
// table reader reads out of bounds, and the eight fields written as the
// kernel writes them come back in bytes and nanoseconds, saturated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "os/linux/storage/block_stat.h"
#include "saturating.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat::os;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)block_stat::parse(bytes);
    std::size_t lines = 1;
    for (const char c : bytes) lines += c == '\n';
    if (block_stat::parse_table(bytes).size() > lines) std::abort();

    std::uint64_t field[8] = {};
    std::memcpy(field, data, std::min(size, sizeof field));
    std::string line;
    for (const std::uint64_t value : field) line += "  " + std::to_string(value);
    line += "  0  0  0\n";
    const auto counters = block_stat::parse(line);
    if (!counters || counters->reads != field[0] || counters->writes != field[4] ||
        counters->bytes_read != lumenstat::saturating_multiply(field[2], 512) ||
        counters->bytes_written != lumenstat::saturating_multiply(field[6], 512) ||
        counters->read_time_ns != lumenstat::saturating_multiply(field[3], 1'000'000) ||
        counters->write_time_ns != lumenstat::saturating_multiply(field[7], 1'000'000)) {
        std::abort();
    }
    const auto table = block_stat::parse_table(" 8 0 sda" + line);
    if (table.size() != 1 || table.at("sda").reads != counters->reads) std::abort();
    return 0;
}
