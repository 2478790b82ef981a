// The Linux personality's per-process counters (task information and
// resource usage) compared with this process, and the query scopes that
// bound how long a reading of them is kept.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>

#include <filesystem>
#include <functional>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"
#include "os/linux/process/process_memo.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using namespace std::chrono_literals;
using os::procfs::remembered_stat;
namespace d = darwin;

std::size_t count_entries(const char* path) {
    return std::ranges::distance(std::filesystem::directory_iterator(path));
}

// The CPU time `read` gives for this process lies between this process's own
// before and after it, give or take the clock-tick coarseness of /proc.
void expect_own_cpu_time(const std::function<std::uint64_t()>& read) {
    burn_cpu(30ms);
    const std::uint64_t before = own_cpu_ns(), ns = read(), after = own_cpu_ns();
    const std::uint64_t slack = 2 * 1000000000ull / sysconf(_SC_CLK_TCK);
    EXPECT_TRUE(ns + slack >= before && ns <= after + slack) << before << " " << ns << " " << after;
}

TEST(TaskInfo, OwnTaskAndUsageAgreeWithProc) {
    os::LinuxSystem system;
    d::proc_taskallinfo all{};
    d::rusage_info_v2 usage{};
    expect_own_cpu_time([&] {
        EXPECT_EQ(system.proc_pidinfo(getpid(), d::PROC_PIDTASKINFO, 0, &all.ptinfo, 96), 96);
        return all.ptinfo.pti_total_user + all.ptinfo.pti_total_system;
    });
    expect_own_cpu_time([&] {
        EXPECT_EQ(system.proc_pid_rusage(getpid(), d::RUSAGE_INFO_V2, &usage), 0);
        return usage.ri_user_time + usage.ri_system_time;
    });
    EXPECT_EQ(usage.ri_phys_footprint, usage.ri_resident_size);
    const std::size_t descriptors = count_entries("/proc/self/fd");
    ASSERT_EQ(system.proc_pidinfo(getpid(), d::PROC_PIDTASKALLINFO, 0, &all, sizeof all), 232);
    EXPECT_EQ(all.ptinfo.pti_threadnum, static_cast<int>(count_entries("/proc/self/task")));
    EXPECT_NEAR(all.ptinfo.pti_virtual_size, statm_pages(getpid(), 0) * sysconf(_SC_PAGESIZE),
                16 << 20);
    // The resident size, exactly: on a stopped child in process_table_test.cpp.
    const d::proc_bsdinfo& bsd = all.pbsd;
    const std::uint64_t ticks = std::stoull(stat_fields(getpid()).at(22));
    EXPECT_EQ(std::vector<std::uint64_t>(
                  {bsd.pbi_pid, bsd.pbi_ppid, bsd.pbi_pgid, bsd.pbi_uid, bsd.pbi_start_tvsec}),
              std::vector<std::uint64_t>({std::uint64_t(getpid()), std::uint64_t(getppid()),
                                          std::uint64_t(getpgrp()), geteuid(),
                                          boot_time() + ticks / sysconf(_SC_CLK_TCK)}));
    // Darwin's pbi_nfiles is the size of the descriptor table, not a count.
    EXPECT_TRUE(bsd.pbi_nfiles >= descriptors && bsd.pbi_nfiles % 64 == 0) << bsd.pbi_nfiles;
    EXPECT_EQ(std::string(bsd.pbi_comm, strnlen(bsd.pbi_comm, 16)) + "\n",
              slurp("/proc/self/comm"));
}

// Each per-process call follows libproc: a buffer too short and an unknown
// flavor are refused as such (not as a process that is gone; a caller out of
// descriptors: tests/faults/linux_sweep.py); a thread id that is not its
// process's pid names no process on Darwin and is refused as an unused pid is,
// the argument area with EINVAL, the rest with ESRCH.
TEST(TaskInfo, RefusalsFollowLibproc) {
    std::atomic<pid_t> tid{0};
    std::jthread thread([&](std::stop_token stop) {
        tid = gettid();
        while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(wait_until([&] { return tid != 0; }));
    os::LinuxSystem system;
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    d::proc_taskallinfo all{};
    d::rusage_info_v2 usage{};
    d::socket_fdinfo fd{};
    std::vector<d::proc_fdinfo> fds(4096);
    std::size_t size = 0;
    auto info = [&](int pid, int flavor, void* out, int room) {
        return system.proc_pidinfo(pid, flavor, 0, out, room) > 0;
    };
    auto rusage = [&](int p, int flavor) { return system.proc_pid_rusage(p, flavor, &usage) == 0; };
    auto fdinfo = [&](int p) {
        return system.proc_pidfdinfo(p, socket, d::PROC_PIDFDSOCKETINFO, &fd, sizeof fd) > 0;
    };
    auto args = [&](int p) {
        const int name[] = {d::CTL_KERN, d::KERN_PROCARGS2, p};
        return system.sysctl(name, 3, nullptr, &size, nullptr, 0) == 0;
    };
    // Each call, as whether it answered for a pid; the errno it meets for
    // this process (0: it answers), and for the thread id and an unused pid.
    const std::tuple<const char*, std::function<bool(int)>, int, int> calls[] = {
        {"task", [&](int p) { return info(p, d::PROC_PIDTASKINFO, &all, 96); }, 0, ESRCH},
        {"all", [&](int p) { return info(p, d::PROC_PIDTASKALLINFO, &all, sizeof all); }, 0, ESRCH},
        {"fds", [&](int p) { return info(p, d::PROC_PIDLISTFDS, fds.data(), 4096 * 8); }, 0, ESRCH},
        {"usage", [&](int p) { return rusage(p, d::RUSAGE_INFO_V2); }, 0, ESRCH},
        {"socket", fdinfo, 0, ESRCH},
        {"kill", [&](int p) { return system.kill(p, 0) == 0; }, 0, ESRCH},
        {"args", args, 0, EINVAL},
        {"short", [&](int p) { return info(p, d::PROC_PIDTASKALLINFO, &all, 96); }, ENOMEM, 0},
        {"flavor", [&](int p) { return info(p, 12345, &all, sizeof all); }, EINVAL, 0},
        {"usage flavor", [&](int p) { return rusage(p, 99); }, EINVAL, 0},
    };
    for (const auto& [what, call, own, other] : calls) {
        for (const int pid : {getpid(), tid.load(), 1 << 30}) {
            errno = 0;
            const int error = call(pid) ? 0 : errno;
            EXPECT_TRUE(error == (pid == getpid() ? own : other) || (pid != getpid() && other == 0))
                << what << " " << pid << ": " << error;
        }
    }
    ::close(socket);
}

// Readings kept for the calls of a query live exactly as long as its scope:
// none without a scope, none seen by a scope opened inside it, all gone when
// it closes, whichever way it is left; and are freed with it, not only out of
// sight (a sanitizer's allocator leaves mallinfo2 at 0; the first scope also
// sets up what lasts, a helper thread's arena).
TEST(QueryScope, ReadingsLiveOnlyInTheirScope) {
    os::LinuxSystem system;
    process_table(system);
    EXPECT_EQ(remembered_stat(getpid()), nullptr) << "kept with no scope open";
    {
        os::QueryScope outer(system);
        process_table(system);
        ASSERT_NE(remembered_stat(getpid()), nullptr);
        {
            os::QueryScope inner(system);
            EXPECT_EQ(remembered_stat(getpid()), nullptr) << "inner scope sees the outer's";
        }
        EXPECT_NE(remembered_stat(1), nullptr) << "outer scope lost its readings";
    }
    EXPECT_EQ(remembered_stat(getpid()), nullptr);
    try {
        os::QueryScope scope(system);
        process_table(system);
        throw std::runtime_error("left early");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(remembered_stat(getpid()), nullptr) << "outlived a scope left by an exception";
    std::size_t in_use = 0;
    for (int pass = 0; pass < 2; ++pass) {
        in_use = mallinfo2().uordblks;
        os::QueryScope scope(system, os::ScopeAsks::arguments_of_every_listed_process);
        process_table(system);
    }
    EXPECT_LT(mallinfo2().uordblks, in_use + 16384) << "a scope's readings outlived it";
}

}  // namespace
}  // namespace lumenstat::testing
