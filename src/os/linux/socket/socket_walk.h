// When the Linux personality reads the kernel's socket tables.
//
// Darwin answers proc_pidfdinfo from the live socket. Here a socket's details
// come from tables of every socket on the machine, so reading them per
// descriptor would make a listing of the machine quadratic. Each query scope
// (query_scope.h) therefore has one walk, which lives and dies with it:
//   - the socket tables are read at most once in the scope: once it lists
//     every process (proc_listpids), all of them on a helper thread started
//     then, so that the reading overlaps the listing of descriptors; before
//     that, a protocol's tables (TCP or UDP, both families) at the first
//     look-up that misses a socket they can hold, as the protocol name of the
//     descriptor's socket says (a few names per scope; then all are read), so
//     a process with TCP sockets only never has the UDP tables read, and one
//     with Unix sockets only none;
//   - from that list of processes on, their descriptor listings are read
//     ahead (read_ahead.h); each such listing answers the caller's
//     PROC_PIDLISTFDS of that process once (a size probe and the listing
//     that follows it count as one), later ones read anew;
//   - TCP sockets that are only bound are added to the table at the first
//     look-up it cannot answer of a socket that may be TCP, so a scope that
//     never misses one skips their costly search;
//   - the socket descriptors of the last listed process are kept with their
//     inodes, so that reading them right after the listing costs no second
//     readlink. As on Darwin, a descriptor closed between the listing and the
//     read may then still be described, from the listing's moment.
// Closing the scope stops and joins the helper threads and drops the rest.
// With no scope open, every call reads afresh.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "os/darwin.h"
#include "os/linux/read_ahead.h"
#include "os/linux/socket/socket_table.h"

namespace lumenstat::os::linux_sockets {

// (descriptor, socket inode) pairs in descriptor order.
using SocketDescriptors = std::vector<std::pair<int, std::uint64_t>>;

// One reading of a process's descriptor table: its entries in descriptor
// order, the socket descriptors among them with their inodes, or the errno
// (Darwin's) of a failed reading.
struct DescriptorListing {
    std::vector<darwin::proc_fdinfo> entries;
    SocketDescriptors sockets;
    int error = 0;
};

// How a walk reads a whole descriptor listing and the socket table; tests
// pass readers that fail.
using ListingReader = void (*)(int pid, DescriptorListing& out);
using TableReader = SocketTable (*)();

class SocketWalk {
public:
    SocketWalk();
    SocketWalk(ListingReader read_listing, TableReader read_table);
    SocketWalk(const SocketWalk&) = delete;
    SocketWalk& operator=(const SocketWalk&) = delete;
    // Stops the reading ahead and waits for both helper threads.
    ~SocketWalk();

    // proc_listpids returned `pids`, in ascending order.
    void begin(std::span<const int> pids);

    // Whether `pid` is among the processes the walk began with: /proc lists
    // processes only, never their other threads.
    bool lists(int pid) const;

    // The listing of `pid` read ahead, which the caller may take the entries
    // and sockets from; null when there is none to take and the caller is to
    // read it now.
    DescriptorListing* read_ahead_listing(int pid);

    // A size probe of the listing of `pid` (PROC_PIDLISTFDS with no buffer):
    // the listing read ahead, else read whole now, kept for the call that
    // lists the same process next.
    const DescriptorListing& probe_listing(int pid);
    // The listing for a PROC_PIDLISTFDS of `pid` that fills a buffer: the one
    // the probe kept, else one read ahead; null when the caller is to read it
    // now. Either is used up by this call.
    DescriptorListing* fill_listing(int pid);

    // PROC_PIDLISTFDS listed the descriptors of `pid`.
    void descriptors_listed(int pid, SocketDescriptors sockets);

    // The inode of socket descriptor `fd` of `pid` when that process was the
    // last one listed.
    std::optional<std::uint64_t> listed_socket_inode(int pid, int fd) const;

    // The socket with that inode, descriptor `fd` of `pid` (-1 when not
    // known), in the scope's tables (read now if needed), or null when the
    // tables do not hold it.
    const KernelSocket* find_socket(std::uint64_t inode, int pid = -1, int fd = -1);

private:
    void take_table_from_helper();
    void stop_reading_ahead();

    ListingReader read_listing_;
    TableReader read_table_;
    std::optional<SocketTable> table_;
    unsigned tables_read_ = 0;  // kTcpTables, kUdpTables
    bool bound_inactive_read_ = false;
    bool begun_ = false;
    // Protocol names asked for on misses before the walk has begun.
    int probes_left_ = 16;
    // The table read on the helper thread, published whole once read: a child
    // forked while the helper was reading sees either nothing or the whole table.
    std::atomic<SocketTable*> helper_table_{nullptr};
    std::unique_ptr<linux_ahead::HelperThread> table_reader_;
    std::unique_ptr<linux_ahead::ReadAhead<DescriptorListing>> ahead_;
    int probed_pid_ = -1;
    DescriptorListing probed_;
    int listed_pid_ = -1;
    SocketDescriptors listed_sockets_;
};

// The walk of the query scope open on this thread, or null.
SocketWalk* current_walk();

// The socket with that inode, descriptor `fd` of `pid`: from the current
// walk, or with no scope open from tables read now; nullopt when the tables
// do not hold it.
std::optional<KernelSocket> describe_socket(std::uint64_t inode, int pid, int fd);

}  // namespace lumenstat::os::linux_sockets
