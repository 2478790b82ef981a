// The Darwin personality of Linux. Each operation's definition lives beside
// the Linux sources it reads (process table, memory, CPU, sockets).
#pragma once

#include "os/linux/storage/io_registry.h"
#include "os/system.h"

namespace lumenstat::os {

class LinuxSystem final : public System {
public:
    // Scopes nest per thread; see query_scope.h for what one keeps.
    void open_query_scope(ScopeAsks asks) override;
    void close_query_scope() noexcept override;
    int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
               std::size_t newlen) override;
    int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                     std::size_t newlen) override;
    long sysconf(int name) override;
    int kill(int pid, int sig) override;
    int nanosleep(const struct timespec* request, struct timespec* remaining) override;
    const char* getenv(const char* name) override;
    std::uint64_t monotonic_ns() override;
    int proc_listpids(std::uint32_t type, std::uint32_t typeinfo, void* buffer, int buffersize) override;
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize) override;
    int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) override;
    int proc_pid_rusage(int pid, int flavor, void* buffer) override;
    darwin::kern_return_t host_statistics64(int flavor, darwin::integer_t* info,
                                            darwin::natural_t* count) override;
    darwin::kern_return_t host_processor_info(int flavor, darwin::natural_t* cpu_count,
                                              darwin::integer_t** info,
                                              darwin::natural_t* info_count) override;
    darwin::kern_return_t vm_deallocate(void* address, std::size_t size) override;
    darwin::kern_return_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) override;
    int spawn_collect(const char* file, const char* const* argv, ChildOutput& output) override;

    int getfsstat(darwin::statfs* buffer, int bufsize, int mode) override;
    darwin::DIR* opendir(const char* path) override;
    int readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) override;
    int dirfd(darwin::DIR* dir) override;
    int fstatat(int fd, const char* path, darwin::stat* buffer, int flag) override;
    int closedir(darwin::DIR* dir) override;

    darwin::CFMutableDictionaryRef IOServiceMatching(const char* name) override;
    darwin::kern_return_t IOServiceGetMatchingServices(darwin::mach_port_t main_port,
                                                       darwin::CFDictionaryRef matching,
                                                       darwin::io_iterator_t* existing) override;
    darwin::io_object_t IOIteratorNext(darwin::io_iterator_t iterator) override;
    darwin::kern_return_t IORegistryEntryCreateCFProperties(
        darwin::io_registry_entry_t entry, darwin::CFMutableDictionaryRef* properties,
        darwin::CFAllocatorRef allocator, darwin::IOOptionBits options) override;
    darwin::kern_return_t IOObjectRelease(darwin::io_object_t object) override;
    darwin::CFStringRef CFStringCreateWithCString(darwin::CFAllocatorRef allocator,
                                                  const char* text,
                                                  darwin::CFStringEncoding encoding) override;
    const void* CFDictionaryGetValue(darwin::CFDictionaryRef dictionary, const void* key) override;
    darwin::Boolean CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                     void* value) override;
    void CFRelease(darwin::CFTypeRef object) override;

    // Registry and CoreFoundation objects created and not yet released.
    std::size_t live_registry_objects() const { return registry_.live_objects(); }

private:
    IoRegistry registry_;
};

}  // namespace lumenstat::os
