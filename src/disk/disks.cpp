#include "disk/disks.h"

#include <algorithm>
#include <limits>

#include "disk/statfs_record.h"

namespace lumenstat {

Result<std::vector<DiskInfo>> get_disks(os::System& sys) {
    os::QueryScope scope(sys);
    // MNT_NOWAIT: the figures the kernel holds, without asking each file
    // system, so that a mount that does not answer cannot stall the listing.
    const int count = sys.getfsstat(nullptr, 0, darwin::kMntNowait);
    if (count < 0) return std::unexpected(QueryError::sys_call("getfsstat failed"));

    // The size argument is an int: a table larger than it can describe is cut there.
    const std::size_t capacity = std::min<std::size_t>(
        static_cast<std::size_t>(count), std::numeric_limits<int>::max() / sizeof(darwin::statfs));
    std::vector<darwin::statfs> table(capacity, darwin::statfs{});
    const int filled = sys.getfsstat(
        table.data(), static_cast<int>(capacity * sizeof(darwin::statfs)), darwin::kMntNowait);
    if (filled < 0) return std::unexpected(QueryError::sys_call("getfsstat failed"));

    std::vector<DiskInfo> disks;
    const std::size_t used = std::min(static_cast<std::size_t>(filled), table.size());
    for (std::size_t i = 0; i < used; ++i) {
        if (auto disk = disk_from_statfs(table[i])) disks.push_back(std::move(*disk));
    }
    return disks;
}

}  // namespace lumenstat
