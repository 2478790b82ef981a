// The sockets a process holds: the inode behind each socket descriptor,
// read from /proc/PID/fd.
#pragma once

#include <cstdint>
#include <vector>

namespace lumenstat::nettop {

struct SocketDescriptor {
    int fd;
    std::uint64_t inode;
};

// The process's socket descriptors in descriptor order; 0, or the errno of a
// listing that failed (ENOENT: no such process; EACCES: not ours to read).
int list_socket_descriptors(int pid, std::vector<SocketDescriptor>& sockets);

}  // namespace lumenstat::nettop
