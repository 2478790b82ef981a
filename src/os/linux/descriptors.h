// Descriptor tables of the Linux personality, from /proc/PID/fd.
#pragma once

namespace lumenstat::os::linux_descriptors {

// proc_pidinfo(pid, PROC_PIDLISTFDS, 0, buffer, buffersize): fills `buffer`
// with struct proc_fdinfo entries in descriptor order and returns the bytes
// filled; with a null buffer returns the bytes the list needs now. On failure
// returns 0 with errno set (ESRCH for no such process, EPERM when not
// permitted), as libproc does.
int list_descriptors(int pid, void* buffer, int buffersize);

}  // namespace lumenstat::os::linux_descriptors
