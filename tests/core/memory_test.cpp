#include "memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct Machine {
    FakeSystem sys;
    std::uint64_t total = 0;
    darwin::vm_statistics64 vm{};
    long page_size = 16384;
    int host_calls = 0;

    Machine() {
        sys.on_sysctl = [this](const int* name, unsigned namelen, void* old, std::size_t* len,
                               const void* newp, std::size_t newlen) {
            EXPECT_EQ(namelen, 2u);
            EXPECT_EQ(name[0], darwin::CTL_HW);
            EXPECT_EQ(name[1], darwin::HW_MEMSIZE);
            EXPECT_EQ(*len, 8u);
            EXPECT_EQ(newp, nullptr);
            EXPECT_EQ(newlen, 0u);
            std::memcpy(old, &total, 8);
            return 0;
        };
        sys.on_host_statistics64 = [this](int flavor, darwin::integer_t* info,
                                          darwin::natural_t* count) {
            ++host_calls;
            EXPECT_EQ(flavor, darwin::HOST_VM_INFO64);
            EXPECT_EQ(*count, 38u);
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
        std::uint64_t total;
        darwin::natural_t free, inactive, purgeable;
        long page;
        MemoryInfo expected;
    };
    constexpr darwin::natural_t k32 = std::numeric_limits<darwin::natural_t>::max();
    const Case cases[] = {
        {"a quarter used",
         1ull << 34,
         1 << 17,
         1 << 18,
         3 << 17,
         16384,
         {1ull << 34, 3ull << 32, 1ull << 32, 1ull << 31, 25.0}},
        {"total 0", 0, 1, 2, 3, 4096, {0, 6 * 4096, 0, 4096, 0.0}},
        {"available above total is kept", 8192, 1, 1, 1, 4096, {8192, 3 * 4096, 0, 4096, 0.0}},
        {"all used", 1000, 0, 0, 0, 4096, {1000, 0, 1000, 0, 100.0}},
        {"counts widen before adding",
         1ull << 62,
         k32,
         k32,
         k32,
         1,
         {1ull << 62, 3ull * k32, (1ull << 62) - 3ull * k32, k32,
          static_cast<double>((1ull << 62) - 3ull * k32) / static_cast<double>(1ull << 62) *
              100.0}},
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
        m.vm.free_count = c.free;
        m.vm.inactive_count = c.inactive;
        m.vm.purgeable_count = c.purgeable;
        // Counters that take no part in any figure.
        m.vm.active_count = 7777;
        m.vm.wire_count = 8888;
        m.vm.speculative_count = 9999;
        m.vm.compressor_page_count = 1234;
        m.page_size = c.page;
        const auto info = get_memory_info(m.sys);
        ASSERT_TRUE(info.has_value()) << c.what;
        EXPECT_EQ(info->total, c.expected.total) << c.what;
        EXPECT_EQ(info->available, c.expected.available) << c.what;
        EXPECT_EQ(info->used, c.expected.used) << c.what;
        EXPECT_EQ(info->free, c.expected.free) << c.what;
        EXPECT_EQ(info->usage_percent, c.expected.usage_percent) << c.what;
    }
}

TEST(MemoryInfo, Failures) {
    {
        Machine m;
        m.sys.on_sysctl = [](const int*, unsigned, void*, std::size_t*, const void*, std::size_t) {
            errno = EPERM;
            return -1;
        };
        const auto info = get_memory_info(m.sys);
        ASSERT_FALSE(info.has_value());
        EXPECT_EQ(info.error(), QueryError::sys_call("sysctl HW_MEMSIZE failed"));
        EXPECT_EQ(m.host_calls, 0);
    }
    for (const darwin::kern_return_t code : {5, -3}) {
        Machine m;
        m.sys.on_host_statistics64 = [code](int, darwin::integer_t*, darwin::natural_t*) {
            return code;
        };
        const auto info = get_memory_info(m.sys);
        ASSERT_FALSE(info.has_value());
        EXPECT_EQ(info.error(), QueryError::sys_call("host_statistics64 failed with error " +
                                                     std::to_string(code)));
    }
    {
        Machine m;
        m.page_size = -1;
        const auto info = get_memory_info(m.sys);
        ASSERT_FALSE(info.has_value());
        EXPECT_EQ(info.error(), QueryError::sys_call("sysconf _SC_PAGESIZE failed"));
    }
}

}  // namespace
}  // namespace lumenstat
