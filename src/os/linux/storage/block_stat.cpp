#include "os/linux/storage/block_stat.h"

#include <algorithm>

#include "os/linux/proc_files.h"
#include "saturating.h"

namespace lumenstat::os::block_stat {

std::optional<Counters> parse(std::string_view text) {
    std::uint64_t field[8] = {};
    for (std::uint64_t& value : field) {
        if (!procfs::parse_u64(text, value)) return std::nullopt;
    }
    Counters counters;
    counters.reads = field[0];
    counters.bytes_read = saturating_multiply(field[2], 512);
    counters.read_time_ns = saturating_multiply(field[3], 1'000'000);
    counters.writes = field[4];
    counters.bytes_written = saturating_multiply(field[6], 512);
    counters.write_time_ns = saturating_multiply(field[7], 1'000'000);
    return counters;
}

std::map<std::string, Counters, std::less<>> parse_table(std::string_view text) {
    std::map<std::string, Counters, std::less<>> table;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        std::uint64_t major = 0, minor = 0;
        if (!procfs::parse_u64(line, major) || !procfs::parse_u64(line, minor)) continue;
        while (line.starts_with(' ') || line.starts_with('\t')) line.remove_prefix(1);
        const std::size_t name_end = std::min(line.find_first_of(" \t"), line.size());
        std::string name(line.substr(0, name_end));
        line.remove_prefix(name_end);
        const auto counters = parse(line);
        if (name.empty() || !counters) continue;
        std::replace(name.begin(), name.end(), '/', '!');
        table.insert_or_assign(std::move(name), *counters);
    }
    return table;
}

}  // namespace lumenstat::os::block_stat
