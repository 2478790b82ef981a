#include "socket/traffic.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "os/darwin_socket.h"
#include "socket/traffic_table.h"

namespace lumenstat {

namespace {

namespace d = darwin;

constexpr const char* kTrafficTool = "nettop";
// Keeps the descriptor list's size in bytes within an int.
constexpr std::uint32_t kMaxListedDescriptors = 1u << 20;

// Writes all of `text` to file descriptor 2, past interruptions and partial writes.
void write_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// "return code = 0, errno = 3, message = 'No such process'"
std::string libproc_error_text(int result, int error) {
    return "return code = " + std::to_string(result) + ", errno = " + std::to_string(error) +
           ", message = '" + os_error_description(error) + "'";
}

// An IPv6 socket that also takes IPv4 traffic (no IPV6_V6ONLY) carries both
// version flags and IPv6 addresses: it is an IPv6 socket.
std::optional<Protocol> tcp_protocol(const d::socket_info& info) {
    if (info.soi_kind != d::SOCKINFO_TCP) return std::nullopt;
    const std::uint8_t vflag = info.soi_proto.pri_in.insi_vflag;
    if ((vflag & d::INI_IPV6) != 0) return Protocol::TcpV6;
    if (vflag == d::INI_IPV4) return Protocol::TcpV4;
    return std::nullopt;
}

// The TCP sockets among the process's descriptors, counts at 0; nothing
// (after its line) when the process or its descriptor list cannot be read.
std::vector<SocketStats> tcp_sockets(os::System& system, std::uint32_t pid) {
    std::vector<SocketStats> records;
    const int process = static_cast<int>(pid);
    d::proc_taskallinfo task{};
    int result = system.proc_pidinfo(process, d::PROC_PIDTASKALLINFO, 0, &task, sizeof(task));
    if (result <= 0) {
        int error = errno;
        write_stderr("[SocketStats] pidinfo failed for PID " + std::to_string(pid) + ": " +
                     libproc_error_text(result, error) + "\n");
        return records;
    }
    std::uint32_t nfiles = std::min(task.pbsd.pbi_nfiles, kMaxListedDescriptors);
    std::vector<d::proc_fdinfo> fds(nfiles);
    result = system.proc_pidinfo(process, d::PROC_PIDLISTFDS, 0, fds.data(),
                                 static_cast<int>(nfiles * sizeof(d::proc_fdinfo)));
    if (result <= 0) {
        int error = errno;
        write_stderr("[SocketStats] listpidinfo failed for PID " + std::to_string(pid) + ": " +
                     libproc_error_text(result, error) + "\n");
        return records;
    }
    fds.resize(std::min<std::size_t>(nfiles, static_cast<std::size_t>(result) / sizeof(fds[0])));
    for (const d::proc_fdinfo& fd : fds) {
        if (fd.proc_fdtype != d::PROX_FDTYPE_SOCKET) continue;
        d::socket_fdinfo fdinfo{};
        if (system.proc_pidfdinfo(process, fd.proc_fd, d::PROC_PIDFDSOCKETINFO, &fdinfo,
                                  sizeof(fdinfo)) <= 0) {
            continue;
        }
        std::optional<Protocol> protocol = tcp_protocol(fdinfo.psi);
        if (!protocol) continue;
        AddressFamily family = *protocol == Protocol::TcpV6 ? AddressFamily::V6 : AddressFamily::V4;
        const d::in_sockinfo& in = fdinfo.psi.soi_proto.pri_in;
        SocketStats record;
        record.pid = pid;
        record.fd = static_cast<std::uint32_t>(fd.proc_fd);
        record.protocol = *protocol;
        record.local_addr = SocketAddress::from_kernel(family, in.insi_laddr.bytes, in.insi_lport);
        if (SocketAddress::port_from_kernel(in.insi_fport) != 0) {
            record.remote_addr =
                SocketAddress::from_kernel(family, in.insi_faddr.bytes, in.insi_fport);
        }
        records.push_back(record);
    }
    return records;
}

// One sample of the tool for the process; an empty table when it cannot be
// started (after its line) or does not exit with status 0.
TrafficTable sample_traffic(os::System& system, std::uint32_t pid) {
    const std::string pid_text = std::to_string(pid);
    const char* argv[] = {kTrafficTool, "-L", "1", "-n", "-p", pid_text.c_str(), nullptr};
    os::ChildOutput output;
    if (system.spawn_collect(kTrafficTool, argv, output) != 0) {
        int error = errno;
        write_stderr(std::string("[SocketStats] ") + kTrafficTool +
                     " failed: " + os_error_text(error) + "\n");
        return {};
    }
    if (!output.wait_status || !WIFEXITED(*output.wait_status) ||
        WEXITSTATUS(*output.wait_status) != 0) {
        return {};
    }
    return TrafficTable::parse(output.standard_output);
}

}  // namespace

Result<std::vector<SocketStats>> get_process_socket_stats(os::System& system, std::uint32_t pid) {
    os::QueryScope scope(system);
    std::vector<SocketStats> records = tcp_sockets(system, pid);
    if (records.empty()) return records;
    const TrafficTable traffic = sample_traffic(system, pid);
    for (SocketStats& record : records) {
        if (auto counts = traffic.find(record.local_addr, record.remote_addr)) {
            record.bytes_sent = counts->bytes_sent;
            record.bytes_received = counts->bytes_received;
        }
    }
    return records;
}

}  // namespace lumenstat
