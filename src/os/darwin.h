// Darwin's data layouts and constants, declared once for every platform.
// Only the fields the core reads are named; the rest is kept as padding so
// that sizes and offsets equal the 64-bit macOS ones (checked below, and
// against the SDK's own headers in the aarch64-macos build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// On macOS <cstdlib> brings sys/resource.h, which defines RUSAGE_INFO_V0 and
// RUSAGE_INFO_V2 as macros; they would turn the declarations below, and every
// use of them, into nonsense. Same values, checked against the SDK in the
// layout check.
#ifdef RUSAGE_INFO_V0
#undef RUSAGE_INFO_V0
#endif
#ifdef RUSAGE_INFO_V2
#undef RUSAGE_INFO_V2
#endif

namespace lumenstat::darwin {

using kern_return_t = int;
using integer_t = int;
using natural_t = unsigned int;

inline constexpr kern_return_t KERN_SUCCESS = 0;

// sysctl names
inline constexpr int CTL_KERN = 1;
inline constexpr int CTL_HW = 6;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_ALL = 0;
inline constexpr int KERN_PROCARGS2 = 49;
inline constexpr int HW_MEMSIZE = 24;

// sysconf names
inline constexpr int SC_PAGESIZE = 29;

// p_stat values
inline constexpr int SIDL = 1;
inline constexpr int SRUN = 2;
inline constexpr int SSLEEP = 3;
inline constexpr int SSTOP = 4;
inline constexpr int SZOMB = 5;

// libproc flavors
inline constexpr std::uint32_t PROC_ALL_PIDS = 1;
inline constexpr int PROC_PIDLISTFDS = 1;
inline constexpr int PROC_PIDTASKALLINFO = 2;
inline constexpr int PROC_PIDTASKINFO = 4;
inline constexpr int PROC_PIDFDSOCKETINFO = 3;
inline constexpr std::uint32_t PROX_FDTYPE_SOCKET = 2;
inline constexpr int RUSAGE_INFO_V0 = 0;
inline constexpr int RUSAGE_INFO_V2 = 2;

// Mach host flavors
inline constexpr int HOST_VM_INFO64 = 4;
inline constexpr int PROCESSOR_CPU_LOAD_INFO = 2;
inline constexpr int CPU_STATE_USER = 0;
inline constexpr int CPU_STATE_SYSTEM = 1;
inline constexpr int CPU_STATE_IDLE = 2;
inline constexpr int CPU_STATE_NICE = 3;
inline constexpr int CPU_STATE_MAX = 4;

struct timeval64 {
    std::int64_t tv_sec;
    std::int32_t tv_usec;
    std::int32_t pad_;
};

// struct kinfo_proc: an extern_proc (296 bytes) followed by an eproc.
struct kinfo_proc {
    timeval64 p_starttime;  // extern_proc.p_un.__p_starttime
    std::uint8_t pad0_[20];
    char p_stat;
    std::uint8_t pad1_[3];
    std::int32_t p_pid;
    std::uint8_t pad2_[199];
    char p_comm[17];
    std::uint8_t pad3_[300];
    std::int32_t e_ppid;  // eproc.e_ppid
    std::uint8_t pad4_[40];
    std::int16_t e_xrssize;  // eproc.e_xrssize, in pages
    std::uint8_t pad5_[42];
};
inline constexpr std::size_t MAXCOMLEN = 16;

struct proc_taskinfo {
    std::uint64_t pti_virtual_size;
    std::uint64_t pti_resident_size;
    std::uint64_t pti_total_user;    // Mach absolute time units
    std::uint64_t pti_total_system;  // Mach absolute time units
    std::uint64_t pti_threads_user;
    std::uint64_t pti_threads_system;
    std::int32_t pti_policy;
    std::int32_t pti_faults;
    std::int32_t pti_pageins;
    std::int32_t pti_cow_faults;
    std::int32_t pti_messages_sent;
    std::int32_t pti_messages_received;
    std::int32_t pti_syscalls_mach;
    std::int32_t pti_syscalls_unix;
    std::int32_t pti_csw;
    std::int32_t pti_threadnum;
    std::int32_t pti_numrunning;
    std::int32_t pti_priority;
};

struct proc_bsdinfo {
    std::uint32_t pbi_flags;
    std::uint32_t pbi_status;
    std::uint32_t pbi_xstatus;
    std::uint32_t pbi_pid;
    std::uint32_t pbi_ppid;
    std::uint32_t pbi_uid;
    std::uint32_t pbi_gid;
    std::uint32_t pbi_ruid;
    std::uint32_t pbi_rgid;
    std::uint32_t pbi_svuid;
    std::uint32_t pbi_svgid;
    std::uint32_t rfu_1;
    char pbi_comm[16];
    char pbi_name[32];
    std::uint32_t pbi_nfiles;
    std::uint32_t pbi_pgid;
    std::uint32_t pbi_pjobc;
    std::uint32_t e_tdev;
    std::uint32_t e_tpgid;
    std::int32_t pbi_nice;
    std::uint64_t pbi_start_tvsec;
    std::uint64_t pbi_start_tvusec;
};

struct proc_taskallinfo {
    proc_bsdinfo pbsd;
    proc_taskinfo ptinfo;
};

// The first flavor: times, sizes and start, without the children's times
// and the disk counters that later flavors add after them.
struct rusage_info_v0 {
    std::uint8_t ri_uuid[16];
    std::uint64_t ri_user_time;    // nanoseconds
    std::uint64_t ri_system_time;  // nanoseconds
    std::uint64_t ri_pkg_idle_wkups;
    std::uint64_t ri_interrupt_wkups;
    std::uint64_t ri_pageins;
    std::uint64_t ri_wired_size;
    std::uint64_t ri_resident_size;
    std::uint64_t ri_phys_footprint;
    std::uint64_t ri_proc_start_abstime;
    std::uint64_t ri_proc_exit_abstime;
};

struct rusage_info_v2 {
    std::uint8_t ri_uuid[16];
    std::uint64_t ri_user_time;    // nanoseconds
    std::uint64_t ri_system_time;  // nanoseconds
    std::uint64_t ri_pkg_idle_wkups;
    std::uint64_t ri_interrupt_wkups;
    std::uint64_t ri_pageins;
    std::uint64_t ri_wired_size;
    std::uint64_t ri_resident_size;
    std::uint64_t ri_phys_footprint;
    std::uint64_t ri_proc_start_abstime;
    std::uint64_t ri_proc_exit_abstime;
    std::uint64_t ri_child_user_time;
    std::uint64_t ri_child_system_time;
    std::uint64_t ri_child_pkg_idle_wkups;
    std::uint64_t ri_child_interrupt_wkups;
    std::uint64_t ri_child_pageins;
    std::uint64_t ri_child_elapsed_abstime;
    std::uint64_t ri_diskio_bytesread;
    std::uint64_t ri_diskio_byteswritten;
};

struct vm_statistics64 {
    natural_t free_count;
    natural_t active_count;
    natural_t inactive_count;
    natural_t wire_count;
    std::uint64_t zero_fill_count;
    std::uint64_t reactivations;
    std::uint64_t pageins;
    std::uint64_t pageouts;
    std::uint64_t faults;
    std::uint64_t cow_faults;
    std::uint64_t lookups;
    std::uint64_t hits;
    std::uint64_t purges;
    natural_t purgeable_count;
    natural_t speculative_count;
    std::uint64_t decompressions;
    std::uint64_t compressions;
    std::uint64_t swapins;
    std::uint64_t swapouts;
    natural_t compressor_page_count;
    natural_t throttled_count;
    natural_t external_page_count;
    natural_t internal_page_count;
    std::uint64_t total_uncompressed_pages_in_compressor;
} __attribute__((aligned(8)));
inline constexpr natural_t HOST_VM_INFO64_COUNT = sizeof(vm_statistics64) / sizeof(integer_t);

struct processor_cpu_load_info {
    natural_t cpu_ticks[CPU_STATE_MAX];
};

struct mach_timebase_info_data_t {
    std::uint32_t numer;
    std::uint32_t denom;
};

struct proc_fdinfo {
    std::int32_t proc_fd;
    std::uint32_t proc_fdtype;
};

static_assert(sizeof(kinfo_proc) == 648);
static_assert(offsetof(kinfo_proc, p_starttime) == 0);
static_assert(offsetof(kinfo_proc, p_stat) == 36);
static_assert(offsetof(kinfo_proc, p_pid) == 40);
static_assert(offsetof(kinfo_proc, p_comm) == 243);
static_assert(offsetof(kinfo_proc, e_ppid) == 560);
static_assert(offsetof(kinfo_proc, e_xrssize) == 604);
static_assert(sizeof(proc_taskinfo) == 96);
static_assert(sizeof(proc_bsdinfo) == 136);
static_assert(offsetof(proc_bsdinfo, pbi_nfiles) == 96);
static_assert(sizeof(proc_taskallinfo) == 232);
static_assert(offsetof(proc_taskallinfo, ptinfo) == 136);
static_assert(sizeof(rusage_info_v0) == 96);
static_assert(offsetof(rusage_info_v0, ri_resident_size) == 64);
static_assert(offsetof(rusage_info_v0, ri_phys_footprint) == 72);
static_assert(sizeof(rusage_info_v2) == 160);
static_assert(offsetof(rusage_info_v2, ri_resident_size) == 64);
static_assert(offsetof(rusage_info_v2, ri_phys_footprint) == 72);
static_assert(offsetof(rusage_info_v2, ri_diskio_bytesread) == 144);
static_assert(sizeof(vm_statistics64) == 152);
static_assert(offsetof(vm_statistics64, inactive_count) == 8);
static_assert(offsetof(vm_statistics64, purgeable_count) == 88);
static_assert(HOST_VM_INFO64_COUNT == 38);
static_assert(sizeof(processor_cpu_load_info) == 16);
static_assert(sizeof(proc_fdinfo) == 8);

}  // namespace lumenstat::darwin
