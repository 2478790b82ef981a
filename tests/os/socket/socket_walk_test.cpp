// Descriptor listings read ahead for a walk over every process: they answer
// the walk of their query scope as a listing made then would, and the helper
// threads reading them end with the walk.
#include "os/linux/socket/socket_walk.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>

#include <numeric>
#include <thread>

#include "os/darwin_socket.h"
#include "os/linux/linux_system.h"

namespace lumenstat::testing {
namespace {

namespace d = darwin;
namespace ls = os::linux_sockets;
using namespace std::chrono_literals;

// A child holding a listener; each byte written to `channel` makes it open
// one more listener, answered with a byte back.
struct Holder {
    int channel = -1;
    pid_t pid = -1;

    Holder() {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        if ((pid = fork()) == 0) {
            char byte = 0;
            do {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
                if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
                    listen(fd, 4) != 0 || write(ends[1], &byte, 1) != 1) {
                    _exit(1);
                }
            } while (read(ends[1], &byte, 1) == 1);
            _exit(0);
        }
        close(ends[1]);
        channel = ends[0];
        EXPECT_EQ(read(channel, ends, 1), 1);
    }
    ~Holder() {
        close(channel);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    void open_another() {
        char byte = 1;
        EXPECT_EQ(write(channel, &byte, 1), 1);
        EXPECT_EQ(read(channel, &byte, 1), 1);
    }
};

void begin_walk(os::System& system) {
    std::vector<int> pids(16384);
    EXPECT_GT(system.proc_listpids(d::PROC_ALL_PIDS, 0, pids.data(), 16384 * sizeof(int)), 0);
}

// The listeners of `pid` as the walk's listing of it shows them, each found
// listening by a socket look-up.
int listeners_in_walk(os::System& system, int pid) {
    std::vector<d::proc_fdinfo> fds(1024);
    int got = system.proc_pidinfo(pid, d::PROC_PIDLISTFDS, 0, fds.data(), 1024 * 8);
    int listening = 0;
    for (int i = 0; i < got / 8; ++i) {
        d::socket_fdinfo info{};
        listening += fds[i].proc_fdtype == d::PROX_FDTYPE_SOCKET &&
                     system.proc_pidfdinfo(pid, fds[i].proc_fd, d::PROC_PIDFDSOCKETINFO, &info,
                                           sizeof info) == static_cast<int>(sizeof info) &&
                     info.psi.soi_proto.pri_tcp.tcpsi_state == d::TCPS_LISTEN;
    }
    return listening;
}

// A listing read ahead for the walk, and a size probe with the listing after
// it, each answer one PROC_PIDLISTFDS of their scope; later ones read anew.
TEST(SocketWalk, EachReadingAnswersOneListingOfItsScope) {
    Holder holder;
    os::LinuxSystem system;
    {
        os::QueryScope scope(system);
        begin_walk(system);
        std::this_thread::sleep_for(20ms);  // time for the reading ahead to reach the child
        EXPECT_EQ(listeners_in_walk(system, holder.pid), 1);
        EXPECT_EQ(listeners_in_walk(system, holder.pid), 1);  // read anew
        const int probed = system.proc_pidinfo(holder.pid, d::PROC_PIDLISTFDS, 0, nullptr, 0);
        ASSERT_GT(probed, 0);
        holder.open_another();
        std::vector<d::proc_fdinfo> fds(1024);
        for (int more : {0, 8}) {
            EXPECT_EQ(system.proc_pidinfo(holder.pid, d::PROC_PIDLISTFDS, 0, fds.data(), 8192),
                      probed + more);
        }
    }
    holder.open_another();
    os::QueryScope scope(system);
    begin_walk(system);
    EXPECT_EQ(listeners_in_walk(system, holder.pid), 3);
}

std::atomic<int> listings_read{0}, listings_failed{0};
std::thread::id walking_thread;

// A walk's helper threads end with it, and a helper that fails leaves its
// work to the walk instead of ending the process.
TEST(SocketWalk, HelpersEndWithTheWalkAndFailWithoutHarm) {
    std::vector<int> pids(2000);
    std::iota(pids.begin(), pids.end(), 1);
    {
        ls::SocketWalk walk(
            [](int, ls::DescriptorListing& out) {
                std::this_thread::sleep_for(1ms);
                out = {};
                ++listings_read;
            },
            [] { return ls::SocketTable{}; });
        walk.begin(pids);
        std::this_thread::sleep_for(10ms);
    }
    const int when_ended = listings_read;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(listings_read, when_ended);
    EXPECT_LT(when_ended, 2000);

    cpu_set_t cpus;
    ASSERT_EQ(::sched_getaffinity(0, sizeof cpus, &cpus), 0);
    if (CPU_COUNT(&cpus) == 1) GTEST_SKIP() << "one CPU: a walk starts no helper";
    walking_thread = std::this_thread::get_id();
    // The table fails on the helper thread; the walking thread reads one holding inode 7.
    ls::SocketWalk walk(
        [](int, ls::DescriptorListing&) {
            ++listings_failed;
            throw std::bad_alloc();
        },
        [] {
            if (std::this_thread::get_id() != walking_thread) throw std::bad_alloc();
            return ls::SocketTable{{7, ls::KernelSocket{}}};
        });
    walk.begin(pids);
    while (listings_failed == 0) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(walk.read_ahead_listing(2000), nullptr);
    EXPECT_NE(walk.find_socket(7), nullptr);
}

}  // namespace
}  // namespace lumenstat::testing
