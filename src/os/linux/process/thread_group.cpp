#include "os/linux/process/thread_group.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace lumenstat::os::procfs {

// tgkill(pid, pid, 0) finds the task with id `pid` and checks that its thread
// group is `pid`; signal 0 only checks, and costs one system call, less than
// any /proc read.
bool is_thread_group(int pid) {
    if (pid <= 0) {
        return false;
    }
    const int saved = errno;
    const bool found = ::syscall(SYS_tgkill, pid, pid, 0) == 0 || errno != ESRCH;
    errno = saved;
    return found;
}

}  // namespace lumenstat::os::procfs
