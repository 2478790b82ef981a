#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <tuple>
#include <vector>

#include "process/kill.h"
#include "process/process_cpu.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
using testing::kMax;
using Times = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // user, system

// A process whose task times (absolute units) step through `task` on
// successive calls; once they run out the task call fails, and the usage
// counters (nanoseconds) answer from `rusage` until those run out too.
struct Process {
    FakeSystem sys;
    Times task, rusage;
    darwin::mach_timebase_info_data_t timebase{1, 1};
    std::size_t task_calls = 0, rusage_calls = 0, sleeps = 0;

    Process() {
        sys.on_proc_pidinfo = [this](int, int, std::uint64_t, void* buffer, int size) {
            if (task_calls >= task.size()) return errno = ESRCH, 0;
            auto* info = static_cast<darwin::proc_taskinfo*>(buffer);
            std::tie(info->pti_total_user, info->pti_total_system) = task[task_calls++];
            return size;
        };
        sys.on_proc_pid_rusage = [this](int, int, void* buffer) {
            if (rusage_calls >= rusage.size()) return errno = ESRCH, -1;
            auto* usage = static_cast<darwin::rusage_info_v2*>(buffer);
            std::tie(usage->ri_user_time, usage->ri_system_time) = rusage[rusage_calls++];
            return 0;
        };
        sys.on_mach_timebase_info = [this](darwin::mach_timebase_info_data_t* info) {
            *info = timebase;
            return darwin::KERN_SUCCESS;
        };
        sys.on_nanosleep = [this](const timespec*, timespec*) { return ++sleeps, 0; };
    }
};

TEST(ProcessCpuTime, TimebaseConversionAndFallBackToUsageCounters) {
    const std::tuple<Times, Times, darwin::mach_timebase_info_data_t, std::optional<std::uint64_t>>
        cases[] = {
            {{{100, 25}}, {}, {1, 1}, 125},
            {{{1'000'000, 0}}, {}, {125, 3}, 41'666'666},  // Apple silicon's 24 MHz timebase
            {{{kMax / 2, 0}}, {}, {4, 1}, kMax - 3},  // a 128-bit product, the quotient's low bits
            {{{kMax, 0}}, {}, {3, 3}, kMax},          // product beyond 64 bits, quotient within
            {{{kMax, 5}}, {}, {1, 1}, kMax},          // saturating sum
            {{{777, 0}}, {}, {5, 0}, 777},            // zero denominator: unconverted
            {{}, {{3'000, 4'000}}, {125, 3}, 7'000},  // no task: the usage counters' nanoseconds
            {{}, {}, {1, 1}, std::nullopt},
        };
    for (const auto& [task, rusage, timebase, ns] : cases) {
        Process p;
        std::tie(p.task, p.rusage, p.timebase) = std::tie(task, rusage, timebase);
        const auto got = process_cpu_time_ns(p.sys, 7);
        EXPECT_EQ(got ? std::optional(*got) : std::nullopt, ns);
    }
}

TEST(ProcessCpuUsage, DividesTheTimeSpentByTheRequestedSpan) {
    constexpr double kGone = -1.0;
    const std::tuple<Times, std::uint64_t, double, std::size_t> cases[] = {
        // task times per sample, span in ms, usage (kGone: not found), sleeps
        {{{0, 0}, {3'000'000'000, 0}}, 1500, 200.0, 1},  // two busy threads
        {{{10, 0}, {5'000, 0}}, 0, 0.0, 0},              // zero span
        {{{5'000, 0}, {10, 0}}, 10, 0.0, 1},             // time went backwards
        {{}, 100, kGone, 0},                             // gone before either sample
        {{{1, 1}}, 100, kGone, 1},                       // gone before the second
    };
    for (const auto& [task, ms, expected, sleeps] : cases) {
        Process p;
        p.task = task;
        const auto usage = get_process_cpu_usage(p.sys, 9, Duration::from_milliseconds(ms));
        EXPECT_EQ(usage.value_or(kGone), expected) << ms;
        EXPECT_EQ(p.sleeps, sleeps) << ms;
    }
}

TEST(KillProcess, SendsSigkillAndMapsErrno) {
    FakeSystem sys;
    std::vector<std::pair<int, int>> sent;
    int next_errno = 0;
    sys.on_kill = [&](int pid, int sig) {
        sent.emplace_back(pid, sig);
        errno = next_errno;
        return next_errno == 0 ? 0 : -1;
    };
    EXPECT_TRUE(kill_process(sys, 1234));
    const std::tuple<int, std::uint32_t, QueryError> failures[] = {
        {EPERM, 1, QueryError::permission_denied("kill pid 1")},
        {ESRCH, 2147483647, QueryError::process_not_found(2147483647)},
        {EINVAL, 77, QueryError::sys_call("kill(77) failed: " + os_error_text(EINVAL))},
        // Pids that would signal a process group or every process are refused unsent.
        {0, 0, QueryError::process_not_found(0)},
        {0, 2147483648u, QueryError::process_not_found(2147483648u)},
        {0, 4294967295u, QueryError::process_not_found(4294967295u)},
    };
    for (const auto& [code, pid, error] : failures) {
        next_errno = code;
        const auto result = kill_process(sys, pid);
        EXPECT_TRUE(!result && result.error() == error) << pid;
    }
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{
                        {1234, SIGKILL}, {1, SIGKILL}, {2147483647, SIGKILL}, {77, SIGKILL}}));
}

}  // namespace
}  // namespace lumenstat
