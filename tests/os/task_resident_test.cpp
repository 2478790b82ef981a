// The resident size of a process's task information: the exact count that
// statm and ps show, not the stat line's lagging one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

TEST(TaskResident, AllInfoOfAQuietChildEqualsStatm) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Touch a few pages so the count has moved since the fork, then hold still.
        std::vector<char> pages(64 * 4096);
        std::memset(pages.data(), 1, pages.size());
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);

    // The child may still be on its way into pause(); a reading counts once
    // statm shows the same size before and after it.
    os::LinuxSystem system;
    darwin::proc_taskallinfo all{};
    std::uint64_t before = 0, after = 1;
    for (int attempt = 0; attempt < 50 && before != after; ++attempt) {
        usleep(attempt * 2000);
        before = statm_pages(child, 1);
        ASSERT_EQ(system.proc_pidinfo(child, darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all),
                  232);
        after = statm_pages(child, 1);
    }
    ASSERT_EQ(before, after) << "the child never held still";
    EXPECT_EQ(all.ptinfo.pti_resident_size, after * sysconf(_SC_PAGESIZE));
    EXPECT_EQ(all.pbsd.pbi_pid, static_cast<std::uint32_t>(child));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace lumenstat::testing
