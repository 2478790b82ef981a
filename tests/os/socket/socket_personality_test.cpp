// The Linux personality's process list, descriptor list and socket details,
// compared with sockets this test opens itself; and the descriptor listings
// read ahead for a walk over every process, which answer the walk of their
// query scope as a listing made then would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"
#include "os/linux/socket/sock_diag_dump.h"
#include "os/linux/socket/socket_table.h"
#include "os/linux/socket/socket_walk.h"
#include "os/linux/socket/tcp_states.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

namespace d = darwin;
namespace ls = os::linux_sockets;
using namespace std::chrono_literals;

std::uint16_t port_of(int fd) {
    sockaddr_in6 at{};  // the port sits at the same offset in sockaddr_in
    socklen_t size = sizeof(at);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size), 0);
    return ntohs(at.sin6_port);
}

std::uint64_t inode_of(int fd) {
    struct stat st {};
    EXPECT_EQ(fstat(fd, &st), 0);
    return st.st_ino;
}

// "127.0.0.1:80", "::1:80": an address as libc writes it and a port.
std::string endpoint(bool ipv6, const std::uint8_t* address, std::uint16_t port) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

// "2 30 6 2 1 ::1:80 :::0": kind, family, protocol, version flag and TCP state
// of a socket record, then its addresses.
std::string fields(const d::socket_fdinfo& out) {
    const d::socket_info& s = out.psi;
    const d::in_sockinfo& in = s.soi_proto.pri_in;
    const bool v6 = in.insi_vflag != d::INI_IPV4;
    const int skip = v6 ? 0 : 12;
    std::string text;
    for (int v : {s.soi_kind, s.soi_family, s.soi_protocol, int{in.insi_vflag},
                  s.soi_proto.pri_tcp.tcpsi_state})
        text += std::to_string(v) + " ";
    return text + endpoint(v6, in.insi_laddr.bytes + skip, ntohs(in.insi_lport)) + " " +
           endpoint(v6, in.insi_faddr.bytes + skip, ntohs(in.insi_fport));
}

// "tcp6 10 ::1:8080 :::0": protocol ("tcp46" for dual stack), Linux state and addresses.
std::string fields(const ls::KernelSocket& s) {
    return std::string(s.tcp ? "tcp" : "udp") + (s.dual_stack ? "4" : "") + (s.ipv6 ? "6 " : " ") +
           std::to_string(s.state) + " " + endpoint(s.ipv6, s.local, ntohs(s.local_port)) + " " +
           endpoint(s.ipv6, s.remote, ntohs(s.remote_port));
}

// Opens, for each test, sockets of every kind the tests look at.
struct Personality : ::testing::Test {
    os::LinuxSystem system;
    int self = static_cast<int>(getpid());
    std::vector<int> opened;

    ~Personality() override {
        for (int fd : opened) ::close(fd);
    }

    int keep(int fd) {
        EXPECT_GE(fd, 0) << std::strerror(errno);
        opened.push_back(fd);
        return fd;
    }

    // A socket at `host`, connected to `peer` there or else bound, and listening if asked.
    int open_socket(int type, const char* host, int peer = 0, bool listening = false,
                    bool v6only = false) {
        addrinfo hints{}, *at = nullptr;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = type;
        EXPECT_EQ(getaddrinfo(host, std::to_string(peer).c_str(), &hints, &at), 0);
        int fd = keep(::socket(at->ai_family, type | SOCK_CLOEXEC, 0));
        const int on = 1;
        EXPECT_TRUE(!v6only || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0);
        EXPECT_EQ((peer ? ::connect : ::bind)(fd, at->ai_addr, at->ai_addrlen), 0) << errno;
        freeaddrinfo(at);
        EXPECT_TRUE(!listening || ::listen(fd, 16) == 0);
        return fd;
    }

    // The first of two connected descriptors, a pipe or a Unix socket pair.
    int first_of_two(bool unix_pair) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(unix_pair ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)
                            : pipe2(ends, O_CLOEXEC),
                  0);
        keep(ends[1]);
        return keep(ends[0]);
    }

    const int server = open_socket(SOCK_STREAM, "127.0.0.1", 0, true);
    const std::uint16_t port = port_of(server);
    const int client = open_socket(SOCK_STREAM, "127.0.0.1", port);
    const int accepted = keep(::accept4(server, nullptr, nullptr, SOCK_CLOEXEC));
    const int pending = open_socket(SOCK_STREAM, "127.0.0.1", port);  // never accepted
    const int udp = open_socket(SOCK_DGRAM, "127.0.0.1", port);
    const int v6 = open_socket(SOCK_STREAM, "::1", 0, true);
    const int mapped = open_socket(SOCK_STREAM, "::ffff:127.0.0.1", 0, true);
    const int dual = open_socket(SOCK_STREAM, "::", 0, true);
    const int only6 = open_socket(SOCK_STREAM, "::", 0, true, true);
    const int idle = open_socket(SOCK_STREAM, "::1");  // in none of the connection tables
    const int unix_socket = first_of_two(true);
    const int pipe = first_of_two(false);

    std::vector<d::proc_fdinfo> list_fds(int room = 2048) {
        std::vector<d::proc_fdinfo> fds(room);
        int got = system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, fds.data(), room * 8);
        fds.resize(got > 0 ? static_cast<std::size_t>(got) / 8 : 0);
        return fds;
    }

    // Every process, as a walk over them lists them first.
    std::vector<int> walk() {
        std::vector<int> pids(8192);
        const int got = system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(), 8192 * sizeof(int));
        pids.resize(static_cast<std::size_t>(std::max(got, 0)) / sizeof(int));
        return pids;
    }

    // The socket record of `fd`: its size returned, or 0 and errno.
    int read_socket(int fd, d::socket_fdinfo& out, int size = sizeof(d::socket_fdinfo)) {
        errno = 0;
        return system.proc_pidfdinfo(self, fd, d::PROC_PIDFDSOCKETINFO, &out, size);
    }

    // A fresh look at one descriptor, as a query about this process makes it.
    d::socket_info info(int fd) {
        list_fds();
        d::socket_fdinfo out{};
        EXPECT_EQ(read_socket(fd, out), static_cast<int>(sizeof(out))) << std::strerror(errno);
        return out.psi;
    }
};

// Both lists are in order; a descriptor table longer than several reads of
// the directory return, its newest descriptor far above the others, is listed
// whole, once each, and the count probe agrees. A record asked of a pipe, a
// closed descriptor or into a buffer too short is refused as libproc does.
TEST_F(Personality, ListsAreOrderedAndWholeAndRefusalsSayWhy) {
    const std::vector<int> pids = walk();
    EXPECT_TRUE(std::ranges::is_sorted(pids) && std::ranges::binary_search(pids, self));

    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit raised{std::min<rlim_t>(limit.rlim_max, 16384), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    for (int i = 0; i < 4000; ++i) keep(::fcntl(v6, F_DUPFD_CLOEXEC, 0));
    keep(::dup3(v6, static_cast<int>(raised.rlim_cur) - 1, O_CLOEXEC));
    setrlimit(RLIMIT_NOFILE, &limit);
    const auto fds = list_fds(8192);
    std::vector<int> listed, in_proc;
    for (const auto& entry : fds) listed.push_back(entry.proc_fd);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        in_proc.push_back(std::stoi(entry.path().filename()));
    }
    // Each listing holds the descriptor it reads the directory through.
    const auto closed = [](int fd) { return ::fcntl(fd, F_GETFD) == -1; };
    std::erase_if(in_proc, closed);
    std::erase_if(listed, closed);
    std::ranges::sort(in_proc);
    EXPECT_EQ(listed, in_proc);  // in order, none twice, none missing, the highest too
    EXPECT_EQ(system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, nullptr, 0), int(fds.size()) * 8);

    const int gone = ::dup(server);
    ::close(gone);
    list_fds();  // as every query does before reading descriptors
    d::socket_fdinfo out{};
    const int full = sizeof(out);
    for (auto [fd, size, error] : {std::tuple{pipe, full, EBADF}, std::tuple{gone, full, EBADF},
                                   std::tuple{server, full - 1, ENOMEM}}) {
        EXPECT_EQ(read_socket(fd, out, size) == 0 ? errno : -1, error) << fd;
    }
}

// The same records with no scope open, in a query about this process (which
// reads a protocol's tables only once one of its sockets is looked up) and in
// a walk over every process, where the first look-up the connection tables
// cannot answer (a Unix socket) comes before a TCP socket that is only bound.
TEST_F(Personality, SocketsAsDarwinDescribesThem) {
    auto at = [](int fd) { return std::to_string(port_of(fd)); };
    const std::pair<int, std::string> expected[] = {
        {unix_socket, "0 0 0 0 0 :::0 :::0"},
        {server, "2 2 6 1 1 127.0.0.1:" + at(server) + " 0.0.0.0:0"},
        {client, "2 2 6 1 4 127.0.0.1:" + at(client) + " 127.0.0.1:" + at(server)},
        // IPv6 sockets that take IPv4 traffic too carry both version flags.
        {mapped, "2 30 6 3 1 ::ffff:127.0.0.1:" + at(mapped) + " :::0"},
        {dual, "2 30 6 3 1 :::" + at(dual) + " :::0"},
        {only6, "2 30 6 2 1 :::" + at(only6) + " :::0"},
        {udp, "1 2 17 1 0 127.0.0.1:" + at(udp) + " 127.0.0.1:" + at(server)},
        {idle, "2 30 6 2 0 ::1:" + at(idle) + " :::0"},  // bound to one address: IPv6 only
    };
    for (const std::string_view mode : {"no scope", "query", "walk"}) {
        std::optional<os::QueryScope> scope;
        if (mode != "no scope") scope.emplace(system);
        EXPECT_TRUE(mode != "walk" || !walk().empty());
        list_fds();
        for (auto& [fd, text] : expected) {
            d::socket_fdinfo out{};
            ASSERT_EQ(read_socket(fd, out), static_cast<int>(sizeof(out))) << std::strerror(errno);
            EXPECT_EQ(fields(out), text) << mode;
            EXPECT_EQ(out.psi.soi_stat.vst_ino, inode_of(fd));
        }
    }

    // Unread bytes (the count and buffer sizes: tests/python/test_sockets.py), read afresh by a
    // later query even right after a walk; neither a connection waiting to be accepted nor the
    // peer's FIN is a byte.
    std::vector<char> data(1000, 'x');
    ASSERT_EQ(::write(client, data.data(), data.size()), 1000);
    EXPECT_EQ(info(server).soi_rcv.sbi_cc, 0u);
    walk();
    info(accepted);
    ASSERT_EQ(::write(client, data.data(), 500), 500);
    ::shutdown(client, SHUT_WR);
    ASSERT_TRUE(wait_until(
        [&] { return info(accepted).soi_proto.pri_tcp.tcpsi_state == d::TCPS_CLOSE_WAIT; }));
    EXPECT_EQ(info(accepted).soi_rcv.sbi_cc, 1500u);
}

// A listing of this process read ahead for a walk answers one PROC_PIDLISTFDS
// of its scope (a size probe and the listing after it count as one); later
// ones read anew.
TEST_F(Personality, ListingReadAheadAnswersOneListingOfItsScope) {
    os::QueryScope scope(system);
    walk();
    std::this_thread::sleep_for(20ms);  // time for the reading ahead to reach this process
    EXPECT_GT(system.proc_pidinfo(self, d::PROC_PIDLISTFDS, 0, nullptr, 0), 0);
    const int added = open_socket(SOCK_STREAM, "127.0.0.1", 0, true);
    // Where the helpers share this process's descriptor table (under the thread sanitizer) one
    // of theirs may have had the new socket's number; it was not a socket.
    const auto listed = [&] {
        return std::ranges::count_if(list_fds(), [&](const d::proc_fdinfo& fd) {
            return fd.proc_fd == added && fd.proc_fdtype == d::PROX_FDTYPE_SOCKET;
        });
    };
    EXPECT_EQ(listed(), 0) << "the listing after the probe was read anew";
    EXPECT_EQ(listed(), 1) << "a later listing was answered from the walk's";
}

// Every Linux state, numbers outside Linux's table, and the states whose
// count of unread bytes holds the peer's FIN.
TEST(SocketTables, LinuxStatesHaveTheirDarwinNumber) {
    std::string darwin_states, fin_counted;
    for (int state = 0; state < 15; ++state) {
        const auto linux_state = static_cast<std::uint8_t>(state == 14 ? 255 : state);
        darwin_states += std::to_string(ls::darwin_tcp_state(linux_state)) + " ";
        if (ls::queue_counts_fin(linux_state)) fin_counted += std::to_string(state) + " ";
    }
    // Darwin's numbers: CLOSED 0, LISTEN 1, SYN_SENT 2, SYN_RECEIVED 3, ESTABLISHED 4,
    // CLOSE_WAIT 5, FIN_WAIT_1 6, CLOSING 7, LAST_ACK 8, FIN_WAIT_2 9, TIME_WAIT 10.
    EXPECT_EQ(darwin_states, "-1 4 2 3 6 9 10 0 5 8 1 7 3 -1 -1 ");
    EXPECT_EQ(fin_counted, "8 9 11 ");
}

// The tables of a walk are read on another thread; a child forked in the
// middle of the walk has no such thread, and reads them itself.
TEST_F(Personality, WalkGoesOnInAChildForkedDuringIt) {
#if defined(__SANITIZE_THREAD__)
    // This compiler's thread sanitizer does not hold its allocator's locks
    // across fork: a child forked while the helper allocates waits forever.
    GTEST_SKIP() << "the thread sanitizer's allocator is not safe across fork";
#endif
    os::QueryScope scope(system);
    ASSERT_FALSE(walk().empty());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);  // a look-up waiting for the parent's thread would hang
        list_fds();
        d::socket_fdinfo out{};
        bool found = read_socket(server, out) == static_cast<int>(sizeof(out)) &&
                     out.psi.soi_proto.pri_tcp.tcpsi_state == d::TCPS_LISTEN;
        // The bare system call skips a thread sanitizer's exit check, which would count the
        // parent's helper threads, absent here, as never joined.
        syscall(SYS_exit_group, found ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Netlink and /proc/net agree on our sockets, each found in its own table only
// (the buffer sizes netlink adds: tests/python/test_sockets.py);
// a /proc/net text's broken lines and inode-0 entries are left out.
TEST_F(Personality, KernelTablesAgreeOnOurSockets) {
    for (ls::TableKind kind : ls::TABLE_KINDS) {
        ls::SocketTable netlink, files;
        ASSERT_TRUE(ls::read_netlink(kind, netlink)) << std::strerror(errno);
        ASSERT_TRUE(ls::read_proc_net(kind, files));
        for (int fd : {server, client, accepted, udp, v6, dual, mapped}) {
            bool in_kind =
                (fd == udp) != kind.tcp && (fd == v6 || fd == dual || fd == mapped) == kind.ipv6;
            ASSERT_EQ(netlink.contains(inode_of(fd)), in_kind) << fd;
            ASSERT_EQ(files.contains(inode_of(fd)), in_kind) << fd;
            if (!in_kind) continue;
            EXPECT_EQ(fields(netlink.at(inode_of(fd))), fields(files.at(inode_of(fd))));
        }
    }
    ls::SocketTable table;
    ls::parse_proc_net(
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
        "   1: 0100007F:1F91 0100007F:D431 01 0000000A:00000014 00:00000000 00000000 0 0 4343 1\n"
        "   2: 0100007F:1F92 0100007F:D4\n"
        "   3: 0100007F:1F93 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 0 1\n",
        false, true, table);
    ASSERT_EQ(table.size(), 1u);
    const ls::KernelSocket& got = table.at(4343);
    EXPECT_EQ(
        fields(got) + " " + std::to_string(got.send_queue) + "/" + std::to_string(got.recv_queue),
        "tcp 1 127.0.0.1:8081 127.0.0.1:54321 10/20");
}

// A dump that sends nothing (here: none was asked for) fails instead of holding the caller.
TEST(SocketTables, StalledDumpFails) {
    const os::UniqueFd netlink = os::sock_diag::open_diag_socket();
    ASSERT_GE(netlink.get(), 0) << std::strerror(errno);
    ls::SocketTable table;
    errno = 0;
    EXPECT_FALSE(ls::receive_dump(netlink.get(), true, table));
    EXPECT_EQ(errno, EAGAIN);
}

}  // namespace
}  // namespace lumenstat::testing
