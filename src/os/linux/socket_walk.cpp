#include "os/linux/socket_walk.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

namespace lumenstat::os::linux_sockets {

namespace {

std::uint64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

struct Walk {
    bool walking = false;
    int previous_pid = 0;
    int highest_pid = 0;
    int listed_pid = -1;
    std::uint64_t listed_ns = 0;
    SocketDescriptors listed_sockets;
    std::optional<SocketTable> table;
    std::uint64_t table_ns = 0;  // when the table's reading started
    bool bound_inactive_read = false;
    // The table being read on another thread for the current walk, by the
    // process `reader_pid` (a child forked meanwhile has no such thread).
    std::future<SocketTable> reading;
    pid_t reader_pid = 0;
};

Walk& this_thread() {
    thread_local Walk walk;
    return walk;
}

// Starts reading the tables on a thread of their own, so that the reading
// overlaps the walk's listing of descriptors. The thread is detached and its
// result dropped without waiting when the walk ends first. When no thread can
// be started, the first look-up reads the tables itself.
void start_reading(Walk& walk) {
    walk.reading = {};
    try {
        auto task = std::make_shared<std::packaged_task<SocketTable()>>(read_kernel_sockets);
        std::future<SocketTable> result = task->get_future();
        walk.table_ns = now_ns();
        std::thread([task] { (*task)(); }).detach();
        walk.reading = std::move(result);
        walk.reader_pid = ::getpid();
    } catch (const std::system_error&) {
    }
}

// The table read for this walk, once that reading is over.
void finish_reading(Walk& walk) {
    if (!walk.reading.valid()) {
        return;
    }
    if (walk.reader_pid == ::getpid()) {
        walk.table = walk.reading.get();
        walk.bound_inactive_read = false;
    }
    walk.reading = {};
}

}  // namespace

void begin_walk(int highest_pid) {
    Walk& walk = this_thread();
    walk.walking = true;
    walk.previous_pid = 0;
    walk.highest_pid = highest_pid;
    walk.listed_pid = -1;
    walk.table.reset();
    start_reading(walk);
}

void descriptors_listed(int pid, SocketDescriptors sockets) {
    Walk& walk = this_thread();
    bool continues = walk.walking && pid > walk.previous_pid && pid <= walk.highest_pid;
    if (!continues) {
        walk.walking = false;
        walk.table.reset();
        walk.reading = {};
    }
    walk.previous_pid = pid;
    walk.listed_pid = pid;
    walk.listed_ns = now_ns();
    walk.listed_sockets = std::move(sockets);
}

std::optional<std::uint64_t> listed_socket_inode(int pid, int fd) {
    Walk& walk = this_thread();
    if (pid != walk.listed_pid || now_ns() - walk.listed_ns > kMaxTableAgeNs) {
        return std::nullopt;
    }
    auto it = std::lower_bound(walk.listed_sockets.begin(), walk.listed_sockets.end(), fd,
                               [](const auto& entry, int key) { return entry.first < key; });
    if (it == walk.listed_sockets.end() || it->first != fd) {
        return std::nullopt;
    }
    return it->second;
}

const KernelSocket* find_socket(std::uint64_t inode) {
    Walk& walk = this_thread();
    finish_reading(walk);
    std::uint64_t now = now_ns();
    if (!walk.table || now - walk.table_ns > kMaxTableAgeNs) {
        walk.table = read_kernel_sockets();
        walk.table_ns = now;
        walk.bound_inactive_read = false;
    }
    auto it = walk.table->find(inode);
    if (it == walk.table->end() && !walk.bound_inactive_read) {
        // Only bound TCP sockets are rare and costly to find, so they are read
        // once a socket is missing from the rest (or is not TCP or UDP at all).
        walk.bound_inactive_read = true;
        read_netlink_tcp_bound_inactive(*walk.table);
        it = walk.table->find(inode);
    }
    return it == walk.table->end() ? nullptr : &it->second;
}

}  // namespace lumenstat::os::linux_sockets
