#include "process/process_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_system.h"

namespace lumenstat {
namespace {

using darwin::kinfo_proc;
using testing::FakeSystem;
using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr std::size_t kEntry = sizeof(kinfo_proc);
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

kinfo_proc entry(std::int32_t pid, std::string_view comm = "proc", int stat = darwin::SRUN) {
    kinfo_proc e{};
    e.p_pid = pid;
    e.e_ppid = 1;
    e.p_stat = static_cast<char>(stat);
    std::memcpy(e.p_comm, comm.data(), std::min(comm.size(), sizeof e.p_comm));
    return e;
}

std::string area(std::int32_t argc, std::string_view rest) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &argc, 4);  // the test hosts are little-endian, as Darwin is
    bytes.append(rest);
    return bytes;
}

// A Darwin-shaped machine behind the fake: the process table with the size
// probe and ENOMEM protocol, argument areas, and the memory sources per pid.
// Processes without a scripted answer fail that call.
struct Machine {
    FakeSystem sys;
    std::vector<kinfo_proc> table;
    std::map<int, std::string> areas;
    std::map<int, darwin::rusage_info_v2> rusage;
    std::map<int, std::uint64_t> task_resident;
    std::map<int, std::uint64_t> taskall_resident;
    long page_size = 16384;
    std::vector<std::size_t> table_fetch_lengths;

    Machine() {
        sys.on_sysctl = [this](const int* name, unsigned namelen, void* old, std::size_t* len,
                               const void*, std::size_t) {
            EXPECT_EQ(namelen, 3u);
            EXPECT_EQ(name[0], darwin::CTL_KERN);
            if (name[1] == darwin::KERN_PROC) {
                EXPECT_EQ(name[2], darwin::KERN_PROC_ALL);
                return table_sysctl(old, len);
            }
            EXPECT_EQ(name[1], darwin::KERN_PROCARGS2);
            return args_sysctl(name[2], old, len);
        };
        sys.on_sysconf = [this](int name) {
            EXPECT_EQ(name, darwin::SC_PAGESIZE);
            return page_size;
        };
        sys.on_proc_pid_rusage = [this](int pid, int flavor, void* out) {
            EXPECT_EQ(flavor, darwin::RUSAGE_INFO_V2);
            auto it = rusage.find(pid);
            if (it == rusage.end()) {
                std::memset(out, 0xAB, sizeof(darwin::rusage_info_v2));  // garbage on failure
                errno = ESRCH;
                return -1;
            }
            std::memcpy(out, &it->second, sizeof it->second);
            return 0;
        };
        sys.on_proc_pidinfo = [this](int pid, int flavor, std::uint64_t arg, void* out, int size) {
            EXPECT_EQ(arg, 0u);
            if (flavor == darwin::PROC_PIDTASKINFO) {
                EXPECT_EQ(size, 96);
                auto it = task_resident.find(pid);
                if (it == task_resident.end()) return 0;
                static_cast<darwin::proc_taskinfo*>(out)->pti_resident_size = it->second;
                return size;
            }
            EXPECT_EQ(flavor, darwin::PROC_PIDTASKALLINFO);
            EXPECT_EQ(size, 232);
            auto it = taskall_resident.find(pid);
            if (it == taskall_resident.end()) return 0;
            static_cast<darwin::proc_taskallinfo*>(out)->ptinfo.pti_resident_size = it->second;
            return size;
        };
    }

    int table_sysctl(void* old, std::size_t* len) {
        const std::size_t bytes = table.size() * kEntry;
        if (!old) {
            *len = bytes;
            return 0;
        }
        table_fetch_lengths.push_back(*len);
        // Every byte up to the given length must be ours to write, and zero.
        const auto* p = static_cast<const unsigned char*>(old);
        EXPECT_TRUE(std::all_of(p, p + *len, [](unsigned char b) { return b == 0; }));
        if (*len < bytes) {
            errno = ENOMEM;
            return -1;
        }
        if (bytes) std::memcpy(old, table.data(), bytes);
        *len = bytes;
        return 0;
    }

    int args_sysctl(int pid, void* old, std::size_t* len) {
        auto it = areas.find(pid);
        if (it == areas.end()) {
            errno = EINVAL;
            return -1;
        }
        if (!old) {
            *len = it->second.size();
            return 0;
        }
        if (*len < it->second.size()) {
            errno = ENOMEM;
            return -1;
        }
        std::memcpy(old, it->second.data(), it->second.size());
        *len = it->second.size();
        return 0;
    }

    std::vector<ProcessInfo> processes() {
        auto result = get_processes(sys);
        EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text());
        return result ? std::move(*result) : std::vector<ProcessInfo>{};
    }
};

void expect_sys_call(const Result<std::vector<ProcessInfo>>& result, std::string_view text) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::SysCall);
    EXPECT_EQ(result.error().text(), text);
}

TEST(ProcessTable, BuildsEveryFieldInKernelOrder) {
    Machine m;
    kinfo_proc shell = entry(812, "zsh", darwin::SSLEEP);
    shell.e_ppid = 811;
    shell.p_starttime.tv_sec = 1700000000;
    shell.p_starttime.tv_usec = 999999;
    kinfo_proc unterminated = entry(6);
    std::memset(unterminated.p_comm, 'x', sizeof unterminated.p_comm);
    m.table = {shell, entry(0, "kernel_task"), entry(5, "bad\xff\xfe"), unterminated};
    m.areas[812] = area(2, "/bin/zsh\0\0\0\0-zsh\0-l\0TERM=xterm\0"sv);
    m.rusage[812].ri_phys_footprint = 4096;

    const auto procs = m.processes();
    ASSERT_EQ(procs.size(), 4u);
    EXPECT_EQ(procs[0].pid, 812u);
    EXPECT_EQ(procs[0].ppid, 811u);
    EXPECT_EQ(procs[0].name, "zsh");
    EXPECT_EQ(procs[0].status, ProcessStatus::Sleeping);
    EXPECT_EQ(procs[0].cmdline, (std::vector<std::string>{"-zsh", "-l"}));
    EXPECT_EQ(procs[0].exe_path, "-zsh");
    EXPECT_EQ(procs[0].memory_usage, 4096u);
    EXPECT_EQ(procs[0].start_time, 1700000000u);
    EXPECT_EQ(procs[1].pid, 0u);
    EXPECT_EQ(procs[1].name, "kernel_task");
    EXPECT_EQ(procs[2].name, "bad\uFFFD\uFFFD");
    EXPECT_EQ(procs[3].name, std::string(16, 'x'));
}

TEST(ProcessTable, DoublesOnEnomemUntilTheTableFits) {
    Machine m;
    for (int pid = 1; pid <= 5; ++pid) m.table.push_back(entry(pid));
    // The probe sees one process; five exist by the time of the fetch.
    m.sys.on_sysctl = [&m, first = true](const int* name, unsigned, void* old, std::size_t* len,
                                         const void*, std::size_t) mutable {
        if (name[1] != darwin::KERN_PROC) return -1;
        if (!old && first) {
            first = false;
            *len = kEntry;
            return 0;
        }
        return m.table_sysctl(old, len);
    };
    const auto procs = m.processes();
    ASSERT_EQ(procs.size(), 5u);
    EXPECT_EQ(procs[4].pid, 5u);
    // 648 + 20% = 777, then doubled until 5 * 648 = 3240 fits.
    EXPECT_EQ(m.table_fetch_lengths, (std::vector<std::size_t>{777, 1554, 3108, 6216}));
}

TEST(ProcessTable, SmallProbeGetsOneEntryOfCapacity) {
    Machine m;  // empty table: the probe says 0 bytes
    EXPECT_TRUE(m.processes().empty());
    EXPECT_EQ(m.table_fetch_lengths, (std::vector<std::size_t>{648}));
}

TEST(ProcessTable, TableFetchFailures) {
    constexpr std::size_t top = std::size_t{1} << 63;
    struct Case {
        bool probe_ok;
        std::size_t probed;
        int fetch_errno;
        std::string_view text;
        int fetches;
    };
    const Case cases[] = {
        {false, 0, 0, "sysctl KERN_PROC_ALL size failed", 0},
        {true, kEntry, EPERM, "sysctl KERN_PROC_ALL failed (errno 1)", 1},
        {true, kEntry, EINVAL, "sysctl KERN_PROC_ALL failed (errno 22)", 1},
        // Such a capacity can be neither allocated nor doubled.
        {true, top, ENOMEM, "sysctl KERN_PROC_ALL buffer size overflow", 0},
        {true, top - 1, ENOMEM, "sysctl KERN_PROC_ALL buffer size overflow", 0},
        {true, std::numeric_limits<std::size_t>::max(), ENOMEM,
         "sysctl KERN_PROC_ALL buffer size overflow", 0},
    };
    for (const Case& c : cases) {
        FakeSystem sys;
        int fetches = 0;
        sys.on_sysctl = [&](const int*, unsigned, void* old, std::size_t* len, const void*,
                            std::size_t) {
            if (!old) {
                *len = c.probed;
                errno = EPERM;
                return c.probe_ok ? 0 : -1;
            }
            ++fetches;
            errno = c.fetch_errno;
            return -1;
        };
        expect_sys_call(get_processes(sys), c.text);
        EXPECT_EQ(fetches, c.fetches) << c.text;
    }
}

TEST(ProcessTable, UnallocatableCapacityFailsInsteadOfThrowing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on allocations this large";
#else
    FakeSystem sys;
    sys.on_sysctl = [](const int*, unsigned, void* old, std::size_t* len, const void*,
                       std::size_t) {
        if (!old) {
            *len = std::size_t{1} << 61;
            return 0;
        }
        errno = ENOMEM;
        return -1;
    };
    expect_sys_call(get_processes(sys), "sysctl KERN_PROC_ALL buffer allocation failed");
#endif
}

TEST(ProcessTable, ReadsOnlyWholeEntriesOfTheReturnedLength) {
    struct Case {
        std::size_t returned;
        std::size_t expected;
    };
    for (const Case c : {Case{0, 0}, Case{kEntry - 1, 0}, Case{kEntry, 1},
                         Case{2 * kEntry + 100, 2}, Case{3 * kEntry, 3}, Case{1000 * kEntry, 3}}) {
        Machine m;
        m.table = {entry(10), entry(11), entry(12)};
        m.sys.on_sysctl = [&](const int* name, unsigned, void* old, std::size_t* len, const void*,
                              std::size_t) {
            if (name[1] != darwin::KERN_PROC) return -1;
            if (!old) {
                *len = 3 * kEntry;
                return 0;
            }
            // Entries are written whole; the length claims anything.
            std::memcpy(old, m.table.data(), 3 * kEntry);
            *len = c.returned;
            return 0;
        };
        const auto procs = m.processes();
        ASSERT_EQ(procs.size(), c.expected) << c.returned;
        for (std::size_t i = 0; i < procs.size(); ++i) EXPECT_EQ(procs[i].pid, 10 + i);
    }
}

TEST(ProcessTable, FailedArgumentReadsLeaveEmptyCommandLines) {
    Machine m;
    for (int pid = 1; pid <= 5; ++pid) m.table.push_back(entry(pid));
    m.areas[1] = area(1, "/p\0a\0"sv);  // readable, the control
    // 2: no area at all, so the probe fails
    m.areas[3] = area(1, "/p\0a\0"sv);  // probe works, fetch fails
    m.areas[4] = "\x01\x00\x00"s;       // shorter than argc
    m.areas[5] = area(1, "/p\0a\0"sv);  // fetch claims fewer than 4 bytes
    auto args = m.sys.on_sysctl;
    m.sys.on_sysctl = [&, args](const int* name, unsigned n, void* old, std::size_t* len,
                                const void* nw, std::size_t nl) {
        const int r = args(name, n, old, len, nw, nl);
        if (name[1] == darwin::KERN_PROCARGS2 && old) {
            if (name[2] == 3) {
                errno = EINVAL;
                return -1;
            }
            if (name[2] == 5) *len = 3;
        }
        return r;
    };
    const auto procs = m.processes();
    ASSERT_EQ(procs.size(), 5u);
    EXPECT_EQ(procs[0].cmdline, std::vector<std::string>{"a"});
    EXPECT_EQ(procs[0].exe_path, "a");
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_TRUE(procs[i].cmdline.empty()) << procs[i].pid;
        EXPECT_TRUE(procs[i].exe_path.empty()) << procs[i].pid;
    }
}

TEST(ProcessTable, ArgumentsOfOneProcessNeverLeakIntoTheNext) {
    Machine m;
    m.table = {entry(1), entry(2)};
    m.areas[1] = area(4, "/long/path\0one\0two\0three\0four\0"sv);
    // Process 2 probes a large area but the kernel writes only a few bytes.
    m.areas[2] = area(3, "/p\0x\0"sv);
    auto base = m.sys.on_sysctl;
    m.sys.on_sysctl = [&, base](const int* name, unsigned n, void* old, std::size_t* len,
                                const void* nw, std::size_t nl) {
        if (name[1] == darwin::KERN_PROCARGS2 && name[2] == 2 && !old) {
            *len = 64;
            return 0;
        }
        return base(name, n, old, len, nw, nl);
    };
    const auto procs = m.processes();
    ASSERT_EQ(procs.size(), 2u);
    EXPECT_EQ(procs[0].cmdline, (std::vector<std::string>{"one", "two", "three", "four"}));
    EXPECT_EQ(procs[1].cmdline, std::vector<std::string>{"x"});
}

TEST(ProcessTable, MemoryUsageIsTheFirstNonZeroSource) {
    struct Case {
        const char* what;
        bool rusage_ok;
        std::uint64_t footprint, resident, task, taskall;
        std::int16_t xrssize;
        long page;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"footprint first", true, 1, 2, 3, 4, 5, 16384, 1},
        {"then rusage resident", true, 0, 2, 3, 4, 5, 16384, 2},
        {"then task info", true, 0, 0, 3, 4, 5, 16384, 3},
        {"task info answers zero", true, 0, 0, 0, 4, 5, 16384, 5 * 16384},
        {"failed rusage is ignored, not read", false, 0, 0, 3, 4, 5, 16384, 3},
        {"then task-all info", false, 0, 0, ~0ull, 4, 5, 16384, 4},
        {"then table pages", false, 0, 0, ~0ull, ~0ull, 5, 16384, 5 * 16384},
        {"negative pages", false, 0, 0, ~0ull, ~0ull, -5, 16384, 0},
        {"largest pages", false, 0, 0, ~0ull, ~0ull, 32767, 4096, 32767ull * 4096},
        {"saturating product", false, 0, 0, ~0ull, ~0ull, 32767, std::numeric_limits<long>::max(),
         kMax},
        {"no page size", false, 0, 0, ~0ull, ~0ull, 5, -1, 0},
    };
    for (const Case& c : cases) {
        Machine m;
        kinfo_proc e = entry(9);
        e.e_xrssize = c.xrssize;
        m.table = {e};
        m.page_size = c.page;
        if (c.rusage_ok) {
            m.rusage[9].ri_phys_footprint = c.footprint;
            m.rusage[9].ri_resident_size = c.resident;
        }
        // ~0 marks a call that fails; 0 a call that answers zero.
        if (c.task != ~0ull) m.task_resident[9] = c.task;
        if (c.taskall != ~0ull) m.taskall_resident[9] = c.taskall;
        EXPECT_EQ(m.processes().at(0).memory_usage, c.expected) << c.what;
    }
}

TEST(ProcessStatus, TableAndTexts) {
    struct Case {
        int p_stat;
        ProcessStatus status;
        std::string_view text;
    };
    const Case cases[] = {
        {0, ProcessStatus::Unknown, "Unknown"},  {1, ProcessStatus::Idle, "Idle"},
        {2, ProcessStatus::Running, "Running"},  {3, ProcessStatus::Sleeping, "Sleeping"},
        {4, ProcessStatus::Stopped, "Stopped"},  {5, ProcessStatus::Zombie, "Zombie"},
        {6, ProcessStatus::Unknown, "Unknown"},  {127, ProcessStatus::Unknown, "Unknown"},
        {-1, ProcessStatus::Unknown, "Unknown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(status_from_p_stat(c.p_stat), c.status) << c.p_stat;
        EXPECT_EQ(status_text(status_from_p_stat(c.p_stat)), c.text) << c.p_stat;
    }
}

}  // namespace
}  // namespace lumenstat
