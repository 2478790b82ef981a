// One entry of the kernel's mount table turned into a DiskInfo, or nothing
// when no disk device backs it. Free of <expected> for the fuzz build.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "disk/disk_info.h"
#include "os/darwin_storage.h"

namespace lumenstat {

// The bytes of a fixed-size name field up to its first NUL, or all of them
// when the kernel left no NUL in it.
std::string_view fixed_field(const char* field, std::size_t size);

// True for a mounted-from name that begins with "/dev/" or contains "disk".
bool names_disk_device(std::string_view device);

std::optional<DiskInfo> disk_from_statfs(const darwin::statfs& entry);

}  // namespace lumenstat
