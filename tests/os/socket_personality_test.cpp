// The Linux personality's process list, descriptor list and socket details,
// compared with sockets this test opens itself.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"
#include "os/linux/socket_table.h"
#include "socket/enumeration.h"
#include "socket/queues.h"

namespace lumenstat::testing {
namespace {

namespace d = darwin;
namespace ls = os::linux_sockets;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_storage address(int family, const char* text, std::uint16_t port) {
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1);
    }
    return storage;
}

socklen_t length(int family) {
    return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::uint16_t local_port(int fd) {
    sockaddr_storage storage{};
    socklen_t size = sizeof(storage);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size), 0);
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);  // same offset in v6
}

Fd bound(int family, int type, const char* text) {
    Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage at = address(family, text, 0);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), length(family)), 0)
        << std::strerror(errno);
    return fd;
}

Fd listener(int family, const char* text) {
    Fd fd = bound(family, SOCK_STREAM, text);
    EXPECT_EQ(::listen(fd.get(), 16), 0);
    return fd;
}

Fd connected(int family, int type, const char* text, std::uint16_t port) {
    Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage to = address(family, text, port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), length(family)), 0)
        << std::strerror(errno);
    return fd;
}

std::uint64_t inode_of(int fd) {
    struct stat st {};
    EXPECT_EQ(fstat(fd, &st), 0);
    return st.st_ino;
}

struct Personality : ::testing::Test {
    os::LinuxSystem system;
    int self = static_cast<int>(getpid());

    std::vector<d::proc_fdinfo> list_fds(int pid) {
        std::vector<d::proc_fdinfo> fds(2048);
        int got = system.proc_pidinfo(pid, d::PROC_PIDLISTFDS, 0, fds.data(), 2048 * 8);
        fds.resize(got > 0 ? static_cast<std::size_t>(got) / 8 : 0);
        return fds;
    }

    // A fresh look at one descriptor, as a query about this process makes it.
    d::socket_fdinfo info(int fd) {
        list_fds(self);
        d::socket_fdinfo out{};
        EXPECT_EQ(system.proc_pidfdinfo(self, fd, d::PROC_PIDFDSOCKETINFO, &out, sizeof(out)),
                  static_cast<int>(sizeof(out)))
            << std::strerror(errno);
        return out;
    }
};

std::uint16_t port_field(std::int32_t field) { return ntohs(static_cast<std::uint16_t>(field)); }

TEST_F(Personality, ProcessListHoldsThisProcessInOrder) {
    int probe = system.proc_listpids(d::PROC_ALL_PIDS, 0, nullptr, 0);
    ASSERT_GT(probe, 0);
    std::vector<int> pids(static_cast<std::size_t>(probe) / 4);
    int got = system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(), probe);
    ASSERT_GT(got, 0);
    ASSERT_LE(got, probe);
    pids.resize(static_cast<std::size_t>(got) / 4);
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), self));

    int two[2];
    EXPECT_EQ(system.proc_listpids(d::PROC_ALL_PIDS, 0, two, sizeof(two)), 8);
}

TEST_F(Personality, DescriptorListGivesTypesInDescriptorOrder) {
    Fd tcp = listener(AF_INET, "127.0.0.1");
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    Fd pipe_read(pipe_ends[0]), pipe_write(pipe_ends[1]);
    Fd file(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC));

    auto fds = list_fds(self);
    EXPECT_TRUE(std::is_sorted(fds.begin(), fds.end(),
                               [](auto& a, auto& b) { return a.proc_fd < b.proc_fd; }));
    auto type_of = [&](int fd) -> std::int64_t {
        for (auto& entry : fds) {
            if (entry.proc_fd == fd) return entry.proc_fdtype;
        }
        return -1;
    };
    EXPECT_EQ(type_of(tcp.get()), d::PROX_FDTYPE_SOCKET);
    EXPECT_EQ(type_of(pipe_read.get()), d::PROX_FDTYPE_PIPE);
    EXPECT_EQ(type_of(file.get()), d::PROX_FDTYPE_VNODE);

    int needed = system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, nullptr, 0);
    EXPECT_GE(needed, static_cast<int>(fds.size() * 8));
    d::proc_fdinfo one[1];
    EXPECT_EQ(system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, one, sizeof(one)), 8);
}

// More descriptors than one read of the directory returns: every one is
// listed once, in order, and the count probe agrees.
TEST_F(Personality, LongDescriptorTableIsListedWhole) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 5000) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    rlimit raised = limit;
    raised.rlim_cur = 5000;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Fd tcp = listener(AF_INET6, "::1");
    std::vector<Fd> copies;
    for (int i = 0; i < 4000; ++i) copies.emplace_back(::fcntl(tcp.get(), F_DUPFD_CLOEXEC, 0));
    ASSERT_GE(copies.back().get(), 0);

    std::vector<d::proc_fdinfo> fds(8192);
    int got = system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, fds.data(), 8192 * 8);
    fds.resize(got > 0 ? static_cast<std::size_t>(got) / 8 : 0);
    EXPECT_EQ(system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, nullptr, 0), got);
    EXPECT_TRUE(std::is_sorted(fds.begin(), fds.end(),
                               [](auto& a, auto& b) { return a.proc_fd < b.proc_fd; }));
    EXPECT_TRUE(std::adjacent_find(fds.begin(), fds.end(), [](auto& a, auto& b) {
                    return a.proc_fd == b.proc_fd;
                }) == fds.end());
    std::size_t sockets = 0;
    for (auto& entry : fds) {
        sockets += entry.proc_fdtype == d::PROX_FDTYPE_SOCKET;
    }
    EXPECT_GE(sockets, copies.size() + 1);
    copies.clear();
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(Personality, TcpAndUdpSocketsAsDarwinReportsThem) {
    Fd server = listener(AF_INET, "127.0.0.1");
    std::uint16_t port = local_port(server.get());
    Fd client = connected(AF_INET, SOCK_STREAM, "127.0.0.1", port);
    Fd mapped = listener(AF_INET6, "::ffff:127.0.0.1");
    Fd udp = connected(AF_INET, SOCK_DGRAM, "127.0.0.1", port);

    d::socket_fdinfo l = info(server.get());
    EXPECT_EQ(l.psi.soi_kind, d::SOCKINFO_TCP);
    EXPECT_EQ(l.psi.soi_family, d::DARWIN_AF_INET);
    EXPECT_EQ(l.psi.soi_protocol, d::DARWIN_IPPROTO_TCP);
    EXPECT_EQ(l.psi.soi_stat.vst_ino, inode_of(server.get()));
    const d::tcp_sockinfo& lt = l.psi.soi_proto.pri_tcp;
    EXPECT_EQ(lt.tcpsi_ini.insi_vflag, d::INI_IPV4);
    EXPECT_EQ(lt.tcpsi_state, d::TCPS_LISTEN);
    EXPECT_EQ(port_field(lt.tcpsi_ini.insi_lport), port);
    EXPECT_EQ(lt.tcpsi_ini.insi_fport, 0);
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(lt.tcpsi_ini.insi_laddr.bytes + 12, loopback, 4), 0);

    const d::tcp_sockinfo& ct = info(client.get()).psi.soi_proto.pri_tcp;
    EXPECT_EQ(ct.tcpsi_state, d::TCPS_ESTABLISHED);
    EXPECT_EQ(port_field(ct.tcpsi_ini.insi_fport), port);

    d::socket_fdinfo m = info(mapped.get());
    EXPECT_EQ(m.psi.soi_family, d::DARWIN_AF_INET6);
    EXPECT_EQ(m.psi.soi_proto.pri_in.insi_vflag, d::INI_IPV6);
    const std::uint8_t mapped_bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(m.psi.soi_proto.pri_in.insi_laddr.bytes, mapped_bytes, 16), 0);

    d::socket_fdinfo u = info(udp.get());
    EXPECT_EQ(u.psi.soi_kind, d::SOCKINFO_IN);
    EXPECT_EQ(u.psi.soi_protocol, d::DARWIN_IPPROTO_UDP);
    EXPECT_EQ(port_field(u.psi.soi_proto.pri_in.insi_fport), port);
}

TEST_F(Personality, QueuesShowUnreadBytesAndBufferSizesAndNoBacklogAsBytes) {
    Fd server = listener(AF_INET, "127.0.0.1");
    std::uint16_t port = local_port(server.get());
    Fd client = connected(AF_INET, SOCK_STREAM, "127.0.0.1", port);
    Fd accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    Fd pending = connected(AF_INET, SOCK_STREAM, "127.0.0.1", port);  // never accepted

    std::vector<char> data(1000, 'x');
    ASSERT_EQ(::write(client.get(), data.data(), data.size()), 1000);
    d::socket_fdinfo a = info(accepted.get());
    EXPECT_EQ(a.psi.soi_rcv.sbi_cc, 1000u);
    EXPECT_EQ(a.psi.soi_snd.sbi_cc, 0u);
    int rcvbuf = 0, sndbuf = 0;
    socklen_t size = sizeof(int);
    getsockopt(accepted.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &size);
    getsockopt(accepted.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, &size);
    EXPECT_EQ(a.psi.soi_rcv.sbi_hiwat, static_cast<std::uint32_t>(rcvbuf));
    EXPECT_EQ(a.psi.soi_snd.sbi_hiwat, static_cast<std::uint32_t>(sndbuf));

    // The listener has one connection waiting to be accepted: not a byte.
    d::socket_fdinfo l = info(server.get());
    EXPECT_EQ(l.psi.soi_rcv.sbi_cc, 0u);
    EXPECT_EQ(l.psi.soi_snd.sbi_cc, 0u);

    // A later query about the process sees bytes written since the last one,
    // even right after a walk over every process.
    int pids[4096];
    system.proc_listpids(d::PROC_ALL_PIDS, 0, pids, sizeof(pids));
    info(accepted.get());
    ASSERT_EQ(::write(client.get(), data.data(), 500), 500);
    EXPECT_EQ(info(accepted.get()).psi.soi_rcv.sbi_cc, 1500u);
}

TEST_F(Personality, FailuresSayWhy) {
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    Fd pipe_read(pipe_ends[0]), pipe_write(pipe_ends[1]);
    d::socket_fdinfo out{};
    list_fds(self);  // as every query does before reading descriptors
    errno = 0;
    EXPECT_EQ(
        system.proc_pidfdinfo(self, pipe_read.get(), d::PROC_PIDFDSOCKETINFO, &out, sizeof(out)),
        0);
    EXPECT_EQ(errno, EBADF);

    Fd closed = listener(AF_INET, "127.0.0.1");
    int number = closed.get();
    closed = Fd();
    list_fds(self);
    EXPECT_EQ(system.proc_pidfdinfo(self, number, d::PROC_PIDFDSOCKETINFO, &out, sizeof(out)), 0);
    EXPECT_EQ(errno, EBADF);

    constexpr int absent = 1 << 30;
    EXPECT_EQ(system.proc_pidfdinfo(absent, 0, d::PROC_PIDFDSOCKETINFO, &out, sizeof(out)), 0);
    EXPECT_EQ(errno, ESRCH);
    d::proc_fdinfo fds[4];
    EXPECT_EQ(system.proc_pidinfo(absent, d::PROC_PIDLISTFDS, 0, fds, sizeof(fds)), 0);
    EXPECT_EQ(errno, ESRCH);

    Fd live = listener(AF_INET, "127.0.0.1");
    EXPECT_EQ(system.proc_pidfdinfo(self, live.get(), d::PROC_PIDFDSOCKETINFO, &out, 791), 0);
    EXPECT_EQ(errno, ENOMEM);
}

// A process whose descriptor directory opens but whose links the kernel
// refuses (a security module, or Yama for a process not our descendant).
int process_with_hidden_links() {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return -1;
    int found = -1;
    while (dirent* entry = ::readdir(proc)) {
        int pid = std::atoi(entry->d_name);
        std::string dir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = pid > 0 ? ::opendir(dir.c_str()) : nullptr;
        if (fds == nullptr) continue;
        while (dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            char link[64];
            if (::readlinkat(::dirfd(fds), fd->d_name, link, sizeof(link)) < 0 && errno == EACCES) {
                found = pid;
            }
            break;
        }
        ::closedir(fds);
        if (found > 0) break;
    }
    ::closedir(proc);
    return found;
}

TEST_F(Personality, ProcessWithHiddenLinksIsRefusedWhole) {
    int pid = process_with_hidden_links();
    if (pid < 0) GTEST_SKIP() << "no process hides its descriptor links from this one";
    std::vector<d::proc_fdinfo> fds(64);
    errno = 0;
    EXPECT_EQ(system.proc_pidinfo(pid, d::PROC_PIDLISTFDS, 0, fds.data(), 64 * 8), 0);
    EXPECT_EQ(errno, EPERM);
}

TEST_F(Personality, UnixSocketIsGenericWithoutFamily) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd a(pair[0]), b(pair[1]);
    d::socket_fdinfo u = info(a.get());
    EXPECT_EQ(u.psi.soi_kind, d::SOCKINFO_GENERIC);
    EXPECT_EQ(u.psi.soi_family, d::DARWIN_AF_UNSPEC);
    EXPECT_EQ(u.psi.soi_stat.vst_ino, inode_of(a.get()));
}

// The tables of a walk are read on another thread; a child forked in the
// middle of the walk has no such thread, and reads them itself.
TEST_F(Personality, WalkGoesOnInAChildForkedDuringIt) {
    Fd server = listener(AF_INET, "127.0.0.1");
    std::vector<int> pids(8192);
    ASSERT_GT(system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(), 8192 * sizeof(int)), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);  // a look-up waiting for the parent's thread would hang
        list_fds(self);
        d::socket_fdinfo out{};
        bool found = system.proc_pidfdinfo(self, server.get(), d::PROC_PIDFDSOCKETINFO, &out,
                                           sizeof(out)) == static_cast<int>(sizeof(out)) &&
                     out.psi.soi_proto.pri_tcp.tcpsi_state == d::TCPS_LISTEN;
        _exit(found ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Each thread walks with its own table: concurrent listings and queue
// queries of the whole machine all see this process's sockets.
// A TCP socket that is bound but neither listens nor connects sits in none
// of the kernel's connection tables; Darwin still describes it as TCP, closed.
// It is found in a walk over every process as in a query about this one.
TEST_F(Personality, BoundInactiveTcpSocketIsClosedTcp) {
    Fd idle = bound(AF_INET6, SOCK_STREAM, "::1");
    Fd unix_socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd server = listener(AF_INET, "127.0.0.1");
    auto expect_closed_tcp = [&](const d::socket_fdinfo& out) {
        EXPECT_EQ(out.psi.soi_kind, d::SOCKINFO_TCP);
        EXPECT_EQ(out.psi.soi_family, d::DARWIN_AF_INET6);
        EXPECT_EQ(out.psi.soi_proto.pri_tcp.tcpsi_state, d::TCPS_CLOSED);
        EXPECT_EQ(port_field(out.psi.soi_proto.pri_in.insi_lport), local_port(idle.get()));
    };
    expect_closed_tcp(info(idle.get()));

    // In a walk, after descriptors that the connection tables do not hold.
    std::vector<int> pids(8192);
    int got = system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(), 8192 * sizeof(int));
    ASSERT_GT(got, 0);
    list_fds(self);
    d::socket_fdinfo out{};
    for (int fd : {unix_socket.get(), server.get(), idle.get()}) {
        ASSERT_EQ(system.proc_pidfdinfo(self, fd, d::PROC_PIDFDSOCKETINFO, &out, sizeof(out)),
                  static_cast<int>(sizeof(out)));
        EXPECT_EQ(out.psi.soi_stat.vst_ino, inode_of(fd));
    }
    expect_closed_tcp(out);
}

TEST(SocketEnumerationLive, ConcurrentListingsAndQueueQueriesSeeOurSockets) {
    Fd server = listener(AF_INET6, "::1");
    Fd client = connected(AF_INET6, SOCK_STREAM, "::1", local_port(server.get()));
    Fd accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_EQ(::write(client.get(), "abc", 3), 3);
    const auto self = static_cast<std::uint32_t>(getpid());
    std::vector<int> listed(4, 0), queued(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                SocketCache cache;  // no sharing: every call enumerates
                auto groups = get_tcp_connections(os::native(), cache);
                for (const auto& [state, records] : groups.value_or(StateGroups{})) {
                    for (const auto& r : records) {
                        listed[t] += r.pid == self && r.protocol == Protocol::TcpV6 &&
                                     r.local_addr.port == local_port(server.get());
                    }
                }
                auto queues = get_process_socket_queues(os::native(), self);
                for (const auto& q : queues.value_or(std::vector<SocketQueueInfo>{})) {
                    queued[t] += q.fd == static_cast<std::uint32_t>(accepted.get()) &&
                                 q.recv_queue_bytes == 3;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    // Per round: the listener and the accepted socket share the local port.
    EXPECT_EQ(listed, std::vector<int>(4, 6));
    EXPECT_EQ(queued, std::vector<int>(4, 3));
}

TEST(SocketTables, NetlinkAndProcNetAgreeOnOurSockets) {
    Fd server = listener(AF_INET6, "::1");
    Fd client = connected(AF_INET6, SOCK_STREAM, "::1", local_port(server.get()));
    Fd udp = bound(AF_INET, SOCK_DGRAM, "127.0.0.1");
    for (ls::TableKind kind : ls::TABLE_KINDS) {
        ls::SocketTable from_netlink, from_files;
        ASSERT_TRUE(ls::read_netlink(kind, from_netlink)) << std::strerror(errno);
        ASSERT_TRUE(ls::read_proc_net(kind, from_files));
        for (int fd : {server.get(), client.get(), udp.get()}) {
            auto n = from_netlink.find(inode_of(fd));
            auto f = from_files.find(inode_of(fd));
            ASSERT_EQ(n == from_netlink.end(), f == from_files.end());
            if (n == from_netlink.end()) continue;
            EXPECT_EQ(n->second.tcp, kind.tcp);
            EXPECT_EQ(n->second.ipv6, kind.ipv6);
            EXPECT_EQ(n->second.state, f->second.state);
            EXPECT_EQ(n->second.local_port, f->second.local_port);
            EXPECT_EQ(n->second.remote_port, f->second.remote_port);
            std::size_t bytes = kind.ipv6 ? 16 : 4;
            EXPECT_EQ(std::memcmp(n->second.local, f->second.local, bytes), 0);
            EXPECT_EQ(std::memcmp(n->second.remote, f->second.remote, bytes), 0);
            EXPECT_GT(n->second.recv_buffer, 0u);
        }
    }
    // One dump of both TCP families holds what the two per-family dumps hold.
    ls::SocketTable both, per_family;
    ASSERT_TRUE(ls::read_netlink({true, true}, per_family));
    Fd v4 = listener(AF_INET, "127.0.0.1");
    ASSERT_TRUE(ls::read_netlink_tcp(both));
    ASSERT_TRUE(ls::read_netlink({false, true}, per_family));
    for (int fd : {server.get(), client.get(), v4.get()}) {
        ASSERT_TRUE(both.contains(inode_of(fd)));
        EXPECT_EQ(both.at(inode_of(fd)).ipv6, fd != v4.get());
        EXPECT_EQ(both.at(inode_of(fd)).state, per_family.at(inode_of(fd)).state);
    }
    EXPECT_FALSE(both.contains(inode_of(udp.get())));
}

TEST(SocketTables, ProcNetTextParsesAndSkipsBrokenLines) {
    const char* text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000003 00:00000000 00000000     0        "
        "0 4242 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:1F91 0100007F:D431 01 0000000A:00000014 00:00000000 00000000     0        "
        "0 4343 1\n"
        "   2: 0100007F:1F92 0100007F:D4\n"
        "   3: 0100007F:1F93 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 0 1\n";
    ls::SocketTable table;
    ls::parse_proc_net(text, false, true, table);
    ASSERT_EQ(table.size(), 2u);  // the truncated line and the inode-0 entry are left out
    const ls::KernelSocket& listen = table.at(4242);
    EXPECT_EQ(listen.state, 10);
    EXPECT_EQ(ntohs(listen.local_port), 8080);
    EXPECT_EQ(listen.recv_queue, 3u);
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(listen.local, loopback, 4), 0);
    const ls::KernelSocket& established = table.at(4343);
    EXPECT_EQ(ntohs(established.remote_port), 0xD431);
    EXPECT_EQ(established.send_queue, 10u);
    EXPECT_EQ(established.recv_queue, 20u);
}

TEST(SocketTables, DiagDatagramBoundsAreChecked) {
    ls::SocketTable table;
    bool done = false;
    nlmsghdr end{};
    end.nlmsg_len = sizeof(end);
    end.nlmsg_type = NLMSG_DONE;
    auto bytes = [](const void* p, std::size_t n) {
        return std::span(static_cast<const std::byte*>(p), n);
    };
    EXPECT_TRUE(ls::parse_diag_datagram(bytes(&end, sizeof(end)), true, table, done));
    EXPECT_TRUE(done);

    nlmsghdr lying = end;
    lying.nlmsg_type = 20;   // SOCK_DIAG_BY_FAMILY
    lying.nlmsg_len = 4096;  // longer than the datagram
    done = false;
    EXPECT_FALSE(ls::parse_diag_datagram(bytes(&lying, sizeof(lying)), true, table, done));
    lying.nlmsg_len = sizeof(lying);  // too short for its payload
    EXPECT_FALSE(ls::parse_diag_datagram(bytes(&lying, sizeof(lying)), true, table, done));
    EXPECT_FALSE(done);
    EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace lumenstat::testing
