#include "system_summary.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cpu/cpu_info.h"
#include "cpu/cpu_usage.h"
#include "memory.h"
#include "process/process_table.h"

namespace lumenstat {
namespace {

// Forwards every operation to this machine's system, noting which query each
// call belongs to by the operations only that query makes. One query's
// operations can be made to fail, and the sampling sleep only moves the clock
// the socket cache reads, so a long sample costs no time.
class Recorder : public os::System {
public:
    std::string fail;  // the query whose operations fail
    bool hide_sockets_after_sleep = false;

    std::vector<std::string> steps() {
        std::lock_guard lock(mutex_);
        return steps_;
    }

    void open_query_scope() override { real_.open_query_scope(); }
    void close_query_scope() noexcept override { real_.close_query_scope(); }
    int sysctl(const int* name, unsigned namelen, void* old, std::size_t* len, const void* new_,
               std::size_t newlen) override {
        const char* step =
            namelen >= 2 && name[0] == darwin::CTL_HW && name[1] == darwin::HW_MEMSIZE ? "memory"
            : namelen == 3 && name[0] == darwin::CTL_KERN && name[1] == darwin::KERN_PROC
                ? "processes"
                : nullptr;
        if (failing(step)) return errno = EPERM, -1;
        return real_.sysctl(name, namelen, old, len, new_, newlen);
    }
    int sysctlbyname(const char* name, void* old, std::size_t* len, const void* new_,
                     std::size_t newlen) override {
        if (failing("cpu")) return errno = EPERM, -1;
        return real_.sysctlbyname(name, old, len, new_, newlen);
    }
    long sysconf(int name) override { return real_.sysconf(name); }
    int kill(int pid, int sig) override { return real_.kill(pid, sig); }
    int nanosleep(const timespec* request, timespec*) override {
        note("sleep");
        slept_ns_ += static_cast<std::uint64_t>(request->tv_sec) * 1000000000u +
                     static_cast<std::uint64_t>(request->tv_nsec);
        slept_ = true;
        return 0;
    }
    const char* getenv(const char* name) override { return real_.getenv(name); }
    std::uint64_t monotonic_ns() override { return real_.monotonic_ns() + slept_ns_; }
    int proc_listpids(std::uint32_t type, std::uint32_t info, void* out, int size) override {
        note("sockets");
        if (hide_sockets_after_sleep && slept_) return errno = EPERM, -1;
        return real_.proc_listpids(type, info, out, size);
    }
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* out, int size) override {
        return real_.proc_pidinfo(pid, flavor, arg, out, size);
    }
    int proc_pidfdinfo(int pid, int fd, int flavor, void* out, int size) override {
        return real_.proc_pidfdinfo(pid, fd, flavor, out, size);
    }
    int proc_pid_rusage(int pid, int flavor, void* out) override {
        return real_.proc_pid_rusage(pid, flavor, out);
    }
    darwin::kern_return_t host_statistics64(int flavor, darwin::integer_t* info,
                                            darwin::natural_t* count) override {
        if (failing("memory")) return 5;  // KERN_FAILURE
        return real_.host_statistics64(flavor, info, count);
    }
    darwin::kern_return_t host_processor_info(int flavor, darwin::natural_t* cpus,
                                              darwin::integer_t** info,
                                              darwin::natural_t* count) override {
        if (failing("cpu usage")) return 5;
        return real_.host_processor_info(flavor, cpus, info, count);
    }
    darwin::kern_return_t vm_deallocate(void* address, std::size_t size) override {
        return real_.vm_deallocate(address, size);
    }
    darwin::kern_return_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) override {
        return real_.mach_timebase_info(info);
    }

    int getfsstat(darwin::statfs* buffer, int bufsize, int mode) override {
        if (failing("disks")) return errno = EIO, -1;
        return real_.getfsstat(buffer, bufsize, mode);
    }
    darwin::DIR* opendir(const char* path) override { return real_.opendir(path); }
    int readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) override {
        return real_.readdir_r(dir, entry, result);
    }
    int dirfd(darwin::DIR* dir) override { return real_.dirfd(dir); }
    int fstatat(int fd, const char* path, darwin::stat* buffer, int flag) override {
        return real_.fstatat(fd, path, buffer, flag);
    }
    int closedir(darwin::DIR* dir) override { return real_.closedir(dir); }
    darwin::CFMutableDictionaryRef IOServiceMatching(const char* name) override {
        return real_.IOServiceMatching(name);
    }
    darwin::kern_return_t IOServiceGetMatchingServices(darwin::mach_port_t port,
                                                       darwin::CFDictionaryRef matching,
                                                       darwin::io_iterator_t* existing) override {
        return real_.IOServiceGetMatchingServices(port, matching, existing);
    }
    darwin::io_object_t IOIteratorNext(darwin::io_iterator_t iterator) override {
        return real_.IOIteratorNext(iterator);
    }
    darwin::kern_return_t IORegistryEntryCreateCFProperties(darwin::io_registry_entry_t entry,
                                                            darwin::CFMutableDictionaryRef* props,
                                                            darwin::CFAllocatorRef allocator,
                                                            darwin::IOOptionBits options) override {
        return real_.IORegistryEntryCreateCFProperties(entry, props, allocator, options);
    }
    darwin::kern_return_t IOObjectRelease(darwin::io_object_t object) override {
        return real_.IOObjectRelease(object);
    }
    darwin::CFStringRef CFStringCreateWithCString(darwin::CFAllocatorRef allocator,
                                                  const char* text,
                                                  darwin::CFStringEncoding encoding) override {
        return real_.CFStringCreateWithCString(allocator, text, encoding);
    }
    const void* CFDictionaryGetValue(darwin::CFDictionaryRef dictionary, const void* key) override {
        return real_.CFDictionaryGetValue(dictionary, key);
    }
    darwin::Boolean CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                     void* value) override {
        return real_.CFNumberGetValue(number, type, value);
    }
    void CFRelease(darwin::CFTypeRef object) override { real_.CFRelease(object); }

private:
    // Notes the step (a repeat of the last one is not noted again) and says
    // whether its operations fail.
    bool failing(const char* step) {
        if (step == nullptr) return false;
        note(step);
        return fail == step;
    }
    void note(const char* step) {
        std::lock_guard lock(mutex_);
        if (steps_.empty() || steps_.back() != step) steps_.emplace_back(step);
    }

    os::System& real_ = os::native();
    std::mutex mutex_;
    std::vector<std::string> steps_;
    std::atomic<std::uint64_t> slept_ns_ = 0;
    std::atomic<bool> slept_ = false;
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
        EXPECT_EQ(recorder.steps(), c.steps);

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

        EXPECT_TRUE(std::ranges::any_of(summary.processes, [](const ProcessInfo& p) {
            return p.pid == static_cast<std::uint32_t>(::getpid());
        }));
        EXPECT_GT(summary.memory.total, 0u);
        EXPECT_FALSE(summary.cpu_usage.empty());
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
        EXPECT_EQ(recorder.steps(), c.steps) << c.query;
        Recorder alone;
        alone.fail = c.query;
        const std::optional<QueryError> expected = c.alone(alone);
        ASSERT_TRUE(expected.has_value()) << c.query;
        EXPECT_EQ(summary.error(), *expected) << c.query;
    }
}

}  // namespace
}  // namespace lumenstat
