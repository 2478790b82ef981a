#include "memory.h"

#include <string>

#include "os/darwin.h"
#include "saturating.h"

namespace lumenstat {

Result<MemoryInfo> get_memory_info(os::System& sys) {
    os::QueryScope scope(sys);
    const int name[2] = {darwin::CTL_HW, darwin::HW_MEMSIZE};
    std::uint64_t total = 0;
    std::size_t length = sizeof total;
    // A value cut short would be a figure nobody installed.
    if (sys.sysctl(name, 2, &total, &length, nullptr, 0) != 0 || length != sizeof total) {
        return std::unexpected(QueryError::sys_call("sysctl HW_MEMSIZE failed"));
    }

    darwin::vm_statistics64 vm{};
    darwin::natural_t count = darwin::HOST_VM_INFO64_COUNT;
    const darwin::kern_return_t status = sys.host_statistics64(
        darwin::HOST_VM_INFO64, reinterpret_cast<darwin::integer_t*>(&vm), &count);
    if (status != darwin::KERN_SUCCESS) {
        return std::unexpected(
            QueryError::sys_call("host_statistics64 failed with error " + std::to_string(status)));
    }

    // A failed sysconf (-1) taken as an unsigned multiplier would report
    // exabytes; no figure at all is the honest answer.
    const long page_size = sys.sysconf(darwin::SC_PAGESIZE);
    if (page_size <= 0) {
        return std::unexpected(QueryError::sys_call("sysconf _SC_PAGESIZE failed"));
    }
    const auto page = static_cast<std::uint64_t>(page_size);

    MemoryInfo info;
    info.total = total;
    const std::uint64_t reclaimable =
        std::uint64_t{vm.free_count} + vm.inactive_count + vm.purgeable_count;
    info.available = saturating_multiply(reclaimable, page);
    info.free = saturating_multiply(vm.free_count, page);
    info.used = total >= info.available ? total - info.available : 0;
    info.usage_percent =
        total != 0 ? static_cast<double>(info.used) / static_cast<double>(total) * 100.0 : 0.0;
    return info;
}

}  // namespace lumenstat
