#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <limits>
#include <vector>

#include "process/kill.h"
#include "process/process_cpu.h"
#include "process/process_io.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ProcessIo, DiskBytesOnlyAndNotFoundWhateverErrno) {
    FakeSystem sys;
    sys.on_proc_pid_rusage = [](int pid, int flavor, void* buffer) {
        EXPECT_EQ(flavor, darwin::RUSAGE_INFO_V2);
        if (pid != 42) {
            errno = pid == 1 ? EPERM : ESRCH;
            return -1;
        }
        auto* usage = static_cast<darwin::rusage_info_v2*>(buffer);
        usage->ri_diskio_bytesread = 4096;
        usage->ri_diskio_byteswritten = kMax;
        usage->ri_user_time = 99;
        return 0;
    };
    auto io = get_process_io(sys, 42);
    ASSERT_TRUE(io);
    EXPECT_EQ(io->pid, 42u);
    EXPECT_EQ(io->read_bytes, 4096u);
    EXPECT_EQ(io->write_bytes, kMax);
    EXPECT_EQ(io->read_chars + io->write_chars + io->read_ops + io->write_ops, 0u);
    EXPECT_EQ(get_process_io(sys, 1).error(), QueryError::process_not_found(1));
    EXPECT_EQ(get_process_io(sys, 4'000'000'000u).error(),
              QueryError::process_not_found(4'000'000'000u));
}

// A process whose task times step through `task` (absolute units) on
// successive calls; an empty task list makes the task call fail so that the
// usage counters answer instead.
struct Process {
    FakeSystem sys;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> task;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rusage;
    darwin::mach_timebase_info_data_t timebase{1, 1};
    std::size_t task_calls = 0;
    std::size_t rusage_calls = 0;
    std::vector<timespec> sleeps;

    Process() {
        sys.on_proc_pidinfo = [this](int, int flavor, std::uint64_t, void* buffer, int size) {
            EXPECT_EQ(flavor, darwin::PROC_PIDTASKINFO);
            EXPECT_EQ(size, 96);
            if (task_calls >= task.size()) {
                errno = ESRCH;
                return 0;
            }
            auto* info = static_cast<darwin::proc_taskinfo*>(buffer);
            info->pti_total_user = task[task_calls].first;
            info->pti_total_system = task[task_calls].second;
            ++task_calls;
            return 96;
        };
        sys.on_proc_pid_rusage = [this](int, int, void* buffer) {
            if (rusage_calls >= rusage.size()) {
                errno = ESRCH;
                return -1;
            }
            auto* usage = static_cast<darwin::rusage_info_v2*>(buffer);
            usage->ri_user_time = rusage[rusage_calls].first;
            usage->ri_system_time = rusage[rusage_calls].second;
            ++rusage_calls;
            return 0;
        };
        sys.on_mach_timebase_info = [this](darwin::mach_timebase_info_data_t* info) {
            EXPECT_EQ(info->numer, 1u);  // prefilled before the call
            EXPECT_EQ(info->denom, 1u);
            *info = timebase;
            return darwin::KERN_SUCCESS;
        };
        sys.on_nanosleep = [this](const timespec* request, timespec*) {
            sleeps.push_back(*request);
            return 0;
        };
    }
};

TEST(ProcessCpuTime, TimebaseConversion) {
    struct Case {
        std::uint64_t user, system;
        darwin::mach_timebase_info_data_t timebase;
        std::uint64_t ns;
    };
    const Case cases[] = {
        {100, 25, {1, 1}, 125},
        {1'000'000, 0, {125, 3}, 41'666'666},  // Apple silicon's 24 MHz timebase
        {kMax / 2, 0, {4, 1}, kMax - 3},       // 128-bit product, low 64 bits of the quotient
        {kMax, 0, {3, 3}, kMax},                // product beyond 64 bits, quotient within
        {kMax, 5, {1, 1}, kMax},                // saturating sum
        {777, 0, {5, 0}, 777},                  // zero denominator: unconverted
    };
    for (const Case& c : cases) {
        Process p;
        p.task = {{c.user, c.system}};
        p.timebase = c.timebase;
        EXPECT_EQ(process_cpu_time_ns(p.sys, 7).value(), c.ns) << c.user;
    }
}

TEST(ProcessCpuTime, FallsBackToUsageCountersUnconverted) {
    Process p;
    p.rusage = {{3'000, 4'000}, {kMax, 1}};
    p.timebase = {125, 3};
    EXPECT_EQ(process_cpu_time_ns(p.sys, 7).value(), 7'000u);
    EXPECT_EQ(process_cpu_time_ns(p.sys, 7).value(), kMax);
    EXPECT_EQ(process_cpu_time_ns(p.sys, 7).error(), QueryError::process_not_found(7));
}

TEST(ProcessCpuUsage, DividesByTheRequestedSpan) {
    Process p;
    p.task = {{1'000'000'000, 0}, {1'100'000'000, 150'000'000}};
    auto usage = get_process_cpu_usage(p.sys, 9, Duration::from_milliseconds(500));
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 50.0);  // 0.25 s of CPU over 0.5 s
    ASSERT_EQ(p.sleeps.size(), 1u);
    EXPECT_EQ(p.sleeps[0].tv_sec, 0);
    EXPECT_EQ(p.sleeps[0].tv_nsec, 500'000'000);

    Process threads;
    threads.task = {{0, 0}, {3'000'000'000, 0}};
    EXPECT_DOUBLE_EQ(
        get_process_cpu_usage(threads.sys, 9, Duration::from_milliseconds(1500)).value(), 200.0);
}

TEST(ProcessCpuUsage, ZeroSpanAndBackwardsTimes) {
    Process p;
    p.task = {{10, 0}, {5'000, 0}};
    EXPECT_EQ(get_process_cpu_usage(p.sys, 9, {}).value(), 0.0);
    EXPECT_TRUE(p.sleeps.empty());
    EXPECT_EQ(p.task_calls, 2u);  // both samples are still taken

    Process back;
    back.task = {{5'000, 0}, {10, 0}};
    EXPECT_EQ(get_process_cpu_usage(back.sys, 9, Duration::from_milliseconds(10)).value(), 0.0);
}

TEST(ProcessCpuUsage, ProcessGoneBeforeEitherSample) {
    Process never;
    EXPECT_EQ(get_process_cpu_usage(never.sys, 31, Duration::from_milliseconds(100)).error(),
              QueryError::process_not_found(31));
    EXPECT_TRUE(never.sleeps.empty());

    Process exits;
    exits.task = {{1, 1}};
    EXPECT_EQ(get_process_cpu_usage(exits.sys, 31, Duration::from_milliseconds(100)).error(),
              QueryError::process_not_found(31));
    EXPECT_EQ(exits.sleeps.size(), 1u);
}

TEST(KillProcess, ErrnoOutcomes) {
    FakeSystem sys;
    std::vector<std::pair<int, int>> sent;
    int next_errno = 0;
    sys.on_kill = [&](int pid, int sig) {
        sent.emplace_back(pid, sig);
        if (next_errno == 0) return 0;
        errno = next_errno;
        return -1;
    };
    EXPECT_TRUE(kill_process(sys, 1234));
    next_errno = EPERM;
    EXPECT_EQ(kill_process(sys, 1).error(), QueryError::permission_denied("kill pid 1"));
    next_errno = ESRCH;
    EXPECT_EQ(kill_process(sys, 2147483647).error(), QueryError::process_not_found(2147483647));
    next_errno = EINVAL;
    EXPECT_EQ(kill_process(sys, 77).error(),
              QueryError::sys_call("kill(77) failed: " + os_error_text(EINVAL)));
    const std::vector<std::pair<int, int>> want = {
        {1234, SIGKILL}, {1, SIGKILL}, {2147483647, SIGKILL}, {77, SIGKILL}};
    EXPECT_EQ(sent, want);
}

TEST(KillProcess, GroupAndBroadcastPidsAreRefusedWithoutSignalling) {
    FakeSystem sys;
    int calls = 0;
    sys.on_kill = [&](int, int) {
        ++calls;
        return 0;
    };
    for (std::uint32_t pid : {0u, 2147483648u, 3000000000u, 4294967294u, 4294967295u}) {
        EXPECT_EQ(kill_process(sys, pid).error(), QueryError::process_not_found(pid)) << pid;
    }
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace lumenstat
