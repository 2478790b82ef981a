// The operating-system interface: the Darwin system operations the core
// queries call, with Darwin's arguments and results. A failed call sets errno
// where the Darwin call would. Implementations: macos/ forwards to libSystem,
// linux/ answers from /proc, /sys and netlink, and tests script a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "os/darwin.h"
#include "os/darwin_storage.h"

namespace lumenstat::os {

// What a child process wrote and how it ended (System::spawn_collect).
struct ChildOutput {
    std::string standard_output;
    std::string standard_error;
    // As waitpid reports it; absent when the child could not be waited for
    // (on macOS with SIGCHLD ignored, the kernel reaps it; on Linux the status
    // is kept whatever the process does with SIGCHLD).
    std::optional<int> wait_status;
};

// What the calls of a query scope will ask, as far as its opener knows.
enum class ScopeAsks {
    unknown,
    // After the process table: the argument area of every process it lists.
    arguments_of_every_listed_process,
};

class System {
public:
    virtual ~System() = default;

    // Query scopes. Every core query, every sample of a sampling query and
    // every tracker poll opens one (QueryScope below) around the calls it
    // makes. An implementation may keep what it reads for later calls made on
    // the same thread while that scope is open, and drops it all when the
    // scope closes; with no scope open, every call reads afresh. A scope
    // opened inside another is a scope of its own: it sees nothing the outer
    // one read, and the outer one resumes, with its readings, when it closes.
    // The opener may say what the scope's calls will ask, so that an
    // implementation can read it together with what is asked first. macOS
    // reads the kernel on every call: both are no-ops there.
    virtual void open_query_scope(ScopeAsks) {}
    virtual void close_query_scope() noexcept {}

    // libSystem
    virtual int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp,
                       const void* newp, std::size_t newlen) = 0;
    virtual int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                             std::size_t newlen) = 0;
    virtual long sysconf(int name) = 0;
    virtual int kill(int pid, int sig) = 0;
    virtual int nanosleep(const struct timespec* request, struct timespec* remaining) = 0;
    // The value stays valid until the environment changes, as with getenv.
    virtual const char* getenv(const char* name) = 0;
    // Monotonic clock in nanoseconds (mach_continuous_time in real units on
    // macOS, CLOCK_MONOTONIC on Linux).
    virtual std::uint64_t monotonic_ns() = 0;

    // libproc
    virtual int proc_listpids(std::uint32_t type, std::uint32_t typeinfo, void* buffer,
                              int buffersize) = 0;
    virtual int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer,
                             int buffersize) = 0;
    virtual int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) = 0;
    virtual int proc_pid_rusage(int pid, int flavor, void* buffer) = 0;

    // Mach. host_* act on mach_host_self(), vm_deallocate on mach_task_self().
    virtual darwin::kern_return_t host_statistics64(int flavor, darwin::integer_t* info,
                                                    darwin::natural_t* count) = 0;
    virtual darwin::kern_return_t host_processor_info(int flavor, darwin::natural_t* cpu_count,
                                                      darwin::integer_t** info,
                                                      darwin::natural_t* info_count) = 0;
    virtual darwin::kern_return_t vm_deallocate(void* address, std::size_t size) = 0;
    virtual darwin::kern_return_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) = 0;

    // Process spawning: runs `file`, looked up through PATH as execvp does
    // (os/program_search.h), with `argv` (null-terminated, argv[0] included),
    // the caller's environment and working directory, standard input from
    // /dev/null, standard output and standard error on pipes of their own,
    // no other descriptor (Linux before 5.9: none that closes on exec),
    // SIGPIPE and SIGCHLD at their defaults and no signal blocked. Both pipes
    // are read to their end together, so that neither can fill and stall the
    // child; then it is waited for. 0 when the child was started, with
    // everything it wrote; -1 with errno set when no program was found, the
    // one found could not be started, or its output could not be read (it is
    // then ended and waited for all the same). The Linux personality also
    // finds the helper programs the module ships (Linux has no system traffic
    // tool) when PATH has no program of that name.
    virtual int spawn_collect(const char* file, const char* const* argv, ChildOutput& output) = 0;

    // File systems and directories (libSystem). getfsstat with a null buffer
    // answers the number of mounts; the stream of opendir is read and closed
    // through the same implementation.
    virtual int getfsstat(darwin::statfs* buffer, int bufsize, int mode) = 0;
    virtual darwin::DIR* opendir(const char* path) = 0;
    virtual int readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) = 0;
    virtual int dirfd(darwin::DIR* dir) = 0;
    virtual int fstatat(int fd, const char* path, darwin::stat* buffer, int flag) = 0;
    virtual int closedir(darwin::DIR* dir) = 0;

    // IOKit and CoreFoundation, one to one: the caller owns and releases every
    // object a Create, Matching or Next call returns.
    virtual darwin::CFMutableDictionaryRef IOServiceMatching(const char* name) = 0;
    // Consumes `matching` in every case.
    virtual darwin::kern_return_t IOServiceGetMatchingServices(darwin::mach_port_t main_port,
                                                               darwin::CFDictionaryRef matching,
                                                               darwin::io_iterator_t* existing) = 0;
    virtual darwin::io_object_t IOIteratorNext(darwin::io_iterator_t iterator) = 0;
    virtual darwin::kern_return_t IORegistryEntryCreateCFProperties(
        darwin::io_registry_entry_t entry, darwin::CFMutableDictionaryRef* properties,
        darwin::CFAllocatorRef allocator, darwin::IOOptionBits options) = 0;
    virtual darwin::kern_return_t IOObjectRelease(darwin::io_object_t object) = 0;
    virtual darwin::CFStringRef CFStringCreateWithCString(darwin::CFAllocatorRef allocator,
                                                          const char* text,
                                                          darwin::CFStringEncoding encoding) = 0;
    // The value is borrowed from the dictionary.
    virtual const void* CFDictionaryGetValue(darwin::CFDictionaryRef dictionary,
                                             const void* key) = 0;
    virtual darwin::Boolean CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                             void* value) = 0;
    virtual void CFRelease(darwin::CFTypeRef object) = 0;
};

// Opens a query scope for the lifetime of the object, on the calling thread.
class QueryScope {
public:
    explicit QueryScope(System& sys, ScopeAsks asks = ScopeAsks::unknown) : sys_(sys) {
        sys_.open_query_scope(asks);
    }
    ~QueryScope() { sys_.close_query_scope(); }
    QueryScope(const QueryScope&) = delete;
    QueryScope& operator=(const QueryScope&) = delete;

private:
    System& sys_;
};

// The implementation of the platform this module was built for.
System& native();

}  // namespace lumenstat::os
