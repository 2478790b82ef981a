// Every TCP and UDP socket of every process, found through libproc, grouped
// by protocol and state, and kept for one second in a process-wide cache.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "os/darwin_socket.h"
#include "os/system.h"
#include "socket/values.h"

namespace lumenstat {

// Records of one state in enumeration order; the order of the states is
// unspecified.
using StateGroups = std::unordered_map<SocketState, std::vector<SocketConnection>>;
// Only the protocols for which a socket was found.
using FullTable = std::unordered_map<Protocol, StateGroups>;

// The record for one socket descriptor of process `pid`, or nothing when the
// descriptor is not a TCP or UDP socket of IPv4 or IPv6.
std::optional<SocketConnection> classify_socket(const darwin::socket_fdinfo& info,
                                                std::uint32_t pid);

// DEBUG_SOCKET_PID: an optional "+", then only decimal digits, at most
// 4294967295; anything else (or not valid text) is no pid.
std::optional<std::uint32_t> parse_debug_pid(const char* value);

// The last full table and when it was stored, behind one mutex. A thread that
// fails while holding the mutex marks the cache unusable for good.
class SocketCache {
public:
    // The state groups of `protocol` when the stored table is fresh: less than
    // one whole second old, or stored at a time later than `now_ns`.
    std::optional<StateGroups> fresh(Protocol protocol, std::uint64_t now_ns);
    void store(const FullTable& table, std::uint64_t now_ns);
    bool unusable();

    // Runs `work` holding the mutex; if it throws, the cache becomes unusable
    // and the exception goes on.
    template <class Work>
    auto locked(Work&& work) -> decltype(work()) {
        std::lock_guard lock(mutex_);
        try {
            return work();
        } catch (...) {
            unusable_ = true;
            throw;
        }
    }

    // Around fork() (pthread_atfork) for the process's cache: fork() copies the
    // mutex but not the thread that may hold it, so it waits for the mutex
    // and the child gets it free.
    void hold_for_fork() { mutex_.lock(); }
    void release_after_fork() { mutex_.unlock(); }

private:
    std::mutex mutex_;
    std::optional<FullTable> table_;
    std::uint64_t stored_ns_ = 0;
    bool unusable_ = false;
};

// The one cache of the process, which is never destroyed.
SocketCache& socket_cache();

// Enumerates every socket of the machine now, writing the "conn: " lines of
// the debug pid to file descriptor 1.
FullTable enumerate_sockets(os::System& system);

Result<StateGroups> socket_table(os::System& system, Protocol protocol,
                                 SocketCache& cache = socket_cache());
Result<StateGroups> get_tcp_connections(os::System& system, SocketCache& cache = socket_cache());
Result<StateGroups> get_udp_sockets(os::System& system, SocketCache& cache = socket_cache());
Result<StateGroups> get_connections(os::System& system, SocketCache& cache = socket_cache());
Result<SocketStateSummary> get_socket_summary(os::System& system,
                                              SocketCache& cache = socket_cache());

// Appends each group of `from` to the group of the same state in `into`.
void merge_groups(StateGroups& into, StateGroups&& from);

// The records group after group, in the map's order.
std::vector<SocketConnection> flatten(const StateGroups& groups);

}  // namespace lumenstat
