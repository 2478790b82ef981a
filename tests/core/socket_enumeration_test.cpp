#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>

#include "socket/address_text.h"
#include "socket/enumeration.h"
#include "socket/lookups.h"
#include "socket/parsers.h"
#include "socket_fake_machine.h"

namespace lumenstat {
namespace {

using namespace testing;

// "tcp 127.0.0.1:80 127.0.0.2:5000 ESTABLISHED 7": protocol, addresses ("-"
// for none), state and pid.
std::string describe(const SocketConnection& r) {
    return std::string(protocol_text(r.protocol)) + " " + socket_address_text(r.local_addr) + " " +
           (r.remote_addr ? socket_address_text(*r.remote_addr) : "-") + " " +
           std::string(state_display_text(r.state)) + " " + (r.pid ? std::to_string(*r.pid) : "-");
}

using Texts = std::vector<std::string>;

Texts describe(const std::vector<SocketConnection>& records) {
    Texts out;
    for (const SocketConnection& r : records) out.push_back(describe(r));
    return out;
}

TEST(SocketClassification, KindProtocolVersionAndState) {
    struct Row {
        int kind, protocol, family, state;
        std::uint8_t vflag;
        const char* expected;  // null: not a TCP or UDP socket
    };
    const Row rows[] = {
        {d::SOCKINFO_TCP, 6, V4, 5, d::INI_IPV4, "tcp 127.0.0.1:80 127.0.0.2:5000 CLOSE_WAIT 7"},
        {d::SOCKINFO_TCP, 0, V4, 5, d::INI_IPV4, "tcp 127.0.0.1:80 127.0.0.2:5000 CLOSE_WAIT 7"},
        // A connected UDP socket still has no remote address.
        {d::SOCKINFO_IN, 17, V4, 5, d::INI_IPV4, "udp 127.0.0.1:80 - UNKNOWN 7"},
        {d::SOCKINFO_IN, 0, V6, 5, 0, "udp6 [::1]:80 - UNKNOWN 7"},
        // TCP reported with generic Internet information only: no state.
        {d::SOCKINFO_IN, 6, V4, 5, 0, "tcp 127.0.0.1:80 127.0.0.2:5000 UNKNOWN 7"},
        {d::SOCKINFO_TCP, 6, V6, 11, 0, "tcp6 [::1]:80 [::2]:5000 UNKNOWN 7"},
        // The version flag wins over the family: IPv4 reads the last four
        // bytes, IPv6 all sixteen.
        {d::SOCKINFO_TCP, 6, V6, 1, d::INI_IPV4, "tcp 0.0.0.1:80 0.0.0.2:5000 LISTEN 7"},
        {d::SOCKINFO_TCP, 6, V4, 1, d::INI_IPV6, "tcp6 [::7f00:1]:80 [::7f00:2]:5000 LISTEN 7"},
        {d::SOCKINFO_TCP, 17, V4, 1, 0, nullptr},
        {d::SOCKINFO_UN, 0, V4, 1, 0, nullptr},
        {d::SOCKINFO_GENERIC, 6, V4, 1, 0, nullptr},
        {d::SOCKINFO_IN, 1, V4, 1, 0, nullptr},
        {d::SOCKINFO_TCP, 6, 10, 1, 0, nullptr},  // Linux's AF_INET6 number means nothing
        // Dual stack (no IPV6_V6ONLY): IPv6, whatever other bits come with it.
        {d::SOCKINFO_TCP, 6, V6, 1, 3, "tcp6 [::1]:80 [::2]:5000 LISTEN 7"},
        {d::SOCKINFO_IN, 17, V6, 1, 7, "udp6 [::1]:80 - UNKNOWN 7"},
        {d::SOCKINFO_TCP, 6, V4, 1, 5, nullptr},
        {d::SOCKINFO_TCP, 6, V4, 1, 4, nullptr},
    };
    for (const Row& row : rows) {
        auto info = socket_info(row.kind, row.protocol, row.family, 80, 5000, row.state, row.vflag);
        auto record = classify_socket(info, 7);
        SCOPED_TRACE(::testing::Message() << row.kind << " " << row.protocol << " " << row.family);
        EXPECT_EQ(record ? describe(*record) : "skipped", row.expected ? row.expected : "skipped");
    }
}

TEST(SocketDebugPid, AcceptsOnlyPlainUnsigned32BitDecimal) {
    EXPECT_EQ(parse_debug_pid("+312"), 312u);
    EXPECT_EQ(parse_debug_pid("0004294967295"), 4294967295u);
    for (const char* bad : {"", "+", "312 ", " 312", "-1", "4294967296", "3a", "++1",
                            "99999999999999999999999", "\xff", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(parse_debug_pid(bad), std::nullopt) << (bad ? bad : "null");
    }
}

struct Enumeration : ::testing::Test {
    FakeSystem system;
    FakeMachine machine;
    SocketCache cache;

    void SetUp() override { machine.install(system); }

    Texts listening() {
        auto groups = get_connections(system, cache);
        EXPECT_TRUE(groups);
        return groups && groups->contains(SocketState::Listen)
                   ? describe(groups->at(SocketState::Listen))
                   : Texts{};
    }
};

TEST_F(Enumeration, GroupsAndSummaryInProtocolThenProcessThenDescriptorOrder) {
    machine.processes = {
        {300,
         {socket_fd(3, udp(V4, 5353, 53)), listener(4, 443, V6), file_fd(5), listener(6, 80),
          socket_fd(7, tcp(V4, 80, 50000, d::TCPS_ESTABLISHED)), socket_fd(8, udp(V6, 53))}},
        {100,
         {listener(9, 22), socket_fd(10, udp(V4, 68)), listener(11, 22, V6),
          socket_fd(12, tcp(V4, 1, 4, d::TCPS_TIME_WAIT)),
          socket_fd(13, tcp(V4, 1, 5, d::TCPS_CLOSE_WAIT)),
          socket_fd(14, tcp(V6, 1, 6, d::TCPS_FIN_WAIT_2))}},
    };
    auto groups = get_connections(system, cache);
    ASSERT_TRUE(groups);
    EXPECT_EQ(groups->size(), 6u);
    EXPECT_EQ(describe((*groups)[SocketState::Listen]),
              (Texts{"tcp 127.0.0.1:80 - LISTEN 300", "tcp 127.0.0.1:22 - LISTEN 100",
                     "tcp6 [::1]:443 - LISTEN 300", "tcp6 [::1]:22 - LISTEN 100"}));
    EXPECT_EQ(describe((*groups)[SocketState::Unknown]),
              (Texts{"udp 127.0.0.1:5353 - UNKNOWN 300", "udp 127.0.0.1:68 - UNKNOWN 100",
                     "udp6 [::1]:53 - UNKNOWN 300"}));
    EXPECT_EQ(describe((*groups)[SocketState::Established]),
              Texts{"tcp 127.0.0.1:80 127.0.0.2:50000 ESTABLISHED 300"});
    EXPECT_EQ(machine.fdinfo_calls, 11);  // socket descriptors only

    // A flattened listing keeps each state's records together.
    std::vector<SocketState> runs;
    for (const SocketConnection& r : flatten(*groups)) {
        if (runs.empty() || runs.back() != r.state) runs.push_back(r.state);
    }
    EXPECT_EQ(runs.size(), groups->size());

    EXPECT_EQ(flatten(*get_tcp_connections(system, cache)).size(), 8u);
    auto udp_only = get_udp_sockets(system, cache);
    EXPECT_EQ(udp_only->size(), 1u);
    EXPECT_EQ(udp_only->at(SocketState::Unknown).size(), 3u);
    EXPECT_EQ(*get_socket_summary(system, cache),
              (SocketStateSummary{
                  .total = 11, .established = 1, .listen = 4, .time_wait = 1, .close_wait = 1}));
    EXPECT_EQ(machine.listpids_calls, 2);  // every listing from one enumeration
}

TEST_F(Enumeration, UnreadableItemsCostOnlyThemselves) {
    FakeDescriptor failing = listener(4, 81);
    failing.info.reset();
    machine.processes = {{10, {listener(3, 1)}},
                         {11, {listener(3, 2)}},
                         {999},  // exited after the process listing
                         {12, {listener(3, 3), failing}},
                         {13, {listener(3, 4)}}};
    machine.processes[0].size_readable = machine.processes[2].size_readable = false;
    machine.processes[1].fds_readable = false;
    EXPECT_EQ(listening(), (Texts{"tcp 127.0.0.1:3 - LISTEN 12", "tcp 127.0.0.1:4 - LISTEN 13"}));
}

TEST_F(Enumeration, DescriptorCountBoundsTheListing) {
    // The kernel lists more descriptors than its size probe said: only those are asked for.
    machine.processes = {{5, {listener(3, 1), listener(4, 2)}}};
    machine.processes[0].nfiles = 1;
    EXPECT_EQ(listening().size(), 1u);
    EXPECT_EQ(machine.listfds_sizes, std::vector<int>{8});
    // An absurd count is bounded instead of allocated.
    machine.now_ns += 1'000'000'000;
    machine.processes[0].nfiles = 0x7fffffffu / 8;
    EXPECT_EQ(listening().size(), 2u);
    ASSERT_EQ(machine.listfds_sizes.size(), 2u);
    EXPECT_LE(machine.listfds_sizes[1], (1 << 20) * 8);
}

// Even the empty table of a failed process listing.
TEST_F(Enumeration, CacheServesUnderOneWholeSecondAndWhenTheClockGoesBackUntilUnusable) {
    machine.processes = {{5, {listener(3, 1)}}};
    machine.listpids_probe = -1;
    EXPECT_TRUE(listening().empty());
    machine.listpids_probe.reset();
    EXPECT_TRUE(listening().empty());
    EXPECT_EQ(machine.listpids_calls, 1);
    machine.now_ns += 1'000'000'000;
    EXPECT_EQ(listening().size(), 1u);
    machine.processes[0].fds.push_back(listener(4, 2));
    machine.now_ns += 999'999'999;
    EXPECT_EQ(listening().size(), 1u);
    machine.now_ns -= 3'000'000'000;  // earlier than stored: still fresh
    EXPECT_EQ(listening().size(), 1u);
    EXPECT_EQ(machine.listpids_calls, 3);
    machine.now_ns += 3'000'000'001;  // a whole second after storing
    EXPECT_EQ(listening().size(), 2u);
    EXPECT_EQ(machine.listpids_calls, 5);

    // A thread failing while it holds the mutex makes the cache unusable.
    EXPECT_THROW(cache.locked([]() -> int { throw std::runtime_error("fatal"); }),
                 std::runtime_error);
    EXPECT_TRUE(cache.unusable());
    listening();
    listening();
    // Every socket_table call of a listing now enumerates on its own.
    EXPECT_EQ(machine.listpids_calls, 5 + 2 * 4 * 2);
    EXPECT_FALSE(cache.fresh(Protocol::TcpV4, machine.now_ns));
}

// A fork while a tracker thread holds the process's cache: the child, which
// has no such thread, must find the mutex free.
TEST(SocketCacheFork, TheChildFindsTheMutexFree) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer reports the thread the child does not have as
    // leaked when the child exits. The plain and address-sanitized builds run
    // the test.
    GTEST_SKIP() << "the thread sanitizer fails a child forked beside a running thread";
#endif
    using namespace std::chrono_literals;
    SocketCache& cache = socket_cache();
    std::atomic<bool> holding{false}, forking{false};
    std::thread holder([&] {
        cache.locked([&] {
            holding = true;
            while (!forking) std::this_thread::yield();
            std::this_thread::sleep_for(100ms);  // the fork starts meanwhile
            return 0;
        });
    });
    while (!holding) std::this_thread::yield();
    forking = true;
    const pid_t child = ::fork();
    if (child == 0) {
        cache.unusable();  // takes the mutex
        ::_exit(0);
    }
    holder.join();
    ASSERT_GT(child, 0);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended) std::this_thread::sleep_for(10ms);
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Enumeration, LookupsTakeTheFirstMatchOfOneListing) {
    d::socket_fdinfo mapped = tcp(V6, 8080, 0, d::TCPS_LISTEN);
    std::memcpy(mapped.psi.soi_proto.pri_in.insi_laddr.bytes + 10, "\xff\xff\x7f\0\0\x01", 6);
    machine.processes = {
        {40, {listener(3, 8080), socket_fd(4, mapped)}},
        {41, {socket_fd(3, tcp(V4, 5000, 8080, d::TCPS_ESTABLISHED)), socket_fd(4, udp(V6, 8080))}},
    };
    const std::vector<SocketConnection> listing = flatten(*get_connections(system, cache));
    auto found = [](const FoundConnection& r) { return r && *r ? describe(**r) : "none"; };
    auto at = [](const char* text) { return *parse_socket_address(text).value; };

    EXPECT_EQ(found(connection_by_pid(system, 41, cache)),
              describe(*std::find_if(listing.begin(), listing.end(),
                                     [](auto& r) { return r.pid == 41u; })));
    EXPECT_EQ(found(connection_by_pid(system, 42, cache)), "none");
    EXPECT_EQ(found(connection_by_inode(system, 0, cache)), describe(listing.front()));
    EXPECT_EQ(found(connection_by_inode(system, 1, cache)), "none");
    EXPECT_EQ(found(connection_by_local_addr(system, at("[::ffff:127.0.0.1]:8080"), cache)),
              "tcp6 [::ffff:127.0.0.1]:8080 - LISTEN 40");
    EXPECT_EQ(found(connection_by_local_addr(system, at("127.0.0.1:8080"), cache)),
              "tcp 127.0.0.1:8080 - LISTEN 40");
    EXPECT_EQ(found(connection_by_local_addr(system, at("[::1]:8080"), cache)),
              "udp6 [::1]:8080 - UNKNOWN 41");
    // A parsed scope id never matches a kernel address, whose scope is 0.
    EXPECT_EQ(found(connection_by_local_addr(system, at("[::1%4]:8080"), cache)), "none");
    // Listeners have no remote address, whatever their Python form shows.
    EXPECT_EQ(found(connection_by_remote_addr(system, at("127.0.0.1:0"), cache)), "none");
    EXPECT_EQ(found(connection_by_remote_addr(system, at("127.0.0.2:8080"), cache)),
              "tcp 127.0.0.1:5000 127.0.0.2:8080 ESTABLISHED 41");
    EXPECT_EQ(
        describe(*connections_by_state(system, SocketState::Listen, cache)),
        (Texts{"tcp 127.0.0.1:8080 - LISTEN 40", "tcp6 [::ffff:127.0.0.1]:8080 - LISTEN 40"}));
    EXPECT_TRUE(connections_by_state(system, SocketState::Closing, cache)->empty());
    EXPECT_EQ(machine.listpids_calls, 2);
}

TEST_F(Enumeration, DebugLinesGoToDescriptorOneForTheChosenProcessOnFreshEnumerations) {
    machine.processes = {
        {311, {listener(3, 9)}},
        {312,
         {listener(3, 631), socket_fd(4, udp(V4, 5353, 53)),
          socket_fd(5, tcp(V6, 631, 40000, d::TCPS_SYN_RECEIVED))}},
    };
    for (const char* value : {"+312", "312 "}) {
        machine.debug_pid = value;
        machine.now_ns += 1'000'000'000;
        ::testing::internal::CaptureStdout();
        listening();
        listening();  // from the cache: silent
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  value[0] != '+' ? ""
                                  : "conn: SocketConnection { protocol: TcpV4, local_addr: "
                                    "127.0.0.1:631, remote_addr: None, state: Listen, pid: "
                                    "Some(312), inode: 0 }\nconn: SocketConnection { protocol: "
                                    "UdpV4, local_addr: 127.0.0.1:5353, remote_addr: None, "
                                    "state: Unknown, pid: Some(312), inode: 0 }\nconn: "
                                    "SocketConnection { protocol: TcpV6, local_addr: [::1]:631, "
                                    "remote_addr: Some([::2]:40000), state: SynReceived, pid: "
                                    "Some(312), inode: 0 }\n")
            << value;
    }
}

}  // namespace
}  // namespace lumenstat
