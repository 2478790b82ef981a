// kill, nanosleep and the Mach timebase of the Linux personality.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux/linux_system.h"
#include "os/linux/process/thread_group.h"
#include "os/linux/unique_fd.h"

namespace lumenstat::os {

// A positive pid names one process. Signalling through a pidfd refuses a
// thread id that is not a process's (pidfd_open accepts only thread-group
// leaders, as Darwin's kill knows only processes), and the pidfd holds on to
// the process asked about: its pid cannot pass to a new process between the
// check and the signal.
int LinuxSystem::kill(int pid, int sig) {
    if (pid <= 0) {
        return ::kill(pid, sig);
    }
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (process.get() >= 0) {
        if (::syscall(SYS_pidfd_send_signal, process.get(), sig, nullptr, 0) == 0) {
            return 0;
        }
        if (errno != ENOSYS) {
            return -1;
        }
    } else if (errno == EINVAL || errno == ENOENT || errno == ESRCH) {
        errno = ESRCH;
        return -1;
    }
#endif
    // No pidfd to be had (an older kernel, a full descriptor table): check,
    // then signal by number.
    if (!procfs::is_thread_group(pid)) {
        errno = ESRCH;
        return -1;
    }
    return ::kill(pid, sig);
}

int LinuxSystem::nanosleep(const struct timespec* request, struct timespec* remaining) {
    return ::nanosleep(request, remaining);
}

// Task times are kept in nanoseconds here, so the timebase is 1/1.
darwin::kern_return_t LinuxSystem::mach_timebase_info(darwin::mach_timebase_info_data_t* info) {
    info->numer = 1;
    info->denom = 1;
    return darwin::KERN_SUCCESS;
}

}  // namespace lumenstat::os
