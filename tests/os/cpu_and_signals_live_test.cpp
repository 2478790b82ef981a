// What the Linux personality adds beyond the values the Python tests compare
// with /proc: Darwin's sysctl size protocol, the topology behind the core
// count, the ownership of tick arrays, CPU usage against this process's own
// measured CPU time, and kill across users and process groups.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cpu/cpu_info.h"
#include "cpu/cpu_times.h"
#include "cpu/cpu_usage.h"
#include "os/linux/linux_system.h"
#include "process/kill.h"
#include "process/process_cpu.h"

namespace lumenstat {
namespace {

os::LinuxSystem linux_system;

std::string file_text(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Spins on one thread until destroyed.
class BusyThread {
public:
    BusyThread()
        : thread_([this] {
              volatile std::uint64_t n = 0;
              while (!stop_.load(std::memory_order_relaxed)) n = n + 1;
          }) {}
    ~BusyThread() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(CpuSysctl, PhysicalCoresAreTheDistinctTopologyCores) {
    std::vector<std::pair<std::string, std::string>> cores;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (long cpu = 0; cpu < cpus; ++cpu) {
        const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        cores.emplace_back(file_text((dir + "physical_package_id").c_str()),
                           file_text((dir + "core_id").c_str()));
    }
    if (cores.front().first.empty()) GTEST_SKIP() << "no CPU topology in /sys";
    std::sort(cores.begin(), cores.end());
    const auto distinct = std::unique(cores.begin(), cores.end()) - cores.begin();
    EXPECT_EQ(get_cpu_info(linux_system)->physical_cores, static_cast<std::uint32_t>(distinct));
}

TEST(CpuSysctl, DarwinSizeProtocol) {
    std::size_t size = 0;
    ASSERT_EQ(linux_system.sysctlbyname("hw.logicalcpu", nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(linux_system.sysctlbyname("machdep.cpu.vendor", nullptr, &size, nullptr, 0), 0)
        << "no vendor_id in /proc/cpuinfo";
    const std::size_t probed = size;
    std::vector<char> small(probed - 1, 'x');
    size = small.size();
    errno = 0;
    EXPECT_EQ(linux_system.sysctlbyname("machdep.cpu.vendor", small.data(), &size, nullptr, 0),
              -1);
    EXPECT_EQ(errno, ENOMEM);
    std::vector<char> exact(probed, 'x');
    size = exact.size();
    ASSERT_EQ(linux_system.sysctlbyname("machdep.cpu.vendor", exact.data(), &size, nullptr, 0), 0);
    EXPECT_EQ(size, probed);
    EXPECT_EQ(exact.back(), '\0');
    EXPECT_EQ(std::strlen(exact.data()), probed - 1);

    std::uint64_t hz = 0;
    size = 4;
    EXPECT_EQ(linux_system.sysctlbyname("hw.cpufrequency", &hz, &size, nullptr, 0), -1);
    EXPECT_TRUE(errno == ENOMEM || errno == ENOENT);

    for (const char* name : {"hw.nosuchname", "kern.ostype", ""}) {
        errno = 0;
        EXPECT_EQ(linux_system.sysctlbyname(name, nullptr, &size, nullptr, 0), -1) << name;
        EXPECT_EQ(errno, ENOENT) << name;
    }
    const std::int32_t value = 1;
    EXPECT_EQ(linux_system.sysctlbyname("hw.logicalcpu", nullptr, &size, &value, 4), -1);
    EXPECT_EQ(errno, EPERM);
}

TEST(CpuTicks, ArrayIsReturnedToTheSystem) {
    darwin::natural_t count = 0, elements = 0;
    darwin::integer_t* info = nullptr;
    ASSERT_EQ(linux_system.host_processor_info(darwin::PROCESSOR_CPU_LOAD_INFO, &count, &info,
                                               &elements),
              darwin::KERN_SUCCESS);
    EXPECT_EQ(elements, count * 4);
    EXPECT_EQ(linux_system.vm_deallocate(info, elements * 4), darwin::KERN_SUCCESS);
    // Only arrays still handed out are taken back: a second release or a
    // foreign address is refused instead of corrupting the heap.
    EXPECT_NE(linux_system.vm_deallocate(info, elements * 4), darwin::KERN_SUCCESS);
    int foreign = 0;
    EXPECT_NE(linux_system.vm_deallocate(&foreign, 4), darwin::KERN_SUCCESS);
    EXPECT_NE(linux_system.host_processor_info(99, &count, &info, &elements),
              darwin::KERN_SUCCESS);
}

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The machine may be shared, so the spinning thread's share is measured
// rather than assumed: the CPUs must have been busy for at least the CPU time
// this process used, and the process's own figure must match that time.
// Tick counters are 10 ms coarse, hence the slack.
TEST(CpuUsage, BusyThreadShowsUpPerCpuAndForThisProcess) {
    const std::uint32_t self = static_cast<std::uint32_t>(getpid());
    const Duration span = Duration::from_milliseconds(400);
    BusyThread busy;

    double before = process_cpu_seconds();
    auto per_cpu = get_cpu_usage(linux_system, span);
    double used = process_cpu_seconds() - before;
    ASSERT_TRUE(per_cpu) << per_cpu.error().debug();
    const std::size_t cpus = per_cpu->size();
    ASSERT_EQ(cpus, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    for (double usage : *per_cpu) {
        EXPECT_GE(usage, 0.0);
        EXPECT_LE(usage, 100.0);
    }
    const double busy_seconds =
        std::accumulate(per_cpu->begin(), per_cpu->end(), 0.0) / 100.0 * span.as_seconds();
    EXPECT_GT(used, 0.0);
    EXPECT_GE(busy_seconds, used - 0.02 * static_cast<double>(cpus) - 0.01);

    before = process_cpu_seconds();
    auto own = get_process_cpu_usage(linux_system, self, span);
    used = process_cpu_seconds() - before;
    ASSERT_TRUE(own) << own.error().debug();
    EXPECT_GT(*own, 0.0);
    EXPECT_NEAR(*own / 100.0 * span.as_seconds(), used, 0.03);
}

pid_t paused_child(uid_t uid) {
    const pid_t child = fork();
    if (child == 0) {
        if (uid != getuid() && setuid(uid) != 0) _exit(3);
        pause();
        _exit(0);
    }
    return child;
}

TEST(KillProcess, AnotherUsersProcessIsPermissionDenied) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run children as two other users";
    const uid_t victim_uid = 65534, killer_uid = 65533;
    const pid_t victim = paused_child(victim_uid);
    ASSERT_GT(victim, 0);
    const pid_t killer = fork();
    ASSERT_GE(killer, 0);
    if (killer == 0) {
        if (setuid(killer_uid) != 0) _exit(3);
        auto result = kill_process(linux_system, static_cast<std::uint32_t>(victim));
        const bool denied =
            !result && result.error() == QueryError::permission_denied(
                                             "kill pid " + std::to_string(victim));
        _exit(denied ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(killer, &status, 0), killer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The victim survived the refused signal.
    EXPECT_EQ(::kill(victim, 0), 0);
    ::kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
}

TEST(KillProcess, RefusedPidsLeaveTheProcessGroupAlone) {
    // Run in a child with its own process group so that a wrongly sent group
    // signal would kill only that child, and show in its exit status.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setpgid(0, 0);
        bool refused = true;
        for (std::uint32_t pid : {0u, 2147483648u, 4294967295u,
                                  static_cast<std::uint32_t>(-getpid())}) {
            auto result = kill_process(linux_system, pid);
            refused = refused && !result && result.error() == QueryError::process_not_found(pid);
        }
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "the child was signalled";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace lumenstat
