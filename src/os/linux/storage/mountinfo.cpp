#include "os/linux/storage/mountinfo.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace lumenstat::os::mountinfo {

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The next space-separated field of `line`, which is advanced past it.
std::optional<std::string_view> next_field(std::string_view& line) {
    while (line.starts_with(' ')) line.remove_prefix(1);
    if (line.empty()) return std::nullopt;
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

std::optional<Mount> parse_line(std::string_view line) {
    // mount id, parent id, major:minor, root, mount point
    std::optional<std::string_view> field = next_field(line);
    Mount mount;
    if (!field || std::from_chars(field->data(), field->data() + field->size(), mount.id).ptr !=
                      field->data() + field->size()) {
        return std::nullopt;
    }
    for (int i = 1; i < 5; ++i) {
        field = next_field(line);
        if (!field) return std::nullopt;
    }
    mount.mount_point = unescape(*field);
    // mount options, then optional fields up to the lone "-"
    do {
        field = next_field(line);
        if (!field) return std::nullopt;
    } while (*field != "-");
    const auto type = next_field(line);
    const auto source = next_field(line);
    if (!type || !source) return std::nullopt;
    mount.fs_type = unescape(*type);
    mount.source = unescape(*source);
    return mount;
}

}  // namespace

std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<Mount> parse(std::string_view table) {
    std::vector<Mount> mounts;
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        if (auto mount = parse_line(table.substr(0, end))) mounts.push_back(std::move(*mount));
        table.remove_prefix(std::min(end + 1, table.size()));
    }
    return mounts;
}

}  // namespace lumenstat::os::mountinfo
