// The Linux personality's process table and argument areas, compared with
// this process, its children and /proc read the plain way.
#include <gtest/gtest.h>

#include <memory>

#include "os/linux/linux_system.h"
#include "os/linux/process/process_stat.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using darwin::kinfo_proc;

const kinfo_proc& entry_of(const std::vector<kinfo_proc>& table, int pid) {
    static const kinfo_proc none{};
    auto found = std::ranges::find(table, pid, &kinfo_proc::p_pid);
    EXPECT_NE(found, table.end()) << "pid " << pid << " not listed";
    return found == table.end() ? none : *found;
}

// The errno of a size probe of `name` (with a value to set, if given), 0 on success.
int probe_errno(os::System& system, std::vector<int> name, const void* newp = nullptr) {
    std::size_t size = 0;
    errno = 0;
    const int result = system.sysctl(name.data(), name.size(), nullptr, &size, newp, newp ? 8 : 0);
    return result == 0 ? 0 : errno;
}

// The arguments of `pid` after the executable's path and its padding, as a
// size probe and the fetch after it give them; empty when they fail.
std::string arguments_of(os::System& system, int pid) {
    const std::string area = args_area(system, pid);
    return area.empty() ? area : area.substr((area.find('\0', 4) + 8) / 8 * 8);
}

// Enough children that the table's stat lines, and the argument areas read
// with them, are read from both ends at once. The states no child of these
// tests is held in (R, S, T and Z are) have their Darwin numbers too.
TEST(ProcessTable, EntriesAgreeWithTheKernel) {
    os::LinuxSystem system;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < 80; ++i) children.emplace_back(new Child(spawn({"/bin/sleep", "60"})));
    // Past its exec a child still runs until sleep has started sleeping.
    for (const auto& child : children) {
        ASSERT_TRUE(wait_until([&] { return stat_fields(child->pid).at(3) == "S"; }));
    }
    os::QueryScope scope(system, os::ScopeAsks::arguments_of_every_listed_process);
    const auto table = process_table(system);
    for (const auto& child : children) {
        const kinfo_proc& entry = entry_of(table, child->pid);
        EXPECT_EQ(entry.e_ppid, getpid());
        EXPECT_STREQ(entry.p_comm, "sleep");
        EXPECT_EQ(entry.p_stat, darwin::SSLEEP) << child->pid;
        EXPECT_EQ(arguments_of(system, child->pid), nul_joined({"/bin/sleep", "60"}));
    }
    const kinfo_proc& self = entry_of(table, getpid());
    EXPECT_EQ(self.e_ppid, getppid());
    EXPECT_EQ(self.p_stat, darwin::SRUN);
    const std::uint64_t hz = sysconf(_SC_CLK_TCK),
                        ticks = std::stoull(stat_fields(getpid()).at(22));
    EXPECT_EQ(static_cast<std::uint64_t>(self.p_starttime.tv_sec), boot_time() + ticks / hz);
    EXPECT_EQ(self.p_starttime.tv_usec, static_cast<std::int32_t>(ticks % hz * 1000000 / hz));
    for (auto [letter, state] : {std::pair{'D', darwin::SSLEEP},
                                 {'t', darwin::SSTOP},
                                 {'I', darwin::SIDL},
                                 {'X', 0},
                                 {'?', 0}}) {
        EXPECT_EQ(os::procfs::darwin_process_state(letter), state) << letter;
    }
}

// A buffer too small gets the whole entries that fit and ENOMEM; a value to
// set, or a name unknown, fails. An unused pid: process_task_test.cpp.
TEST(ProcessTable, TooSmallBufferGetsWholeEntriesWritesAndUnknownNamesFail) {
    os::LinuxSystem system;
    const int name[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::vector<kinfo_proc> buffer(2);
    for (auto [given, kept] : {std::pair{sizeof(kinfo_proc) + 100, sizeof(kinfo_proc)},
                               std::pair{std::size_t{100}, std::size_t{0}}}) {
        errno = 0;
        EXPECT_EQ(system.sysctl(name, 3, buffer.data(), &given, nullptr, 0), -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_EQ(given, kept);
    }
    EXPECT_GT(buffer[0].p_pid, 0);
    EXPECT_EQ(buffer[1].p_pid, 0) << "wrote past the whole entries that fit";
    const std::uint64_t value = 0;
    EXPECT_EQ(probe_errno(system, {name[0], name[1], name[2]}, &value), EPERM);
    EXPECT_EQ(probe_errno(system, {darwin::CTL_KERN, 9999}), ENOENT);
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
    EXPECT_EQ(entry_of(table, zombie).p_stat, darwin::SZOMB);
    EXPECT_EQ(entry_of(table, zombie).e_ppid, getpid());
    const kinfo_proc& sh = entry_of(table, stopped.pid);
    EXPECT_EQ(sh.p_stat, darwin::SSTOP);
    EXPECT_EQ(std::string(sh.p_comm), "sh");

    // A stopped process's memory holds still: its resident size is exactly
    // the one ps shows (statm's, not the stat line's lagging count), in the
    // table, the usage counters and the task information.
    const std::uint64_t resident = statm_pages(stopped.pid, 1);
    EXPECT_EQ(static_cast<std::uint64_t>(sh.e_xrssize), resident);
    darwin::rusage_info_v2 usage{};
    ASSERT_EQ(system.proc_pid_rusage(stopped.pid, darwin::RUSAGE_INFO_V2, &usage), 0);
    darwin::proc_taskallinfo all{};
    ASSERT_EQ(system.proc_pidinfo(stopped.pid, darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all),
              232);
    EXPECT_EQ(usage.ri_resident_size, resident * sysconf(_SC_PAGESIZE));
    EXPECT_EQ(all.ptinfo.pti_resident_size, resident * sysconf(_SC_PAGESIZE));

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
    // argc, the executable's path as exec was given it (not the file the
    // link resolves to), NUL padding to 8 bytes, the arguments.
    const std::uint32_t argc = argv.size();
    std::string expected(reinterpret_cast<const char*>(&argc), 4);
    expected += "/bin/sh";
    expected.resize((expected.size() + 8) / 8 * 8, '\0');
    EXPECT_EQ(area, expected + nul_joined(argv));
    // One byte short fails without writing past the length it was given.
    area.back() = '\x55';
    size = area.size() - 1;
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, area.data(), &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
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

}  // namespace
}  // namespace lumenstat::testing
