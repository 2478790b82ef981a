// Compile-time proof that the Darwin layouts and constants declared in
// os/darwin.h equal the SDK's: every size, every named field's offset and
// every constant. Ours are captured before the SDK headers are included,
// because the SDK defines many of their names (and p_starttime) as macros.
#include <sys/resource.h>

#include <cstddef>
#include <type_traits>

// os/darwin.h removes these macros (the standard headers leak them); keep the SDK's values.
constexpr int sdk_rusage_info_v0 = RUSAGE_INFO_V0;
constexpr int sdk_rusage_info_v2 = RUSAGE_INFO_V2;

#include "os/darwin.h"

// Each row: our struct, our field, the SDK struct, the SDK's member path.
#define LUMENSTAT_FIELDS(X)                                                               \
    X(timeval64, tv_sec, timeval, tv_sec)                                                 \
    X(timeval64, tv_usec, timeval, tv_usec)                                               \
    X(kinfo_proc, p_starttime, kinfo_proc, kp_proc.p_starttime)                           \
    X(kinfo_proc, p_stat, kinfo_proc, kp_proc.p_stat)                                     \
    X(kinfo_proc, p_pid, kinfo_proc, kp_proc.p_pid)                                       \
    X(kinfo_proc, p_comm, kinfo_proc, kp_proc.p_comm)                                     \
    X(kinfo_proc, e_ppid, kinfo_proc, kp_eproc.e_ppid)                                    \
    X(kinfo_proc, e_xrssize, kinfo_proc, kp_eproc.e_xrssize)                              \
    X(proc_taskinfo, pti_virtual_size, proc_taskinfo, pti_virtual_size)                   \
    X(proc_taskinfo, pti_resident_size, proc_taskinfo, pti_resident_size)                 \
    X(proc_taskinfo, pti_total_user, proc_taskinfo, pti_total_user)                       \
    X(proc_taskinfo, pti_total_system, proc_taskinfo, pti_total_system)                   \
    X(proc_taskinfo, pti_threads_user, proc_taskinfo, pti_threads_user)                   \
    X(proc_taskinfo, pti_threads_system, proc_taskinfo, pti_threads_system)               \
    X(proc_taskinfo, pti_policy, proc_taskinfo, pti_policy)                               \
    X(proc_taskinfo, pti_faults, proc_taskinfo, pti_faults)                               \
    X(proc_taskinfo, pti_pageins, proc_taskinfo, pti_pageins)                             \
    X(proc_taskinfo, pti_cow_faults, proc_taskinfo, pti_cow_faults)                       \
    X(proc_taskinfo, pti_messages_sent, proc_taskinfo, pti_messages_sent)                 \
    X(proc_taskinfo, pti_messages_received, proc_taskinfo, pti_messages_received)         \
    X(proc_taskinfo, pti_syscalls_mach, proc_taskinfo, pti_syscalls_mach)                 \
    X(proc_taskinfo, pti_syscalls_unix, proc_taskinfo, pti_syscalls_unix)                 \
    X(proc_taskinfo, pti_csw, proc_taskinfo, pti_csw)                                     \
    X(proc_taskinfo, pti_threadnum, proc_taskinfo, pti_threadnum)                         \
    X(proc_taskinfo, pti_numrunning, proc_taskinfo, pti_numrunning)                       \
    X(proc_taskinfo, pti_priority, proc_taskinfo, pti_priority)                           \
    X(proc_bsdinfo, pbi_flags, proc_bsdinfo, pbi_flags)                                   \
    X(proc_bsdinfo, pbi_status, proc_bsdinfo, pbi_status)                                 \
    X(proc_bsdinfo, pbi_xstatus, proc_bsdinfo, pbi_xstatus)                               \
    X(proc_bsdinfo, pbi_pid, proc_bsdinfo, pbi_pid)                                       \
    X(proc_bsdinfo, pbi_ppid, proc_bsdinfo, pbi_ppid)                                     \
    X(proc_bsdinfo, pbi_uid, proc_bsdinfo, pbi_uid)                                       \
    X(proc_bsdinfo, pbi_gid, proc_bsdinfo, pbi_gid)                                       \
    X(proc_bsdinfo, pbi_ruid, proc_bsdinfo, pbi_ruid)                                     \
    X(proc_bsdinfo, pbi_rgid, proc_bsdinfo, pbi_rgid)                                     \
    X(proc_bsdinfo, pbi_svuid, proc_bsdinfo, pbi_svuid)                                   \
    X(proc_bsdinfo, pbi_svgid, proc_bsdinfo, pbi_svgid)                                   \
    X(proc_bsdinfo, rfu_1, proc_bsdinfo, rfu_1)                                           \
    X(proc_bsdinfo, pbi_comm, proc_bsdinfo, pbi_comm)                                     \
    X(proc_bsdinfo, pbi_name, proc_bsdinfo, pbi_name)                                     \
    X(proc_bsdinfo, pbi_nfiles, proc_bsdinfo, pbi_nfiles)                                 \
    X(proc_bsdinfo, pbi_pgid, proc_bsdinfo, pbi_pgid)                                     \
    X(proc_bsdinfo, pbi_pjobc, proc_bsdinfo, pbi_pjobc)                                   \
    X(proc_bsdinfo, e_tdev, proc_bsdinfo, e_tdev)                                         \
    X(proc_bsdinfo, e_tpgid, proc_bsdinfo, e_tpgid)                                       \
    X(proc_bsdinfo, pbi_nice, proc_bsdinfo, pbi_nice)                                     \
    X(proc_bsdinfo, pbi_start_tvsec, proc_bsdinfo, pbi_start_tvsec)                       \
    X(proc_bsdinfo, pbi_start_tvusec, proc_bsdinfo, pbi_start_tvusec)                     \
    X(proc_taskallinfo, pbsd, proc_taskallinfo, pbsd)                                     \
    X(proc_taskallinfo, ptinfo, proc_taskallinfo, ptinfo)                                 \
    X(rusage_info_v0, ri_resident_size, rusage_info_v0, ri_resident_size)                 \
    X(rusage_info_v0, ri_phys_footprint, rusage_info_v0, ri_phys_footprint)               \
    X(rusage_info_v0, ri_proc_exit_abstime, rusage_info_v0, ri_proc_exit_abstime)         \
    X(rusage_info_v2, ri_uuid, rusage_info_v2, ri_uuid)                                   \
    X(rusage_info_v2, ri_user_time, rusage_info_v2, ri_user_time)                         \
    X(rusage_info_v2, ri_system_time, rusage_info_v2, ri_system_time)                     \
    X(rusage_info_v2, ri_pkg_idle_wkups, rusage_info_v2, ri_pkg_idle_wkups)               \
    X(rusage_info_v2, ri_interrupt_wkups, rusage_info_v2, ri_interrupt_wkups)             \
    X(rusage_info_v2, ri_pageins, rusage_info_v2, ri_pageins)                             \
    X(rusage_info_v2, ri_wired_size, rusage_info_v2, ri_wired_size)                       \
    X(rusage_info_v2, ri_resident_size, rusage_info_v2, ri_resident_size)                 \
    X(rusage_info_v2, ri_phys_footprint, rusage_info_v2, ri_phys_footprint)               \
    X(rusage_info_v2, ri_proc_start_abstime, rusage_info_v2, ri_proc_start_abstime)       \
    X(rusage_info_v2, ri_proc_exit_abstime, rusage_info_v2, ri_proc_exit_abstime)         \
    X(rusage_info_v2, ri_child_user_time, rusage_info_v2, ri_child_user_time)             \
    X(rusage_info_v2, ri_child_system_time, rusage_info_v2, ri_child_system_time)         \
    X(rusage_info_v2, ri_child_pkg_idle_wkups, rusage_info_v2, ri_child_pkg_idle_wkups)   \
    X(rusage_info_v2, ri_child_interrupt_wkups, rusage_info_v2, ri_child_interrupt_wkups) \
    X(rusage_info_v2, ri_child_pageins, rusage_info_v2, ri_child_pageins)                 \
    X(rusage_info_v2, ri_child_elapsed_abstime, rusage_info_v2, ri_child_elapsed_abstime) \
    X(rusage_info_v2, ri_diskio_bytesread, rusage_info_v2, ri_diskio_bytesread)           \
    X(rusage_info_v2, ri_diskio_byteswritten, rusage_info_v2, ri_diskio_byteswritten)     \
    X(vm_statistics64, free_count, vm_statistics64, free_count)                           \
    X(vm_statistics64, active_count, vm_statistics64, active_count)                       \
    X(vm_statistics64, inactive_count, vm_statistics64, inactive_count)                   \
    X(vm_statistics64, wire_count, vm_statistics64, wire_count)                           \
    X(vm_statistics64, zero_fill_count, vm_statistics64, zero_fill_count)                 \
    X(vm_statistics64, reactivations, vm_statistics64, reactivations)                     \
    X(vm_statistics64, pageins, vm_statistics64, pageins)                                 \
    X(vm_statistics64, pageouts, vm_statistics64, pageouts)                               \
    X(vm_statistics64, faults, vm_statistics64, faults)                                   \
    X(vm_statistics64, cow_faults, vm_statistics64, cow_faults)                           \
    X(vm_statistics64, lookups, vm_statistics64, lookups)                                 \
    X(vm_statistics64, hits, vm_statistics64, hits)                                       \
    X(vm_statistics64, purges, vm_statistics64, purges)                                   \
    X(vm_statistics64, purgeable_count, vm_statistics64, purgeable_count)                 \
    X(vm_statistics64, speculative_count, vm_statistics64, speculative_count)             \
    X(vm_statistics64, decompressions, vm_statistics64, decompressions)                   \
    X(vm_statistics64, compressions, vm_statistics64, compressions)                       \
    X(vm_statistics64, swapins, vm_statistics64, swapins)                                 \
    X(vm_statistics64, swapouts, vm_statistics64, swapouts)                               \
    X(vm_statistics64, compressor_page_count, vm_statistics64, compressor_page_count)     \
    X(vm_statistics64, throttled_count, vm_statistics64, throttled_count)                 \
    X(vm_statistics64, external_page_count, vm_statistics64, external_page_count)         \
    X(vm_statistics64, internal_page_count, vm_statistics64, internal_page_count)         \
    X(vm_statistics64, total_uncompressed_pages_in_compressor, vm_statistics64,           \
      total_uncompressed_pages_in_compressor)                                             \
    X(processor_cpu_load_info, cpu_ticks, processor_cpu_load_info, cpu_ticks)             \
    X(mach_timebase_info_data_t, numer, mach_timebase_info, numer)                        \
    X(mach_timebase_info_data_t, denom, mach_timebase_info, denom)                        \
    X(proc_fdinfo, proc_fd, proc_fdinfo, proc_fd)                                         \
    X(proc_fdinfo, proc_fdtype, proc_fdinfo, proc_fdtype)

#define LUMENSTAT_TYPES(X)                              \
    X(timeval64, timeval)                               \
    X(kinfo_proc, kinfo_proc)                           \
    X(proc_taskinfo, proc_taskinfo)                     \
    X(proc_bsdinfo, proc_bsdinfo)                       \
    X(proc_taskallinfo, proc_taskallinfo)               \
    X(rusage_info_v0, rusage_info_v0)                   \
    X(rusage_info_v2, rusage_info_v2)                   \
    X(vm_statistics64, vm_statistics64)                 \
    X(processor_cpu_load_info, processor_cpu_load_info) \
    X(mach_timebase_info_data_t, mach_timebase_info)    \
    X(proc_fdinfo, proc_fdinfo)

// Each row: our constant, the SDK's macro.
#define LUMENSTAT_CONSTANTS(X)                          \
    X(KERN_SUCCESS, KERN_SUCCESS)                       \
    X(CTL_KERN, CTL_KERN)                               \
    X(CTL_HW, CTL_HW)                                   \
    X(KERN_PROC, KERN_PROC)                             \
    X(KERN_PROC_ALL, KERN_PROC_ALL)                     \
    X(KERN_PROCARGS2, KERN_PROCARGS2)                   \
    X(HW_MEMSIZE, HW_MEMSIZE)                           \
    X(SC_PAGESIZE, _SC_PAGESIZE)                        \
    X(SIDL, SIDL)                                       \
    X(SRUN, SRUN)                                       \
    X(SSLEEP, SSLEEP)                                   \
    X(SSTOP, SSTOP)                                     \
    X(SZOMB, SZOMB)                                     \
    X(PROC_ALL_PIDS, PROC_ALL_PIDS)                     \
    X(PROC_PIDLISTFDS, PROC_PIDLISTFDS)                 \
    X(PROC_PIDTASKALLINFO, PROC_PIDTASKALLINFO)         \
    X(PROC_PIDTASKINFO, PROC_PIDTASKINFO)               \
    X(PROC_PIDFDSOCKETINFO, PROC_PIDFDSOCKETINFO)       \
    X(PROX_FDTYPE_SOCKET, PROX_FDTYPE_SOCKET)           \
    X(RUSAGE_INFO_V0, sdk_rusage_info_v0)               \
    X(RUSAGE_INFO_V2, sdk_rusage_info_v2)               \
    X(HOST_VM_INFO64, HOST_VM_INFO64)                   \
    X(HOST_VM_INFO64_COUNT, HOST_VM_INFO64_COUNT)       \
    X(PROCESSOR_CPU_LOAD_INFO, PROCESSOR_CPU_LOAD_INFO) \
    X(CPU_STATE_USER, CPU_STATE_USER)                   \
    X(CPU_STATE_SYSTEM, CPU_STATE_SYSTEM)               \
    X(CPU_STATE_IDLE, CPU_STATE_IDLE)                   \
    X(CPU_STATE_NICE, CPU_STATE_NICE)                   \
    X(CPU_STATE_MAX, CPU_STATE_MAX)                     \
    X(MAXCOMLEN, MAXCOMLEN)

namespace ours {
namespace d = lumenstat::darwin;
#define LUMENSTAT_CAPTURE_FIELD(type, field, sdk_type, sdk_path)      \
    constexpr std::size_t type##__##field = offsetof(d::type, field); \
    constexpr std::size_t type##__##field##__size = sizeof(d::type::field);
LUMENSTAT_FIELDS(LUMENSTAT_CAPTURE_FIELD)
#define LUMENSTAT_CAPTURE_TYPE(type, sdk_type) constexpr std::size_t type##__size = sizeof(d::type);
LUMENSTAT_TYPES(LUMENSTAT_CAPTURE_TYPE)
#define LUMENSTAT_CAPTURE_CONSTANT(name, sdk_name) constexpr long long name##__value = d::name;
LUMENSTAT_CONSTANTS(LUMENSTAT_CAPTURE_CONSTANT)
using kern_return_t = d::kern_return_t;
using integer_t = d::integer_t;
using natural_t = d::natural_t;
}  // namespace ours

#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <unistd.h>

// The SDK macros are expanded here, after our names were captured.
#define LUMENSTAT_CHECK_FIELD(type, field, sdk_type, sdk_path)                                     \
    static_assert(ours::type##__##field == offsetof(struct sdk_type, sdk_path),                    \
                  #type "." #field " offset");                                                     \
    static_assert(                                                                                 \
        ours::type##__##field##__size == sizeof(static_cast<struct sdk_type*>(nullptr)->sdk_path), \
        #type "." #field " size");
LUMENSTAT_FIELDS(LUMENSTAT_CHECK_FIELD)
#define LUMENSTAT_CHECK_TYPE(type, sdk_type) \
    static_assert(ours::type##__size == sizeof(struct sdk_type), #type " size");
LUMENSTAT_TYPES(LUMENSTAT_CHECK_TYPE)
#define LUMENSTAT_CHECK_CONSTANT(name, sdk_name) \
    static_assert(ours::name##__value == (sdk_name), #name);
LUMENSTAT_CONSTANTS(LUMENSTAT_CHECK_CONSTANT)

static_assert(std::is_same_v<ours::kern_return_t, kern_return_t>);
static_assert(std::is_same_v<ours::integer_t, integer_t>);
static_assert(std::is_same_v<ours::natural_t, natural_t>);
static_assert(alignof(lumenstat::darwin::vm_statistics64) == alignof(struct vm_statistics64));
