#include "os/linux/storage/mount_figures.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "os/linux/unique_fd.h"

namespace lumenstat::os {

int statfs_of_mount_point(const char* path, MountFigures& out) {
    out = MountFigures{};
    // O_PATH reaches the mount without reading it or triggering an automount.
    const UniqueFd mount_root(::open(path, O_PATH | O_CLOEXEC));
    if (mount_root.get() < 0) return -1;
    struct statx identity {};
    if (::statx(mount_root.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID,
                &identity) == 0 &&
        (identity.stx_mask & STATX_MNT_ID) != 0) {
        out.mount_id = identity.stx_mnt_id;
    }
    return ::fstatfs(mount_root.get(), &out.figures);
}

}  // namespace lumenstat::os
