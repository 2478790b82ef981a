// The kernel's mount table as /proc/self/mountinfo gives it: one line per
// mount, its id (field 1), the mount point (field 5) and, after the " - "
// separator, the type and the source. Blanks, tabs, newlines and backslashes in names are written
// as octal escapes (\040, \011, \012, \134), which are decoded here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumenstat::os::mountinfo {

struct Mount {
    // As statx's STATX_MNT_ID gives it for a file on the mount.
    std::uint64_t id = 0;
    std::string mount_point;
    std::string fs_type;
    std::string source;
};

// Every well-formed line, in the kernel's order; a line missing fields or the
// separator, or whose id is not a decimal number, is left out.
std::vector<Mount> parse(std::string_view table);

// A field with its \ooo escapes (000 to 377) decoded; a backslash not followed by three
// octal digits stays as it is.
std::string unescape(std::string_view field);

}  // namespace lumenstat::os::mountinfo
