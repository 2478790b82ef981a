#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "socket/address_text.h"
#include "socket/enumeration.h"
#include "socket/lookups.h"
#include "socket/parsers.h"
#include "socket_fake_machine.h"

namespace lumenstat {
namespace {

using namespace testing;

SocketSpec tcp4(std::uint16_t lport, std::uint16_t rport, int state) {
    SocketSpec s;
    s.local = v4_field(127, 0, 0, 1);
    s.local_port = lport;
    s.remote = rport ? v4_field(127, 0, 0, 1) : std::array<std::uint8_t, 16>{};
    s.remote_port = rport;
    s.tcp_state = state;
    return s;
}

SocketSpec tcp6(std::uint16_t lport, int state) {
    SocketSpec s;
    s.family = d::DARWIN_AF_INET6;
    s.vflag = d::INI_IPV6;
    s.local[15] = 1;
    s.local_port = lport;
    s.tcp_state = state;
    return s;
}

SocketSpec udp(std::uint16_t lport, bool v6) {
    SocketSpec s;
    s.kind = d::SOCKINFO_IN;
    s.protocol = d::DARWIN_IPPROTO_UDP;
    s.family = v6 ? d::DARWIN_AF_INET6 : d::DARWIN_AF_INET;
    s.vflag = v6 ? d::INI_IPV6 : d::INI_IPV4;
    s.local = v6 ? std::array<std::uint8_t, 16>{} : v4_field(0, 0, 0, 0);
    s.local_port = lport;
    s.remote = v4_field(10, 0, 0, 9);
    s.remote_port = 53;  // connected: still no remote address in the listing
    return s;
}

// ---------------------------------------------------------------- classification

TEST(SocketClassification, KindAndProtocolRows) {
    struct Row {
        int kind, protocol;
        std::optional<Protocol> expected;
        bool has_tcp_state;
    };
    const Row rows[] = {
        {d::SOCKINFO_TCP, 6, Protocol::TcpV4, true},  {d::SOCKINFO_TCP, 0, Protocol::TcpV4, true},
        {d::SOCKINFO_IN, 17, Protocol::UdpV4, false}, {d::SOCKINFO_IN, 0, Protocol::UdpV4, false},
        {d::SOCKINFO_IN, 6, Protocol::TcpV4, false},  {d::SOCKINFO_TCP, 17, std::nullopt, false},
        {d::SOCKINFO_UN, 0, std::nullopt, false},     {d::SOCKINFO_GENERIC, 6, std::nullopt, false},
        {d::SOCKINFO_IN, 1, std::nullopt, false},     {7, 6, std::nullopt, false},
    };
    for (const Row& row : rows) {
        SocketSpec spec = tcp4(8080, 40000, d::TCPS_CLOSE_WAIT);
        spec.kind = row.kind;
        spec.protocol = row.protocol;
        auto record = classify_socket(socket_record(spec), 77);
        SCOPED_TRACE(::testing::Message() << "kind " << row.kind << " protocol " << row.protocol);
        ASSERT_EQ(record.has_value(), row.expected.has_value());
        if (!record) continue;
        EXPECT_EQ(record->protocol, *row.expected);
        EXPECT_EQ(record->state, row.has_tcp_state ? SocketState::CloseWait : SocketState::Unknown);
        bool tcp = *row.expected == Protocol::TcpV4;
        // A foreign port makes a remote address for TCP only.
        EXPECT_EQ(record->remote_addr.has_value(), tcp);
        EXPECT_EQ(record->pid, std::optional<std::uint32_t>(77));
        EXPECT_EQ(record->inode, 0u);
        EXPECT_EQ(socket_address_text(record->local_addr), "127.0.0.1:8080");
        if (tcp) {
            EXPECT_EQ(socket_address_text(*record->remote_addr), "127.0.0.1:40000");
        }
    }
}

TEST(SocketClassification, VersionFlagAndFamily) {
    struct Row {
        std::uint8_t vflag;
        int family;
        std::optional<Protocol> expected;
    };
    const Row rows[] = {
        {d::INI_IPV4, d::DARWIN_AF_INET6, Protocol::TcpV4},  // the flag wins over the family
        {d::INI_IPV6, d::DARWIN_AF_INET, Protocol::TcpV6},
        {0, d::DARWIN_AF_INET, Protocol::TcpV4},
        {0, d::DARWIN_AF_INET6, Protocol::TcpV6},
        {0, 10, std::nullopt},  // Linux's AF_INET6 number means nothing here
        {0, d::DARWIN_AF_UNIX, std::nullopt},
        {3, d::DARWIN_AF_INET, std::nullopt},
        {4, d::DARWIN_AF_INET, std::nullopt},
    };
    for (const Row& row : rows) {
        SocketSpec spec = tcp4(22, 0, d::TCPS_LISTEN);
        spec.vflag = row.vflag;
        spec.family = row.family;
        auto record = classify_socket(socket_record(spec), 1);
        ASSERT_EQ(record.has_value(), row.expected.has_value())
            << int(row.vflag) << " " << row.family;
        if (record) {
            EXPECT_EQ(record->protocol, *row.expected);
        }
    }
    // IPv6 takes all sixteen bytes; IPv4 only the last four.
    SocketSpec mapped = tcp6(8080, d::TCPS_LISTEN);
    mapped.local = v4_field(127, 0, 0, 1);
    mapped.local[10] = mapped.local[11] = 0xff;
    EXPECT_EQ(socket_address_text(classify_socket(socket_record(mapped), 1)->local_addr),
              "[::ffff:127.0.0.1]:8080");
    SocketSpec v4 = tcp4(80, 0, d::TCPS_LISTEN);
    v4.local[0] = 0xfe;  // garbage before the IPv4 address is ignored
    v4.local = v4_field(0, 0, 0, 0);
    EXPECT_EQ(socket_address_text(classify_socket(socket_record(v4), 1)->local_addr), "0.0.0.0:80");
}

TEST(SocketClassification, KernelStatesOutsideTheTableAreUnknown) {
    for (int state : {11, 12, 255, -1}) {
        auto record = classify_socket(socket_record(tcp4(1, 2, state)), 1);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->state, SocketState::Unknown);
    }
    EXPECT_EQ(classify_socket(socket_record(tcp4(1, 2, d::TCPS_TIME_WAIT)), 1)->state,
              SocketState::TimeWait);
}

// ---------------------------------------------------------------- enumeration

struct Enumeration : ::testing::Test {
    FakeSystem system;
    FakeMachine machine;
    SocketCache cache;

    void SetUp() override { machine.install(system); }

    StateGroups connections() {
        auto result = get_connections(system, cache);
        EXPECT_TRUE(result.has_value());
        return result.value_or(StateGroups{});
    }
};

TEST_F(Enumeration, GroupsByStateInProtocolThenProcessThenDescriptorOrder) {
    machine.processes = {
        process(300,
                {socket_fd(3, udp(5353, false)), socket_fd(4, tcp6(443, d::TCPS_LISTEN)),
                 file_fd(5), socket_fd(6, tcp4(80, 0, d::TCPS_LISTEN)),
                 socket_fd(7, tcp4(80, 50000, d::TCPS_ESTABLISHED)), socket_fd(8, udp(53, true))}),
        process(100, {socket_fd(9, tcp4(22, 0, d::TCPS_LISTEN)), socket_fd(10, udp(68, false)),
                      socket_fd(11, tcp6(22, d::TCPS_LISTEN))}),
    };
    StateGroups groups = connections();
    ASSERT_EQ(groups.size(), 3u);
    auto describe = [](const std::vector<SocketConnection>& records) {
        std::vector<std::string> out;
        for (auto& r : records)
            out.push_back(std::string(protocol_text(r.protocol)) + " " +
                          socket_address_text(r.local_addr) + " " + std::to_string(*r.pid));
        return out;
    };
    EXPECT_EQ(describe(groups[SocketState::Listen]),
              (std::vector<std::string>{"tcp 127.0.0.1:80 300", "tcp 127.0.0.1:22 100",
                                        "tcp6 [::1]:443 300", "tcp6 [::1]:22 100"}));
    EXPECT_EQ(describe(groups[SocketState::Unknown]),
              (std::vector<std::string>{"udp 0.0.0.0:5353 300", "udp 0.0.0.0:68 100",
                                        "udp6 [::]:53 300"}));
    EXPECT_EQ(describe(groups[SocketState::Established]),
              (std::vector<std::string>{"tcp 127.0.0.1:80 300"}));
    // Only socket descriptors are read.
    EXPECT_EQ(machine.fdinfo_calls, 8);

    // A flattened listing keeps each state's records together and in order.
    std::vector<SocketConnection> flat = flatten(groups);
    ASSERT_EQ(flat.size(), 8u);
    for (std::size_t i = 1; i < flat.size(); ++i) {
        for (std::size_t j = i + 1; j < flat.size(); ++j) {
            if (flat[j].state == flat[i - 1].state) {
                EXPECT_EQ(flat[i].state, flat[i - 1].state);
            }
        }
    }

    auto tcp = get_tcp_connections(system, cache);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->size(), 2u);
    EXPECT_FALSE(tcp->contains(SocketState::Unknown));
    auto udp_only = get_udp_sockets(system, cache);
    ASSERT_TRUE(udp_only);
    EXPECT_EQ(udp_only->size(), 1u);
    EXPECT_EQ(udp_only->at(SocketState::Unknown).size(), 3u);
    for (auto& r : udp_only->at(SocketState::Unknown)) EXPECT_FALSE(r.remote_addr);
}

TEST_F(Enumeration, UnreadableItemsCostOnlyThemselves) {
    FakeDescriptor failing = socket_fd(4, tcp4(81, 0, d::TCPS_LISTEN));
    failing.info.reset();
    FakeDescriptor zero_result = socket_fd(5, tcp4(82, 0, d::TCPS_LISTEN));
    zero_result.result = 0;
    machine.processes = {
        process(10, {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN))}),
        process(11, {socket_fd(3, tcp4(2, 0, d::TCPS_LISTEN))}),
        process(999),  // exited after the process listing
        process(12, {socket_fd(3, tcp4(3, 0, d::TCPS_LISTEN)), failing, zero_result}),
        process(13, {socket_fd(3, tcp4(4, 0, d::TCPS_LISTEN))}),
    };
    machine.processes[0].task_readable = false;
    machine.processes[1].fds_readable = false;
    machine.processes[2].task_readable = false;
    StateGroups groups = connections();
    ASSERT_EQ(groups[SocketState::Listen].size(), 2u);
    EXPECT_EQ(groups[SocketState::Listen][0].local_addr.port, 3);
    EXPECT_EQ(groups[SocketState::Listen][1].local_addr.port, 4);
}

TEST_F(Enumeration, DescriptorCountBoundsTheListing) {
    // The kernel lists more descriptors than pbi_nfiles said: only pbi_nfiles are asked for.
    machine.processes = {process(
        5, {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN)), socket_fd(4, tcp4(2, 0, d::TCPS_LISTEN))})};
    machine.processes[0].nfiles = 1;
    StateGroups groups = connections();
    EXPECT_EQ(groups[SocketState::Listen].size(), 1u);
    EXPECT_EQ(machine.listfds_sizes, std::vector<int>{8});
    // An absurd count is bounded instead of allocated.
    machine.now_ns += 10'000'000'000;
    machine.processes[0].nfiles = 0xffffffffu;
    machine.listfds_sizes.clear();
    connections();
    ASSERT_EQ(machine.listfds_sizes.size(), 1u);
    EXPECT_LE(machine.listfds_sizes[0], (1 << 20) * 8);
}

TEST_F(Enumeration, FailedProcessListingIsAnEmptyTableThatIsCached) {
    machine.processes = {process(5, {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN))})};
    machine.listpids_probe = -1;
    EXPECT_TRUE(connections().empty());
    EXPECT_EQ(machine.listpids_calls, 1);
    machine.listpids_probe = -2;
    EXPECT_TRUE(connections().empty());  // cached for a second
    EXPECT_EQ(machine.listpids_calls, 1);

    for (auto [probe, err] : {std::pair{0, EPERM}, std::pair{3, 0}}) {
        machine.now_ns += 1'000'000'000;
        machine.listpids_probe = probe;
        machine.listpids_probe_errno = err;
        EXPECT_TRUE(connections().empty()) << probe;
    }
    machine.now_ns += 1'000'000'000;
    machine.listpids_probe = -2;
    EXPECT_EQ(connections().size(), 1u);
}

TEST_F(Enumeration, CacheIsFreshForUnderOneWholeSecondAndWhenTheClockGoesBack) {
    machine.processes = {process(5, {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN))})};
    connections();
    EXPECT_EQ(machine.listpids_calls, 2);  // probe and list: one enumeration for four tables
    machine.processes[0].fds.push_back(socket_fd(4, tcp4(2, 0, d::TCPS_LISTEN)));

    machine.now_ns += 999'999'999;
    EXPECT_EQ(connections()[SocketState::Listen].size(), 1u);
    machine.now_ns -= 3'000'000'000;  // earlier than stored: still fresh
    EXPECT_EQ(connections()[SocketState::Listen].size(), 1u);
    EXPECT_EQ(machine.listpids_calls, 2);

    machine.now_ns += 4'000'000'000;  // one second after storing
    EXPECT_EQ(connections()[SocketState::Listen].size(), 2u);
    EXPECT_EQ(machine.listpids_calls, 4);
}

TEST_F(Enumeration, UnusableCacheIsNeverReadNorWritten) {
    machine.processes = {process(5, {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN))})};
    connections();
    EXPECT_THROW(cache.locked([]() -> int { throw std::runtime_error("fatal"); }),
                 std::runtime_error);
    EXPECT_TRUE(cache.unusable());
    int before = machine.listpids_calls;
    connections();
    connections();
    // Every socket_table call of a listing now enumerates on its own.
    EXPECT_EQ(machine.listpids_calls, before + 2 * 4 * 2);
    EXPECT_FALSE(cache.fresh(Protocol::TcpV4, machine.now_ns));
}

TEST_F(Enumeration, SummaryCountsEveryRecordButStatesOnlyForTheirs) {
    machine.processes = {process(
        5,
        {socket_fd(3, tcp4(1, 0, d::TCPS_LISTEN)), socket_fd(4, tcp4(1, 2, d::TCPS_ESTABLISHED)),
         socket_fd(5, tcp4(1, 3, d::TCPS_ESTABLISHED)), socket_fd(6, tcp4(1, 4, d::TCPS_TIME_WAIT)),
         socket_fd(7, tcp4(1, 5, d::TCPS_CLOSE_WAIT)), socket_fd(8, tcp4(1, 6, d::TCPS_FIN_WAIT_2)),
         socket_fd(9, udp(53, false))})};
    auto summary = get_socket_summary(system, cache);
    ASSERT_TRUE(summary);
    EXPECT_EQ(*summary,
              (SocketStateSummary{
                  .total = 7, .established = 2, .listen = 1, .time_wait = 1, .close_wait = 1}));
}

// ---------------------------------------------------------------- lookups

TEST_F(Enumeration, LookupsTakeTheFirstMatchOfTheListing) {
    SocketSpec mapped = tcp6(8080, d::TCPS_LISTEN);
    mapped.local = v4_field(127, 0, 0, 1);
    mapped.local[10] = mapped.local[11] = 0xff;
    machine.processes = {
        process(40, {socket_fd(3, tcp4(8080, 0, d::TCPS_LISTEN)), socket_fd(4, mapped)}),
        process(41, {socket_fd(3, tcp4(5000, 8080, d::TCPS_ESTABLISHED)),
                     socket_fd(4, udp(53, false))}),
    };
    std::vector<SocketConnection> listing = flatten(connections());

    auto by_pid = connection_by_pid(system, 41, cache);
    ASSERT_TRUE(by_pid && *by_pid);
    EXPECT_EQ(**by_pid,
              *std::find_if(listing.begin(), listing.end(), [](auto& r) { return r.pid == 41u; }));
    EXPECT_FALSE(*connection_by_pid(system, 42, cache));

    auto by_inode = connection_by_inode(system, 0, cache);
    ASSERT_TRUE(by_inode && *by_inode);
    EXPECT_EQ(**by_inode, listing.front());
    EXPECT_FALSE(*connection_by_inode(system, 1, cache));

    auto v6 = connection_by_local_addr(
        system, *parse_socket_address("[::ffff:127.0.0.1]:8080").value, cache);
    ASSERT_TRUE(v6 && *v6);
    EXPECT_EQ((*v6)->protocol, Protocol::TcpV6);
    auto v4 =
        connection_by_local_addr(system, *parse_socket_address("127.0.0.1:8080").value, cache);
    ASSERT_TRUE(v4 && *v4);
    EXPECT_EQ((*v4)->protocol, Protocol::TcpV4);
    auto scoped =
        connection_by_local_addr(system, *parse_socket_address("[::1%4]:22").value, cache);
    EXPECT_FALSE(*scoped);

    // Listeners have no remote address, whatever their Python form shows.
    EXPECT_FALSE(
        *connection_by_remote_addr(system, *parse_socket_address("127.0.0.1:0").value, cache));
    auto remote =
        connection_by_remote_addr(system, *parse_socket_address("127.0.0.1:8080").value, cache);
    ASSERT_TRUE(remote && *remote);
    EXPECT_EQ((*remote)->pid, std::optional<std::uint32_t>(41));

    auto listening = connections_by_state(system, SocketState::Listen, cache);
    ASSERT_TRUE(listening);
    EXPECT_EQ(listening->size(), 2u);
    EXPECT_EQ(connections_by_state(system, SocketState::Unknown, cache)->size(), 1u);
    EXPECT_TRUE(connections_by_state(system, SocketState::Closing, cache)->empty());
    EXPECT_EQ(machine.listpids_calls, 2);  // all of it from one enumeration
}

// ---------------------------------------------------------------- debug lines

TEST(SocketDebugPid, AcceptsOnlyPlainUnsigned32BitDecimal) {
    EXPECT_EQ(parse_debug_pid("312"), 312u);
    EXPECT_EQ(parse_debug_pid("+312"), 312u);
    EXPECT_EQ(parse_debug_pid("0004294967295"), 4294967295u);
    for (const char* bad : {"", "+", "312 ", " 312", "-1", "4294967296", "3a", "++1",
                            "99999999999999999999999", "\xff"}) {
        EXPECT_EQ(parse_debug_pid(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(parse_debug_pid(nullptr), std::nullopt);
}

// Collects what the code under test writes to file descriptor 1.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        EXPECT_EQ(pipe(pipe_), 0);
        saved_ = dup(1);
        dup2(pipe_[1], 1);
    }
    std::string finish() {
        dup2(saved_, 1);
        close(saved_);
        close(pipe_[1]);
        std::string out;
        char buffer[4096];
        for (ssize_t n; (n = read(pipe_[0], buffer, sizeof(buffer))) > 0;) out.append(buffer, n);
        close(pipe_[0]);
        return out;
    }

private:
    int pipe_[2];
    int saved_;
};

TEST_F(Enumeration, DebugLinesGoToDescriptorOneForTheChosenProcessOnFreshEnumerations) {
    machine.processes = {
        process(311, {socket_fd(3, tcp4(9, 0, d::TCPS_LISTEN))}),
        process(312, {socket_fd(3, tcp4(631, 0, d::TCPS_LISTEN)), socket_fd(4, udp(5353, false))}),
    };
    machine.debug_pid = "+312";
    StdoutCapture capture;
    connections();
    connections();  // from the cache: silent
    std::string out = capture.finish();
    EXPECT_EQ(out,
              "conn: SocketConnection { protocol: TcpV4, local_addr: 127.0.0.1:631, remote_addr: "
              "None, state: Listen, pid: Some(312), inode: 0 }\n"
              "conn: SocketConnection { protocol: UdpV4, local_addr: 0.0.0.0:5353, remote_addr: "
              "None, state: Unknown, pid: Some(312), inode: 0 }\n");

    for (const char* off : {"312 ", "-1", "4294967296"}) {
        machine.debug_pid = off;
        machine.now_ns += 1'000'000'000;
        StdoutCapture silent;
        connections();
        EXPECT_EQ(silent.finish(), "") << off;
    }
}

}  // namespace
}  // namespace lumenstat
