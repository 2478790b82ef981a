// The Linux personality's process table and argument areas, compared with
// this process, its children and /proc read the plain way.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using darwin::kinfo_proc;

std::vector<kinfo_proc> process_table(os::System& system) {
    int name[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::size_t size = 0;
    EXPECT_EQ(system.sysctl(name, 3, nullptr, &size, nullptr, 0), 0);
    std::vector<kinfo_proc> table(size / sizeof(kinfo_proc));
    std::size_t probed = size;
    EXPECT_EQ(system.sysctl(name, 3, table.data(), &size, nullptr, 0), 0) << std::strerror(errno);
    EXPECT_LE(size, probed);
    EXPECT_EQ(size % sizeof(kinfo_proc), 0u);
    table.resize(size / sizeof(kinfo_proc));
    return table;
}

const kinfo_proc* find(const std::vector<kinfo_proc>& table, int pid) {
    for (const kinfo_proc& entry : table) {
        if (entry.p_pid == pid) {
            return &entry;
        }
    }
    return nullptr;
}

// {ok, area}: the area of `pid` through the probe-then-fetch pair.
std::pair<bool, std::string> args_area(os::System& system, int pid) {
    int name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, pid};
    std::size_t size = 0;
    if (system.sysctl(name, 3, nullptr, &size, nullptr, 0) != 0) {
        return {false, std::strerror(errno)};
    }
    std::string area(size, '\x55');
    std::size_t fetched = size;
    if (system.sysctl(name, 3, area.data(), &fetched, nullptr, 0) != 0) {
        return {false, std::strerror(errno)};
    }
    EXPECT_EQ(fetched, size);
    area.resize(fetched);
    return {true, area};
}

struct ArgsArea {
    std::uint32_t argc = 0;
    std::string exe;
    std::string strings;  // the arguments with their NULs
};

// Reads an area whose argc is trusted: argc, the path, its padding, and the
// argc strings after it.
ArgsArea split(const std::string& area) {
    ArgsArea out;
    std::memcpy(&out.argc, area.data(), 4);
    std::size_t at = 4;
    std::size_t path_end = area.find('\0', at);
    out.exe = area.substr(at, path_end - at);
    std::size_t start = (path_end + 1 + 7) / 8 * 8;
    for (std::size_t i = path_end; i < start; ++i) {
        EXPECT_EQ(area[i], '\0') << "padding byte " << i;
    }
    out.strings = area.substr(start);
    return out;
}

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

TEST(ProcessTable, OwnEntryAgreesWithTheKernel) {
    os::LinuxSystem system;
    auto fields = stat_fields(getpid());
    auto table = process_table(system);
    const kinfo_proc* self = find(table, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->e_ppid, getppid());
    std::string comm = slurp("/proc/self/comm");
    comm.pop_back();  // its newline
    EXPECT_EQ(std::string(self->p_comm), comm);
    EXPECT_EQ(self->p_stat, darwin::SRUN);

    long hz = sysconf(_SC_CLK_TCK);
    std::uint64_t ticks = std::stoull(fields.at(22));
    EXPECT_EQ(static_cast<std::uint64_t>(self->p_starttime.tv_sec), boot_time() + ticks / hz);
    EXPECT_EQ(self->p_starttime.tv_usec, static_cast<std::int32_t>(ticks % hz * 1000000 / hz));

    std::istringstream statm(slurp("/proc/self/statm"));
    long size_pages = 0;
    long resident_pages = 0;
    statm >> size_pages >> resident_pages;
    EXPECT_GT(self->e_xrssize, 0);
    EXPECT_NEAR(self->e_xrssize, std::min(resident_pages, 32767L), 256);

    ASSERT_NE(find(table, getppid()), nullptr);
    EXPECT_EQ(find(table, getppid())->p_pid, getppid());
}

TEST(ProcessTable, TooSmallBufferGetsWholeEntriesAndEnomem) {
    os::LinuxSystem system;
    int name[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::vector<kinfo_proc> buffer(2);
    std::size_t size = sizeof(kinfo_proc) + 100;
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, buffer.data(), &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(size, sizeof(kinfo_proc));
    EXPECT_GT(buffer[0].p_pid, 0);
    EXPECT_EQ(buffer[1].p_pid, 0) << "wrote past the whole entries that fit";

    size = 100;
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, buffer.data(), &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(size, 0u);
}

TEST(ProcessTable, ChildStatesMapToDarwin) {
    os::LinuxSystem system;
    pid_t zombie = fork();
    if (zombie == 0) {
        _exit(0);
    }
    auto stopped = spawn({"/bin/sh", "-c", "read line"});
    ASSERT_NE(stopped, nullptr);
    ::kill(stopped->pid(), SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return stat_fields(zombie).at(3) == "Z"; }));
    ASSERT_TRUE(wait_until([&] { return stat_fields(stopped->pid()).at(3) == "T"; }));
    auto table = process_table(system);
    ASSERT_NE(find(table, zombie), nullptr);
    EXPECT_EQ(find(table, zombie)->p_stat, darwin::SZOMB);
    EXPECT_EQ(find(table, zombie)->e_ppid, getpid());
    ASSERT_NE(find(table, stopped->pid()), nullptr);
    EXPECT_EQ(find(table, stopped->pid())->p_stat, darwin::SSTOP);
    EXPECT_EQ(std::string(find(table, stopped->pid())->p_comm), "sh");

    // A stopped process's memory holds still: its resident size is exactly
    // the one `ps` shows (statm's), in the table and in the usage counters.
    std::istringstream statm(slurp("/proc/" + std::to_string(stopped->pid()) + "/statm"));
    std::uint64_t size_pages = 0;
    std::uint64_t resident_pages = 0;
    statm >> size_pages >> resident_pages;
    EXPECT_EQ(static_cast<std::uint64_t>(find(table, stopped->pid())->e_xrssize), resident_pages);
    darwin::rusage_info_v2 usage{};
    ASSERT_EQ(system.proc_pid_rusage(stopped->pid(), darwin::RUSAGE_INFO_V2, &usage), 0);
    EXPECT_EQ(usage.ri_resident_size, resident_pages * sysconf(_SC_PAGESIZE));

    // A zombie has no arguments left; it fails as Darwin fails it.
    int name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, zombie};
    std::size_t size = 0;
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    ::waitpid(zombie, nullptr, 0);
}

TEST(ProcessArgs, OwnAreaHoldsExecutableAndArguments) {
    os::LinuxSystem system;
    auto [ok, area] = args_area(system, getpid());
    ASSERT_TRUE(ok) << area;
    ArgsArea parsed = split(area);
    std::string cmdline = slurp("/proc/self/cmdline");
    EXPECT_EQ(parsed.strings, cmdline);
    EXPECT_EQ(parsed.argc,
              static_cast<std::uint32_t>(std::count(cmdline.begin(), cmdline.end(), '\0')));
    EXPECT_EQ(parsed.exe, real_path("/proc/self/exe"));

    int name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, getpid()};
    std::string small(area.size() - 1, '\0');
    std::size_t size = small.size();
    errno = 0;
    EXPECT_EQ(system.sysctl(name, 3, small.data(), &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(ProcessArgs, ChildArgumentsComeBackByteForByte) {
    os::LinuxSystem system;
    std::vector<std::string> argv = {"/bin/sh", "-c",          "read line", "name0",
                                     "",        "\xff\xfe ok", "two words"};
    auto child = spawn(argv);
    ASSERT_NE(child, nullptr);
    std::string expected;
    for (const std::string& arg : argv) {
        expected += arg;
        expected.push_back('\0');
    }

    auto [ok, area] = args_area(system, child->pid());
    ASSERT_TRUE(ok) << area;
    ArgsArea parsed = split(area);
    EXPECT_EQ(parsed.argc, argv.size());
    EXPECT_EQ(parsed.strings, expected);
    EXPECT_EQ(parsed.exe, real_path("/bin/sh"));

    // A probe for one process must not answer the fetch for another.
    int self_name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, getpid()};
    int child_name[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, child->pid()};
    std::size_t size = 0;
    ASSERT_EQ(system.sysctl(self_name, 3, nullptr, &size, nullptr, 0), 0);
    std::string fetched(area.size(), '\0');
    size = fetched.size();
    ASSERT_EQ(system.sysctl(child_name, 3, fetched.data(), &size, nullptr, 0), 0);
    EXPECT_EQ(fetched, area);
}

TEST(ProcessArgs, AbsentProcessAndUnknownNamesFail) {
    os::LinuxSystem system;
    int absent[] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, 1 << 30};
    std::size_t size = 0;
    errno = 0;
    EXPECT_EQ(system.sysctl(absent, 3, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);

    int unknown[] = {darwin::CTL_KERN, 9999};
    errno = 0;
    EXPECT_EQ(system.sysctl(unknown, 2, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);

    int table[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::uint64_t value = 0;
    errno = 0;
    EXPECT_EQ(system.sysctl(table, 3, nullptr, &size, &value, sizeof value), -1);
    EXPECT_EQ(errno, EPERM);
}

}  // namespace
}  // namespace lumenstat::testing
