// The Linux personality's per-process counters (task information and
// resource usage) compared with this process, and their short-lived memo.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/linux/process_memo.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

constexpr int absent_pid = 1 << 30;

std::uint64_t page() { return static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)); }

std::uint64_t statm_field(int index) {
    std::istringstream statm(slurp("/proc/self/statm"));
    std::uint64_t value = 0;
    for (int i = 0; i <= index; ++i) {
        statm >> value;
    }
    return value * page();
}

std::size_t count_entries(const char* path) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path)) {
        ++count;
    }
    return count;
}

std::uint64_t own_cpu_ns(os::System& system) {
    darwin::proc_taskinfo task{};
    EXPECT_EQ(system.proc_pidinfo(getpid(), darwin::PROC_PIDTASKINFO, 0, &task, sizeof task),
              static_cast<int>(sizeof task));
    return task.pti_total_user + task.pti_total_system;
}

std::uint64_t getrusage_ns() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& tv) {
        return static_cast<std::uint64_t>(tv.tv_sec) * 1000000000u +
               static_cast<std::uint64_t>(tv.tv_usec) * 1000u;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

void fetch_table(os::System& system) {
    int name[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::size_t size = 0;
    ASSERT_EQ(system.sysctl(name, 3, nullptr, &size, nullptr, 0), 0);
    std::vector<darwin::kinfo_proc> table(size / sizeof(darwin::kinfo_proc));
    ASSERT_EQ(system.sysctl(name, 3, table.data(), &size, nullptr, 0), 0);
}

TEST(TaskInfo, OwnTaskAgreesWithProc) {
    os::LinuxSystem system;
    burn_cpu(std::chrono::milliseconds(30));
    std::uint64_t before = getrusage_ns();
    darwin::proc_taskinfo task{};
    ASSERT_EQ(system.proc_pidinfo(getpid(), darwin::PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
    std::uint64_t after = getrusage_ns();
    const std::uint64_t tick = 1000000000u / sysconf(_SC_CLK_TCK);
    EXPECT_GE(task.pti_total_user + task.pti_total_system + 2 * tick, before);
    EXPECT_LE(task.pti_total_user + task.pti_total_system, after + 2 * tick);
    EXPECT_EQ(task.pti_threadnum, static_cast<std::int32_t>(count_entries("/proc/self/task")));
    EXPECT_NEAR(static_cast<double>(task.pti_virtual_size), static_cast<double>(statm_field(0)),
                16.0 * 1024 * 1024);
    EXPECT_NEAR(static_cast<double>(task.pti_resident_size), static_cast<double>(statm_field(1)),
                4.0 * 1024 * 1024);
}

TEST(TaskInfo, AllInfoCarriesIdentity) {
    os::LinuxSystem system;
    darwin::proc_taskallinfo all{};
    std::size_t descriptors = count_entries("/proc/self/fd");
    ASSERT_EQ(system.proc_pidinfo(getpid(), darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all), 232);
    EXPECT_EQ(all.pbsd.pbi_pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(all.pbsd.pbi_ppid, static_cast<std::uint32_t>(getppid()));
    EXPECT_EQ(all.pbsd.pbi_uid, geteuid());
    EXPECT_EQ(all.pbsd.pbi_gid, getegid());
    EXPECT_EQ(all.pbsd.pbi_ruid, getuid());
    // Darwin's pbi_nfiles is the size of the descriptor table: room for every
    // open descriptor.
    EXPECT_GE(all.pbsd.pbi_nfiles, descriptors);
    EXPECT_EQ(all.pbsd.pbi_nfiles % 64, 0u) << "a table size, not a count";
    EXPECT_EQ(all.pbsd.pbi_pgid, static_cast<std::uint32_t>(getpgrp()));
    std::string comm = slurp("/proc/self/comm");
    comm.pop_back();
    EXPECT_EQ(std::string(all.pbsd.pbi_comm, strnlen(all.pbsd.pbi_comm, 16)), comm);
    auto fields = stat_fields(getpid());
    long hz = sysconf(_SC_CLK_TCK);
    EXPECT_EQ(all.pbsd.pbi_start_tvsec, boot_time() + std::stoull(fields.at(22)) / hz);
    EXPECT_EQ(all.ptinfo.pti_threadnum,
              static_cast<std::int32_t>(count_entries("/proc/self/task")));
    EXPECT_GT(all.ptinfo.pti_resident_size, 0u);
}

TEST(TaskInfo, FailuresFollowLibproc) {
    os::LinuxSystem system;
    darwin::proc_taskallinfo all{};
    errno = 0;
    EXPECT_EQ(system.proc_pidinfo(absent_pid, darwin::PROC_PIDTASKINFO, 0, &all, sizeof all), 0);
    EXPECT_EQ(errno, ESRCH);
    errno = 0;
    EXPECT_EQ(system.proc_pidinfo(absent_pid, darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all), 0);
    EXPECT_EQ(errno, ESRCH);
    errno = 0;
    EXPECT_EQ(system.proc_pidinfo(getpid(), darwin::PROC_PIDTASKALLINFO, 0, &all, 96), 0);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(system.proc_pidinfo(getpid(), 12345, 0, &all, sizeof all), 0);
    EXPECT_EQ(errno, EINVAL);

    darwin::rusage_info_v2 usage{};
    errno = 0;
    EXPECT_EQ(system.proc_pid_rusage(absent_pid, darwin::RUSAGE_INFO_V2, &usage), -1);
    EXPECT_EQ(errno, ESRCH);
    errno = 0;
    EXPECT_EQ(system.proc_pid_rusage(getpid(), 99, &usage), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(ResourceUsage, OwnUsageAgreesWithProc) {
    os::LinuxSystem system;
    burn_cpu(std::chrono::milliseconds(30));
    std::string io = slurp("/proc/self/io");
    std::uint64_t before = getrusage_ns();
    std::uint64_t resident = statm_field(1);
    darwin::rusage_info_v2 usage{};
    ASSERT_EQ(system.proc_pid_rusage(getpid(), darwin::RUSAGE_INFO_V2, &usage), 0);
    std::uint64_t after = getrusage_ns();
    const std::uint64_t tick = 1000000000u / sysconf(_SC_CLK_TCK);
    EXPECT_GE(usage.ri_user_time + usage.ri_system_time + 2 * tick, before);
    EXPECT_LE(usage.ri_user_time + usage.ri_system_time, after + 2 * tick);
    EXPECT_EQ(usage.ri_phys_footprint, usage.ri_resident_size);
    EXPECT_NEAR(static_cast<double>(usage.ri_resident_size), static_cast<double>(resident),
                4.0 * 1024 * 1024);
    auto io_value = [&](const std::string& key) {
        std::size_t at = io.find("\n" + key + ": ");
        return at == std::string::npos ? ~0ull : std::stoull(io.substr(at + key.size() + 3));
    };
    EXPECT_EQ(usage.ri_diskio_bytesread, io_value("read_bytes"));
    EXPECT_EQ(usage.ri_diskio_byteswritten, io_value("write_bytes"));
}

// CPU-usage sampling reads the counters, sleeps, and reads them again: a
// memory of the table fetch must not answer the second read, nor a read after
// the listing has paused.
TEST(ProcessMemo, NeverOutlivesForgetOrAPause) {
    os::LinuxSystem system;
    fetch_table(system);
    std::uint64_t first = own_cpu_ns(system);
    os::procfs::forget_process_memo();
    EXPECT_EQ(os::procfs::remembered_stat(getpid()), nullptr);
    burn_cpu(std::chrono::milliseconds(60));
    EXPECT_GE(own_cpu_ns(system), first + 40000000u);

    fetch_table(system);
    first = own_cpu_ns(system);
    burn_cpu(std::chrono::milliseconds(os::procfs::memo_idle_ns / 1000000 + 60));
    EXPECT_GE(own_cpu_ns(system), first + 40000000u);
}

// A listing walks its processes in ascending pid order; a question about a
// pid the walk has passed is not part of it and must be read afresh.
TEST(ProcessMemo, AnswersOnlyAlongTheListingsWalk) {
    os::LinuxSystem system;
    auto child = spawn({"/bin/sh", "-c", "read line"});
    ASSERT_NE(child, nullptr);
    if (child->pid() < getpid()) {
        GTEST_SKIP() << "pids wrapped around";
    }
    fetch_table(system);
    ASSERT_NE(os::procfs::remembered_stat(getpid()), nullptr);
    ASSERT_NE(os::procfs::remembered_stat(child->pid()), nullptr);
    EXPECT_EQ(os::procfs::remembered_stat(getpid()), nullptr);
    EXPECT_NE(os::procfs::remembered_stat(child->pid()), nullptr);

    fetch_table(system);
    ASSERT_NE(os::procfs::remembered_stat(getpid()), nullptr);
    std::this_thread::sleep_for(std::chrono::nanoseconds(2 * os::procfs::memo_idle_ns));
    EXPECT_EQ(os::procfs::remembered_stat(child->pid()), nullptr) << "answered after a pause";
}

}  // namespace
}  // namespace lumenstat::testing
