#include "socket/enumeration.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "never_destroyed.h"

namespace lumenstat {

namespace {

namespace d = darwin;

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
// Bound on a descriptor table the kernel claims, so that a bogus count cannot
// make the enumeration allocate gigabytes; Darwin's own limit is far lower.
constexpr std::uint32_t kMaxDescriptors = 1u << 20;

// An IPv6 socket that also takes IPv4 traffic (no IPV6_V6ONLY) carries both
// version flags and IPv6 addresses: it is an IPv6 socket.
std::optional<AddressFamily> ip_version(const d::socket_info& info) {
    const std::uint8_t vflag = info.soi_proto.pri_in.insi_vflag;
    if ((vflag & d::INI_IPV6) != 0) return AddressFamily::V6;
    switch (vflag) {
        case d::INI_IPV4:
            return AddressFamily::V4;
        case 0:
            if (info.soi_family == d::DARWIN_AF_INET) return AddressFamily::V4;
            if (info.soi_family == d::DARWIN_AF_INET6) return AddressFamily::V6;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// Writes all of `text` to file descriptor 1, past interruptions and partial writes.
void write_stdout(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void enumerate_process(os::System& system, int pid, std::optional<std::uint32_t> debug_pid,
                       std::vector<d::proc_fdinfo>& fds, FullTable& table) {
    // The listing's own size probe bounds it as pbi_nfiles of the task's BSD
    // information would, fails for the same processes, and reads less.
    const int needed = system.proc_pidinfo(pid, d::PROC_PIDLISTFDS, 0, nullptr, 0);
    if (needed <= 0) {
        return;
    }
    const std::uint32_t nfiles =
        std::min(static_cast<std::uint32_t>(static_cast<unsigned>(needed) / sizeof(d::proc_fdinfo)),
                 kMaxDescriptors);
    if (nfiles == 0) {
        return;
    }
    fds.assign(nfiles, d::proc_fdinfo{});
    int listed = system.proc_pidinfo(pid, d::PROC_PIDLISTFDS, 0, fds.data(),
                                     static_cast<int>(nfiles * sizeof(d::proc_fdinfo)));
    if (listed <= 0) {
        return;
    }
    std::size_t count =
        std::min<std::size_t>(nfiles, static_cast<std::size_t>(listed) / sizeof(d::proc_fdinfo));
    auto record_pid = static_cast<std::uint32_t>(pid);
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].proc_fdtype != d::PROX_FDTYPE_SOCKET) {
            continue;
        }
        d::socket_fdinfo info{};
        if (system.proc_pidfdinfo(pid, fds[i].proc_fd, d::PROC_PIDFDSOCKETINFO, &info,
                                  sizeof(info)) <= 0) {
            continue;
        }
        std::optional<SocketConnection> record = classify_socket(info, record_pid);
        if (!record) {
            continue;
        }
        if (debug_pid == record_pid) {
            write_stdout("conn: " + debug_text(*record) + "\n");
        }
        table[record->protocol][record->state].push_back(std::move(*record));
    }
}

}  // namespace

std::optional<SocketConnection> classify_socket(const d::socket_fdinfo& fdinfo, std::uint32_t pid) {
    const d::socket_info& info = fdinfo.psi;
    bool tcp;
    bool tcp_state;
    if (info.soi_kind == d::SOCKINFO_TCP &&
        (info.soi_protocol == d::DARWIN_IPPROTO_TCP || info.soi_protocol == 0)) {
        tcp = true;
        tcp_state = true;
    } else if (info.soi_kind == d::SOCKINFO_IN &&
               (info.soi_protocol == d::DARWIN_IPPROTO_UDP || info.soi_protocol == 0)) {
        tcp = false;
        tcp_state = false;
    } else if (info.soi_kind == d::SOCKINFO_IN && info.soi_protocol == d::DARWIN_IPPROTO_TCP) {
        tcp = true;
        tcp_state = false;
    } else {
        return std::nullopt;
    }
    std::optional<AddressFamily> family = ip_version(info);
    if (!family) {
        return std::nullopt;
    }
    bool v6 = *family == AddressFamily::V6;
    const d::in_sockinfo& in = info.soi_proto.pri_in;
    SocketConnection record;
    record.protocol =
        tcp ? (v6 ? Protocol::TcpV6 : Protocol::TcpV4) : (v6 ? Protocol::UdpV6 : Protocol::UdpV4);
    record.local_addr = SocketAddress::from_kernel(*family, in.insi_laddr.bytes, in.insi_lport);
    if (tcp && SocketAddress::port_from_kernel(in.insi_fport) != 0) {
        record.remote_addr =
            SocketAddress::from_kernel(*family, in.insi_faddr.bytes, in.insi_fport);
    }
    record.state =
        tcp_state ? state_from_kernel(info.soi_proto.pri_tcp.tcpsi_state) : SocketState::Unknown;
    record.pid = pid;
    record.inode = 0;
    return record;
}

std::optional<std::uint32_t> parse_debug_pid(const char* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string_view text(value);
    if (!is_valid_utf8(text)) {
        return std::nullopt;
    }
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(number);
}

std::optional<StateGroups> SocketCache::fresh(Protocol protocol, std::uint64_t now_ns) {
    return locked([&]() -> std::optional<StateGroups> {
        if (unusable_ || !table_) {
            return std::nullopt;
        }
        bool is_fresh = now_ns < stored_ns_ || (now_ns - stored_ns_) / kNanosPerSecond == 0;
        if (!is_fresh) {
            return std::nullopt;
        }
        auto it = table_->find(protocol);
        return it == table_->end() ? StateGroups{} : it->second;
    });
}

void SocketCache::store(const FullTable& table, std::uint64_t now_ns) {
    locked([&] {
        if (!unusable_) {
            table_ = table;
            stored_ns_ = now_ns;
        }
    });
}

bool SocketCache::unusable() {
    return locked([&] { return unusable_; });
}

SocketCache& socket_cache() {
    static NeverDestroyed<SocketCache> cache;
    static_assert(std::is_trivially_destructible_v<decltype(cache)>);
    // Without the handlers (out of memory) a fork is only as safe as before.
    [[maybe_unused]] static const int fork_handled = ::pthread_atfork(
        [] { socket_cache().hold_for_fork(); }, [] { socket_cache().release_after_fork(); },
        [] { socket_cache().release_after_fork(); });
    return cache.get();
}

FullTable enumerate_sockets(os::System& system) {
    os::QueryScope scope(system);
    FullTable table;
    std::optional<std::uint32_t> debug_pid = parse_debug_pid(system.getenv("DEBUG_SOCKET_PID"));

    errno = 0;
    int needed = system.proc_listpids(d::PROC_ALL_PIDS, 0, nullptr, 0);
    if (needed < 0 || (needed == 0 && errno != 0)) {
        return table;
    }
    std::vector<int> pids(static_cast<std::size_t>(needed) / sizeof(int));
    int got = system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(),
                                   static_cast<int>(pids.size() * sizeof(int)));
    if (got < static_cast<int>(sizeof(int))) {
        return table;
    }
    pids.resize(std::min(pids.size(), static_cast<std::size_t>(got) / sizeof(int)));

    std::vector<d::proc_fdinfo> fds;
    for (int pid : pids) {
        enumerate_process(system, pid, debug_pid, fds, table);
    }
    return table;
}

Result<StateGroups> socket_table(os::System& system, Protocol protocol, SocketCache& cache) {
    if (std::optional<StateGroups> cached = cache.fresh(protocol, system.monotonic_ns())) {
        return std::move(*cached);
    }
    FullTable table = enumerate_sockets(system);
    cache.store(table, system.monotonic_ns());
    auto it = table.find(protocol);
    return it == table.end() ? StateGroups{} : std::move(it->second);
}

void merge_groups(StateGroups& into, StateGroups&& from) {
    for (auto& [state, records] : from) {
        std::vector<SocketConnection>& group = into[state];
        if (group.empty()) {
            group = std::move(records);
        } else {
            group.insert(group.end(), std::make_move_iterator(records.begin()),
                         std::make_move_iterator(records.end()));
        }
    }
}

namespace {

Result<StateGroups> merged(os::System& system, SocketCache& cache, Protocol first,
                           Protocol second) {
    StateGroups result;
    for (Protocol protocol : {first, second}) {
        Result<StateGroups> groups = socket_table(system, protocol, cache);
        if (!groups) {
            return std::unexpected(std::move(groups.error()));
        }
        merge_groups(result, std::move(*groups));
    }
    return result;
}

}  // namespace

Result<StateGroups> get_tcp_connections(os::System& system, SocketCache& cache) {
    return merged(system, cache, Protocol::TcpV4, Protocol::TcpV6);
}

Result<StateGroups> get_udp_sockets(os::System& system, SocketCache& cache) {
    return merged(system, cache, Protocol::UdpV4, Protocol::UdpV6);
}

Result<StateGroups> get_connections(os::System& system, SocketCache& cache) {
    Result<StateGroups> result = get_tcp_connections(system, cache);
    if (!result) {
        return result;
    }
    Result<StateGroups> udp = get_udp_sockets(system, cache);
    if (!udp) {
        return udp;
    }
    merge_groups(*result, std::move(*udp));
    return result;
}

Result<SocketStateSummary> get_socket_summary(os::System& system, SocketCache& cache) {
    Result<StateGroups> groups = get_connections(system, cache);
    if (!groups) {
        return std::unexpected(std::move(groups.error()));
    }
    SocketStateSummary summary;
    for (const auto& [state, records] : *groups) {
        std::uint64_t count = records.size();
        summary.total += count;
        switch (state) {
            case SocketState::Established:
                summary.established += count;
                break;
            case SocketState::Listen:
                summary.listen += count;
                break;
            case SocketState::TimeWait:
                summary.time_wait += count;
                break;
            case SocketState::CloseWait:
                summary.close_wait += count;
                break;
            default:
                break;
        }
    }
    return summary;
}

std::vector<SocketConnection> flatten(const StateGroups& groups) {
    std::size_t total = 0;
    for (const auto& [state, records] : groups) total += records.size();
    std::vector<SocketConnection> out;
    out.reserve(total);
    for (const auto& [state, records] : groups) {
        out.insert(out.end(), records.begin(), records.end());
    }
    return out;
}

}  // namespace lumenstat
