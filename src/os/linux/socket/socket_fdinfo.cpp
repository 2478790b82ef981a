// proc_pidfdinfo(PROC_PIDFDSOCKETINFO) of the Linux personality: the
// descriptor's link names the socket inode, the kernel's socket tables give
// its details (see socket_walk.h for when they are read).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"
#include "os/linux/socket/socket_walk.h"
#include "os/linux/socket/tcp_states.h"
#include "os/linux/process/thread_group.h"

namespace lumenstat::os {

namespace {

namespace d = darwin;

void copy_address(const std::uint8_t (&from)[16], bool ipv6, d::in4in6_or_6_addr& to) {
    if (ipv6) {
        std::memcpy(to.bytes, from, 16);
    } else {
        std::memcpy(to.bytes + 12, from, 4);
    }
}

void fill(d::socket_fdinfo& info, std::uint64_t inode, const linux_sockets::KernelSocket* socket) {
    d::socket_info& si = info.psi;
    si.soi_stat.vst_ino = inode;
    si.soi_stat.vst_mode = S_IFSOCK;
    if (socket == nullptr) {
        // Not a TCP or UDP socket of this network namespace (Unix, netlink,
        // packet, ...): only its identity is known.
        si.soi_kind = d::SOCKINFO_GENERIC;
        si.soi_family = d::DARWIN_AF_UNSPEC;
        return;
    }
    si.soi_type = socket->tcp ? d::DARWIN_SOCK_STREAM : d::DARWIN_SOCK_DGRAM;
    si.soi_protocol = socket->tcp ? d::DARWIN_IPPROTO_TCP : d::DARWIN_IPPROTO_UDP;
    si.soi_family = socket->ipv6 ? d::DARWIN_AF_INET6 : d::DARWIN_AF_INET;
    si.soi_kind = socket->tcp ? d::SOCKINFO_TCP : d::SOCKINFO_IN;
    // The in_sockinfo part sits at the same place for both kinds.
    d::in_sockinfo& in = si.soi_proto.pri_in;
    // Darwin flags an IPv6 socket that takes IPv4 traffic too with both versions.
    in.insi_vflag = !socket->ipv6        ? d::INI_IPV4
                    : socket->dual_stack ? d::INI_IPV4 | d::INI_IPV6
                                         : d::INI_IPV6;
    in.insi_lport = socket->local_port;
    in.insi_fport = socket->remote_port;
    copy_address(socket->local, socket->ipv6, in.insi_laddr);
    copy_address(socket->remote, socket->ipv6, in.insi_faddr);
    bool listening = socket->tcp && socket->state == linux_sockets::LINUX_TCP_LISTEN;
    std::uint32_t unread = socket->recv_queue;
    if (socket->tcp) {
        si.soi_proto.pri_tcp.tcpsi_state = linux_sockets::darwin_tcp_state(socket->state);
        if (unread > 0 && linux_sockets::queue_counts_fin(socket->state)) {
            --unread;
        }
    }
    // A listener's queue figures are its accept backlog and its limit, not bytes.
    si.soi_rcv.sbi_cc = listening ? 0 : unread;
    si.soi_snd.sbi_cc = listening ? 0 : socket->send_queue;
    si.soi_rcv.sbi_hiwat = socket->recv_buffer;
    si.soi_snd.sbi_hiwat = socket->send_buffer;
}

// The socket inode behind descriptor `fd` of `pid`, or 0 with errno set.
std::uint64_t read_socket_inode(int pid, int fd) {
    char path[64];
    if (pid < 0 || fd < 0) {
        errno = pid < 0 ? ESRCH : EBADF;
        return 0;
    }
    std::snprintf(path, sizeof(path), "/proc/%d/fd/%d", pid, fd);
    char link[64];
    ssize_t length = ::readlink(path, link, sizeof(link));
    if (length < 0) {
        int failure = errno;
        char process[64];
        if (failure == ENOENT && procfs::pid_path(process, sizeof(process), pid, "") &&
            ::access(process, F_OK) == 0) {
            errno = EBADF;  // the process lives, the descriptor does not
        } else {
            errno = failure == ENOENT ? ESRCH : failure == EACCES ? EPERM : failure;
        }
        return 0;
    }
    std::string_view text(link, static_cast<std::size_t>(length));
    constexpr std::string_view prefix = "socket:[";
    std::uint64_t inode = 0;
    if (text.starts_with(prefix) && text.ends_with(']')) {
        const char* first = text.data() + prefix.size();
        const char* last = text.data() + text.size() - 1;
        auto [end, error] = std::from_chars(first, last, inode);
        if (error == std::errc() && end == last && inode != 0) {
            return inode;
        }
    }
    errno = EBADF;  // not a socket
    return 0;
}

}  // namespace

namespace linux_sockets {

std::optional<unsigned> tables_holding(int pid, int fd) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/fd/%d", pid, fd);
    char name[32];
    const ssize_t length = ::getxattr(path, "system.sockprotoname", name, sizeof(name) - 1);
    if (length <= 0) {
        return std::nullopt;
    }
    // The name ends with its terminating zero.
    const std::string_view protocol(name, ::strnlen(name, static_cast<std::size_t>(length)));
    if (protocol == "TCP" || protocol == "TCPv6") {
        return kTcpTables;
    }
    if (protocol == "UDP" || protocol == "UDPv6") {
        return kUdpTables;
    }
    return 0u;
}

}  // namespace linux_sockets

int LinuxSystem::proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) {
    if (flavor != d::PROC_PIDFDSOCKETINFO) {
        errno = ENOTSUP;
        return 0;
    }
    if (buffer == nullptr || buffersize < static_cast<int>(sizeof(d::socket_fdinfo))) {
        errno = ENOMEM;
        return 0;
    }
    // A descriptor listed by PROC_PIDLISTFDS belongs to a process: the
    // listing refuses a thread id as every per-process call does.
    std::uint64_t inode = 0;
    linux_sockets::SocketWalk* walk = linux_sockets::current_walk();
    if (auto listed = walk != nullptr ? walk->listed_socket_inode(pid, fd) : std::nullopt) {
        inode = *listed;
    } else if (!procfs::is_thread_group(pid)) {
        errno = ESRCH;
        return 0;
    } else if ((inode = read_socket_inode(pid, fd)) == 0) {
        return 0;
    }
    const std::optional<linux_sockets::KernelSocket> socket =
        linux_sockets::describe_socket(inode, pid, fd);
    d::socket_fdinfo info{};
    fill(info, inode, socket ? &*socket : nullptr);
    std::memcpy(buffer, &info, sizeof(info));
    return static_cast<int>(sizeof(info));
}

}  // namespace lumenstat::os
