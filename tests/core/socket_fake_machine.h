// A scripted machine of processes, descriptors and socket records for the
// socket tests: installs libproc answers into a FakeSystem and counts calls.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/darwin_socket.h"
#include "support/fake_system.h"

namespace lumenstat::testing {

namespace d = darwin;

struct FakeDescriptor {
    int fd = 0;
    std::uint32_t type = d::PROX_FDTYPE_SOCKET;
    std::optional<d::socket_fdinfo> info;  // absent: proc_pidfdinfo fails
    int result = static_cast<int>(sizeof(d::socket_fdinfo));
};

struct FakeProcess {
    int pid = 0;
    std::vector<FakeDescriptor> fds;
    bool task_readable = true;
    bool fds_readable = true;
    std::optional<std::uint32_t> nfiles;  // default: the number of fds
};

struct FakeMachine {
    std::vector<FakeProcess> processes;
    std::optional<std::string> debug_pid;
    std::uint64_t now_ns = 5'000'000'000;
    int listpids_probe = -2;  // -2: answer honestly
    int listpids_probe_errno = 0;
    int listpids_calls = 0;
    int fdinfo_calls = 0;
    std::vector<int> listfds_sizes;

    void install(FakeSystem& system) {
        system.on_getenv = [this](const char* name) -> const char* {
            return std::string(name) == "DEBUG_SOCKET_PID" && debug_pid ? debug_pid->c_str()
                                                                        : nullptr;
        };
        system.on_monotonic_ns = [this] { return now_ns; };
        system.on_proc_listpids = [this](std::uint32_t type, std::uint32_t, void* buffer,
                                         int size) {
            ++listpids_calls;
            if (type != d::PROC_ALL_PIDS) return -1;
            if (buffer == nullptr) {
                if (listpids_probe != -2) {
                    errno = listpids_probe_errno;
                    return listpids_probe;
                }
                return static_cast<int>(processes.size() * sizeof(int));
            }
            std::size_t n = std::min(processes.size(), static_cast<std::size_t>(size) / 4);
            for (std::size_t i = 0; i < n; ++i) {
                std::memcpy(static_cast<char*>(buffer) + 4 * i, &processes[i].pid, 4);
            }
            return static_cast<int>(n * 4);
        };
        system.on_proc_pidinfo = [this](int pid, int flavor, std::uint64_t, void* buffer,
                                        int size) -> int {
            const FakeProcess* process = find(pid);
            if (process == nullptr) {
                errno = ESRCH;
                return 0;
            }
            if (flavor == d::PROC_PIDTASKALLINFO) {
                if (!process->task_readable || size < static_cast<int>(sizeof(d::proc_taskallinfo)))
                    return 0;
                d::proc_taskallinfo info{};
                info.pbsd.pbi_pid = static_cast<std::uint32_t>(pid);
                info.pbsd.pbi_nfiles =
                    process->nfiles.value_or(static_cast<std::uint32_t>(process->fds.size()));
                std::memcpy(buffer, &info, sizeof(info));
                return static_cast<int>(sizeof(info));
            }
            if (flavor == d::PROC_PIDLISTFDS) {
                listfds_sizes.push_back(size);
                if (!process->fds_readable) return 0;
                std::size_t n = std::min(process->fds.size(), static_cast<std::size_t>(size) / 8);
                for (std::size_t i = 0; i < n; ++i) {
                    d::proc_fdinfo entry{process->fds[i].fd, process->fds[i].type};
                    std::memcpy(static_cast<char*>(buffer) + 8 * i, &entry, 8);
                }
                return static_cast<int>(n * 8);
            }
            errno = EINVAL;
            return 0;
        };
        system.on_proc_pidfdinfo = [this](int pid, int fd, int flavor, void* buffer,
                                          int size) -> int {
            ++fdinfo_calls;
            const FakeProcess* process = find(pid);
            if (process == nullptr || flavor != d::PROC_PIDFDSOCKETINFO ||
                size != static_cast<int>(sizeof(d::socket_fdinfo))) {
                return 0;
            }
            for (const FakeDescriptor& descriptor : process->fds) {
                if (descriptor.fd == fd && descriptor.info) {
                    std::memcpy(buffer, &*descriptor.info, sizeof(d::socket_fdinfo));
                    return descriptor.result;
                }
            }
            errno = EBADF;
            return 0;
        };
    }

    const FakeProcess* find(int pid) const {
        for (const FakeProcess& process : processes) {
            if (process.pid == pid) return &process;
        }
        return nullptr;
    }
};

// One socket record as Darwin's kernel fills it. `local`/`remote` are the
// 16-byte address fields (an IPv4 address in the last four bytes).
struct SocketSpec {
    int kind = d::SOCKINFO_TCP;
    int protocol = d::DARWIN_IPPROTO_TCP;
    int family = d::DARWIN_AF_INET;
    std::uint8_t vflag = d::INI_IPV4;
    std::array<std::uint8_t, 16> local{};
    std::uint16_t local_port = 0;
    std::array<std::uint8_t, 16> remote{};
    std::uint16_t remote_port = 0;
    int tcp_state = d::TCPS_ESTABLISHED;
    std::uint32_t rcv_cc = 0, rcv_hiwat = 0, snd_cc = 0, snd_hiwat = 0;
};

inline std::array<std::uint8_t, 16> v4_field(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                             std::uint8_t e) {
    std::array<std::uint8_t, 16> field{};
    field[12] = a;
    field[13] = b;
    field[14] = c;
    field[15] = e;
    return field;
}

inline d::socket_fdinfo socket_record(const SocketSpec& spec) {
    d::socket_fdinfo info{};
    info.psi.soi_kind = spec.kind;
    info.psi.soi_protocol = spec.protocol;
    info.psi.soi_family = spec.family;
    d::in_sockinfo& in = info.psi.soi_proto.pri_in;
    in.insi_vflag = spec.vflag;
    std::memcpy(in.insi_laddr.bytes, spec.local.data(), 16);
    std::memcpy(in.insi_faddr.bytes, spec.remote.data(), 16);
    in.insi_lport = htons(spec.local_port);
    in.insi_fport = htons(spec.remote_port);
    info.psi.soi_proto.pri_tcp.tcpsi_state = spec.tcp_state;
    info.psi.soi_rcv.sbi_cc = spec.rcv_cc;
    info.psi.soi_rcv.sbi_hiwat = spec.rcv_hiwat;
    info.psi.soi_snd.sbi_cc = spec.snd_cc;
    info.psi.soi_snd.sbi_hiwat = spec.snd_hiwat;
    return info;
}

inline FakeDescriptor socket_fd(int fd, const SocketSpec& spec) {
    FakeDescriptor descriptor;
    descriptor.fd = fd;
    descriptor.info = socket_record(spec);
    return descriptor;
}

inline FakeDescriptor file_fd(int fd) {
    FakeDescriptor descriptor;
    descriptor.fd = fd;
    descriptor.type = d::PROX_FDTYPE_VNODE;
    return descriptor;
}

inline FakeProcess process(int pid, std::vector<FakeDescriptor> fds = {}) {
    FakeProcess result;
    result.pid = pid;
    result.fds = std::move(fds);
    return result;
}

}  // namespace lumenstat::testing
