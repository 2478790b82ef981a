#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <tuple>
#include <vector>

#include "socket/address_text.h"
#include "socket/parsers.h"
#include "socket/traffic.h"
#include "socket/traffic_table.h"
#include "socket_fake_machine.h"

namespace lumenstat {
namespace {

using namespace testing;

std::string entries_text(const TrafficTable& table) {
    std::string text;
    for (const auto& entry : table.entries()) {
        text += entry.description + " = " + std::to_string(entry.counts.bytes_sent) + "/" +
                std::to_string(entry.counts.bytes_received) + "\n";
    }
    return text;
}

TEST(TrafficCount, UnsignedDecimalWithAnOptionalPlusElseZero) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"0", 0},
        {"42", 42},
        {"+42", 42},
        {"0042", 42},
        {"", 0},
        {"+", 0},
        {"-", 0},
        {"-5", 0},
        {"++5", 0},
        {"5 ", 0},
        {"1,5", 0},
        {"1e3", 0},
        {"\xEF\xBC\x95", 0},  // FULLWIDTH DIGIT FIVE
        {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", 0},
        {"99999999999999999999", 0},
    };
    for (auto [field, value] : cases) EXPECT_EQ(parse_traffic_count(field), value) << field;
}

TEST(TrafficTableParse, KeepsConnectionLinesWithTrafficToleratingTheRest) {
    const std::string output =
        "time,,interface,state,bytes_in,bytes_out\n"                         // header: no arrow
        "12:00,python.312,,,9000,8000\n"                                     // the process itself
        "x,tcp4 1.1.1.1:1<->2.2.2.2:2,,,5,6\r\n"                             // CRLF
        "\xC2\xA0 x, tcp4 1.1.1.1:3<->*:* \xE3\x80\x80,,,+7,\t8 \xC2\x85\n"  // Unicode blanks
        "x,tcp4 1.1.1.1:4<->2.2.2.2:4,,,0,0\n"   // nothing carried: not kept
        "x,tcp4 1.1.1.1:5<->2.2.2.2:5,,,-1,9\n"  // a bad count reads 0
        "x,tcp4 1.1.1.1:6<->2.2.2.2:6,,,1\n"     // five fields
        "x,tcp4 \xFF\xFE"
        "1.1.1.1:7<->2.2.2.2:7,,,1,1\n"                       // invalid UTF-8
        "x,tcp4 1.1.1.1:1<->2.2.2.2:2,,,50,60,more,fields\n"  // a later line replaces
        "\n   \n\r\n"
        "x,tcp6 ::1.8<->::1.9,,,18446744073709551616,3";  // no line end at the end
    EXPECT_EQ(entries_text(TrafficTable::parse(output)),
              "tcp4 1.1.1.1:1<->2.2.2.2:2 = 60/50\n"
              "tcp4 1.1.1.1:3<->*:* = 8/7\n"
              "tcp4 1.1.1.1:5<->2.2.2.2:5 = 9/0\n"
              "tcp4 \xEF\xBF\xBD\xEF\xBF\xBD"
              "1.1.1.1:7<->2.2.2.2:7 = 1/1\n"
              "tcp6 ::1.8<->::1.9 = 3/0\n");
    // Carriage returns alone end no line: the second connection lands in the first's fields.
    EXPECT_EQ(entries_text(TrafficTable::parse("x,a<->b,,,1,2\rx,c<->d,,,3,4\r")), "a<->b = 0/1\n");
    EXPECT_EQ(entries_text(TrafficTable::parse(std::string(100000, ','))), "");
}

// The counts "sent/received" the table has for a socket, or "none"; a null
// remote address: the socket has none.
std::string found(const TrafficTable& table, const char* local, const char* remote) {
    auto at = [](const char* text) { return *parse_socket_address(text).value; };
    auto counts = table.find(at(local), remote ? std::optional(at(remote)) : std::nullopt);
    return counts
               ? std::to_string(counts->bytes_sent) + "/" + std::to_string(counts->bytes_received)
               : "none";
}

// Each socket takes the line whose halves are its endpoints as a whole: a
// text found anywhere inside a description would give port 80 the counts of
// port 8080, 10.0.0.1 those of 110.0.0.1, and the two ends of a connection
// inside one process each other's counts (sent and received swapped).
TEST(TrafficTableFind, MatchesWholeEndpointsHalfByHalf) {
    const TrafficTable table = TrafficTable::parse(
        "x,tcp4 127.0.0.1:8080<->127.0.0.1:5000,,,1,2\n"
        "x,tcp4 110.0.0.1:22<->127.0.0.1:6000,,,3,4\n"
        "x,tcp4 127.0.0.1:7000<->127.0.0.1:7001,,,10,20\n"
        "x,tcp4 127.0.0.1:7001<->127.0.0.1:7000,,,20,10\n"
        "x,tcp4 127.0.0.1:8080<->*:*,,,5,6\n"
        "x,tcp6 ::1.8080<->*.*,,,7,8\n"
        "x,tcp6 ::1.443<->::1.52100,,,11,12\n"
        "x,tcp6 ::1:444<->::1:52101,,,13,14\n"
        "x,127.0.0.1.9<->127.0.0.1.10,,,15,16\n"
        "x,tcp4 127.0.0.1:9<->127.0.0.1:10,,,97,97\n"
        "x,tcp46 127.0.0.1:7000<->127.0.0.1:7001,,,99,99\n");
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"127.0.0.1:80", "127.0.0.1:5000", "none"},
        {"127.0.0.1:8080", "127.0.0.1:5000", "2/1"},
        {"10.0.0.1:22", "127.0.0.1:6000", "none"},
        {"127.0.0.1:7000", "127.0.0.1:7001", "20/10"},
        {"127.0.0.1:7001", "127.0.0.1:7000", "10/20"},
        {"127.0.0.1:8080", nullptr, "6/5"},
        {"[::1]:8080", nullptr, "8/7"},
        {"[::1]:443", "[::1]:52100", "12/11"},
        {"[::1]:444", "[::1]:52101", "14/13"},
        {"127.0.0.1:9", "127.0.0.1:10", "16/15"},  // the first of two forms that match
        // The right local end with another remote end, or none, is another connection.
        {"127.0.0.1:7000", "127.0.0.1:7002", "none"},
        {"127.0.0.1:7000", nullptr, "none"},
        {"[::1]:443", nullptr, "none"},
    };
    for (auto [local, remote, counts] : rows) {
        EXPECT_EQ(found(table, local, remote), counts) << local << " " << (remote ? remote : "-");
    }
}

struct SocketStatsQuery : ::testing::Test {
    FakeSystem system;
    FakeMachine machine;
    std::vector<std::vector<std::string>> runs;
    int spawn_result = 0;
    int spawn_errno = 0;
    os::ChildOutput child;

    void SetUp() override {
        machine.install(system);
        child.wait_status = 0;
        system.on_spawn_collect = [this](const char* file, const char* const* argv,
                                         os::ChildOutput& output) {
            std::vector<std::string> run{file};
            for (; *argv != nullptr; ++argv) run.push_back(*argv);
            runs.push_back(run);
            output = child;
            errno = spawn_errno;
            return spawn_result;
        };
    }

    // Records as "fd protocol local remote sent/received", and what went to
    // descriptor 2 meanwhile.
    std::pair<std::vector<std::string>, std::string> stats(std::uint32_t pid) {
        ::testing::internal::CaptureStderr();
        auto result = get_process_socket_stats(system, pid);
        std::string written = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(result.has_value());
        std::vector<std::string> described;
        for (const SocketStats& s : result.value_or(std::vector<SocketStats>{})) {
            EXPECT_EQ(s.pid, pid);
            described.push_back(
                std::to_string(s.fd) + " " + std::string(protocol_text(s.protocol)) + " " +
                socket_address_text(s.local_addr) + " " +
                (s.remote_addr ? socket_address_text(*s.remote_addr) : "-") + " " +
                std::to_string(s.bytes_sent) + "/" + std::to_string(s.bytes_received));
        }
        return {described, written};
    }

    static FakeDescriptor tcp_fd(int fd, int family, std::uint16_t lport, std::uint16_t rport,
                                 std::uint8_t vflag = 0) {
        if (vflag == 0) vflag = family == V6 ? d::INI_IPV6 : d::INI_IPV4;
        return socket_fd(fd, tcp(family, lport, rport, d::TCPS_ESTABLISHED, vflag));
    }
};

TEST_F(SocketStatsQuery, TcpSocketsInDescriptorOrderWithTheToolsCounts) {
    machine.processes = {{312,
                          {tcp_fd(3, V4, 80, 5000), file_fd(4), socket_fd(5, udp(V4, 53)),
                           tcp_fd(6, V6, 8080, 0), tcp_fd(7, V4, 8080, 5001),
                           // TCP information without a version flag: not a socket of this query.
                           socket_fd(8, tcp(V4, 81, 0, d::TCPS_LISTEN)), tcp_fd(9, V4, 443, 6000),
                           // A dual-stack IPv6 socket has both version flags.
                           tcp_fd(10, V6, 8443, 0, d::INI_IPV4 | d::INI_IPV6)}}};
    child.standard_output =
        "fd,connection,inode,state,bytes_in,bytes_out\n"
        "3,tcp4 127.0.0.1:8080<->127.0.0.2:5001,1,ESTABLISHED,100,200\n"
        "3,tcp4 127.0.0.1:80<->127.0.0.2:5000,1,ESTABLISHED,300,400\n"
        "6,tcp6 ::1.8080<->*.*,2,LISTEN,5,6\n";
    child.standard_error = std::string(1 << 20, 'e');
    auto [records, written] = stats(312);
    EXPECT_EQ(records, (std::vector<std::string>{
                           "3 tcp 127.0.0.1:80 127.0.0.2:5000 400/300",
                           "6 tcp6 [::1]:8080 - 6/5",
                           "7 tcp 127.0.0.1:8080 127.0.0.2:5001 200/100",
                           "9 tcp 127.0.0.1:443 127.0.0.2:6000 0/0",
                           "10 tcp6 [::1]:8443 - 0/0",
                       }));
    EXPECT_EQ(written, "");
    EXPECT_EQ(runs, (std::vector<std::vector<std::string>>{
                        {"nettop", "nettop", "-L", "1", "-n", "-p", "312"}}));
}

// An unreadable process or descriptor list gets one line, no TCP socket none.
TEST_F(SocketStatsQuery, NoTcpSocketGivesNothingAndRunsNoTool) {
    machine.processes = {{40, {tcp_fd(3, V4, 1, 2)}},
                         {41, {socket_fd(3, udp(V4, 53)), file_fd(4)}}};
    machine.processes[0].fds_readable = false;
    const std::pair<std::uint32_t, const char*> rows[] = {
        {99999,
         "[SocketStats] pidinfo failed for PID 99999: return code = 0, errno = 3, "
         "message = 'No such process'\n"},
        {40,
         "[SocketStats] listpidinfo failed for PID 40: return code = 0, errno = 1, "
         "message = 'Operation not permitted'\n"},
        {41, ""},
    };
    for (auto [pid, line] : rows) {
        auto [records, written] = stats(pid);
        EXPECT_TRUE(records.empty()) << pid;
        EXPECT_EQ(written, line);
    }
    EXPECT_TRUE(runs.empty());
}

TEST_F(SocketStatsQuery, ToolFailuresLeaveEveryCountZero) {
    machine.processes = {{43, {tcp_fd(3, V4, 80, 5000)}}};
    child.standard_output = "x,tcp4 127.0.0.1:80<->127.0.0.2:5000,,,1,2\n";
    const std::vector<std::string> zero = {"3 tcp 127.0.0.1:80 127.0.0.2:5000 0/0"};

    spawn_result = -1;
    spawn_errno = ENOENT;
    auto [missing, line] = stats(43);
    EXPECT_EQ(missing, zero);
    EXPECT_EQ(line, "[SocketStats] nettop failed: No such file or directory (os error 2)\n");

    spawn_result = 0;
    const std::pair<std::optional<int>, const char*> endings[] = {
        {1 << 8, "exit status 1"},
        {SIGKILL, "killed"},
        {std::nullopt, "not waited for"},
    };
    for (auto [status, what] : endings) {
        child.wait_status = status;
        auto [records, written] = stats(43);
        EXPECT_EQ(records, zero) << what;
        EXPECT_EQ(written, "") << what;
    }
    child.wait_status = 0;
    EXPECT_EQ(stats(43).first, (std::vector<std::string>{"3 tcp 127.0.0.1:80 127.0.0.2:5000 2/1"}));
}

}  // namespace
}  // namespace lumenstat
