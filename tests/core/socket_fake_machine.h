// A scripted machine of processes, descriptors and socket records for the
// socket tests: installs libproc answers into a FakeSystem and counts calls.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/darwin_socket.h"
#include "support/fake_system.h"

namespace lumenstat::testing {

namespace d = darwin;

inline constexpr int V4 = d::DARWIN_AF_INET, V6 = d::DARWIN_AF_INET6;

struct FakeDescriptor {
    int fd = 0;
    std::uint32_t type = d::PROX_FDTYPE_SOCKET;
    std::optional<d::socket_fdinfo> info;  // absent: proc_pidfdinfo fails
    int result = static_cast<int>(sizeof(d::socket_fdinfo));
};

struct FakeProcess {
    FakeProcess(int pid, std::vector<FakeDescriptor> fds = {}) : pid(pid), fds(std::move(fds)) {}

    int pid;
    std::vector<FakeDescriptor> fds;
    bool size_readable = true;  // the size probe of the descriptor list
    bool fds_readable = true;   // else the listing fails with EPERM
    // pbi_nfiles and the size probe's count; default: the number of fds
    std::optional<std::uint32_t> nfiles;
};

struct FakeMachine {
    std::vector<FakeProcess> processes;
    std::optional<std::string> debug_pid;
    std::uint64_t now_ns = 5'000'000'000;
    std::optional<int> listpids_probe;  // absent: the honest size
    int listpids_calls = 0;
    int fdinfo_calls = 0;
    std::vector<int> listfds_sizes;

    void install(FakeSystem& system) {
        system.on_getenv = [this](const char* name) {
            bool set = std::string(name) == "DEBUG_SOCKET_PID" && debug_pid;
            return set ? debug_pid->c_str() : nullptr;
        };
        system.on_monotonic_ns = [this] { return now_ns; };
        system.on_proc_listpids = [this](std::uint32_t, std::uint32_t, void* out, int size) {
            ++listpids_calls;
            if (out == nullptr) {
                return listpids_probe.value_or(static_cast<int>(processes.size() * 4));
            }
            std::size_t n = std::min(processes.size(), static_cast<std::size_t>(size) / 4);
            for (std::size_t i = 0; i < n; ++i) static_cast<int*>(out)[i] = processes[i].pid;
            return static_cast<int>(n * 4);
        };
        system.on_proc_pidinfo = [this](int pid, int flavor, std::uint64_t, void* out, int size) {
            const FakeProcess* process = find(pid);
            if (process == nullptr) return errno = ESRCH, 0;
            if (flavor == d::PROC_PIDTASKALLINFO) {
                if (size < (int)sizeof(d::proc_taskallinfo)) return 0;
                auto* info = static_cast<d::proc_taskallinfo*>(out);
                *info = {};
                info->pbsd.pbi_nfiles = process->nfiles.value_or(process->fds.size());
                return static_cast<int>(sizeof(*info));
            }
            if (flavor == d::PROC_PIDLISTFDS && out == nullptr) {
                if (!process->size_readable) return 0;
                return static_cast<int>(std::min<std::uint64_t>(
                    std::uint64_t{process->nfiles.value_or(process->fds.size())} * 8, INT32_MAX));
            }
            listfds_sizes.push_back(size);
            if (flavor != d::PROC_PIDLISTFDS) return 0;
            if (!process->fds_readable) return errno = EPERM, 0;
            std::size_t n = std::min(process->fds.size(), static_cast<std::size_t>(size) / 8);
            for (std::size_t i = 0; i < n; ++i) {
                static_cast<d::proc_fdinfo*>(out)[i] = {process->fds[i].fd, process->fds[i].type};
            }
            return static_cast<int>(n * 8);
        };
        system.on_proc_pidfdinfo = [this](int pid, int fd, int flavor, void* out, int size) {
            ++fdinfo_calls;
            const FakeProcess* process = find(pid);
            if (process == nullptr || flavor != d::PROC_PIDFDSOCKETINFO ||
                size != (int)sizeof(d::socket_fdinfo)) {
                return 0;
            }
            for (const FakeDescriptor& descriptor : process->fds) {
                if (descriptor.fd != fd || !descriptor.info) continue;
                std::memcpy(out, &*descriptor.info, sizeof(d::socket_fdinfo));
                return descriptor.result;
            }
            return errno = EBADF, 0;
        };
    }

    const FakeProcess* find(int pid) const {
        auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const FakeProcess& p) { return p.pid == pid; });
        return it == processes.end() ? nullptr : &*it;
    }
};

// A socket as Darwin's kernel fills it, from 127.0.0.1 (::1 when `family` is
// AF_INET6) to 127.0.0.2 (::2); a remote port of 0 leaves the remote address
// zero. IPv4 addresses sit in the last four bytes of the 16-byte fields.
inline d::socket_fdinfo socket_info(int kind, int protocol, int family, std::uint16_t lport,
                                    std::uint16_t rport, int tcp_state, std::uint8_t vflag = 0) {
    d::socket_fdinfo info{};
    info.psi.soi_kind = kind;
    info.psi.soi_protocol = protocol;
    info.psi.soi_family = family;
    d::in_sockinfo& in = info.psi.soi_proto.pri_in;
    in.insi_vflag = vflag;
    auto fill = [&](std::uint8_t* bytes, std::uint8_t last) {
        bytes[15] = last;
        if (family != d::DARWIN_AF_INET6) bytes[12] = 127;
    };
    fill(in.insi_laddr.bytes, 1);
    in.insi_lport = htons(lport);
    if (rport != 0) fill(in.insi_faddr.bytes, 2);
    in.insi_fport = htons(rport);
    info.psi.soi_proto.pri_tcp.tcpsi_state = tcp_state;
    return info;
}

inline d::socket_fdinfo tcp(int family, std::uint16_t lport, std::uint16_t rport, int state,
                            std::uint8_t vflag = 0) {
    return socket_info(d::SOCKINFO_TCP, d::DARWIN_IPPROTO_TCP, family, lport, rport, state, vflag);
}

inline d::socket_fdinfo udp(int family, std::uint16_t lport, std::uint16_t rport = 0) {
    return socket_info(d::SOCKINFO_IN, d::DARWIN_IPPROTO_UDP, family, lport, rport, 0);
}

inline FakeDescriptor socket_fd(int fd, const d::socket_fdinfo& info) {
    return {fd, d::PROX_FDTYPE_SOCKET, info};
}

inline FakeDescriptor listener(int fd, std::uint16_t port, int family = d::DARWIN_AF_INET) {
    return socket_fd(fd, tcp(family, port, 0, d::TCPS_LISTEN));
}

inline FakeDescriptor file_fd(int fd) { return {fd, d::PROX_FDTYPE_VNODE, std::nullopt, 0}; }

}  // namespace lumenstat::testing
