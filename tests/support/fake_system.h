// A scriptable os::System for core tests: each operation is a std::function
// the test sets; an operation the test did not script fails with ENOSYS, so a
// query that makes an unexpected call shows it.
#pragma once

#include <cerrno>
#include <functional>

#include "os/system.h"

namespace lumenstat::testing {

class FakeSystem : public os::System {
public:
    std::function<int(const int*, unsigned, void*, std::size_t*, const void*, std::size_t)> on_sysctl;
    std::function<int(const char*, void*, std::size_t*, const void*, std::size_t)> on_sysctlbyname;
    std::function<long(int)> on_sysconf;
    std::function<int(int, int)> on_kill;
    std::function<int(const struct timespec*, struct timespec*)> on_nanosleep;
    std::function<const char*(const char*)> on_getenv;
    std::function<std::uint64_t()> on_monotonic_ns;
    std::function<int(std::uint32_t, std::uint32_t, void*, int)> on_proc_listpids;
    std::function<int(int, int, std::uint64_t, void*, int)> on_proc_pidinfo;
    std::function<int(int, int, int, void*, int)> on_proc_pidfdinfo;
    std::function<int(int, int, void*)> on_proc_pid_rusage;
    std::function<darwin::kern_return_t(int, darwin::integer_t*, darwin::natural_t*)> on_host_statistics64;
    std::function<darwin::kern_return_t(int, darwin::natural_t*, darwin::integer_t**, darwin::natural_t*)>
        on_host_processor_info;
    std::function<darwin::kern_return_t(void*, std::size_t)> on_vm_deallocate;
    std::function<darwin::kern_return_t(darwin::mach_timebase_info_data_t*)> on_mach_timebase_info;

    int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
               std::size_t newlen) override {
        return on_sysctl ? on_sysctl(name, namelen, oldp, oldlenp, newp, newlen) : unscripted();
    }
    int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                     std::size_t newlen) override {
        return on_sysctlbyname ? on_sysctlbyname(name, oldp, oldlenp, newp, newlen) : unscripted();
    }
    long sysconf(int name) override { return on_sysconf ? on_sysconf(name) : unscripted(); }
    int kill(int pid, int sig) override { return on_kill ? on_kill(pid, sig) : unscripted(); }
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        return on_nanosleep ? on_nanosleep(request, remaining) : unscripted();
    }
    const char* getenv(const char* name) override { return on_getenv ? on_getenv(name) : nullptr; }
    std::uint64_t monotonic_ns() override { return on_monotonic_ns ? on_monotonic_ns() : 0; }
    int proc_listpids(std::uint32_t type, std::uint32_t typeinfo, void* buffer, int buffersize) override {
        return on_proc_listpids ? on_proc_listpids(type, typeinfo, buffer, buffersize) : unscripted();
    }
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize) override {
        return on_proc_pidinfo ? on_proc_pidinfo(pid, flavor, arg, buffer, buffersize) : unscripted();
    }
    int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) override {
        return on_proc_pidfdinfo ? on_proc_pidfdinfo(pid, fd, flavor, buffer, buffersize) : unscripted();
    }
    int proc_pid_rusage(int pid, int flavor, void* buffer) override {
        return on_proc_pid_rusage ? on_proc_pid_rusage(pid, flavor, buffer) : unscripted();
    }
    darwin::kern_return_t host_statistics64(int flavor, darwin::integer_t* info,
                                            darwin::natural_t* count) override {
        return on_host_statistics64 ? on_host_statistics64(flavor, info, count) : unscripted();
    }
    darwin::kern_return_t host_processor_info(int flavor, darwin::natural_t* cpu_count,
                                              darwin::integer_t** info,
                                              darwin::natural_t* info_count) override {
        return on_host_processor_info ? on_host_processor_info(flavor, cpu_count, info, info_count)
                                      : unscripted();
    }
    darwin::kern_return_t vm_deallocate(void* address, std::size_t size) override {
        return on_vm_deallocate ? on_vm_deallocate(address, size) : 0;
    }
    darwin::kern_return_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) override {
        return on_mach_timebase_info ? on_mach_timebase_info(info) : unscripted();
    }

private:
    static int unscripted() {
        errno = ENOSYS;
        return -1;
    }
};

}  // namespace lumenstat::testing
