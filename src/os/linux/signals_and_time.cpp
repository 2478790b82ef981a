// kill, nanosleep and the Mach timebase of the Linux personality.
#include <signal.h>
#include <time.h>

#include "os/linux/linux_system.h"
#include "os/linux/process_memo.h"

namespace lumenstat::os {

int LinuxSystem::kill(int pid, int sig) { return ::kill(pid, sig); }

int LinuxSystem::nanosleep(const struct timespec* request, struct timespec* remaining) {
    procfs::forget_process_memo();
    return ::nanosleep(request, remaining);
}

// Task times are kept in nanoseconds here, so the timebase is 1/1.
darwin::kern_return_t LinuxSystem::mach_timebase_info(darwin::mach_timebase_info_data_t* info) {
    info->numer = 1;
    info->denom = 1;
    return darwin::KERN_SUCCESS;
}

}  // namespace lumenstat::os
