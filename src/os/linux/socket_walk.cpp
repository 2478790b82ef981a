#include "os/linux/socket_walk.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "os/linux/descriptors.h"

namespace lumenstat::os::linux_sockets {

namespace {

std::uint64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// Listings read ahead for one walk, shared by the walking thread and the
// thread reading ahead. A slot goes from free to taken by either thread; the
// reader marks its own done once the listing is in place.
struct ReadAhead {
    enum State : int { kFree, kWalker, kReader, kDone };
    struct Slot {
        std::atomic<int> state{kFree};
        DescriptorListing listing;
        std::uint64_t read_ns = 0;
    };

    explicit ReadAhead(std::span<const int> list)
        : pids(list.begin(), list.end()), slots(list.size()) {}

    std::vector<int> pids;
    std::vector<Slot> slots;
    std::atomic<std::ptrdiff_t> reached{-1};  // the highest slot the walk has come to
    std::atomic<bool> stop{false};
    pid_t owner = ::getpid();  // a child forked meanwhile has no reading thread
};

// Lists the walk's processes from the last one backwards until it meets the
// walk or the walk ends.
void read_ahead(const std::shared_ptr<ReadAhead>& ahead) {
    for (std::size_t i = ahead->slots.size(); i-- > 0;) {
        if (ahead->stop.load(std::memory_order_relaxed) ||
            static_cast<std::ptrdiff_t>(i) <= ahead->reached.load(std::memory_order_relaxed)) {
            return;
        }
        ReadAhead::Slot& slot = ahead->slots[i];
        int expected = ReadAhead::kFree;
        if (!slot.state.compare_exchange_strong(expected, ReadAhead::kReader)) {
            return;
        }
        linux_descriptors::read_listing(ahead->pids[i], SIZE_MAX, slot.listing);
        slot.read_ns = now_ns();
        slot.state.store(ReadAhead::kDone, std::memory_order_release);
        slot.state.notify_all();
    }
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
    std::shared_ptr<ReadAhead> ahead;
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

void stop_reading_ahead(Walk& walk) {
    if (walk.ahead) {
        walk.ahead->stop.store(true, std::memory_order_relaxed);
        walk.ahead.reset();
    }
}

void start_reading_ahead(Walk& walk, std::span<const int> pids) {
    stop_reading_ahead(walk);
    try {
        auto ahead = std::make_shared<ReadAhead>(pids);
        std::thread([ahead] { read_ahead(ahead); }).detach();
        walk.ahead = std::move(ahead);
    } catch (const std::system_error&) {
    }
}

}  // namespace

void begin_walk(std::span<const int> pids) {
    Walk& walk = this_thread();
    walk.walking = true;
    walk.previous_pid = 0;
    walk.highest_pid = pids.empty() ? 0 : pids.back();
    walk.listed_pid = -1;
    walk.table.reset();
    start_reading(walk);
    start_reading_ahead(walk, pids);
}

DescriptorListing* read_ahead_listing(int pid) {
    Walk& walk = this_thread();
    ReadAhead* ahead = walk.ahead.get();
    if (ahead == nullptr || !walk.walking || pid <= walk.previous_pid || pid > walk.highest_pid) {
        return nullptr;
    }
    auto it = std::lower_bound(ahead->pids.begin(), ahead->pids.end(), pid);
    if (it == ahead->pids.end() || *it != pid) {
        return nullptr;
    }
    const std::ptrdiff_t index = it - ahead->pids.begin();
    ahead->reached.store(index, std::memory_order_relaxed);
    ReadAhead::Slot& slot = ahead->slots[static_cast<std::size_t>(index)];
    int state = ReadAhead::kFree;
    if (slot.state.compare_exchange_strong(state, ReadAhead::kWalker)) {
        return nullptr;
    }
    if (state == ReadAhead::kReader) {
        if (ahead->owner != ::getpid()) {
            return nullptr;
        }
        slot.state.wait(ReadAhead::kReader, std::memory_order_acquire);
        state = slot.state.load(std::memory_order_acquire);
    }
    if (state != ReadAhead::kDone || now_ns() - slot.read_ns > kMaxTableAgeNs) {
        return nullptr;
    }
    return &slot.listing;
}

void descriptors_listed(int pid, SocketDescriptors sockets) {
    Walk& walk = this_thread();
    bool continues = walk.walking && pid > walk.previous_pid && pid <= walk.highest_pid;
    if (!continues) {
        walk.walking = false;
        walk.table.reset();
        walk.reading = {};
        stop_reading_ahead(walk);
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
