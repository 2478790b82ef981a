// Compile-time proof that the socket layouts and constants declared in
// os/darwin_socket.h equal the SDK's. Our constants are captured before the
// SDK headers are included, because the SDK defines several of their names
// as macros.
#include <cstddef>

#include "os/darwin.h"
#include "os/darwin_socket.h"

namespace ours {
namespace d = lumenstat::darwin;
constexpr int sockinfo_in = d::SOCKINFO_IN;
constexpr int sockinfo_tcp = d::SOCKINFO_TCP;
constexpr int sockinfo_un = d::SOCKINFO_UN;
constexpr int ini_ipv4 = d::INI_IPV4;
constexpr int ini_ipv6 = d::INI_IPV6;
constexpr int af_unix = d::DARWIN_AF_UNIX;
constexpr int af_inet = d::DARWIN_AF_INET;
constexpr int af_inet6 = d::DARWIN_AF_INET6;
constexpr int pf_inet = d::DARWIN_PF_INET;
constexpr int pf_inet6 = d::DARWIN_PF_INET6;
constexpr int ipproto_tcp = d::DARWIN_IPPROTO_TCP;
constexpr int ipproto_udp = d::DARWIN_IPPROTO_UDP;
constexpr int sock_stream = d::DARWIN_SOCK_STREAM;
constexpr int sock_dgram = d::DARWIN_SOCK_DGRAM;
constexpr auto fdtype_vnode = d::PROX_FDTYPE_VNODE;
constexpr auto fdtype_socket = d::PROX_FDTYPE_SOCKET;
constexpr auto fdtype_kqueue = d::PROX_FDTYPE_KQUEUE;
constexpr auto fdtype_pipe = d::PROX_FDTYPE_PIPE;
constexpr int fd_socket_info = d::PROC_PIDFDSOCKETINFO;
using socket_fdinfo = d::socket_fdinfo;
using socket_info = d::socket_info;
using in_sockinfo = d::in_sockinfo;
using tcp_sockinfo = d::tcp_sockinfo;
using sockbuf_info = d::sockbuf_info;
using vinfo_stat = d::vinfo_stat;
using proc_fileinfo = d::proc_fileinfo;
}  // namespace ours

#include <libproc.h>
#include <netinet/in.h>
#include <sys/proc_info.h>
#include <sys/socket.h>

static_assert(ours::sockinfo_in == SOCKINFO_IN);
static_assert(ours::sockinfo_tcp == SOCKINFO_TCP);
static_assert(ours::sockinfo_un == SOCKINFO_UN);
static_assert(ours::ini_ipv4 == INI_IPV4);
static_assert(ours::ini_ipv6 == INI_IPV6);
static_assert(ours::af_unix == AF_UNIX);
static_assert(ours::af_inet == AF_INET);
static_assert(ours::af_inet6 == AF_INET6);
static_assert(ours::pf_inet == PF_INET);
static_assert(ours::pf_inet6 == PF_INET6);
static_assert(ours::ipproto_tcp == IPPROTO_TCP);
static_assert(ours::ipproto_udp == IPPROTO_UDP);
static_assert(ours::sock_stream == SOCK_STREAM);
static_assert(ours::sock_dgram == SOCK_DGRAM);
static_assert(ours::fdtype_vnode == PROX_FDTYPE_VNODE);
static_assert(ours::fdtype_socket == PROX_FDTYPE_SOCKET);
static_assert(ours::fdtype_kqueue == PROX_FDTYPE_KQUEUE);
static_assert(ours::fdtype_pipe == PROX_FDTYPE_PIPE);
static_assert(ours::fd_socket_info == PROC_PIDFDSOCKETINFO);

#define SAME_SIZE(type) static_assert(sizeof(ours::type) == sizeof(struct type))
#define SAME_OFFSET(type, field) \
    static_assert(offsetof(ours::type, field) == offsetof(struct type, field))

SAME_SIZE(socket_fdinfo);
SAME_SIZE(socket_info);
SAME_SIZE(in_sockinfo);
SAME_SIZE(tcp_sockinfo);
SAME_SIZE(sockbuf_info);
SAME_SIZE(vinfo_stat);
SAME_SIZE(proc_fileinfo);
SAME_OFFSET(socket_fdinfo, psi);
SAME_OFFSET(vinfo_stat, vst_ino);
SAME_OFFSET(socket_info, soi_stat);
SAME_OFFSET(socket_info, soi_type);
SAME_OFFSET(socket_info, soi_protocol);
SAME_OFFSET(socket_info, soi_family);
SAME_OFFSET(socket_info, soi_rcv);
SAME_OFFSET(socket_info, soi_snd);
SAME_OFFSET(socket_info, soi_kind);
SAME_OFFSET(socket_info, soi_proto);
SAME_OFFSET(sockbuf_info, sbi_cc);
SAME_OFFSET(sockbuf_info, sbi_hiwat);
SAME_OFFSET(in_sockinfo, insi_fport);
SAME_OFFSET(in_sockinfo, insi_lport);
SAME_OFFSET(in_sockinfo, insi_vflag);
SAME_OFFSET(in_sockinfo, insi_faddr);
SAME_OFFSET(in_sockinfo, insi_laddr);
SAME_OFFSET(tcp_sockinfo, tcpsi_ini);
SAME_OFFSET(tcp_sockinfo, tcpsi_state);
static_assert(offsetof(struct socket_info, soi_proto.pri_tcp) ==
              offsetof(ours::socket_info, soi_proto.pri_tcp));
static_assert(offsetof(struct in4in6_addr, i46a_addr4) == 12);
