// The CPU text parsers of the Linux personality on texts of other machines
// than this one: other architectures, hot-plugged CPUs, older kernels.
#include "os/linux/cpu/cpu_parse.h"

#include <gtest/gtest.h>

namespace lumenstat::os::linux_cpu {
namespace {

TEST(CpuParse, CpuinfoOfAnSmtX86AndOfAnArm64) {
    const auto x86 = parse_cpuinfo(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU\n"
        "cpu MHz\t\t: 2400.000\nphysical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 1\nvendor_id\t: Other\nmodel name\t: Not the first\n"
        "physical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 2\nphysical id\t: 1\ncore id\t\t: 0\n\n"
        "processor\t: 5\nphysical id\t: 1\ncore id\t\t: 3\n\n");
    EXPECT_EQ(x86.cpus, (std::vector<unsigned>{0, 1, 2, 5}));
    EXPECT_EQ(x86.cores, 3u);  // (0,0) twice, (1,0), (1,3)
    EXPECT_EQ(x86.brand, "Intel(R) Xeon(R) CPU");
    EXPECT_EQ(x86.vendor, "GenuineIntel");
    EXPECT_EQ(x86.mhz, "2400.000");

    const auto arm = parse_cpuinfo(
        "processor\t: 0\nBogoMIPS\t: 48.00\nCPU implementer\t: 0x41\n\n"
        "processor\t: 1\nBogoMIPS\t: 48.00\n\n");
    EXPECT_EQ(arm.cpus.size(), 2u);
    EXPECT_EQ(arm.cores, 0u);  // no placement: the sysfs topology must answer
    EXPECT_FALSE(arm.brand || arm.vendor || arm.mhz);

    // One processor without a placement leaves the count to the topology too.
    EXPECT_EQ(parse_cpuinfo("processor : 0\nphysical id : 0\ncore id : 0\n\n"
                            "processor : 1\ncore id : 1\n\n")
                  .cores,
              0u);
}

TEST(CpuParse, CpuLists) {
    EXPECT_EQ(parse_cpu_list("0-3,6,8-9\n"), (std::vector<unsigned>{0, 1, 2, 3, 6, 8, 9}));
    for (const char* bad : {"", "\n", "3-1", "0-", "-1", "a", "0,,1", "0-99999999", "1 2"}) {
        EXPECT_TRUE(parse_cpu_list(bad).empty()) << bad;
    }
}

TEST(CpuParse, ProcStatLinesOfOldAndNewKernels) {
    std::vector<Ticks> cpus;
    ASSERT_TRUE(parse_proc_stat_cpus(
        "cpu  9 9 9 9 9 9 9 9 9 9\n"
        "cpu0 100 5 20 1000 7 1 2 3 50 4\n"  // guest time stays inside user and nice
        "cpu3 1 2 3 4\n"                     // a kernel without iowait and later columns
        "intr 1 2 3\ncpu9 1 1 1 1\n",        // lines after the cpu block are not read
        cpus));
    ASSERT_EQ(cpus.size(), 2u);
    EXPECT_EQ(cpus[0], (Ticks{100, 20 + 1 + 2 + 3, 1000 + 7, 5}));
    EXPECT_EQ(cpus[1], (Ticks{1, 3, 4, 2}));

    EXPECT_FALSE(parse_proc_stat_cpus("cpu0 1 2 3\n", cpus));
    EXPECT_FALSE(parse_proc_stat_cpus("cpu0 1 2 x 4\n", cpus));
}

}  // namespace
}  // namespace lumenstat::os::linux_cpu
