#include "memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

#include "support/fake_system.h"

namespace lumenstat {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k32 = std::numeric_limits<darwin::natural_t>::max();

// The installed size, the VM counters and the page size, each call checked
// for the arguments Darwin expects.
struct Machine {
    testing::FakeSystem sys;
    std::uint64_t total = 0;
    darwin::vm_statistics64 vm{};
    long page_size = 16384;

    Machine() {
        sys.on_sysctl = [this](const int* name, unsigned namelen, void* old, std::size_t* len,
                               const void*, std::size_t) {
            EXPECT_TRUE(namelen == 2 && name[0] == darwin::CTL_HW && name[1] == darwin::HW_MEMSIZE);
            return testing::answer_sized({reinterpret_cast<const char*>(&total), 8}, old, len);
        };
        sys.on_host_statistics64 = [this](int flavor, darwin::integer_t* info,
                                          darwin::natural_t* count) {
            EXPECT_TRUE(flavor == darwin::HOST_VM_INFO64 && *count == 38u);
            std::memcpy(info, &vm, sizeof vm);
            return darwin::KERN_SUCCESS;
        };
        sys.on_sysconf = [this](int name) { return name == darwin::SC_PAGESIZE ? page_size : -1; };
    }
};

TEST(MemoryInfo, Formulas) {
    struct Case {
        std::uint64_t total, free_pages, inactive, purgeable;
        long page;
        std::uint64_t available, used, free;
        double percent;
    };
    const Case cases[] = {
        {1ull << 34, 1 << 17, 1 << 18, 3 << 17, 16384, 3ull << 32, 1ull << 32, 1ull << 31, 25.0},
        {0, 1, 2, 3, 4096, 6 * 4096, 0, 4096, 0.0},
        {8192, 1, 1, 1, 4096, 3 * 4096, 0, 4096, 0.0},  // available above total
        {1000, 0, 0, 0, 4096, 0, 1000, 0, 100.0},
        {12 * k32, k32, k32, k32, 1, 3 * k32, 9 * k32, k32, 75.0},  // counts widen before adding
        {kMax, k32, k32, k32, std::numeric_limits<long>::max(), kMax, 0, kMax, 0.0},  // saturated
    };
    for (const Case& c : cases) {
        Machine m;
        m.total = c.total;
        m.vm.free_count = static_cast<darwin::natural_t>(c.free_pages);
        m.vm.inactive_count = static_cast<darwin::natural_t>(c.inactive);
        m.vm.purgeable_count = static_cast<darwin::natural_t>(c.purgeable);
        m.page_size = c.page;
        const MemoryInfo info = get_memory_info(m.sys).value();
        EXPECT_EQ(std::tuple(info.total, info.available, info.used, info.free, info.usage_percent),
                  std::tuple(c.total, c.available, c.used, c.free, c.percent))
            << c.total;
    }
}

TEST(MemoryInfo, Failures) {
    Machine no_total;
    no_total.sys.on_sysctl = [](const int*, unsigned, void*, std::size_t*, const void*,
                                std::size_t) { return errno = EPERM, -1; };
    EXPECT_EQ(get_memory_info(no_total.sys).error(),
              QueryError::sys_call("sysctl HW_MEMSIZE failed"));
    Machine no_vm;
    no_vm.sys.on_host_statistics64 = [](int, darwin::integer_t*, darwin::natural_t*) { return -3; };
    EXPECT_EQ(get_memory_info(no_vm.sys).error(),
              QueryError::sys_call("host_statistics64 failed with error -3"));
    // A failed sysconf taken as an unsigned page size would report exabytes.
    Machine no_page;
    no_page.page_size = -1;
    EXPECT_EQ(get_memory_info(no_page.sys).error(),
              QueryError::sys_call("sysconf _SC_PAGESIZE failed"));
}

}  // namespace
}  // namespace lumenstat
