#include "socket/lookups.h"

namespace lumenstat {

namespace {

template <class Matches>
FoundConnection first_matching(os::System& system, SocketCache& cache, Matches matches) {
    Result<StateGroups> groups = get_connections(system, cache);
    if (!groups) {
        return std::unexpected(std::move(groups.error()));
    }
    // Group after group in the map's order: the order a flattened listing has.
    for (const auto& [state, records] : *groups) {
        for (const SocketConnection& record : records) {
            if (matches(record)) {
                return record;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

FoundConnection connection_by_pid(os::System& system, std::uint32_t pid, SocketCache& cache) {
    return first_matching(system, cache, [&](const SocketConnection& r) { return r.pid == pid; });
}

FoundConnection connection_by_inode(os::System& system, std::uint64_t inode, SocketCache& cache) {
    return first_matching(system, cache,
                          [&](const SocketConnection& r) { return r.inode == inode; });
}

FoundConnection connection_by_local_addr(os::System& system, const SocketAddress& address,
                                         SocketCache& cache) {
    return first_matching(system, cache,
                          [&](const SocketConnection& r) { return r.local_addr == address; });
}

FoundConnection connection_by_remote_addr(os::System& system, const SocketAddress& address,
                                          SocketCache& cache) {
    return first_matching(system, cache, [&](const SocketConnection& r) {
        return r.remote_addr.has_value() && *r.remote_addr == address;
    });
}

Result<std::vector<SocketConnection>> connections_by_state(os::System& system, SocketState state,
                                                           SocketCache& cache) {
    Result<StateGroups> groups = get_connections(system, cache);
    if (!groups) {
        return std::unexpected(std::move(groups.error()));
    }
    auto it = groups->find(state);
    if (it == groups->end()) {
        return std::vector<SocketConnection>{};
    }
    return std::move(it->second);
}

}  // namespace lumenstat
