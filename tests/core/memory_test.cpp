#include "memory.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "core/whole_machine.h"

namespace lumenstat {
namespace {

using testing::kMax;

constexpr std::uint64_t k32 = std::numeric_limits<darwin::natural_t>::max();

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
        testing::WholeMachine m;
        m.memsize = c.total;
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

}  // namespace
}  // namespace lumenstat
