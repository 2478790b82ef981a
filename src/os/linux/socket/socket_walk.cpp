#include "os/linux/socket/socket_walk.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "os/linux/socket/descriptors.h"
#include "os/linux/query_scope.h"

namespace lumenstat::os::linux_sockets {

namespace {

void read_whole_listing(int pid, DescriptorListing& out) {
    linux_descriptors::read_listing(pid, SIZE_MAX, out);
}

}  // namespace

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
        table_reader_ = linux_ahead::HelperThread::start([this] {
            auto table = std::make_unique<SocketTable>(read_table_());
            helper_table_.store(table.release(), std::memory_order_release);
        });
    }
    stop_reading_ahead();
    ahead_ = linux_ahead::ReadAhead<DescriptorListing>::start(pids, read_listing_);
}

void SocketWalk::stop_reading_ahead() { ahead_.reset(); }

bool SocketWalk::lists(int pid) const { return ahead_ != nullptr && ahead_->lists(pid); }

DescriptorListing* SocketWalk::read_ahead_listing(int pid) {
    return ahead_ != nullptr ? ahead_->take(pid) : nullptr;
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
