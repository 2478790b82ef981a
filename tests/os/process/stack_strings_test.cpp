#include "os/linux/process/stack_strings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/personality.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/linux/linux_system.h"
#include "os/linux/process/process_stat.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

using os::procfs::ProcessStat;
using os::procfs::StackStrings;

// The checks of the layout on any bytes: fuzz/fuzz_stack_strings.cpp.

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
