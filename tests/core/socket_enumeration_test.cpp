#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/answer_text.h"
#include "core/whole_machine.h"
#include "socket/enumeration.h"

namespace lumenstat {
namespace {

using namespace testing;
using Texts = std::vector<std::string>;

Texts connection_texts(const std::vector<SocketConnection>& records) {
    Texts out;
    for (const SocketConnection& r : records) out.push_back(connection_text(r));
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
        {d::SOCKINFO_TCP, 6, 10, 1, 0, nullptr},  // Linux's AF_INET6 number means nothing
        // Dual stack (no IPV6_V6ONLY): IPv6, whatever other bits come with it.
        {d::SOCKINFO_TCP, 6, V6, 1, 3, "tcp6 [::1]:80 [::2]:5000 LISTEN 7"},
        {d::SOCKINFO_TCP, 6, V4, 1, 5, nullptr},
    };
    for (const Row& row : rows) {
        auto info = socket_info(row.kind, row.protocol, row.family, 80, 5000, row.state, row.vflag);
        auto record = classify_socket(info, 7);
        EXPECT_EQ(record ? connection_text(*record) : "skipped",
                  row.expected ? row.expected : "skipped")
            << row.kind << " " << row.protocol << " " << row.family;
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
    WholeMachine m;
    SocketCache cache;

    Texts listening() {
        auto groups = get_connections(m.sys, cache);
        EXPECT_TRUE(groups);
        return groups && groups->contains(SocketState::Listen)
                   ? connection_texts(groups->at(SocketState::Listen))
                   : Texts{};
    }
};

TEST_F(Enumeration, UnreadableItemsCostOnlyThemselves) {
    FakeDescriptor failing = listener(4, 81);
    failing.info.reset();
    m.sockets.processes = {{10, {listener(3, 1)}},
                           {11, {listener(3, 2)}},
                           {999},  // exited after the process listing
                           {12, {listener(3, 3), failing}},
                           {13, {listener(3, 4)}}};
    m.sockets.processes[0].size_readable = m.sockets.processes[2].size_readable = false;
    m.sockets.processes[1].fds_readable = false;
    EXPECT_EQ(listening(), (Texts{"tcp 127.0.0.1:3 - LISTEN 12", "tcp 127.0.0.1:4 - LISTEN 13"}));
}

TEST_F(Enumeration, DescriptorCountBoundsTheListing) {
    // The kernel lists more descriptors than its size probe said: only those are asked for.
    m.sockets.processes = {{5, {listener(3, 1), listener(4, 2)}}};
    m.sockets.processes[0].nfiles = 1;
    EXPECT_EQ(listening().size(), 1u);
    // An absurd count is bounded instead of allocated.
    m.sockets.now_ns += 1'000'000'000;
    m.sockets.processes[0].nfiles = 0x7fffffffu / 8;
    EXPECT_EQ(listening().size(), 2u);
    ASSERT_EQ(m.sockets.listfds_sizes.size(), 2u);
    EXPECT_EQ(m.sockets.listfds_sizes[0], 8);
    EXPECT_LE(m.sockets.listfds_sizes[1], (1 << 20) * 8);
}

// Even the empty table of a failed process listing.
TEST_F(Enumeration, CacheServesUnderOneWholeSecondAndWhenTheClockGoesBackUntilUnusable) {
    m.sockets.processes = {{5, {listener(3, 1)}}};
    m.sockets.listpids_probe = -1;
    EXPECT_TRUE(listening().empty());
    m.sockets.listpids_probe.reset();
    EXPECT_TRUE(listening().empty());
    EXPECT_EQ(m.calls("proc_listpids"), 1u);
    m.sockets.now_ns += 1'000'000'000;
    EXPECT_EQ(listening().size(), 1u);
    m.sockets.processes[0].fds.push_back(listener(4, 2));
    m.sockets.now_ns += 999'999'999;
    EXPECT_EQ(listening().size(), 1u);
    m.sockets.now_ns -= 3'000'000'000;  // earlier than stored: still fresh
    EXPECT_EQ(listening().size(), 1u);
    EXPECT_EQ(m.calls("proc_listpids"), 3u);
    m.sockets.now_ns += 3'000'000'001;  // a whole second after storing
    EXPECT_EQ(listening().size(), 2u);
    EXPECT_EQ(m.calls("proc_listpids"), 5u);

    // A thread failing while it holds the mutex makes the cache unusable.
    EXPECT_THROW(cache.locked([]() -> int { throw std::runtime_error("fatal"); }),
                 std::runtime_error);
    EXPECT_TRUE(cache.unusable());
    listening();
    // Every socket_table call of a listing now enumerates on its own.
    EXPECT_EQ(m.calls("proc_listpids"), 5u + 4 * 2);
    EXPECT_FALSE(cache.fresh(Protocol::TcpV4, m.sockets.now_ns));
}


// A fork while another thread holds the process's cache (a tracker's, say):
// the child, which has no such thread, must find the mutex free.
TEST(SocketCacheFork, TheChildFindsTheMutexFree) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer fails a child forked beside a running thread";
#endif
    std::atomic<bool> holding{false}, forking{false};
    std::thread holder([&] {
        socket_cache().locked([&] {
            holding = true;
            while (!forking) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the fork starts meanwhile
            return 0;
        });
    });
    while (!holding) std::this_thread::yield();
    forking = true;
    const pid_t child = ::fork();
    if (child == 0) {
        socket_cache().unusable();  // takes the mutex
        ::_exit(0);
    }
    holder.join();
    ASSERT_GT(child, 0);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (::kill(child, SIGKILL) == 0) ::waitpid(child, &status, 0);  // still waiting: hung
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace lumenstat
