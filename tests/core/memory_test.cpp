#include "memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k32 = std::numeric_limits<darwin::natural_t>::max();

struct Machine {
    FakeSystem sys;
    std::uint64_t total = 0;
    darwin::vm_statistics64 vm{};
    long page_size = 16384;
    int host_calls = 0;

    Machine() {
        // Counters that take no part in any figure, set to show it if they did.
        vm.active_count = 7777;
        vm.wire_count = 8888;
        vm.speculative_count = 9999;
        vm.compressor_page_count = 1234;
        sys.on_sysctl = [this](const int* name, unsigned namelen, void* old, std::size_t* len,
                               const void* newp, std::size_t) {
            EXPECT_TRUE(namelen == 2 && name[0] == darwin::CTL_HW && name[1] == darwin::HW_MEMSIZE);
            EXPECT_TRUE(*len == 8 && newp == nullptr);
            std::memcpy(old, &total, 8);
            return 0;
        };
        sys.on_host_statistics64 = [this](int flavor, darwin::integer_t* info,
                                          darwin::natural_t* count) {
            ++host_calls;
            EXPECT_TRUE(flavor == darwin::HOST_VM_INFO64 && *count == 38u);
            std::memcpy(info, &vm, sizeof vm);
            return darwin::KERN_SUCCESS;
        };
        sys.on_sysconf = [this](int name) {
            EXPECT_EQ(name, darwin::SC_PAGESIZE);
            return page_size;
        };
    }
};

TEST(MemoryInfo, Formulas) {
    struct Case {
        const char* what;
        std::uint64_t total, free, inactive, purgeable;
        long page;
        std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, double> expected;
    };
    // total, free, inactive, purgeable pages, page size; total, available, used, free, percent
    const Case cases[] = {
        {"quarter",
         1ull << 34,
         1 << 17,
         1 << 18,
         3 << 17,
         16384,
         {1ull << 34, 3ull << 32, 1ull << 32, 1ull << 31, 25.0}},
        {"total 0", 0, 1, 2, 3, 4096, {0, 6 * 4096, 0, 4096, 0.0}},
        {"available above total", 8192, 1, 1, 1, 4096, {8192, 3 * 4096, 0, 4096, 0.0}},
        {"all used", 1000, 0, 0, 0, 4096, {1000, 0, 1000, 0, 100.0}},
        {"counts widen before adding",
         12 * k32,
         k32,
         k32,
         k32,
         1,
         {12 * k32, 3 * k32, 9 * k32, k32, 75.0}},
        {"products saturate",
         kMax,
         k32,
         k32,
         k32,
         std::numeric_limits<long>::max(),
         {kMax, kMax, 0, kMax, 0.0}},
    };
    for (const Case& c : cases) {
        Machine m;
        m.total = c.total;
        m.vm.free_count = static_cast<darwin::natural_t>(c.free);
        m.vm.inactive_count = static_cast<darwin::natural_t>(c.inactive);
        m.vm.purgeable_count = static_cast<darwin::natural_t>(c.purgeable);
        m.page_size = c.page;
        const auto info = get_memory_info(m.sys);
        ASSERT_TRUE(info.has_value()) << c.what;
        EXPECT_EQ(
            std::tuple(info->total, info->available, info->used, info->free, info->usage_percent),
            c.expected)
            << c.what;
    }
}

TEST(MemoryInfo, Failures) {
    Machine no_total;
    no_total.sys.on_sysctl = [](const int*, unsigned, void*, std::size_t*, const void*,
                                std::size_t) { return errno = EPERM, -1; };
    EXPECT_EQ(get_memory_info(no_total.sys).error(),
              QueryError::sys_call("sysctl HW_MEMSIZE failed"));
    EXPECT_EQ(no_total.host_calls, 0);

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
