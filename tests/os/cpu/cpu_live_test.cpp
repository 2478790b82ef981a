// What the Linux personality adds beyond the values the Python tests compare
// with /proc: Darwin's sysctl size protocol, the topology behind the core
// count and the ownership of tick arrays.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/cpu_info.h"
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

}  // namespace
}  // namespace lumenstat::testing
