// Mounted file systems that a disk device backs, with capacity and use, from
// one snapshot of the kernel's mount table.
#pragma once

#include <vector>

#include "disk/disk_info.h"
#include "error.h"
#include "os/system.h"

namespace lumenstat {

// Mounts whose device begins with "/dev/" or names a "disk", in the kernel's
// order, or SysCall "getfsstat failed".
Result<std::vector<DiskInfo>> get_disks(os::System& sys);

}  // namespace lumenstat
