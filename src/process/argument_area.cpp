#include "process/argument_area.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "text/utf8.h"

namespace lumenstat {

namespace {

// Position of the first NUL at or after `pos`, or the end of the area.
std::size_t next_nul(std::span<const std::uint8_t> area, std::size_t pos) {
    const void* hit = std::memchr(area.data() + pos, 0, area.size() - pos);
    return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - area.data())
               : area.size();
}

}  // namespace

std::vector<std::string> parse_argument_area(std::span<const std::uint8_t> area) {
    if (area.size() < 4) {
        return {};
    }
    const std::uint32_t raw = std::uint32_t{area[0]} | std::uint32_t{area[1]} << 8 |
                              std::uint32_t{area[2]} << 16 | std::uint32_t{area[3]} << 24;
    const auto argc = static_cast<std::int32_t>(raw);
    if (argc < 1) {
        return {};
    }

    std::size_t pos = next_nul(area, 4);  // the executable path
    while (pos < area.size() && area[pos] == 0) {
        ++pos;
    }

    // Every kept argument takes at least two bytes (a character and its NUL,
    // bar the last), which bounds the reservation when argc is hostile.
    const std::size_t remaining = area.size() - pos;
    std::vector<std::string> args;
    args.reserve(std::min<std::size_t>(static_cast<std::size_t>(argc), (remaining + 1) / 2));

    for (std::int32_t i = 0; i < argc && pos < area.size(); ++i) {
        const std::size_t end = next_nul(area, pos);
        const std::string_view arg(reinterpret_cast<const char*>(area.data() + pos), end - pos);
        if (!arg.empty() && is_valid_utf8(arg)) {
            args.emplace_back(arg);
        }
        pos = end + 1;
    }
    return args;
}

}  // namespace lumenstat
