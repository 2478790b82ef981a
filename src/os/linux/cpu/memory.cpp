// Physical memory from /proc/meminfo: the installed total ({CTL_HW,
// HW_MEMSIZE}) and the Mach page counters (host_statistics64).
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"
#include "os/linux/process/process_stat.h"
#include "os/linux/sysctl_handlers.h"

namespace lumenstat::os {

namespace {

constexpr darwin::kern_return_t kern_invalid_argument = 4;
constexpr darwin::kern_return_t kern_failure = 5;

// The /proc/meminfo lines used, in bytes.
struct Meminfo {
    std::uint64_t total = 0;
    std::uint64_t free = 0;
    std::uint64_t available = 0;
    std::uint64_t active = 0;
    std::uint64_t inactive_file = 0;
    std::uint64_t unevictable = 0;
    std::uint64_t anon = 0;
    std::uint64_t file = 0;  // Cached
    std::uint64_t unreclaimable_slab = 0;
    std::uint64_t kernel_stack = 0;
    std::uint64_t page_tables = 0;
};

bool read_meminfo(Meminfo& info) {
    char buffer[8192];
    long n = procfs::read_file(AT_FDCWD, "/proc/meminfo", buffer, sizeof buffer);
    if (n < 0) {
        return false;
    }
    std::string_view text(buffer, static_cast<std::size_t>(n));
    struct Line {
        std::string_view key;
        std::uint64_t Meminfo::*field;
        bool required;
    };
    static constexpr Line lines[] = {
        {"MemTotal:", &Meminfo::total, true},
        {"MemFree:", &Meminfo::free, true},
        {"MemAvailable:", &Meminfo::available, true},
        {"Active:", &Meminfo::active, false},
        {"Inactive(file):", &Meminfo::inactive_file, false},
        {"Unevictable:", &Meminfo::unevictable, false},
        {"AnonPages:", &Meminfo::anon, false},
        {"Cached:", &Meminfo::file, false},
        {"SUnreclaim:", &Meminfo::unreclaimable_slab, false},
        {"KernelStack:", &Meminfo::kernel_stack, false},
        {"PageTables:", &Meminfo::page_tables, false},
    };
    for (const Line& line : lines) {
        std::uint64_t kib = 0;
        if (!procfs::keyed_u64(text, line.key, kib)) {
            if (line.required) {
                errno = EIO;
                return false;
            }
            continue;
        }
        info.*line.field = kib > UINT64_MAX / 1024 ? UINT64_MAX : kib * 1024;
    }
    return true;
}

darwin::natural_t pages(std::uint64_t bytes, std::uint64_t page) {
    return static_cast<darwin::natural_t>(std::min<std::uint64_t>(bytes / page, UINT32_MAX));
}

}  // namespace

int procfs::hw_memsize(void* oldp, std::size_t* oldlenp) {
    Meminfo info;
    if (!read_meminfo(info)) {
        return -1;
    }
    std::uint64_t total = info.total;
    return copy_out(&total, sizeof total, oldp, oldlenp);
}

// The caller computes available memory as page size x (free + inactive +
// purgeable) and free memory as page size x free. The counts are chosen so
// that these give MemAvailable and MemFree to the page: free is MemFree,
// inactive the inactive file cache that MemAvailable counts, and purgeable
// the rest of MemAvailable (the other reclaimable cache and slab). Should
// MemAvailable fall below MemFree (the kernel holds back reserves), free is
// lowered to it, so that available stays exact and free never exceeds it.
// The other counts describe Linux's lists where they have a Darwin match and
// enter no formula.
darwin::kern_return_t LinuxSystem::host_statistics64(int flavor, darwin::integer_t* info,
                                                     darwin::natural_t* count) {
    if (flavor != darwin::HOST_VM_INFO64) {
        return kern_invalid_argument;
    }
    if (info == nullptr || count == nullptr || *count < darwin::HOST_VM_INFO64_COUNT) {
        return kern_failure;
    }
    Meminfo meminfo;
    if (!read_meminfo(meminfo)) {
        return kern_failure;
    }
    const std::uint64_t page = procfs::page_size();
    const std::uint64_t available = meminfo.available / page;
    const std::uint64_t free = std::min(meminfo.free / page, available);
    const std::uint64_t reclaimable = available - free;
    const std::uint64_t inactive = std::min(meminfo.inactive_file / page, reclaimable);

    darwin::vm_statistics64 stats{};
    stats.free_count = static_cast<darwin::natural_t>(std::min<std::uint64_t>(free, UINT32_MAX));
    stats.inactive_count =
        static_cast<darwin::natural_t>(std::min<std::uint64_t>(inactive, UINT32_MAX));
    stats.purgeable_count =
        static_cast<darwin::natural_t>(std::min<std::uint64_t>(reclaimable - inactive, UINT32_MAX));
    stats.active_count = pages(meminfo.active, page);
    stats.wire_count = pages(meminfo.unevictable + meminfo.unreclaimable_slab +
                                 meminfo.kernel_stack + meminfo.page_tables,
                             page);
    stats.internal_page_count = pages(meminfo.anon, page);
    stats.external_page_count = pages(meminfo.file, page);
    std::memcpy(info, &stats, sizeof stats);
    *count = darwin::HOST_VM_INFO64_COUNT;
    return darwin::KERN_SUCCESS;
}

}  // namespace lumenstat::os
