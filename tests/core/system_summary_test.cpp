#include "system_summary.h"

#include <gtest/gtest.h>

#include "core/whole_machine.h"

namespace lumenstat {
namespace {

// The socket listing is kept for a second: a shorter sample finds it again
// after the sleep, a longer one lists afresh, and only the total is taken
// from that later listing.
TEST(SystemSummary, TheSocketTotalIsAskedAgainAfterTheSample) {
    const std::pair<Duration, std::uint64_t> cases[] = {{{0, 300'000'000}, 5},
                                                        {{1, 500'000'000}, 6}};
    for (const auto& [sample, total] : cases) {
        testing::WholeMachine m;
        m.sys.on_nanosleep = [&m, sleep = m.sys.on_nanosleep](const timespec* r, timespec* left) {
            m.sockets.processes[1].fds.push_back(testing::listener(9, 9999));
            return sleep(r, left);
        };
        SocketCache cache;
        const SystemSummary summary = get_system_summary(m.sys, sample, cache).value();
        EXPECT_EQ(summary.connections.size(), 5u);
        EXPECT_EQ(summary.socket_summary.listen, 2u);
        EXPECT_EQ(summary.socket_summary.total, total);
        EXPECT_EQ(summary.cpu_usage.size(), 2u);
    }
}

}  // namespace
}  // namespace lumenstat
