// When the Linux personality reads the kernel's socket tables.
//
// Darwin answers proc_pidfdinfo from the live socket. Here a socket's details
// come from tables of every socket on the machine, so reading them per
// descriptor would make a listing of the machine quadratic. The rule, per
// calling thread:
//   - proc_listpids starts a walk over the process list it returns, and starts
//     reading one table for that walk on a thread of its own;
//   - while the caller lists descriptors (PROC_PIDLISTFDS) of processes later
//     in that list than the previous one, socket look-ups share that table,
//     the first look-up of the walk waiting for its reading to finish;
//   - any other descriptor listing (a process listed again, or out of order,
//     as in a query about one process) ends the walk and drops the table, so
//     that a query about one process always sees the queues as they are now;
//   - a table whose reading started more than kMaxTableAge ago is never used
//     (it is read again), which bounds staleness for callers that abandon a
//     walk or read descriptors without listing;
//   - TCP sockets that are only bound are added to the table at the first
//     look-up it cannot answer, so a walk that never misses skips their
//     costly search.
// Descriptor listings are read ahead the same way: from the start of a walk,
// another thread lists the descriptors of its processes from the end of the
// list backwards, until it meets the processes the walk has reached. A
// listing of the walk that the caller asks for is answered from there when it
// was read less than kMaxTableAge before, or read now.
// The socket descriptors of the last listed process are remembered with their
// inodes for kMaxTableAgeNs, so that reading them right after the listing
// costs no second readlink. As on Darwin, a descriptor closed between the
// listing and the read may then still be described (from the listing's
// moment); one never listed, or listed too long ago, is read afresh.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "os/darwin.h"
#include "os/linux/socket_table.h"

namespace lumenstat::os::linux_sockets {

inline constexpr std::uint64_t kMaxTableAgeNs = 100'000'000;

// (descriptor, socket inode) pairs in descriptor order.
using SocketDescriptors = std::vector<std::pair<int, std::uint64_t>>;

// proc_listpids returned `pids`, in ascending order.
void begin_walk(std::span<const int> pids);

// PROC_PIDLISTFDS listed the descriptors of `pid`.
void descriptors_listed(int pid, SocketDescriptors sockets);

// The inode of socket descriptor `fd` of `pid` when that process was the last
// one listed on this thread, recently.
std::optional<std::uint64_t> listed_socket_inode(int pid, int fd);

// The socket with that inode in the current table (read now if needed), or
// null when the tables do not hold it.
const KernelSocket* find_socket(std::uint64_t inode);

// One reading of a process's descriptor table: its entries in descriptor
// order, the socket descriptors among them with their inodes, or the errno
// (Darwin's) of a failed reading.
struct DescriptorListing {
    std::vector<darwin::proc_fdinfo> entries;
    SocketDescriptors sockets;
    int error = 0;
};

// The descriptor listing of `pid` read ahead for the walk, which the caller
// may take the entries and sockets from; null when `pid` does not continue
// the walk or its listing is to be read now.
DescriptorListing* read_ahead_listing(int pid);

}  // namespace lumenstat::os::linux_sockets
