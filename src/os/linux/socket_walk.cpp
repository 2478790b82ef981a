#include "os/linux/socket_walk.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "os/linux/descriptors.h"
#include "os/linux/query_scope.h"

namespace lumenstat::os::linux_sockets {

// A thread doing one piece of work for a walk, joined when the walk ends. A
// failure inside the work ends the work, never the process: the walk then
// does that work itself. In a child forked meanwhile the thread does not
// exist: there it is neither waited for nor joined.
class HelperThread {
public:
    // Starts `work` on a thread of its own; null when no thread can be made.
    template <class Work>
    static std::unique_ptr<HelperThread> start(Work work) noexcept {
        try {
            auto helper = std::make_unique<HelperThread>();
            helper->thread_ = std::make_unique<std::thread>([work]() mutable noexcept {
                try {
                    work();
                } catch (...) {
                }
            });
            return helper;
        } catch (const std::bad_alloc&) {
        } catch (const std::system_error&) {
        }
        return nullptr;
    }

    HelperThread() = default;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() {
        if (!in_owner()) {
            // The std::thread of a thread that only the parent has is left
            // alone: destroying it unjoined would end the process.
            static_cast<void>(thread_.release());
            return;
        }
        join();
    }

    // Whether this process is the one that started the thread.
    bool in_owner() const { return owner_ == ::getpid(); }

    void join() {
        if (in_owner() && thread_ && thread_->joinable()) {
            thread_->join();
        }
    }

private:
    std::unique_ptr<std::thread> thread_;
    pid_t owner_ = ::getpid();
};

namespace {

void read_whole_listing(int pid, DescriptorListing& out) {
    linux_descriptors::read_listing(pid, SIZE_MAX, out);
}

}  // namespace

// Listings read ahead for one walk, shared by the walking thread and the
// helper. A slot goes from free to taken by either thread; the helper marks
// its own done once the listing is in place, and the walker takes a done one
// once.
struct SocketWalk::ReadAhead {
    enum State : int { kFree, kWalker, kReader, kDone, kTaken };
    struct Slot {
        std::atomic<int> state{kFree};
        DescriptorListing listing;
    };

    ReadAhead(std::span<const int> list, ListingReader reader)
        : pids(list.begin(), list.end()), slots(list.size()), read_listing(reader) {}

    // Lists the processes from the last one backwards until it meets the
    // walk or is stopped. A listing that fails to be made is given back
    // free, for the walk to read itself.
    void run() {
        for (std::size_t i = slots.size(); i-- > 0;) {
            if (stop.load(std::memory_order_relaxed) ||
                static_cast<std::ptrdiff_t>(i) <= reached.load(std::memory_order_relaxed)) {
                return;
            }
            Slot& slot = slots[i];
            int expected = kFree;
            if (!slot.state.compare_exchange_strong(expected, kReader)) {
                return;
            }
            int done = kDone;
            try {
                read_listing(pids[i], slot.listing);
            } catch (...) {
                done = kFree;
            }
            slot.state.store(done, std::memory_order_release);
            slot.state.notify_all();
            if (done != kDone) {
                return;
            }
        }
    }

    std::vector<int> pids;
    std::vector<Slot> slots;
    ListingReader read_listing;
    std::atomic<std::ptrdiff_t> reached{-1};  // the highest slot the walk has come to
    std::atomic<bool> stop{false};
    std::unique_ptr<HelperThread> reader;
};

SocketWalk::SocketWalk() : SocketWalk(read_whole_listing, read_kernel_sockets) {}

SocketWalk::SocketWalk(ListingReader read_listing, TableReader read_table)
    : read_listing_(read_listing), read_table_(read_table) {}

SocketWalk::~SocketWalk() {
    stop_reading_ahead();
    table_reader_.reset();
    const std::unique_ptr<SocketTable> unread(
        helper_table_.exchange(nullptr, std::memory_order_acquire));
}

void SocketWalk::begin(std::span<const int> pids) {
    begun_ = true;
    if (!table_ && !table_reader_) {
        table_reader_ = HelperThread::start([this] {
            auto table = std::make_unique<SocketTable>(read_table_());
            helper_table_.store(table.release(), std::memory_order_release);
        });
    }
    stop_reading_ahead();
    try {
        ahead_ = std::make_unique<ReadAhead>(pids, read_listing_);
    } catch (const std::bad_alloc&) {
        return;
    }
    ReadAhead* ahead = ahead_.get();
    ahead->reader = HelperThread::start([ahead] { ahead->run(); });
}

void SocketWalk::stop_reading_ahead() {
    if (ahead_) {
        ahead_->stop.store(true, std::memory_order_relaxed);
        ahead_->reader.reset();
        ahead_.reset();
    }
}

bool SocketWalk::lists(int pid) const {
    return ahead_ != nullptr && std::binary_search(ahead_->pids.begin(), ahead_->pids.end(), pid);
}

DescriptorListing* SocketWalk::read_ahead_listing(int pid) {
    ReadAhead* ahead = ahead_.get();
    if (ahead == nullptr) {
        return nullptr;
    }
    auto it = std::lower_bound(ahead->pids.begin(), ahead->pids.end(), pid);
    if (it == ahead->pids.end() || *it != pid) {
        return nullptr;
    }
    const std::ptrdiff_t index = it - ahead->pids.begin();
    if (index > ahead->reached.load(std::memory_order_relaxed)) {
        ahead->reached.store(index, std::memory_order_relaxed);
    }
    ReadAhead::Slot& slot = ahead->slots[static_cast<std::size_t>(index)];
    int state = ReadAhead::kFree;
    if (slot.state.compare_exchange_strong(state, ReadAhead::kWalker)) {
        return nullptr;
    }
    if (state == ReadAhead::kReader) {
        if (ahead->reader == nullptr || !ahead->reader->in_owner()) {
            return nullptr;
        }
        slot.state.wait(ReadAhead::kReader, std::memory_order_acquire);
        state = ReadAhead::kDone;
    }
    // A listing given back free by a failed reading is read by the caller.
    if (!slot.state.compare_exchange_strong(state, ReadAhead::kTaken, std::memory_order_acquire)) {
        return nullptr;
    }
    return &slot.listing;
}

const DescriptorListing& SocketWalk::probe_listing(int pid) {
    if (probed_pid_ != pid) {
        probed_pid_ = -1;
        if (DescriptorListing* ahead = read_ahead_listing(pid)) {
            probed_ = std::move(*ahead);
        } else {
            read_listing_(pid, probed_);
        }
        probed_pid_ = pid;
    }
    return probed_;
}

DescriptorListing* SocketWalk::fill_listing(int pid) {
    if (probed_pid_ == pid) {
        probed_pid_ = -1;
        return &probed_;
    }
    return read_ahead_listing(pid);
}

void SocketWalk::descriptors_listed(int pid, SocketDescriptors sockets) {
    listed_pid_ = pid;
    listed_sockets_ = std::move(sockets);
}

std::optional<std::uint64_t> SocketWalk::listed_socket_inode(int pid, int fd) const {
    if (pid != listed_pid_) {
        return std::nullopt;
    }
    auto it = std::lower_bound(listed_sockets_.begin(), listed_sockets_.end(), fd,
                               [](const auto& entry, int key) { return entry.first < key; });
    if (it == listed_sockets_.end() || it->first != fd) {
        return std::nullopt;
    }
    return it->second;
}

void SocketWalk::take_table_from_helper() {
    if (!table_reader_) {
        return;
    }
    table_reader_.reset();
    const std::unique_ptr<SocketTable> read(
        helper_table_.exchange(nullptr, std::memory_order_acquire));
    if (read) {
        table_ = std::move(*read);
        tables_read_ = kTcpTables | kUdpTables;
        bound_inactive_read_ = false;
    }
}

const KernelSocket* SocketWalk::find_socket(std::uint64_t inode, int pid, int fd) {
    take_table_from_helper();
    auto lookup = [this, inode]() -> const KernelSocket* {
        auto it = table_->find(inode);
        return it == table_->end() ? nullptr : &it->second;
    };
    if (table_) {
        if (const KernelSocket* found = lookup()) {
            return found;
        }
    }
    std::optional<unsigned> holding;
    const bool all_read = tables_read_ == (kTcpTables | kUdpTables) && bound_inactive_read_;
    if (!all_read && !begun_ && pid >= 0 && probes_left_ > 0) {
        --probes_left_;
        holding = tables_holding(pid, fd);
    }
    const unsigned may_hold = holding.value_or(kTcpTables | kUdpTables);
    if (const unsigned unread = may_hold & ~tables_read_; unread != 0) {
        if (!table_ && unread == (kTcpTables | kUdpTables)) {
            table_ = read_table_();
        } else {
            if (!table_) {
                table_.emplace();
            }
            read_kernel_sockets(unread, *table_);
        }
        tables_read_ |= unread;
        if (const KernelSocket* found = lookup()) {
            return found;
        }
    }
    if ((may_hold & kTcpTables) != 0 && !bound_inactive_read_) {
        // Only bound TCP sockets are rare and costly to find, so they are read
        // once a socket is missing from the rest (or is not TCP or UDP at all).
        bound_inactive_read_ = true;
        read_netlink_tcp_bound_inactive(*table_);
        return lookup();
    }
    return nullptr;
}

SocketWalk* current_walk() {
    linux_scope::Scope* scope = linux_scope::current();
    return scope != nullptr ? &scope->sockets : nullptr;
}

std::optional<KernelSocket> describe_socket(std::uint64_t inode, int pid, int fd) {
    if (SocketWalk* walk = current_walk()) {
        const KernelSocket* found = walk->find_socket(inode, pid, fd);
        return found != nullptr ? std::optional<KernelSocket>(*found) : std::nullopt;
    }
    SocketTable table = read_kernel_sockets();
    auto it = table.find(inode);
    if (it == table.end()) {
        read_netlink_tcp_bound_inactive(table);
        it = table.find(inode);
    }
    return it != table.end() ? std::optional<KernelSocket>(it->second) : std::nullopt;
}

}  // namespace lumenstat::os::linux_sockets
