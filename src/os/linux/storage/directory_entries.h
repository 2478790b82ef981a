// The records getdents64 fills a buffer with: struct dirent64, one after the
// other, each `d_reclen` bytes long with a NUL-terminated name.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace lumenstat::os::linux_directories {

// The name of the record at `at` among the bytes getdents64 filled, moving
// `at` to the next record; nothing when the record does not lie whole within
// `entries` or its name has no NUL there.
std::optional<std::string_view> next_entry_name(std::span<const char> entries, std::size_t& at);

}  // namespace lumenstat::os::linux_directories
