// The socket tracker: every socket of the machine (one enumeration, or the
// cache's copy of one), kept for the watched process, each key reported once.
// A socket's key is all of its record but the pid, so a socket that changes
// state is a new key.
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "process/known_set_hash.h"
#include "process/tracker.h"
#include "process/tracker_thread.h"

namespace lumenstat {
namespace {

struct SocketKey {
    Protocol protocol;
    SocketAddress local_addr;
    std::optional<SocketAddress> remote_addr;
    SocketState state;
    std::uint64_t inode;

    friend bool operator==(const SocketKey&, const SocketKey&) = default;
};

// Hashes exactly what address equality compares.
std::uint64_t hash_address(std::uint64_t hash, const SocketAddress& address) {
    hash = mix_hash(hash, static_cast<std::uint64_t>(address.family) << 16 | address.port);
    const std::size_t length = address.is_v4() ? 4 : address.bytes.size();
    for (std::size_t i = 0; i < length; i += 4) {
        std::uint64_t word = 0;
        for (std::size_t j = i; j < i + 4; ++j) word = word << 8 | address.bytes[j];
        hash = mix_hash(hash, word);
    }
    if (address.is_v6()) {
        hash =
            mix_hash(hash, static_cast<std::uint64_t>(address.flowinfo) << 32 | address.scope_id);
    }
    return hash;
}

struct SeededKeyHash {
    std::uint64_t seed;
    std::size_t operator()(const SocketKey& key) const {
        std::uint64_t hash = mix_hash(seed, static_cast<std::uint64_t>(key.protocol) << 8 |
                                                static_cast<std::uint64_t>(key.state));
        hash = hash_address(hash, key.local_addr);
        hash = key.remote_addr ? hash_address(hash, *key.remote_addr) : mix_hash(hash, 0);
        return mix_hash(hash, key.inode);
    }
};

class SocketTrackerState final : public TrackerState {
public:
    SocketTrackerState(os::System& system, std::uint32_t pid, std::unique_ptr<SocketSink> sink,
                       SocketCache& cache)
        : TrackerState(system, pid),
          cache_(cache),
          known_(0, SeededKeyHash{random_hash_seed()}),
          sink_(std::move(sink)) {}

    bool cycle() override {
        std::optional<std::vector<SocketConnection>> kept = poll();
        if (!kept) return true;
        std::lock_guard lock(lock_);
        for (const SocketConnection& connection : *kept) {
            SocketKey key{connection.protocol, connection.local_addr, connection.remote_addr,
                          connection.state, connection.inode};
            if (!known_.insert(std::move(key)).second) continue;
            if (!sink_->deliver(SocketConnectionEvent::from(connection))) return false;
        }
        return true;
    }

private:
    // The process's records in the order the listing yields them.
    std::optional<std::vector<SocketConnection>> poll() {
        os::QueryScope scope(system());
        Result<StateGroups> groups = get_connections(system(), cache_);
        if (!groups) return std::nullopt;
        std::vector<SocketConnection> kept;
        for (auto& [state, records] : *groups) {
            for (SocketConnection& record : records) {
                if (record.pid == pid()) kept.push_back(std::move(record));
            }
        }
        return kept;
    }

    SocketCache& cache_;
    std::unordered_set<SocketKey, SeededKeyHash> known_;
    std::unique_ptr<SocketSink> sink_;
};

}  // namespace

Result<ProcessSocketTracker> start_tracking_sockets(os::System& system, std::uint32_t pid,
                                                    std::unique_ptr<SocketSink> sink,
                                                    SocketCache& cache) {
    return start_tracker<ProcessSocketTracker, SocketTrackerState>(system, pid, std::move(sink),
                                                                   cache);
}

}  // namespace lumenstat
