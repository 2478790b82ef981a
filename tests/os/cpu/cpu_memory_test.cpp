// The Linux personality's CPU and memory answers: its text parsers on texts of
// other machines than this one (other architectures, hot-plugged CPUs, older
// kernels), and what it adds beyond the figures the Python tests compare with
// /proc: the page counts behind the memory figures.
#include <gtest/gtest.h>

#include "os/linux/cpu/cpu_parse.h"
#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

namespace lc = os::linux_cpu;
os::LinuxSystem linux_system;

TEST(CpuParse, CpuinfoOfAnSmtX86AndOfAnArm64) {
    const auto x86 = lc::parse_cpuinfo(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU\n"
        "cpu MHz\t\t: 2400.000\nphysical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 1\nvendor_id\t: Other\nmodel name\t: Not the first\n"
        "physical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 2\nphysical id\t: 1\ncore id\t\t: 0\n\n"
        "processor\t: 5\nphysical id\t: 1\ncore id\t\t: 3\n\n");
    EXPECT_EQ(x86.cpus, (std::vector<unsigned>{0, 1, 2, 5}));
    EXPECT_EQ(x86.cores, 3u);  // (0,0) twice, (1,0), (1,3)
    EXPECT_EQ(x86.brand.value_or("") + "|" + x86.vendor.value_or("") + "|" + x86.mhz.value_or(""),
              "Intel(R) Xeon(R) CPU|GenuineIntel|2400.000");
    // No placement: the sysfs topology must answer.
    const auto arm = lc::parse_cpuinfo(
        "processor\t: 0\nBogoMIPS\t: 48.00\nCPU implementer\t: 0x41\n\n"
        "processor\t: 1\nBogoMIPS\t: 48.00\n\n");
    EXPECT_TRUE(arm.cpus.size() == 2 && arm.cores == 0 && !arm.brand && !arm.vendor && !arm.mhz);
    EXPECT_EQ(lc::parse_cpu_list("0-3,6,8-9\n"), (std::vector<unsigned>{0, 1, 2, 3, 6, 8, 9}));
    for (const char* bad : {"", "3-1", "0-", "-1", "a", "0,,1", "0-99999999", "1 2"}) {
        EXPECT_TRUE(lc::parse_cpu_list(bad).empty()) << bad;
    }
}

TEST(CpuParse, ProcStatLinesOfOldAndNewKernels) {
    std::vector<lc::Ticks> cpus;
    ASSERT_TRUE(lc::parse_proc_stat_cpus(
        "cpu  9 9 9 9 9 9 9 9 9 9\n"
        "cpu0 100 5 20 1000 7 1 2 3 50 4\n"  // guest time stays inside user and nice
        "cpu3 1 2 3 4\n"                     // a kernel without iowait and later columns
        "intr 1 2 3\ncpu9 1 1 1 1\n",        // lines after the cpu block are not read
        cpus));
    EXPECT_EQ(cpus, (std::vector<lc::Ticks>{{100, 20 + 1 + 2 + 3, 1000 + 7, 5}, {1, 3, 4, 2}}));
    EXPECT_FALSE(lc::parse_proc_stat_cpus("cpu0 1 2 3\n", cpus));
    EXPECT_FALSE(lc::parse_proc_stat_cpus("cpu0 1 2 x 4\n", cpus));
}

// The page counts give MemAvailable and MemFree to the page through the
// formulas the memory query applies. Memory moves while the test reads, so
// a reading counts only when /proc/meminfo is the same before and after.
TEST(Memory, PageCountsReproduceMemAvailableAndMemFree) {
    darwin::vm_statistics64 stats{};
    auto* info = reinterpret_cast<darwin::integer_t*>(&stats);
    darwin::natural_t count = darwin::HOST_VM_INFO64_COUNT - 1;
    EXPECT_EQ(linux_system.host_statistics64(darwin::HOST_VM_INFO64, info, &count), 5);
    EXPECT_EQ(stats.free_count, 0u) << "filled a buffer declared too short";
    const std::uint64_t page = sysconf(_SC_PAGESIZE);
    int checked = 0;
    const auto kib = [](const char* key) { return value_after("/proc/meminfo", key); };
    for (int attempt = 0; attempt < 50 && checked < 3; ++attempt) {
        const std::uint64_t free = kib("MemFree:"), available = kib("MemAvailable:");
        count = darwin::HOST_VM_INFO64_COUNT;
        ASSERT_EQ(linux_system.host_statistics64(darwin::HOST_VM_INFO64, info, &count),
                  darwin::KERN_SUCCESS);
        if (kib("MemFree:") != free || kib("MemAvailable:") != available) continue;
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
