// Our headers come first: the SDK defines many Darwin names as macros.
#include "os/macos/mac_system.h"

#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/sysctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <string>

#include "never_destroyed.h"
#include "os/child_process.h"
#include "os/program_search.h"

namespace lumenstat::os {

static_assert(sizeof(darwin::mach_timebase_info_data_t) == sizeof(::mach_timebase_info_data_t));

MacSystem::MacSystem() : host_port_(::mach_host_self()) {}

System& native() {
    static NeverDestroyed<MacSystem> system;
    return system.get();
}

int MacSystem::sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp,
                      const void* newp, std::size_t newlen) {
    return ::sysctl(const_cast<int*>(name), namelen, oldp, oldlenp, const_cast<void*>(newp),
                    newlen);
}

int MacSystem::sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                            std::size_t newlen) {
    return ::sysctlbyname(name, oldp, oldlenp, const_cast<void*>(newp), newlen);
}

long MacSystem::sysconf(int name) {
    return ::sysconf(name == darwin::SC_PAGESIZE ? _SC_PAGESIZE : name);
}

int MacSystem::kill(int pid, int sig) { return ::kill(pid, sig); }

int MacSystem::nanosleep(const struct timespec* request, struct timespec* remaining) {
    return ::nanosleep(request, remaining);
}

const char* MacSystem::getenv(const char* name) { return ::getenv(name); }

// CLOCK_MONOTONIC_RAW is mach_continuous_time in nanoseconds: it runs on
// while the machine sleeps.
std::uint64_t MacSystem::monotonic_ns() { return ::clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW); }

int MacSystem::proc_listpids(std::uint32_t type, std::uint32_t typeinfo, void* buffer,
                             int buffersize) {
    return ::proc_listpids(type, typeinfo, buffer, buffersize);
}

int MacSystem::proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize) {
    return ::proc_pidinfo(pid, flavor, arg, buffer, buffersize);
}

int MacSystem::proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) {
    return ::proc_pidfdinfo(pid, fd, flavor, buffer, buffersize);
}

int MacSystem::proc_pid_rusage(int pid, int flavor, void* buffer) {
    return ::proc_pid_rusage(pid, flavor, static_cast<rusage_info_t*>(buffer));
}

darwin::kern_return_t MacSystem::host_statistics64(int flavor, darwin::integer_t* info,
                                                   darwin::natural_t* count) {
    return ::host_statistics64(host_port_, flavor, info, count);
}

darwin::kern_return_t MacSystem::host_processor_info(int flavor, darwin::natural_t* cpu_count,
                                                     darwin::integer_t** info,
                                                     darwin::natural_t* info_count) {
    return ::host_processor_info(host_port_, flavor, cpu_count, info, info_count);
}

darwin::kern_return_t MacSystem::vm_deallocate(void* address, std::size_t size) {
    return ::vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(address), size);
}

darwin::kern_return_t MacSystem::mach_timebase_info(darwin::mach_timebase_info_data_t* info) {
    return ::mach_timebase_info(reinterpret_cast<::mach_timebase_info_t>(info));
}

int MacSystem::spawn_collect(const char* file, const char* const* argv, ChildOutput& output) {
    std::expected<std::string, int> program = find_program(file);
    if (!program) {
        errno = program.error();
        return -1;
    }
    return spawn_and_collect(program->c_str(), argv, output);
}

}  // namespace lumenstat::os
