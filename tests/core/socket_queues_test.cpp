#include <gtest/gtest.h>

#include <string>

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

TEST_F(Queues, ClassifiesByProtocolAndFamilyAloneInDescriptorOrder) {
    d::socket_fdinfo established = tcp(V4, 80, 5000, d::TCPS_ESTABLISHED);
    established.psi.soi_rcv.sbi_cc = 1000;
    established.psi.soi_rcv.sbi_hiwat = 131072;
    established.psi.soi_snd.sbi_cc = 7;
    established.psi.soi_snd.sbi_hiwat = 16384;
    machine.processes = {
        {50,
         {listener(3, 80), socket_fd(4, established), file_fd(5), socket_fd(6, udp(V6, 53, 9999)),
          socket_fd(7, socket_info(d::SOCKINFO_IN, 6, V6, 22, 0, d::TCPS_LISTEN)),
          socket_fd(8, tcp(V4, 81, 1, 11)),
          socket_fd(9, socket_info(d::SOCKINFO_UN, 0, d::DARWIN_AF_UNIX, 0, 0, 0)),
          socket_fd(10, socket_info(d::SOCKINFO_TCP, 0, V4, 82, 0, 1)),
          socket_fd(11, socket_info(d::SOCKINFO_IN, 17, 10, 83, 0, 0))}}};
    std::vector<std::string> described;
    for (const SocketQueueInfo& q : queues(50)) {
        EXPECT_EQ(q.pid, 50u);
        described.push_back(
            std::to_string(q.fd) + " " + std::string(protocol_text(q.protocol)) + " " +
            socket_address_text(q.local_addr) + " " +
            (q.remote_addr ? socket_address_text(*q.remote_addr) : "-") + " " +
            std::string(state_display_text(q.state)) + " " + std::to_string(q.recv_queue_bytes) +
            "/" + std::to_string(q.recv_queue_hiwat) + " " + std::to_string(q.send_queue_bytes) +
            "/" + std::to_string(q.send_queue_hiwat));
    }
    EXPECT_EQ(described, (std::vector<std::string>{
                             "3 tcp 127.0.0.1:80 - LISTEN 0/0 0/0",
                             "4 tcp 127.0.0.1:80 127.0.0.2:5000 ESTABLISHED 1000/131072 7/16384",
                             // A connected UDP socket shows its peer here.
                             "6 udp6 [::1]:53 [::2]:9999 UNKNOWN 0/0 0/0",
                             // TCP without TCP information, and a state outside the table.
                             "7 tcp6 [::1]:22 - UNKNOWN 0/0 0/0",
                             "8 tcp 127.0.0.1:81 127.0.0.2:1 UNKNOWN 0/0 0/0",
                         }));
}

TEST_F(Queues, FailuresGiveFewerRecordsNeverAnError) {
    EXPECT_TRUE(queues(12345).empty());  // no such process
    FakeDescriptor short_read = listener(4, 1), vanished = listener(5, 2);
    short_read.result = 791;
    vanished.info.reset();
    machine.processes = {{60, {listener(3, 3), short_read, vanished}}, {61, {file_fd(3)}}};
    std::vector<SocketQueueInfo> got = queues(60);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fd, 3u);
    EXPECT_TRUE(queues(61).empty());
    EXPECT_EQ(machine.fdinfo_calls, 3);  // none for the process without sockets
}

TEST_F(Queues, OneFixedBufferOfTwoThousandFortyEightEntries) {
    FakeProcess big{70};
    for (int fd = 0; fd < 2100; ++fd) big.fds.push_back(socket_fd(fd, udp(V4, 1000)));
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
