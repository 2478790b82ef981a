// What the Linux personality adds beyond the values the Python tests compare
// with /proc: Darwin's sysctl size protocol, the topology behind the core
// count, the ownership of tick arrays, and per-CPU usage against this
// process's own measured CPU time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "cpu/cpu_info.h"
#include "cpu/cpu_usage.h"
#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

os::LinuxSystem linux_system;

TEST(CpuSysctl, PhysicalCoresAreTheDistinctTopologyCores) {
    std::vector<std::string> cores;
    for (long cpu = 0; cpu < sysconf(_SC_NPROCESSORS_ONLN); ++cpu) {
        const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        cores.push_back(slurp(dir + "physical_package_id") + ":" + slurp(dir + "core_id"));
    }
    if (cores.front() == ":") GTEST_SKIP() << "no CPU topology in /sys";
    std::ranges::sort(cores);
    const auto distinct = std::unique(cores.begin(), cores.end()) - cores.begin();
    EXPECT_EQ(get_cpu_info(linux_system)->physical_cores, static_cast<std::uint32_t>(distinct));
}

TEST(CpuSysctl, DarwinSizeProtocol) {
    // The result, and errno on failure, of reading `name` into `length` bytes of `out`.
    auto read = [](const char* name, void* out, std::size_t& length, const void* newp = nullptr) {
        errno = 0;
        const int result = linux_system.sysctlbyname(name, out, &length, newp, newp ? 4 : 0);
        return result == 0 ? 0 : errno;
    };
    std::size_t size = 0;
    EXPECT_EQ(read("hw.logicalcpu", nullptr, size), 0);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(read("machdep.cpu.vendor", nullptr, size), 0) << "no vendor_id in /proc/cpuinfo";
    // One byte short fails without writing past it; the probed size fits, NUL included.
    std::vector<char> text(size, 'x');
    std::size_t length = size - 1;
    EXPECT_EQ(read("machdep.cpu.vendor", text.data(), length), ENOMEM);
    EXPECT_EQ(text.back(), 'x');
    length = size;
    ASSERT_EQ(read("machdep.cpu.vendor", text.data(), length), 0);
    EXPECT_EQ(length, size);
    EXPECT_EQ(std::strlen(text.data()), size - 1);
    EXPECT_EQ(read("kern.ostype", nullptr, size), ENOENT);
    EXPECT_EQ(read("", nullptr, size), ENOENT);
    const std::int32_t value = 1;
    EXPECT_EQ(read("hw.logicalcpu", nullptr, size, &value), EPERM);
}

TEST(CpuTicks, ArrayIsReturnedToTheSystemOnce) {
    darwin::natural_t count = 0, elements = 0;
    darwin::integer_t* info = nullptr;
    ASSERT_EQ(
        linux_system.host_processor_info(darwin::PROCESSOR_CPU_LOAD_INFO, &count, &info, &elements),
        darwin::KERN_SUCCESS);
    EXPECT_EQ(elements, count * 4);
    EXPECT_EQ(linux_system.vm_deallocate(info, elements * 4), darwin::KERN_SUCCESS);
    // A second release or a foreign address is refused instead of corrupting the heap.
    EXPECT_NE(linux_system.vm_deallocate(info, elements * 4), darwin::KERN_SUCCESS);
    int foreign = 0;
    EXPECT_NE(linux_system.vm_deallocate(&foreign, 4), darwin::KERN_SUCCESS);
    EXPECT_NE(linux_system.host_processor_info(99, &count, &info, &elements), darwin::KERN_SUCCESS);
}

// The machine may be shared, so the spinning thread's share is measured
// rather than assumed: the CPUs must have been busy for at least the CPU time
// this process used. Tick counters are 10 ms coarse, hence the slack.
TEST(CpuUsage, BusyThreadShowsUpPerCpu) {
    const Duration span = Duration::from_milliseconds(400);
    std::jthread busy([](std::stop_token stop) {
        for (volatile std::uint64_t n = 0; !stop.stop_requested();) n = n + 1;
    });

    const std::uint64_t before = own_cpu_ns();
    auto per_cpu = get_cpu_usage(linux_system, span);
    const double used = static_cast<double>(own_cpu_ns() - before) / 1e9;
    ASSERT_TRUE(per_cpu) << per_cpu.error().debug();
    const std::size_t cpus = per_cpu->size();
    ASSERT_EQ(cpus, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_TRUE(std::ranges::all_of(*per_cpu, [](double u) { return u >= 0.0 && u <= 100.0; }));
    const double busy_seconds =
        std::accumulate(per_cpu->begin(), per_cpu->end(), 0.0) / 100.0 * span.as_seconds();
    EXPECT_GT(used, 0.0);
    EXPECT_GE(busy_seconds, used - 0.02 * static_cast<double>(cpus) - 0.01);
}

}  // namespace
}  // namespace lumenstat::testing
