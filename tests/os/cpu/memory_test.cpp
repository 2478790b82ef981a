// The Linux personality's memory counters against /proc/meminfo (the total
// and the figures in bytes: tests/python/test_memory_and_processes.py).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

// The counters give MemAvailable and MemFree to the page through the
// formulas the memory query applies. Memory moves while the test reads, so
// a reading counts only when /proc/meminfo is the same before and after.
TEST(Memory, PageCountsReproduceMemAvailableAndMemFree) {
    os::LinuxSystem system;
    darwin::vm_statistics64 stats{};
    auto* info = reinterpret_cast<darwin::integer_t*>(&stats);
    darwin::natural_t count = darwin::HOST_VM_INFO64_COUNT - 1;
    EXPECT_EQ(system.host_statistics64(darwin::HOST_VM_INFO64, info, &count), 5);
    EXPECT_EQ(stats.free_count, 0u) << "filled a buffer declared too short";
    count = darwin::HOST_VM_INFO64_COUNT;
    EXPECT_NE(system.host_statistics64(99, info, &count), darwin::KERN_SUCCESS);

    const std::uint64_t page = sysconf(_SC_PAGESIZE);
    int checked = 0;
    for (int attempt = 0; attempt < 50 && checked < 3; ++attempt) {
        const std::uint64_t free = meminfo_kib("MemFree"), available = meminfo_kib("MemAvailable");
        count = darwin::HOST_VM_INFO64_COUNT;
        ASSERT_EQ(system.host_statistics64(darwin::HOST_VM_INFO64, info, &count),
                  darwin::KERN_SUCCESS);
        EXPECT_EQ(count, darwin::HOST_VM_INFO64_COUNT);
        if (meminfo_kib("MemFree") != free || meminfo_kib("MemAvailable") != available) continue;
        ++checked;
        EXPECT_EQ(
            page * (std::uint64_t{stats.free_count} + stats.inactive_count + stats.purgeable_count),
            available * 1024 / page * page);
        EXPECT_EQ(page * stats.free_count, std::min(free, available) * 1024 / page * page);
    }
    EXPECT_GT(checked, 0) << "/proc/meminfo never held still";
}

}  // namespace
}  // namespace lumenstat::testing
