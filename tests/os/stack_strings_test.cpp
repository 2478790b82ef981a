#include "os/linux/stack_strings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/personality.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/linux/linux_system.h"
#include "os/linux/process_stat.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using os::procfs::arguments_as_exec_left_them;
using os::procfs::exec_path_at_stack_top;
using os::procfs::ProcessStat;
using os::procfs::StackStrings;

using namespace std::string_view_literals;

TEST(StackStrings, TakenOnlyAsExecLaysThemOut) {
    // The path's NUL 9 bytes below a page boundary, 8 zero bytes after it.
    const std::uint64_t page = 4096, env_end = 3 * page - 9 - 4;
    const struct {
        std::string_view tail;
        std::uint64_t env_end;
        std::optional<std::string_view> path;
    } tails[] = {
        {"/bin\0\0\0\0\0\0\0\0\0"sv, env_end, "/bin"},
        {"\0\0\0\0\0\0\0\0\0"sv, 3 * page - 9, ""},
        {"/bin\0\0\0\0\0\0\0\0\0"sv, env_end + 1, std::nullopt},  // not at the top
        {"/bin\0\0\0\0\0\0\0\1\0"sv, env_end, std::nullopt},      // not followed by zeros
        {"/bin\0\0\0\0\0\0\0\0"sv, env_end, std::nullopt},        // cut short
        {"/binary"sv, env_end, std::nullopt},                     // no end in sight
    };
    for (const auto& row : tails) {
        EXPECT_EQ(exec_path_at_stack_top(row.tail, row.env_end, page), row.path)
            << row.tail.size() << " bytes at " << row.env_end;
    }
    EXPECT_EQ(exec_path_at_stack_top("/bin\0\0\0\0\0\0\0\0\0"sv, env_end, 0), std::nullopt);

    const std::uint64_t start = 0x7ffc0000;
    const struct {
        std::string_view arguments;
        std::uint64_t argc, first;
        bool taken;
    } areas[] = {
        {"sh\0-c\0\0"sv, 3, start, true},      // an empty argument is a string too
        {"sh\0-c\0\0"sv, 3, start + 3, false},  // argv[0] moved
        {"sh\0-cx"sv, 2, start, false},         // a title written over the last NUL
        {"sh\0-c\0"sv, 3, start, false},        // fewer strings than argc
        {"sh\0\0-c\0"sv, 2, start, false},      // more
        {""sv, 0, start, false},
    };
    for (const auto& row : areas) {
        EXPECT_EQ(arguments_as_exec_left_them(row.arguments, row.argc, row.first, start), row.taken)
            << row.arguments.size() << " bytes, argc " << row.argc;
    }
}

// A process that writes a title over its arguments gets the arguments
// /proc/PID/cmdline gives (the kernel's own rules for such titles), and still
// the path exec was given.
TEST(StackStrings, RewrittenArgumentsComeFromProc) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ProcessStat self;
        if (os::procfs::read_stat_line(AT_FDCWD, ::getpid(), self) && self.arg_end != 0) {
            *reinterpret_cast<char*>(self.arg_end - 1) = 'x';
        }
        ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    const Child child(pid);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);

    std::string cmdline = slurp("/proc/" + std::to_string(pid) + "/cmdline");
    ASSERT_FALSE(cmdline.empty());
    if (cmdline.back() != '\0') cmdline += '\0';
    const std::string exec_path = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    os::LinuxSystem system;
    const std::string area = args_area(system, pid);
    ASSERT_GT(area.size(), 4 + exec_path.size());
    EXPECT_EQ(area.substr(4, exec_path.size() + 1), exec_path + '\0');
    EXPECT_EQ(area.substr((4 + exec_path.size() + 8) / 8 * 8), cmdline);
}

// A stat line read before an exec names where the image before it kept its
// strings. With address randomization off the new image's stack has the same
// top, so those addresses can be read; what lies there now is not taken for
// the strings.
TEST(StackStrings, AddressesOfAnImageExecReplacedAreNotTrusted) {
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const std::vector<std::string> shell = {"/bin/sh", "-c", "read line; exec /bin/sleep 60"};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(go[0], 0);
        ::personality(ADDR_NO_RANDOMIZE);
        ::execl("/bin/sh", "/bin/sh", "-c", shell[2].c_str(), nullptr);
        ::_exit(127);
    }
    const Child child(pid);
    ::close(go[0]);
    const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    ASSERT_TRUE(wait_until([&] { return slurp(cmdline) == nul_joined(shell); }));

    ProcessStat before;
    ASSERT_TRUE(os::procfs::read_stat_line(AT_FDCWD, pid, before));
    StackStrings strings;
    strings.read(pid, before);
    EXPECT_EQ(strings.exec_path(), "/bin/sh");
    EXPECT_EQ(strings.arguments(), nul_joined(shell));

    ASSERT_EQ(::write(go[1], "\n", 1), 1);
    ::close(go[1]);
    const std::vector<std::string> sleep = {"/bin/sleep", "60"};
    ASSERT_TRUE(wait_until([&] { return slurp(cmdline) == nul_joined(sleep); }));
    strings.read(pid, before);
    EXPECT_EQ(strings.exec_path().value_or("/bin/sleep"), "/bin/sleep");
    EXPECT_EQ(strings.arguments().value_or(nul_joined(sleep)), nul_joined(sleep));

    ProcessStat after;
    ASSERT_TRUE(os::procfs::read_stat_line(AT_FDCWD, pid, after));
    strings.read(pid, after);
    EXPECT_EQ(strings.exec_path(), "/bin/sleep");
    EXPECT_EQ(strings.arguments(), nul_joined(sleep));
}

}  // namespace
}  // namespace lumenstat::testing
