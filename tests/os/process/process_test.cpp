// The Linux personality's process table, argument areas and per-process
// counters (task information and resource usage), compared with this process,
// its children and /proc read the plain way; and the query scopes that bound
// how long a reading of them is kept.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/process/process_stat.h"
#include "os/linux/unique_fd.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using darwin::kinfo_proc;
using os::procfs::remembered_stat;
namespace d = darwin;

const kinfo_proc& entry_of(const std::vector<kinfo_proc>& table, int pid) {
    static const kinfo_proc none{};
    auto found = std::ranges::find(table, pid, &kinfo_proc::p_pid);
    EXPECT_NE(found, table.end()) << "pid " << pid << " not listed";
    return found == table.end() ? none : *found;
}

// The errno of a size probe of `name`, 0 on success.
int probe_errno(os::System& system, std::vector<int> name) {
    std::size_t size = 0;
    errno = 0;
    return system.sysctl(name.data(), name.size(), nullptr, &size, nullptr, 0) == 0 ? 0 : errno;
}

// The arguments of `pid` after the executable's path and its padding, as a
// size probe and the fetch after it give them; empty when either fails.
std::string arguments_of(os::System& system, int pid) {
    const int name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, pid};
    std::size_t size = 0;
    if (system.sysctl(name, 3, nullptr, &size, nullptr, 0) != 0) return {};
    std::string area(size, '\0');
    if (system.sysctl(name, 3, area.data(), &size, nullptr, 0) != 0) return {};
    area.resize(size);
    return area.substr((area.find('\0', 4) + 8) / 8 * 8);
}

// Enough children that the table's stat lines, and the argument areas read
// with them, are read from both ends at once. The states no child of these
// tests is held in (R, S, T and Z are) have their Darwin numbers too.
TEST(ProcessTable, EntriesAgreeWithTheKernel) {
    os::LinuxSystem system;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < 80; ++i) children.emplace_back(new Child(spawn({"/bin/sleep", "60"})));
    // Past its exec a child still runs until sleep has started sleeping.
    for (const auto& c : children)
        ASSERT_TRUE(wait_until([&] { return stat_fields(c->pid)[3] == "S"; }));
    os::QueryScope scope(system, os::ScopeAsks::arguments_of_every_listed_process);
    const auto table = process_table(system);
    for (const auto& child : children) {
        const kinfo_proc& entry = entry_of(table, child->pid);
        EXPECT_EQ(std::tuple(entry.e_ppid, std::string(entry.p_comm), int(entry.p_stat),
                             arguments_of(system, child->pid)),
                  std::tuple(getpid(), std::string("sleep"), darwin::SSLEEP,
                             nul_joined({"/bin/sleep", "60"})));
    }
    const kinfo_proc& self = entry_of(table, getpid());
    EXPECT_EQ(std::pair(self.e_ppid, int(self.p_stat)), std::pair(getppid(), darwin::SRUN));
    const std::uint64_t hz = sysconf(_SC_CLK_TCK),
                        ticks = std::stoull(stat_fields(getpid()).at(22));
    EXPECT_EQ(static_cast<std::uint64_t>(self.p_starttime.tv_sec),
              value_after("/proc/stat", "btime ") + ticks / hz);
    EXPECT_EQ(self.p_starttime.tv_usec, static_cast<std::int32_t>(ticks % hz * 1000000 / hz));
    std::string states;  // Darwin's numbers: SIDL 1, SRUN 2, SSLEEP 3, SSTOP 4, SZOMB 5
    for (char letter : {'D', 't', 'I', 'X', '?'}) {
        states += std::to_string(os::procfs::darwin_process_state(letter)) + " ";
    }
    EXPECT_EQ(states, "3 4 1 0 0 ");
}

// A zombie, and a stopped shell with arguments that are empty, not UTF-8, or
// hold spaces.
TEST(ProcessTable, ZombieAndStoppedChildWithTheirArguments) {
    os::LinuxSystem system;
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    const std::vector<std::string> argv = {"/bin/sh", "-c",          "kill -STOP $$", "name0",
                                           "",        "\xff\xfe ok", "two words"};
    const Child stopped = spawn(argv);
    ASSERT_TRUE(wait_until([&] { return stat_fields(zombie).at(3) == "Z"; }));
    ASSERT_TRUE(wait_until([&] { return stat_fields(stopped.pid).at(3) == "T"; }));
    const auto table = process_table(system);
    const kinfo_proc& sh = entry_of(table, stopped.pid);
    EXPECT_EQ(std::tuple(entry_of(table, zombie).p_stat, sh.p_stat, std::string(sh.p_comm)),
              std::tuple(char(darwin::SZOMB), char(darwin::SSTOP), std::string("sh")));

    // A stopped process's memory holds still: its resident size is exactly
    // the one ps shows (statm's, not the stat line's lagging count), in the
    // table, the usage counters and the task information.
    const std::uint64_t resident =
        std::stoull(fields("/proc/" + std::to_string(stopped.pid) + "/statm").at(1));
    darwin::rusage_info_v2 usage{};
    ASSERT_EQ(system.proc_pid_rusage(stopped.pid, darwin::RUSAGE_INFO_V2, &usage), 0);
    darwin::proc_taskallinfo all{};
    ASSERT_EQ(system.proc_pidinfo(stopped.pid, darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all),
              232);
    const std::uint64_t page = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(std::vector<std::uint64_t>({std::uint64_t(sh.e_xrssize) * page,
                                          usage.ri_resident_size, all.ptinfo.pti_resident_size}),
              std::vector<std::uint64_t>(3, resident * page));

    // A zombie has no arguments left; it fails as Darwin fails it.
    EXPECT_EQ(probe_errno(system, {darwin::CTL_KERN, darwin::KERN_PROCARGS2, zombie}), EINVAL);
    ::waitpid(zombie, nullptr, 0);

    const int name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, stopped.pid};
    std::size_t size = 0;
    ASSERT_EQ(system.sysctl(name, 3, nullptr, &size, nullptr, 0), 0);
    // A probe for one process must not answer the fetch for another.
    ASSERT_EQ(probe_errno(system, {darwin::CTL_KERN, darwin::KERN_PROCARGS2, getpid()}), 0);
    std::string area(size, '\x55');
    ASSERT_EQ(system.sysctl(name, 3, area.data(), &size, nullptr, 0), 0);
    ASSERT_EQ(size, area.size());
    // argc (7, in the machine's little-endian order), the executable's path as
    // exec was given it (not the file the link resolves to), NUL padding to 8
    // bytes, the arguments.
    EXPECT_EQ(area, std::string("\7\0\0\0/bin/sh\0\0\0\0\0", 16) + nul_joined(argv));
    // One byte short fails without writing past the length it was given.
    area.back() = '\x55';
    size = area.size() - 1;
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, area.data(), &size, nullptr, 0) == -1 ? errno : 0, ENOMEM);
    EXPECT_EQ(area.back(), '\x55');
}

// A scope opened to ask every listed process's arguments reads them with the
// table, and each such area answers one call of that scope: a later call,
// and a later scope, read the process as it is then. Any other scope reads
// an area only when it is asked for.
TEST(ProcessArgs, AreaReadWithTheTableAnswersOneCallOfItsScope) {
    os::LinuxSystem system;
    const std::vector<std::string> before = {"/bin/sh", "-c", "kill -STOP $$; exec /bin/sleep 60"};
    const std::string after = nul_joined({"/bin/sleep", "60"});
    for (const bool asked : {true, false}) {
        const Child child = spawn(before);
        ASSERT_TRUE(wait_until([&] { return stat_fields(child.pid).at(3) == "T"; }));
        const std::string cmdline = "/proc/" + std::to_string(child.pid) + "/cmdline";
        {
            os::QueryScope scope(system, asked ? os::ScopeAsks::arguments_of_every_listed_process
                                               : os::ScopeAsks::unknown);
            process_table(system);
            ::kill(child.pid, SIGCONT);
            ASSERT_TRUE(wait_until([&] { return slurp(cmdline) == after; }));
            EXPECT_EQ(arguments_of(system, child.pid), asked ? nul_joined(before) : after);
            EXPECT_EQ(arguments_of(system, child.pid), after);
        }
        os::QueryScope scope(system, os::ScopeAsks::arguments_of_every_listed_process);
        process_table(system);
        EXPECT_EQ(arguments_of(system, child.pid), after);
    }
}

// The CPU time `read` gives for this process lies between this process's own
// before and after it, give or take the clock-tick coarseness of /proc.
void expect_own_cpu_time(const std::function<std::uint64_t()>& read) {
    // std::clock: this process's CPU time, all threads, user and system.
    for (const std::clock_t end = std::clock() + CLOCKS_PER_SEC / 30; std::clock() < end;) {
    }
    auto own_cpu_ns = [] { return std::uint64_t(std::clock()) * (1000000000 / CLOCKS_PER_SEC); };
    const std::uint64_t before = own_cpu_ns(), ns = read(), after = own_cpu_ns();
    const std::uint64_t slack = 2 * 1000000000ull / sysconf(_SC_CLK_TCK);
    EXPECT_TRUE(ns + slack >= before && ns <= after + slack) << before << " " << ns << " " << after;
}

// What the module reads of the task information and usage counters of this
// process: its CPU times, its footprint (the resident size, exactly: on a
// stopped child above) and pbi_nfiles, which on Darwin is the size of the
// descriptor table, not a count.
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
    ASSERT_EQ(system.proc_pidinfo(getpid(), d::PROC_PIDTASKALLINFO, 0, &all, sizeof all), 232);
    EXPECT_TRUE(all.pbsd.pbi_nfiles >= open_descriptors() && all.pbsd.pbi_nfiles % 64 == 0)
        << all.pbsd.pbi_nfiles;
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
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(wait_until([&] { return tid != 0; }));
    os::LinuxSystem system;
    const os::UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    d::proc_taskallinfo all{};
    d::rusage_info_v2 usage{};
    d::socket_fdinfo fd{};
    std::vector<d::proc_fdinfo> fds(4096);
    auto info = [&](int pid, int flavor, void* out, int room) {
        return system.proc_pidinfo(pid, flavor, 0, out, room) > 0;
    };
    auto rusage = [&](int p, int flavor) { return system.proc_pid_rusage(p, flavor, &usage) == 0; };
    auto fdinfo = [&](int p) {
        return system.proc_pidfdinfo(p, socket.get(), d::PROC_PIDFDSOCKETINFO, &fd, sizeof fd) > 0;
    };
    auto args = [&](int p) {
        return probe_errno(system, {d::CTL_KERN, d::KERN_PROCARGS2, p}) == 0;
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
}

// Readings kept for the calls of a query live exactly as long as its scope:
// none without a scope, none seen by a scope opened inside it, all gone when
// it closes; and are freed with it, not only out of
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
