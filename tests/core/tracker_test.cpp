#include "process/tracker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/poll_gate.h"
#include "core/whole_machine.h"

namespace lumenstat {
namespace {

using testing::PollGate;
using testing::WholeMachine;

// The machine's sysctl calls so far about argument areas, or about the rest:
// the process table.
std::size_t sysctls(WholeMachine& m, bool arguments) {
    std::size_t n = 0;
    for (const testing::Call& call : m.sys.calls()) {
        n += call.name == "sysctl" && call.subject.starts_with("pid:") == arguments;
    }
    return n;
}

using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

TEST(ChildTracker, ReportsEachDescendantOnceInWalkOrderPollingEveryHalfSecond) {
    auto m = std::make_shared<WholeMachine>();
    m->table.clear();
    // R(10) has A(11) and B(12) in that table order; A has A1(13), B has B1(14).
    // R's parent is A1: a cycle, as Darwin's kernel_task is its own parent,
    // which the walk must neither follow for ever nor report R in.
    m->add_process(10, 13, "root", {});
    m->add_process(11, 10, "a", {});
    m->add_process(99, 1, "stranger", {});
    m->add_process(12, 10, "b", {});
    m->add_process(13, 11, "a1", {});
    m->add_process(14, 12, "b1", {});
    auto gate = PollGate<ChildProcessEvent>::install(m->sys, m);
    auto tracker = start_tracking_children(m->sys, 10, gate->sink());
    ASSERT_TRUE(tracker);
    auto pids = [&] {
        Pairs out;
        for (const auto& e : gate->reports) out.emplace_back(e.pid, e.ppid);
        return out;
    };

    ASSERT_TRUE(gate->polls_ended(1));
    {
        std::lock_guard lock(gate->mutex);
        EXPECT_EQ(pids(), (Pairs{{11, 10}, {12, 10}, {14, 12}, {13, 11}}));
        EXPECT_EQ(gate->reports[0].name, "a");
        // One table read (a size probe and a fetch) per poll, however many
        // processes it visits.
        EXPECT_EQ(sysctls(*m, false), 2u);
        EXPECT_EQ(gate->sleep_requests, (std::vector<std::pair<long, long>>{{0, 500'000'000}}));
        // B1 exits and B2 takes its place under B; a stranger's child is no descendant.
        m->table.erase(m->table.begin() + 5);
        m->add_process(15, 12, "b2", {});
        m->add_process(16, 99, "elsewhere", {});
    }
    gate->next_poll();
    ASSERT_TRUE(gate->polls_ended(2));
    tracker->stop();
    ASSERT_TRUE(gate->thread_ended());
    EXPECT_EQ(pids(), (Pairs{{11, 10}, {12, 10}, {14, 12}, {13, 11}, {15, 12}}));
    // Arguments (a probe and a fetch) are read for new descendants only: four, then B2.
    EXPECT_EQ(sysctls(*m, true), 10u);
}

}  // namespace
}  // namespace lumenstat
