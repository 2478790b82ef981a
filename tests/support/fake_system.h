// A scriptable os::System for core tests: each operation is a std::function
// the test sets; an operation the test did not script fails with ENOSYS, so a
// query that makes an unexpected call shows it.
#pragma once

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "os/system.h"

namespace lumenstat::testing {

class FakeSystem : public os::System {
    using kr_t = darwin::kern_return_t;
    using nat_t = darwin::natural_t;
    using int_t = darwin::integer_t;

public:
    std::function<int(const int*, unsigned, void*, std::size_t*, const void*, std::size_t)>
        on_sysctl;
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
    std::function<kr_t(int, int_t*, nat_t*)> on_host_statistics64;
    std::function<kr_t(int, nat_t*, int_t**, nat_t*)> on_host_processor_info;
    std::function<kr_t(void*, std::size_t)> on_vm_deallocate;
    std::function<kr_t(darwin::mach_timebase_info_data_t*)> on_mach_timebase_info;
    std::function<int(const char*, const char* const*, os::ChildOutput&)> on_spawn_collect;

    // Query scopes are numbered 1, 2, ... in the order they open; `call_scopes`
    // holds, for each scripted operation called, the scope open then (0: none).
    int scopes_opened = 0;
    int scopes_closed = 0;
    std::vector<int> open_scopes;
    std::vector<int> call_scopes;

    void open_query_scope(os::ScopeAsks) override { open_scopes.push_back(++scopes_opened); }
    void close_query_scope() noexcept override {
        ++scopes_closed;
        if (!open_scopes.empty()) open_scopes.pop_back();
    }

    std::function<int(darwin::statfs*, int, int)> on_getfsstat;
    std::function<darwin::DIR*(const char*)> on_opendir;
    std::function<int(darwin::DIR*, darwin::dirent*, darwin::dirent**)> on_readdir_r;
    std::function<int(darwin::DIR*)> on_dirfd;
    std::function<int(int, const char*, darwin::stat*, int)> on_fstatat;
    std::function<int(darwin::DIR*)> on_closedir;
    std::function<darwin::CFMutableDictionaryRef(const char*)> on_IOServiceMatching;
    std::function<kr_t(darwin::mach_port_t, darwin::CFDictionaryRef, darwin::io_iterator_t*)>
        on_IOServiceGetMatchingServices;
    std::function<darwin::io_object_t(darwin::io_iterator_t)> on_IOIteratorNext;
    std::function<kr_t(darwin::io_registry_entry_t, darwin::CFMutableDictionaryRef*)>
        on_IORegistryEntryCreateCFProperties;
    std::function<kr_t(darwin::io_object_t)> on_IOObjectRelease;
    std::function<darwin::CFStringRef(const char*, darwin::CFStringEncoding)>
        on_CFStringCreateWithCString;
    std::function<const void*(darwin::CFDictionaryRef, const void*)> on_CFDictionaryGetValue;
    std::function<darwin::Boolean(darwin::CFNumberRef, darwin::CFNumberType, void*)>
        on_CFNumberGetValue;
    std::function<void(darwin::CFTypeRef)> on_CFRelease;

    int sysctl(const int* name, unsigned namelen, void* old, std::size_t* len, const void* new_,
               std::size_t newlen) override {
        return call(on_sysctl, name, namelen, old, len, new_, newlen);
    }
    int sysctlbyname(const char* name, void* old, std::size_t* len, const void* new_,
                     std::size_t newlen) override {
        return call(on_sysctlbyname, name, old, len, new_, newlen);
    }
    long sysconf(int name) override { return call(on_sysconf, name); }
    int kill(int pid, int sig) override { return call(on_kill, pid, sig); }
    int nanosleep(const timespec* rq, timespec* rm) override { return call(on_nanosleep, rq, rm); }
    const char* getenv(const char* name) override { return on_getenv ? on_getenv(name) : nullptr; }
    std::uint64_t monotonic_ns() override { return on_monotonic_ns ? on_monotonic_ns() : 0; }
    int proc_listpids(std::uint32_t type, std::uint32_t info, void* out, int size) override {
        return call(on_proc_listpids, type, info, out, size);
    }
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* out, int size) override {
        return call(on_proc_pidinfo, pid, flavor, arg, out, size);
    }
    int proc_pidfdinfo(int pid, int fd, int flavor, void* out, int size) override {
        return call(on_proc_pidfdinfo, pid, fd, flavor, out, size);
    }
    int proc_pid_rusage(int pid, int flavor, void* out) override {
        return call(on_proc_pid_rusage, pid, flavor, out);
    }
    kr_t host_statistics64(int flavor, int_t* info, nat_t* count) override {
        return call(on_host_statistics64, flavor, info, count);
    }
    kr_t host_processor_info(int flavor, nat_t* cpus, int_t** info, nat_t* count) override {
        return call(on_host_processor_info, flavor, cpus, info, count);
    }
    kr_t vm_deallocate(void* address, std::size_t size) override {
        return on_vm_deallocate ? on_vm_deallocate(address, size) : 0;
    }
    kr_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) override {
        return call(on_mach_timebase_info, info);
    }
    int spawn_collect(const char* file, const char* const* argv, os::ChildOutput& out) override {
        if (on_spawn_collect) return on_spawn_collect(file, argv, out);
        errno = ENOSYS;
        return -1;
    }
    int getfsstat(darwin::statfs* buffer, int size, int mode) override {
        return call(on_getfsstat, buffer, size, mode);
    }
    darwin::DIR* opendir(const char* path) override {
        note_scope();
        if (on_opendir) return on_opendir(path);
        errno = ENOSYS;
        return nullptr;
    }
    int readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) override {
        note_scope();
        if (on_readdir_r) return on_readdir_r(dir, entry, result);
        *result = nullptr;
        return ENOSYS;
    }
    int dirfd(darwin::DIR* dir) override { return call(on_dirfd, dir); }
    int fstatat(int fd, const char* path, darwin::stat* out, int flag) override {
        return call(on_fstatat, fd, path, out, flag);
    }
    int closedir(darwin::DIR* dir) override { return call(on_closedir, dir); }
    darwin::CFMutableDictionaryRef IOServiceMatching(const char* name) override {
        note_scope();
        return on_IOServiceMatching ? on_IOServiceMatching(name) : nullptr;
    }
    kr_t IOServiceGetMatchingServices(darwin::mach_port_t port, darwin::CFDictionaryRef matching,
                                      darwin::io_iterator_t* existing) override {
        return call(on_IOServiceGetMatchingServices, port, matching, existing);
    }
    darwin::io_object_t IOIteratorNext(darwin::io_iterator_t iterator) override {
        note_scope();
        return on_IOIteratorNext ? on_IOIteratorNext(iterator) : 0;
    }
    kr_t IORegistryEntryCreateCFProperties(darwin::io_registry_entry_t entry,
                                           darwin::CFMutableDictionaryRef* properties,
                                           darwin::CFAllocatorRef, darwin::IOOptionBits) override {
        return call(on_IORegistryEntryCreateCFProperties, entry, properties);
    }
    kr_t IOObjectRelease(darwin::io_object_t object) override {
        note_scope();
        return on_IOObjectRelease ? on_IOObjectRelease(object) : 0;
    }
    darwin::CFStringRef CFStringCreateWithCString(darwin::CFAllocatorRef, const char* text,
                                                  darwin::CFStringEncoding encoding) override {
        note_scope();
        return on_CFStringCreateWithCString ? on_CFStringCreateWithCString(text, encoding)
                                            : nullptr;
    }
    const void* CFDictionaryGetValue(darwin::CFDictionaryRef dictionary, const void* key) override {
        note_scope();
        return on_CFDictionaryGetValue ? on_CFDictionaryGetValue(dictionary, key) : nullptr;
    }
    darwin::Boolean CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                     void* value) override {
        note_scope();
        return on_CFNumberGetValue ? on_CFNumberGetValue(number, type, value) : 0;
    }
    void CFRelease(darwin::CFTypeRef object) override {
        note_scope();
        if (on_CFRelease) on_CFRelease(object);
    }

private:
    void note_scope() { call_scopes.push_back(open_scopes.empty() ? 0 : open_scopes.back()); }

    template <class F, class... Args>
    auto call(const F& operation, Args... args) -> decltype(operation(args...)) {
        note_scope();
        if (operation) return operation(args...);
        errno = ENOSYS;
        return -1;
    }
};

// Darwin's sized-read protocol (sysctl, sysctlbyname): a null buffer asks for
// the size, a buffer shorter than the value gets ENOMEM.
inline int answer_sized(std::string_view value, void* old, std::size_t* len) {
    if (old != nullptr && *len < value.size()) {
        errno = ENOMEM;
        return -1;
    }
    if (old != nullptr && !value.empty()) std::memcpy(old, value.data(), value.size());
    *len = value.size();
    return 0;
}

}  // namespace lumenstat::testing
