// Mounted file systems that a disk device backs, with capacity and use, from
// one snapshot of the kernel's mount table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "os/system.h"

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

// Mounts whose device begins with "/dev/" or names a "disk", in the kernel's
// order, or SysCall "getfsstat failed".
Result<std::vector<DiskInfo>> get_disks(os::System& sys);

}  // namespace lumenstat
