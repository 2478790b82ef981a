// sources: src/disk/statfs_record.cpp src/text/utf8.cpp
// One entry of the kernel's mount table, any bytes (missing NULs in the name
// fields, huge block counts): the texts are valid UTF-8 and stop at the
// field's end, the entry is kept exactly when its decoded device names a
// disk, and the figures keep used within total and the percentage in 0..100.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "disk/statfs_record.h"
#include "text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat;
    // The device name first, where the fuzzer finds it soonest, then the
    // type, the figures and the mount point.
    darwin::statfs entry{};
    const auto take = [&](void* field, std::size_t length) {
        const std::size_t n = std::min(size, length);
        std::memcpy(field, data, n);
        data += n;
        size -= n;
    };
    take(entry.f_mntfromname, sizeof entry.f_mntfromname);
    take(entry.f_fstypename, sizeof entry.f_fstypename);
    take(&entry, offsetof(darwin::statfs, f_fsid));
    take(entry.f_mntonname, sizeof entry.f_mntonname);
    const auto disk = disk_from_statfs(entry);
    const std::string device =
        lossy_utf8(fixed_field(entry.f_mntfromname, sizeof entry.f_mntfromname));
    if (disk.has_value() != names_disk_device(device)) std::abort();
    if (!disk) return 0;
    for (const std::string* text : {&disk->device, &disk->mount_point, &disk->fs_type}) {
        if (!is_valid_utf8(*text)) std::abort();
    }
    if (disk->device != device) std::abort();
    if (disk->used_bytes > disk->total_bytes) std::abort();
    if (disk->total_bytes == 0 ? disk->usage_percent != 0.0
                               : !(disk->usage_percent >= 0.0 && disk->usage_percent <= 100.0)) {
        std::abort();
    }
    return 0;
}
