#include "socket/queues.h"

#include <algorithm>
#include <array>
#include <optional>

#include "os/darwin_socket.h"

namespace lumenstat {

namespace {

namespace d = darwin;

constexpr std::size_t kDescriptorRoom = 2048;  // one 16 KiB buffer

std::optional<Protocol> queue_protocol(const d::socket_info& info) {
    bool v4 = info.soi_family == d::DARWIN_AF_INET;
    bool v6 = info.soi_family == d::DARWIN_AF_INET6;
    if (!v4 && !v6) return std::nullopt;
    if (info.soi_protocol == d::DARWIN_IPPROTO_TCP) return v4 ? Protocol::TcpV4 : Protocol::TcpV6;
    if (info.soi_protocol == d::DARWIN_IPPROTO_UDP) return v4 ? Protocol::UdpV4 : Protocol::UdpV6;
    return std::nullopt;
}

}  // namespace

Result<std::vector<SocketQueueInfo>> get_process_socket_queues(os::System& system,
                                                               std::uint32_t pid) {
    os::QueryScope scope(system);
    std::vector<SocketQueueInfo> records;
    std::array<d::proc_fdinfo, kDescriptorRoom> fds{};
    const int process = static_cast<int>(pid);
    int listed = system.proc_pidinfo(process, d::PROC_PIDLISTFDS, 0, fds.data(),
                                     static_cast<int>(sizeof(fds)));
    if (listed < static_cast<int>(sizeof(d::proc_fdinfo))) {
        return records;
    }
    std::size_t count =
        std::min(kDescriptorRoom, static_cast<std::size_t>(listed) / sizeof(d::proc_fdinfo));
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].proc_fdtype != d::PROX_FDTYPE_SOCKET) {
            continue;
        }
        d::socket_fdinfo fdinfo{};
        if (system.proc_pidfdinfo(process, fds[i].proc_fd, d::PROC_PIDFDSOCKETINFO, &fdinfo,
                                  sizeof(fdinfo)) < static_cast<int>(sizeof(fdinfo))) {
            continue;
        }
        const d::socket_info& info = fdinfo.psi;
        std::optional<Protocol> protocol = queue_protocol(info);
        if (!protocol) {
            continue;
        }
        AddressFamily family =
            info.soi_family == d::DARWIN_AF_INET6 ? AddressFamily::V6 : AddressFamily::V4;
        const d::in_sockinfo& in = info.soi_proto.pri_in;
        SocketQueueInfo record;
        record.pid = pid;
        record.fd = static_cast<std::uint32_t>(fds[i].proc_fd);
        record.protocol = *protocol;
        record.local_addr = SocketAddress::from_kernel(family, in.insi_laddr.bytes, in.insi_lport);
        if (SocketAddress::port_from_kernel(in.insi_fport) != 0) {
            record.remote_addr =
                SocketAddress::from_kernel(family, in.insi_faddr.bytes, in.insi_fport);
        }
        // state_from_kernel maps anything outside 0..10 to Unknown.
        record.state = info.soi_kind == d::SOCKINFO_TCP
                           ? state_from_kernel(info.soi_proto.pri_tcp.tcpsi_state)
                           : SocketState::Unknown;
        record.recv_queue_bytes = info.soi_rcv.sbi_cc;
        record.recv_queue_hiwat = info.soi_rcv.sbi_hiwat;
        record.send_queue_bytes = info.soi_snd.sbi_cc;
        record.send_queue_hiwat = info.soi_snd.sbi_hiwat;
        records.push_back(record);
    }
    return records;
}

}  // namespace lumenstat
