// The Linux traffic tool: its command line, the payload counts it takes from
// the kernel's TCP information, the lines it prints, and, against the live
// system, exact byte counts of loopback connections this test opens, read by
// the tool and by get_process_socket_stats.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "os/linux/linux_system.h"
#include "output_lines.h"
#include "socket/address_text.h"
#include "socket/traffic.h"
#include "tcp_connections.h"

namespace lumenstat::testing {
namespace {

using nettop::TcpConnection;

TEST(TrafficToolCommandLine, OnlyTheOneShapeWithAProcessIdInRange) {
    const std::pair<std::vector<const char*>, int> cases[] = {
        {{"-L", "1", "-n", "-p", "312"}, 312},
        {{"-L", "1", "-n", "-p", "2147483647"}, 2147483647},
        {{"-L", "1", "-n", "-p", "0"}, 0},
        {{"-L", "1", "-n", "-p", "2147483648"}, 0},
        {{"-L", "1", "-n", "-p", "99999999999"}, 0},
        {{"-L", "1", "-n", "-p", "+5"}, 0},
        {{"-L", "1", "-n", "-p", ""}, 0},
        {{"-L", "1", "-n", "-p"}, 0},
        {{"-L", "2", "-n", "-p", "5"}, 0},
        {{"-n", "-L", "1", "-p", "5"}, 0},
        {{"-L", "1", "-n", "-p", "5", "6"}, 0},
        {{}, 0},
    };
    for (const auto& [args, pid] : cases) {
        nettop::CommandLine line = nettop::parse_command_line(args);
        EXPECT_EQ(line.pid, pid) << args.size();
        EXPECT_EQ(line.error.empty(), pid != 0) << line.error;
        if (pid == 0) {
            EXPECT_TRUE(line.error.ends_with(nettop::kUsage)) << line.error;
        }
    }
}

// The sequence counters count the peer's FIN as one byte received once it
// has arrived (the state says whether); the sent count never holds the SYN
// or FIN, and a byte sent twice counts once.
TEST(TrafficToolCounts, PayloadBytesOnlyInEveryState) {
    struct Case {
        std::uint8_t state;
        std::uint64_t sent, retransmitted, received;
        std::uint64_t want_sent, want_received;
    };
    const Case cases[] = {
        {1, 5000, 0, 3000, 5000, 3000},    // ESTABLISHED
        {1, 5600, 600, 3000, 5000, 3000},  // retransmissions
        {5, 5000, 0, 3000, 5000, 3000},    // FIN_WAIT2: our FIN went, none came
        {4, 5000, 0, 3000, 5000, 3000},    // FIN_WAIT1
        {8, 3000, 0, 5001, 3000, 5000},    // CLOSE_WAIT: the peer's FIN came
        {9, 3000, 0, 5001, 3000, 5000},    // LAST_ACK
        {11, 3000, 0, 5001, 3000, 5000},   // CLOSING
        {8, 0, 0, 1, 0, 0},                // a FIN and nothing else
        {10, 0, 0, 0, 0, 0},               // LISTEN
        {1, 10, 20, 0, 0, 0},              // never below zero
    };
    for (const Case& c : cases) {
        tcp_info info{};
        info.tcpi_bytes_sent = c.sent;
        info.tcpi_bytes_retrans = c.retransmitted;
        info.tcpi_bytes_received = c.received;
        TcpConnection connection;
        nettop::payload_counts(std::as_bytes(std::span(&info, 1)), c.state, connection);
        EXPECT_EQ(connection.bytes_sent, c.want_sent) << int(c.state) << " " << c.sent;
        EXPECT_EQ(connection.bytes_received, c.want_received) << int(c.state) << " " << c.received;
    }
    // An older kernel's shorter record: what it lacks reads 0.
    tcp_info info{};
    info.tcpi_bytes_sent = 7;
    info.tcpi_bytes_received = 9;
    TcpConnection connection;
    nettop::payload_counts(
        std::as_bytes(std::span(&info, 1)).first(offsetof(tcp_info, tcpi_bytes_sent)), 1,
        connection);
    EXPECT_EQ(connection.bytes_sent, 0u);
    EXPECT_EQ(connection.bytes_received, 9u);
    nettop::payload_counts(std::as_bytes(std::span(&info, 1)).first(16), 1, connection);
    EXPECT_EQ(connection.bytes_received, 0u);
}

TEST(TrafficToolLines, EndpointsAsTheModuleWritesThem) {
    TcpConnection v4;
    v4.state = 1;
    std::memcpy(v4.local, "\x7f\x00\x00\x01", 4);
    std::memcpy(v4.remote, "\x0a\x00\x00\x02", 4);
    v4.local_port = 52100;
    v4.remote_port = 80;
    v4.bytes_received = 3000;
    v4.bytes_sent = 5000;
    TcpConnection listener;
    listener.ipv6 = true;
    listener.state = 10;
    listener.local[15] = 1;
    listener.local_port = 8080;
    TcpConnection mapped;
    mapped.ipv6 = true;
    mapped.state = 8;
    std::memcpy(mapped.local, "\0\0\0\0\0\0\0\0\0\0\xff\xff\x7f\0\0\x01", 16);
    std::memcpy(mapped.remote, "\x20\x01\x0d\xb8\0\0\0\0\0\x01\0\0\0\0\0\x01", 16);
    mapped.local_port = 1;
    mapped.remote_port = 2;
    std::string out;
    nettop::append_connection_line(out, 3, 81234, v4);
    nettop::append_connection_line(out, 4, 81235, listener);
    nettop::append_connection_line(out, 5, 81236, mapped);
    EXPECT_EQ(out,
              "3,tcp4 127.0.0.1:52100<->10.0.0.2:80,81234,ESTABLISHED,3000,5000\n"
              "4,tcp6 ::1.8080<->*.*,81235,LISTEN,0,0\n"
              "5,tcp6 ::ffff:127.0.0.1.1<->2001:db8::1:0:0:1.2,81236,CLOSE_WAIT,0,0\n");
}

// The tool's outcome for a command line.
struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun run_tool(std::vector<std::string> args) {
    std::vector<const char*> argv = {LUMENSTAT_NETTOP_PATH};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    os::LinuxSystem system;
    os::ChildOutput output;
    EXPECT_EQ(system.spawn_collect(LUMENSTAT_NETTOP_PATH, argv.data(), output), 0);
    ToolRun run;
    if (output.wait_status && WIFEXITED(*output.wait_status)) {
        run.status = WEXITSTATUS(*output.wait_status);
    }
    run.out = output.standard_output;
    run.err = output.standard_error;
    return run;
}

int unused_pid() {
    int pid = 32767;
    std::ifstream("/proc/sys/kernel/pid_max") >> pid;
    struct stat st {};
    while (pid > 1 && ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0) --pid;
    return pid;
}

TEST(TrafficToolLive, RefusedInputsGetAMessageAndAFailingStatus) {
    const std::string missing = std::to_string(unused_pid());
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"-L", "1", "-n", "-p", "0"}, 2},
        {{"-L", "1", "-n", "-p", "4294967296"}, 2},
        {{"-L", "1", "-n"}, 2},
        {{"-L", "1", "-n", "-p", missing}, 1},
    };
    for (const auto& [args, status] : cases) {
        ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, status) << args.back();
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("nettop: ") || run.err.starts_with("usage: ")) << run.err;
    }
    EXPECT_EQ(run_tool({"-L", "1", "-n", "-p", missing}).err,
              "nettop: no such process: " + missing + "\n");
}

// Another user may not read process 1's descriptors.
TEST(TrafficToolLive, DescriptorsItMayNotReadFailTheRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(err[1], 2);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
        ::execl(LUMENSTAT_NETTOP_PATH, "nettop", "-L", "1", "-n", "-p", "1", nullptr);
        ::_exit(121);
    }
    ::close(err[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(text, "nettop: cannot read the descriptors of process 1: Permission denied\n");
}

std::uint16_t port_of(int fd) {
    sockaddr_in6 at{};  // the port sits at the same offset in sockaddr_in
    socklen_t size = sizeof(at);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size), 0);
    return ntohs(at.sin6_port);
}

void send_all(int fd, std::size_t count) {
    std::string bytes(count, 'x');
    for (std::size_t sent = 0; sent < count;) {
        ssize_t n = ::send(fd, bytes.data() + sent, count - sent, 0);
        ASSERT_GT(n, 0);
        sent += static_cast<std::size_t>(n);
    }
}

void receive_exactly(int fd, std::size_t count) {
    std::string buffer(65536, '\0');
    for (std::size_t got = 0; got < count;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
}

// A listener, a client and the accepted end on loopback; `up` bytes go from
// client to server and `down` bytes back; the client then shuts its sending
// side, and the server reads the end.
struct LoopbackConnection {
    int listener = -1, client = -1, server = -1;
    std::uint16_t listen_port = 0, client_port = 0;

    LoopbackConnection(bool ipv6, std::size_t up, std::size_t down) {
        int family = ipv6 ? AF_INET6 : AF_INET;
        sockaddr_storage address{};
        socklen_t size;
        if (ipv6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            size = sizeof(*in6);
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof(*in);
        }
        listener = ::socket(family, SOCK_STREAM, 0);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(listener, 4), 0);
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        client = ::socket(family, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
        server = ::accept(listener, nullptr, nullptr);
        listen_port = port_of(listener);
        client_port = port_of(client);
        send_all(client, up);
        receive_exactly(server, up);
        send_all(server, down);
        receive_exactly(client, down);
        ::shutdown(client, SHUT_WR);
        char end;
        EXPECT_EQ(::recv(server, &end, 1, 0), 0);
    }
    ~LoopbackConnection() {
        for (int fd : {listener, client, server}) ::close(fd);
    }
};

std::uint64_t inode_of(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return st.st_ino;
}

// "fd,connection,inode,bytes_in,bytes_out" of each tool line about `fds`
// (the state, which the client's end may still be changing, left out).
std::set<std::string> tool_lines_of(const std::string& out, std::set<int> fds) {
    std::set<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
        if (fields.size() != 6 || !fds.contains(std::atoi(fields[0].c_str()))) continue;
        lines.insert(fields[0] + "," + fields[1] + "," + fields[2] + "," + fields[4] + "," +
                     fields[5]);
    }
    return lines;
}

TEST(TrafficToolLive, ExactPayloadCountsOfLoopbackConnections) {
    LoopbackConnection v4(false, 5000, 3000);
    LoopbackConnection v6(true, 70001, 1);
    ToolRun run = run_tool({"-L", "1", "-n", "-p", std::to_string(::getpid())});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("fd,connection,inode,state,bytes_in,bytes_out\n"));
    auto line = [](int fd, const std::string& description, std::uint64_t in, std::uint64_t out) {
        return std::to_string(fd) + "," + description + "," + std::to_string(inode_of(fd)) + "," +
               std::to_string(in) + "," + std::to_string(out);
    };
    const std::string a = std::to_string(v4.listen_port), b = std::to_string(v4.client_port);
    const std::string c = std::to_string(v6.listen_port), e = std::to_string(v6.client_port);
    EXPECT_EQ(tool_lines_of(run.out,
                            {v4.listener, v4.client, v4.server, v6.listener, v6.client, v6.server}),
              (std::set<std::string>{
                  line(v4.listener, "tcp4 127.0.0.1:" + a + "<->*:*", 0, 0),
                  line(v4.client, "tcp4 127.0.0.1:" + b + "<->127.0.0.1:" + a, 3000, 5000),
                  line(v4.server, "tcp4 127.0.0.1:" + a + "<->127.0.0.1:" + b, 5000, 3000),
                  line(v6.listener, "tcp6 ::1." + c + "<->*.*", 0, 0),
                  line(v6.client, "tcp6 ::1." + e + "<->::1." + c, 1, 70001),
                  line(v6.server, "tcp6 ::1." + c + "<->::1." + e, 70001, 1),
              }));
}

// The query as a user meets it: PATH holds no traffic tool, so the one built
// beside this test program is run.
TEST(TrafficToolLive, SocketStatsOfThisProcessCountEveryByte) {
    LoopbackConnection v4(false, 1234, 4321);
    LoopbackConnection v6(true, 1, 65536);
    std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", "/nonexistent", 1);
    ::testing::internal::CaptureStderr();
    auto stats = get_process_socket_stats(os::native(), static_cast<std::uint32_t>(::getpid()));
    std::string written = ::testing::internal::GetCapturedStderr();
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(written, "");
    std::set<std::string> got;
    const std::set<int> ours = {v4.listener, v4.client, v4.server,
                                v6.listener, v6.client, v6.server};
    for (const SocketStats& s : *stats) {
        if (!ours.contains(static_cast<int>(s.fd))) continue;
        got.insert(std::to_string(s.fd) + " " + socket_address_text(s.local_addr) + " " +
                   (s.remote_addr ? socket_address_text(*s.remote_addr) : "-") + " " +
                   std::to_string(s.bytes_sent) + "/" + std::to_string(s.bytes_received));
    }
    auto record = [](int fd, const std::string& local, const std::string& remote,
                     std::uint64_t sent, std::uint64_t received) {
        return std::to_string(fd) + " " + local + " " + remote + " " + std::to_string(sent) + "/" +
               std::to_string(received);
    };
    const std::string a = "127.0.0.1:" + std::to_string(v4.listen_port);
    const std::string b = "127.0.0.1:" + std::to_string(v4.client_port);
    const std::string c = "[::1]:" + std::to_string(v6.listen_port);
    const std::string e = "[::1]:" + std::to_string(v6.client_port);
    EXPECT_EQ(got, (std::set<std::string>{
                       record(v4.listener, a, "-", 0, 0),
                       record(v4.client, b, a, 1234, 4321),
                       record(v4.server, a, b, 4321, 1234),
                       record(v6.listener, c, "-", 0, 0),
                       record(v6.client, e, c, 1, 65536),
                       record(v6.server, c, e, 65536, 1),
                   }));
}

}  // namespace
}  // namespace lumenstat::testing
