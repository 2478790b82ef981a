#include "disk/statfs_record.h"

#include <cstring>

#include "disk/disk_info.h"
#include "saturating.h"
#include "text/utf8.h"

namespace lumenstat {

std::string_view fixed_field(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, '\0', size);
    return {field, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size};
}

bool names_disk_device(std::string_view device) {
    return device.starts_with("/dev/") || device.contains("disk");
}

std::optional<DiskInfo> disk_from_statfs(const darwin::statfs& entry) {
    DiskInfo disk;
    disk.device = lossy_utf8(fixed_field(entry.f_mntfromname, sizeof entry.f_mntfromname));
    if (!names_disk_device(disk.device)) return std::nullopt;
    disk.mount_point = lossy_utf8(fixed_field(entry.f_mntonname, sizeof entry.f_mntonname));
    disk.fs_type = lossy_utf8(fixed_field(entry.f_fstypename, sizeof entry.f_fstypename));

    const std::uint64_t block_size = entry.f_bsize;
    // A table claiming more free than total blocks reports nothing used
    // rather than a wrapped-around exabyte figure.
    const std::uint64_t used_blocks =
        entry.f_bfree < entry.f_blocks ? entry.f_blocks - entry.f_bfree : 0;
    disk.total_bytes = saturating_multiply(entry.f_blocks, block_size);
    disk.used_bytes = saturating_multiply(used_blocks, block_size);
    disk.available_bytes = saturating_multiply(entry.f_bavail, block_size);
    disk.usage_percent = disk.total_bytes == 0 ? 0.0
                                               : static_cast<double>(disk.used_bytes) /
                                                     static_cast<double>(disk.total_bytes) * 100.0;
    return disk;
}

}  // namespace lumenstat
