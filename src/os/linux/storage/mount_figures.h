// statfs of a mount point, with the id of the mount that answered. A path
// leads to the mount on top of it, so a mount hidden under another one at the
// same path cannot be reached by its path: statfs of that path answers for
// the mount on top, and only the id tells.
#pragma once

#include <sys/statfs.h>

#include <cstdint>
#include <optional>

namespace lumenstat::os {

struct MountFigures {
    struct ::statfs figures {};
    // The id of the mount that answered, as /proc/self/mountinfo numbers
    // mounts; absent where the kernel does not say (before Linux 5.8).
    std::optional<std::uint64_t> mount_id;
};

// 0, or -1 with errno. The path is resolved once, so that both answers are
// for the same mount.
int statfs_of_mount_point(const char* path, MountFigures& out);

}  // namespace lumenstat::os
