// The record of one mounted file system. Free of <expected>, so that the
// fuzz build of the mount-table decoder can use it.
#pragma once

#include <cstdint>
#include <string>

namespace lumenstat {

struct DiskInfo {
    std::string device;                 // mounted-from name, typically /dev/...
    std::string mount_point;            // directory it is mounted on
    std::string fs_type;                // file system type name
    std::uint64_t total_bytes = 0;      // blocks * fundamental block size
    std::uint64_t used_bytes = 0;       // blocks not free, reserved ones included
    std::uint64_t available_bytes = 0;  // blocks an unprivileged user may take
    double usage_percent = 0.0;         // used / total * 100, 0.0 when total is 0
};

}  // namespace lumenstat
