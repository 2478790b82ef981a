#include "system_summary.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "cpu/cpu_info.h"
#include "cpu/cpu_usage.h"
#include "memory.h"
#include "process/process_table.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

template <auto operation>
auto forward() {
    return [](auto... args) { return (os::native().*operation)(args...); };
}

// This machine's system behind the fake, limited to the operations a snapshot
// makes. Each call is noted under the query it belongs to, told by the
// operations only that query makes; the operations of `fail` fail. The
// sampling sleep only moves the clock the socket cache reads.
struct Recorder : testing::FakeSystem {
    std::string fail;
    bool hide_sockets_after_sleep = false;
    std::vector<std::string> steps;  // a repeated step is noted once
    std::uint64_t slept_ns = 0;

    void note(const char* step) {
        if (steps.empty() || steps.back() != step) steps.emplace_back(step);
    }

    template <class Operation>
    auto marked(const char* step, Operation real) {
        return [this, step, real](auto... args) {
            note(step);
            if (fail == step) return errno = EPERM, decltype(real(args...))(-1);
            return real(args...);
        };
    }

    Recorder() {
        on_sysconf = forward<&os::System::sysconf>();
        on_proc_pidinfo = forward<&os::System::proc_pidinfo>();
        on_proc_pidfdinfo = forward<&os::System::proc_pidfdinfo>();
        on_proc_pid_rusage = forward<&os::System::proc_pid_rusage>();
        on_vm_deallocate = forward<&os::System::vm_deallocate>();
        on_mach_timebase_info = forward<&os::System::mach_timebase_info>();
        on_sysctlbyname = marked("cpu", forward<&os::System::sysctlbyname>());
        on_getfsstat = marked("disks", forward<&os::System::getfsstat>());
        on_host_processor_info = marked("cpu usage", forward<&os::System::host_processor_info>());
        on_host_statistics64 = marked("memory", forward<&os::System::host_statistics64>());
        on_sysctl = [this](const int* name, unsigned length, auto... rest) {
            auto real = forward<&os::System::sysctl>();
            if (name[0] == darwin::CTL_HW && name[1] == darwin::HW_MEMSIZE) {
                return marked("memory", real)(name, length, rest...);
            }
            if (length == 3 && name[0] == darwin::CTL_KERN && name[1] == darwin::KERN_PROC) {
                return marked("processes", real)(name, length, rest...);
            }
            return real(name, length, rest...);
        };
        on_proc_listpids = [this](auto... args) {
            note("sockets");
            if (hide_sockets_after_sleep && slept_ns > 0) return errno = EPERM, -1;
            return os::native().proc_listpids(args...);
        };
        on_nanosleep = [this](const timespec* request, timespec*) {
            note("sleep");
            slept_ns += static_cast<std::uint64_t>(request->tv_sec) * 1000000000u +
                        static_cast<std::uint64_t>(request->tv_nsec);
            return 0;
        };
        // Only the sleeps move the clock, so the socket listing's age does not
        // depend on how long the machine takes to list.
        on_monotonic_ns = [this, start = os::native().monotonic_ns()] { return start + slept_ns; };
    }
};

// A TCP listener of this process on a loopback port.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(fd, 1), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd); }
};

TEST(SystemSummary, QueriesInOrderWithTheTotalAskedAgainAfterTheSample) {
    struct Case {
        Duration sample;
        std::vector<std::string> steps;
        bool total_from_later_listing;
    };
    // The socket listing is kept for a second: a shorter sample finds it
    // again after the sleep, a longer one lists afresh.
    const Case cases[] = {
        {{0, 0}, {"memory", "cpu", "disks", "sockets", "processes", "cpu usage"}, false},
        {{0, 300000000},
         {"memory", "cpu", "disks", "sockets", "processes", "cpu usage", "sleep", "cpu usage"},
         false},
        {{1, 500000000},
         {"memory", "cpu", "disks", "sockets", "processes", "cpu usage", "sleep", "cpu usage",
          "sockets"},
         true},
    };
    Listener listener;
    for (const Case& c : cases) {
        Recorder recorder;
        recorder.hide_sockets_after_sleep = true;
        SocketCache cache;
        const SystemSummary summary = get_system_summary(recorder, c.sample, cache).value();
        EXPECT_EQ(recorder.steps, c.steps);

        const auto mine = std::ranges::find_if(summary.connections, [&](const SocketConnection& s) {
            return s.local_addr.port == listener.port && s.state == SocketState::Listen;
        });
        ASSERT_NE(mine, summary.connections.end());
        EXPECT_EQ(mine->pid, static_cast<std::uint32_t>(::getpid()));
        EXPECT_EQ(summary.socket_summary.listen,
                  static_cast<std::uint64_t>(std::ranges::count_if(
                      summary.connections,
                      [](const SocketConnection& s) { return s.state == SocketState::Listen; })));
        // The later listing saw no sockets at all.
        EXPECT_EQ(summary.socket_summary.total,
                  c.total_from_later_listing ? 0 : summary.connections.size());
    }
}

template <class T>
std::optional<QueryError> error_of(const Result<T>& result) {
    return result ? std::nullopt : std::optional(result.error());
}

TEST(SystemSummary, AFailedQueryEndsTheSnapshotWithItsError) {
    struct Case {
        std::string query;
        std::optional<QueryError> (*alone)(os::System&);
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {"memory", [](os::System& s) { return error_of(get_memory_info(s)); }, {"memory"}},
        {"cpu", [](os::System& s) { return error_of(get_cpu_info(s)); }, {"memory", "cpu"}},
        {"disks", [](os::System& s) { return error_of(get_disks(s)); }, {"memory", "cpu", "disks"}},
        {"processes",
         [](os::System& s) { return error_of(get_processes(s)); },
         {"memory", "cpu", "disks", "sockets", "processes"}},
        {"cpu usage",
         [](os::System& s) {
             return error_of(get_cpu_usage(s, {1, 0}));
         },
         {"memory", "cpu", "disks", "sockets", "processes", "cpu usage"}},
    };
    for (const Case& c : cases) {
        Recorder recorder;
        recorder.fail = c.query;
        SocketCache cache;
        const auto summary = get_system_summary(recorder, {1, 0}, cache);
        ASSERT_FALSE(summary.has_value()) << c.query;
        EXPECT_EQ(recorder.steps, c.steps) << c.query;
        Recorder alone;
        alone.fail = c.query;
        const std::optional<QueryError> expected = c.alone(alone);
        ASSERT_TRUE(expected.has_value()) << c.query;
        EXPECT_EQ(summary.error(), *expected) << c.query;
    }
}

}  // namespace
}  // namespace lumenstat
