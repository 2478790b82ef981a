// The entries of one directory, described as themselves (links not followed),
// directories first, each group in byte order of the names.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "os/system.h"

namespace lumenstat {

struct DirEntry {
    std::string name;  // the stored name, invalid UTF-8 replaced by U+FFFD
    std::string path;  // the argument joined with the raw name, decoded alike
    bool is_dir = false;
    std::uint64_t size = 0;  // bytes; 0 for a directory
};

// Why a directory could not be listed: the errno of opening it, or 0 when the
// path holds a NUL byte and nothing was opened.
struct ListDirError {
    int os_code = 0;
    // "No such file or directory (os error 2)", or
    // "file name contained an unexpected NUL byte".
    std::string text() const;
};

// Entries that vanish or cannot be examined are left out; a read that fails
// part-way ends the listing with what was read.
std::expected<std::vector<DirEntry>, ListDirError> list_dir(os::System& sys, std::string_view path);

}  // namespace lumenstat
