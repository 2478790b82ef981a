#include <gtest/gtest.h>

#include "socket/address_text.h"
#include "socket/queues.h"
#include "socket_fake_machine.h"

namespace lumenstat {
namespace {

using namespace testing;

struct Queues : ::testing::Test {
    FakeSystem system;
    FakeMachine machine;

    void SetUp() override { machine.install(system); }

    std::vector<SocketQueueInfo> queues(std::uint32_t pid) {
        auto result = get_process_socket_queues(system, pid);
        EXPECT_TRUE(result.has_value());
        return result.value_or(std::vector<SocketQueueInfo>{});
    }
};

SocketSpec spec(int kind, int protocol, int family, std::uint16_t lport, std::uint16_t rport,
                int state) {
    SocketSpec s;
    s.kind = kind;
    s.protocol = protocol;
    s.family = family;
    s.vflag = 0;  // the queue query never looks at it
    if (family == d::DARWIN_AF_INET) {
        s.local = v4_field(127, 0, 0, 1);
        s.remote = v4_field(127, 0, 0, 2);
    } else {
        s.local[15] = 1;
        s.remote[15] = 2;
    }
    s.local_port = lport;
    s.remote_port = rport;
    s.tcp_state = state;
    return s;
}

TEST_F(Queues, ClassifiesByProtocolAndFamilyAloneInDescriptorOrder) {
    SocketSpec established =
        spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 80, 5000, d::TCPS_ESTABLISHED);
    established.rcv_cc = 1000;
    established.rcv_hiwat = 131072;
    established.snd_cc = 7;
    established.snd_hiwat = 16384;
    machine.processes = {process(
        50, {socket_fd(3, spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 80, 0, d::TCPS_LISTEN)),
             socket_fd(4, established), file_fd(5),
             socket_fd(6, spec(d::SOCKINFO_IN, 17, d::DARWIN_AF_INET6, 53, 9999, 0)),
             socket_fd(7, spec(d::SOCKINFO_IN, 6, d::DARWIN_AF_INET6, 22, 0, d::TCPS_LISTEN)),
             socket_fd(8, spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 81, 1, 11)),
             socket_fd(9, spec(d::SOCKINFO_UN, 0, d::DARWIN_AF_UNIX, 0, 0, 0)),
             socket_fd(10, spec(d::SOCKINFO_TCP, 0, d::DARWIN_AF_INET, 82, 0, 1)),
             socket_fd(11, spec(d::SOCKINFO_IN, 17, 10, 83, 0, 0))})};
    std::vector<SocketQueueInfo> got = queues(50);
    ASSERT_EQ(got.size(), 5u);

    EXPECT_EQ(got[0].fd, 3u);
    EXPECT_EQ(got[0].state, SocketState::Listen);
    EXPECT_FALSE(got[0].remote_addr);

    EXPECT_EQ(got[1], (SocketQueueInfo{.pid = 50,
                                       .fd = 4,
                                       .protocol = Protocol::TcpV4,
                                       .local_addr = SocketAddress::v4({127, 0, 0, 1}, 80),
                                       .remote_addr = SocketAddress::v4({127, 0, 0, 2}, 5000),
                                       .state = SocketState::Established,
                                       .recv_queue_bytes = 1000,
                                       .recv_queue_hiwat = 131072,
                                       .send_queue_bytes = 7,
                                       .send_queue_hiwat = 16384}));

    // A connected UDP socket shows its peer here; its state is Unknown.
    EXPECT_EQ(got[2].protocol, Protocol::UdpV6);
    EXPECT_EQ(got[2].state, SocketState::Unknown);
    ASSERT_TRUE(got[2].remote_addr);
    EXPECT_EQ(socket_address_text(*got[2].remote_addr), "[::2]:9999");

    // TCP reported without TCP information, and a state outside the table.
    EXPECT_EQ(got[3].protocol, Protocol::TcpV6);
    EXPECT_EQ(got[3].state, SocketState::Unknown);
    EXPECT_EQ(got[4].fd, 8u);
    EXPECT_EQ(got[4].state, SocketState::Unknown);
}

TEST_F(Queues, FailuresGiveFewerRecordsNeverAnError) {
    EXPECT_TRUE(queues(12345).empty());  // no such process

    FakeDescriptor short_read = socket_fd(4, spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 1, 0, 1));
    short_read.result = 791;
    FakeDescriptor vanished = socket_fd(5, spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 2, 0, 1));
    vanished.info.reset();
    machine.processes = {
        process(60, {socket_fd(3, spec(d::SOCKINFO_TCP, 6, d::DARWIN_AF_INET, 3, 0, 1)), short_read,
                     vanished}),
        process(61, {file_fd(3)})};
    std::vector<SocketQueueInfo> got = queues(60);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fd, 3u);
    EXPECT_TRUE(queues(61).empty());
    EXPECT_EQ(machine.fdinfo_calls, 3);  // none for the process without sockets
}

TEST_F(Queues, OneFixedBufferOfTwoThousandFortyEightEntries) {
    FakeProcess big = process(70);
    for (int fd = 0; fd < 2100; ++fd) {
        big.fds.push_back(socket_fd(fd, spec(d::SOCKINFO_IN, 17, d::DARWIN_AF_INET,
                                             static_cast<std::uint16_t>(fd + 1), 0, 0)));
    }
    machine.processes = {big};
    std::vector<SocketQueueInfo> got = queues(70);
    EXPECT_EQ(machine.listfds_sizes, std::vector<int>{16384});
    ASSERT_EQ(got.size(), 2048u);
    EXPECT_EQ(got.back().fd, 2047u);

    // A kernel claiming more bytes than the buffer holds is bounded by the buffer.
    system.on_proc_pidinfo = [](int, int, std::uint64_t, void* buffer, int size) {
        auto* entries = static_cast<d::proc_fdinfo*>(buffer);
        for (int i = 0; i < size / 8; ++i) entries[i] = {i, d::PROX_FDTYPE_SOCKET};
        return size * 4;
    };
    EXPECT_EQ(queues(70).size(), 2048u);
}

}  // namespace
}  // namespace lumenstat
