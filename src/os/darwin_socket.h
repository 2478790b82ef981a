// Darwin's socket descriptor information: struct socket_fdinfo as
// proc_pidfdinfo(PROC_PIDFDSOCKETINFO) fills it, with the constants that
// describe its contents. Fields the system does not read are padding; sizes
// and offsets equal the 64-bit macOS ones (checked below, and against the
// SDK's headers in the aarch64-macos build).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumenstat::darwin {

// soi_kind
inline constexpr int SOCKINFO_GENERIC = 0;
inline constexpr int SOCKINFO_IN = 1;
inline constexpr int SOCKINFO_TCP = 2;
inline constexpr int SOCKINFO_UN = 3;

// insi_vflag
inline constexpr std::uint8_t INI_IPV4 = 0x1;
inline constexpr std::uint8_t INI_IPV6 = 0x2;

// Address families, protocols and socket types as Darwin numbers them
// (AF_INET6 is 30, not Linux's 10). Prefixed because the C library defines
// the plain names as macros.
inline constexpr int DARWIN_AF_UNSPEC = 0;
inline constexpr int DARWIN_AF_UNIX = 1;
inline constexpr int DARWIN_AF_INET = 2;
inline constexpr int DARWIN_AF_INET6 = 30;
inline constexpr int DARWIN_PF_INET = DARWIN_AF_INET;
inline constexpr int DARWIN_PF_INET6 = DARWIN_AF_INET6;
inline constexpr int DARWIN_IPPROTO_TCP = 6;
inline constexpr int DARWIN_IPPROTO_UDP = 17;
inline constexpr int DARWIN_SOCK_STREAM = 1;
inline constexpr int DARWIN_SOCK_DGRAM = 2;

// proc_fdtype values of struct proc_fdinfo besides PROX_FDTYPE_SOCKET.
inline constexpr std::uint32_t PROX_FDTYPE_VNODE = 1;
inline constexpr std::uint32_t PROX_FDTYPE_KQUEUE = 5;
inline constexpr std::uint32_t PROX_FDTYPE_PIPE = 6;

// tcpsi_state values (netinet/tcp_fsm.h)
inline constexpr int TCPS_CLOSED = 0;
inline constexpr int TCPS_LISTEN = 1;
inline constexpr int TCPS_SYN_SENT = 2;
inline constexpr int TCPS_SYN_RECEIVED = 3;
inline constexpr int TCPS_ESTABLISHED = 4;
inline constexpr int TCPS_CLOSE_WAIT = 5;
inline constexpr int TCPS_FIN_WAIT_1 = 6;
inline constexpr int TCPS_CLOSING = 7;
inline constexpr int TCPS_LAST_ACK = 8;
inline constexpr int TCPS_FIN_WAIT_2 = 9;
inline constexpr int TCPS_TIME_WAIT = 10;

struct proc_fileinfo {
    std::uint32_t fi_openflags;
    std::uint32_t fi_status;
    std::int64_t fi_offset;
    std::int32_t fi_type;
    std::uint32_t fi_guardflags;
};

struct vinfo_stat {
    std::uint32_t vst_dev;
    std::uint16_t vst_mode;
    std::uint16_t vst_nlink;
    std::uint64_t vst_ino;
    std::uint8_t pad_[120];
};

// An IPv4 address sits in the last four bytes (in4in6_addr), an IPv6
// address fills all sixteen.
struct in4in6_or_6_addr {
    std::uint8_t bytes[16];
};

struct in_sockinfo {
    std::int32_t insi_fport;  // network byte order in the low 16 bits
    std::int32_t insi_lport;
    std::uint64_t insi_gencnt;
    std::uint32_t insi_flags;
    std::uint32_t insi_flow;
    std::uint8_t insi_vflag;
    std::uint8_t insi_ip_ttl;
    std::uint8_t pad0_[2];
    std::uint32_t rfu_1;
    in4in6_or_6_addr insi_faddr;
    in4in6_or_6_addr insi_laddr;
    std::uint8_t pad1_[16];  // insi_v4, insi_v6
};

struct tcp_sockinfo {
    in_sockinfo tcpsi_ini;
    std::int32_t tcpsi_state;
    std::int32_t tcpsi_timer[4];
    std::int32_t tcpsi_mss;
    std::uint32_t tcpsi_flags;
    std::uint32_t rfu_1;
    std::uint64_t tcpsi_tp;
};

struct sockbuf_info {
    std::uint32_t sbi_cc;
    std::uint32_t sbi_hiwat;
    std::uint32_t sbi_mbcnt;
    std::uint32_t sbi_mbmax;
    std::uint32_t sbi_lowat;
    std::int16_t sbi_flags;
    std::int16_t sbi_timeo;
};

struct socket_info {
    vinfo_stat soi_stat;
    std::uint64_t soi_so;
    std::uint64_t soi_pcb;
    std::int32_t soi_type;
    std::int32_t soi_protocol;
    std::int32_t soi_family;
    std::int16_t soi_options;
    std::int16_t soi_linger;
    std::int16_t soi_state;
    std::int16_t soi_qlen;
    std::int16_t soi_incqlen;
    std::int16_t soi_qlimit;
    std::int16_t soi_timeo;
    std::uint16_t soi_error;
    std::uint32_t soi_oobmark;
    sockbuf_info soi_rcv;
    sockbuf_info soi_snd;
    std::int32_t soi_kind;
    std::uint32_t rfu_1;
    // The largest member of the kind-dependent union is 528 bytes (un_sockinfo).
    union {
        in_sockinfo pri_in;
        tcp_sockinfo pri_tcp;
        std::uint8_t pri_raw_[528];
    } soi_proto;
};

struct socket_fdinfo {
    proc_fileinfo pfi;
    socket_info psi;
};

static_assert(sizeof(proc_fileinfo) == 24);
static_assert(sizeof(vinfo_stat) == 136);
static_assert(offsetof(vinfo_stat, vst_ino) == 8);
static_assert(sizeof(in_sockinfo) == 80);
static_assert(offsetof(in_sockinfo, insi_lport) == 4);
static_assert(offsetof(in_sockinfo, insi_vflag) == 24);
static_assert(offsetof(in_sockinfo, insi_faddr) == 32);
static_assert(offsetof(in_sockinfo, insi_laddr) == 48);
static_assert(sizeof(tcp_sockinfo) == 120);
static_assert(offsetof(tcp_sockinfo, tcpsi_state) == 80);
static_assert(sizeof(sockbuf_info) == 24);
static_assert(sizeof(socket_info) == 768);
static_assert(offsetof(socket_info, soi_type) == 152);
static_assert(offsetof(socket_info, soi_protocol) == 156);
static_assert(offsetof(socket_info, soi_family) == 160);
static_assert(offsetof(socket_info, soi_rcv) == 184);
static_assert(offsetof(socket_info, soi_snd) == 208);
static_assert(offsetof(socket_info, soi_kind) == 232);
static_assert(offsetof(socket_info, soi_proto) == 240);
static_assert(sizeof(socket_fdinfo) == 792);
static_assert(offsetof(socket_fdinfo, psi) == 24);

}  // namespace lumenstat::darwin
