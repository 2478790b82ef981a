// Descriptor tables of the Linux personality, from /proc/PID/fd.
#pragma once

#include <cstddef>

#include "os/linux/socket/socket_walk.h"

namespace lumenstat::os::linux_descriptors {

// proc_pidinfo(pid, PROC_PIDLISTFDS, 0, buffer, buffersize): fills `buffer`
// with struct proc_fdinfo entries in descriptor order and returns the bytes
// filled; with a null buffer returns the bytes the list needs now. On failure
// returns 0 with errno set (ESRCH for no such process, EPERM when not
// permitted), as libproc does.
int list_descriptors(int pid, void* buffer, int buffersize);

// Reads at most `room` entries of the descriptor table of `pid` into `out`.
void read_listing(int pid, std::size_t room, linux_sockets::DescriptorListing& out);

}  // namespace lumenstat::os::linux_descriptors
