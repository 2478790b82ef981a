#include <cerrno>

#include "os/darwin.h"
#include "os/linux/socket/descriptors.h"
#include "os/linux/linux_system.h"
#include "os/linux/process/process_info.h"
#include "os/linux/socket/socket_walk.h"
#include "os/linux/process/thread_group.h"

namespace lumenstat::os {

namespace {

// A pid the walk of this query scope found listing /proc is a process's.
bool listed_process(int pid) {
    const linux_sockets::SocketWalk* walk = linux_sockets::current_walk();
    return walk != nullptr && walk->lists(pid);
}

}  // namespace

// A flavor not answered here fails as the kernel fails an unknown one:
// 0 with errno EINVAL. A thread id that is not a process's fails with ESRCH,
// as an unused pid does; the task flavors tell so from the stat line.
int LinuxSystem::proc_pidinfo(int pid, int flavor, [[maybe_unused]] std::uint64_t arg, void* buffer,
                              int buffersize) {
    switch (flavor) {
        case darwin::PROC_PIDTASKINFO:
            return procfs::pid_task_info(pid, buffer, buffersize);
        case darwin::PROC_PIDTASKALLINFO:
            return procfs::pid_task_all_info(pid, buffer, buffersize);
        case darwin::PROC_PIDLISTFDS:
            if (!listed_process(pid) && !procfs::is_thread_group(pid)) {
                errno = ESRCH;
                return 0;
            }
            return linux_descriptors::list_descriptors(pid, buffer, buffersize);
        default:
            errno = EINVAL;
            return 0;
    }
}

}  // namespace lumenstat::os
