// A scriptable os::System for core tests: each operation is a std::function
// the test sets; an operation the test did not script fails with ENOSYS (an
// IOKit or CoreFoundation one answers nothing), so a query that makes an
// unexpected call shows it. It numbers every call and notes what it was about
// (a process, a descriptor, a directory entry, a registry entry), the query
// scope open then and the failures the Darwin call documents; `fail_at` makes
// call N meet one of them instead of the scripted answer. The failure sweep
// runs a query once to learn its calls, then once per call and failure.
#pragma once

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/system.h"

namespace lumenstat::testing {

namespace d = darwin;

// The largest value a counter of a fake machine can hold.
inline constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct Failure {
    enum Kind {
        error_number,  // -1 (0 for libproc's info calls) with errno = code
        short_count,   // a record call fills and reports only half the record
        truncated,     // a size probe answers half the size; a fixed-size value is cut
        kern_return,   // a Mach or IOKit call returns code
        no_object,     // a Create or Matching call returns NULL
    } kind;
    int code = 0;
};

// "EMFILE", "short count", "kern_return 5", ...
inline std::string failure_name(const Failure& failure) {
    const char* errno_name = strerrorname_np(failure.code);
    if (failure.kind == Failure::error_number && errno_name != nullptr) return errno_name;
    const char* kinds[] = {"errno ", "short count", "truncated", "kern_return ", "NULL object"};
    const bool coded =
        failure.kind == Failure::error_number || failure.kind == Failure::kern_return;
    return kinds[failure.kind] + (coded ? std::to_string(failure.code) : "");
}

struct Call {
    std::string name;     // "proc_pidinfo"
    std::string subject;  // "pid:12", "pid:12/fd:3", "entry:b.txt", "io:101"; "" for the whole
    std::vector<Failure> failures;  // what this call can meet
    int scope = 0;                  // the query scope open then, numbered as opened; 0: none
};

class FakeSystem : public os::System {
    using kr_t = d::kern_return_t;
    using F = Failure;
    template <class T>
    using fn = std::function<T>;

public:
    fn<int(const int*, unsigned, void*, std::size_t*, const void*, std::size_t)> on_sysctl;
    fn<int(const char*, void*, std::size_t*, const void*, std::size_t)> on_sysctlbyname;
    fn<long(int)> on_sysconf;
    fn<int(int, int)> on_kill;
    fn<int(const struct timespec*, struct timespec*)> on_nanosleep;
    fn<const char*(const char*)> on_getenv;
    fn<std::uint64_t()> on_monotonic_ns;
    fn<int(std::uint32_t, std::uint32_t, void*, int)> on_proc_listpids;
    fn<int(int, int, std::uint64_t, void*, int)> on_proc_pidinfo;
    fn<int(int, int, int, void*, int)> on_proc_pidfdinfo;
    fn<int(int, int, void*)> on_proc_pid_rusage;
    fn<kr_t(int, d::integer_t*, d::natural_t*)> on_host_statistics64;
    fn<kr_t(int, d::natural_t*, d::integer_t**, d::natural_t*)> on_host_processor_info;
    fn<kr_t(void*, std::size_t)> on_vm_deallocate;
    fn<kr_t(d::mach_timebase_info_data_t*)> on_mach_timebase_info;
    fn<int(const char*, const char* const*, os::ChildOutput&)> on_spawn_collect;
    fn<int(d::statfs*, int, int)> on_getfsstat;
    fn<d::DIR*(const char*)> on_opendir;
    fn<int(d::DIR*, d::dirent*, d::dirent**)> on_readdir_r;
    fn<int(d::DIR*)> on_dirfd;
    fn<int(int, const char*, d::stat*, int)> on_fstatat;
    fn<int(d::DIR*)> on_closedir;
    fn<d::CFMutableDictionaryRef(const char*)> on_IOServiceMatching;
    fn<kr_t(d::mach_port_t, d::CFDictionaryRef, d::io_iterator_t*)> on_IOServiceGetMatchingServices;
    fn<d::io_object_t(d::io_iterator_t)> on_IOIteratorNext;
    fn<kr_t(d::io_registry_entry_t, d::CFMutableDictionaryRef*)>
        on_IORegistryEntryCreateCFProperties;
    fn<kr_t(d::io_object_t)> on_IOObjectRelease;
    fn<d::CFStringRef(const char*, d::CFStringEncoding)> on_CFStringCreateWithCString;
    fn<const void*(d::CFDictionaryRef, const void*)> on_CFDictionaryGetValue;
    fn<d::Boolean(d::CFNumberRef, d::CFNumberType, void*)> on_CFNumberGetValue;
    fn<void(d::CFTypeRef)> on_CFRelease;

    // Call `number` (1-based) meets `failure`; 0: no call fails.
    void fail_at(std::size_t number, Failure failure) {
        std::lock_guard lock(mutex_);
        fail_number_ = number;
        failure_ = failure;
    }
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t scopes_open() {
        std::lock_guard lock(mutex_);
        return open_scopes_.size();
    }

    void open_query_scope(os::ScopeAsks) override {
        std::lock_guard lock(mutex_);
        open_scopes_.push_back(++scopes_opened_);
    }
    void close_query_scope() noexcept override {
        std::lock_guard lock(mutex_);
        if (!open_scopes_.empty()) open_scopes_.pop_back();
    }

    int sysctl(const int* name, unsigned namelen, void* old, std::size_t* len, const void* new_,
               std::size_t newlen) override {
        const bool arguments = namelen == 3 && name[1] == d::KERN_PROCARGS2;
        const bool fixed = namelen == 2 && name[1] == d::HW_MEMSIZE && old != nullptr;
        return sized(
            note("sysctl", arguments ? pid_subject(name[2]) : "", sysctl_failures(old, fixed)), old,
            len, [&](void* o, std::size_t* l) {
                return answer(-1, on_sysctl, name, namelen, o, l, new_, newlen);
            });
    }
    int sysctlbyname(const char* name, void* old, std::size_t* len, const void* new_,
                     std::size_t newlen) override {
        const bool fixed = old != nullptr && *len <= sizeof(std::uint64_t);
        return sized(note("sysctlbyname", "", sysctl_failures(old, fixed)), old, len,
                     [&](void* o, std::size_t* l) {
                         return answer(-1, on_sysctlbyname, name, o, l, new_, newlen);
                     });
    }
    long sysconf(int name) override {
        return made("sysconf", "", errnos({EINVAL}), -1L, on_sysconf, name);
    }
    int kill(int pid, int sig) override {
        return made("kill", pid_subject(pid), errnos({EINVAL, EPERM, ESRCH}), -1, on_kill, pid,
                    sig);
    }
    int nanosleep(const timespec* request, timespec* remaining) override {
        // EINVAL and EFAULT answer only a request the caller got wrong.
        if (auto failure = note("nanosleep", "", errnos({EINTR}))) {
            if (remaining != nullptr) *remaining = *request;  // interrupted before any time passed
            return fail(*failure);
        }
        return answer(-1, on_nanosleep, request, remaining);
    }
    const char* getenv(const char* name) override {
        return answer<const char*>(nullptr, on_getenv, name);
    }
    std::uint64_t monotonic_ns() override { return answer<std::uint64_t>(0, on_monotonic_ns); }

    int proc_listpids(std::uint32_t type, std::uint32_t info, void* out, int size) override {
        return made("proc_listpids", "", errnos({EINVAL, ENOMEM, EPERM}), -1, on_proc_listpids,
                    type, info, out, size);
    }
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* out, int size) override {
        const bool record = out != nullptr && flavor != d::PROC_PIDLISTFDS;
        return record_call(note("proc_pidinfo", pid_subject(pid),
                                libproc_failures(record, {ESRCH, EPERM, EINVAL, ENOMEM})),
                           out, size, [&](void* o) {
                               return answer(-1, on_proc_pidinfo, pid, flavor, arg, o, size);
                           });
    }
    int proc_pidfdinfo(int pid, int fd, int flavor, void* out, int size) override {
        return record_call(note("proc_pidfdinfo", pid_subject(pid) + "/fd:" + std::to_string(fd),
                                libproc_failures(true, {ESRCH, EBADF, EPERM, EINVAL, ENOTSUP})),
                           out, size, [&](void* o) {
                               return answer(-1, on_proc_pidfdinfo, pid, fd, flavor, o, size);
                           });
    }
    int proc_pid_rusage(int pid, int flavor, void* out) override {
        return made("proc_pid_rusage", pid_subject(pid), errnos({ESRCH, EPERM, EINVAL}), -1,
                    on_proc_pid_rusage, pid, flavor, out);
    }

    // An older kernel answers an older revision of the VM counters, whose
    // fields the query reads all the same: no shorter answer is a failure.
    kr_t host_statistics64(int flavor, d::integer_t* info, d::natural_t* count) override {
        return made("host_statistics64", "", kern_failures(), -1, on_host_statistics64, flavor,
                    info, count);
    }
    kr_t host_processor_info(int flavor, d::natural_t* cpus, d::integer_t** info,
                             d::natural_t* count) override {
        return made("host_processor_info", "", kern_failures(), -1, on_host_processor_info, flavor,
                    cpus, info, count);
    }
    kr_t vm_deallocate(void* address, std::size_t size) override {
        return made("vm_deallocate", "", {}, 0, on_vm_deallocate, address, size);
    }
    kr_t mach_timebase_info(d::mach_timebase_info_data_t* info) override {
        return made("mach_timebase_info", "", kern_failures(), -1, on_mach_timebase_info, info);
    }

    int spawn_collect(const char* file, const char* const* argv, os::ChildOutput& output) override {
        std::string subject;  // the process a traffic sample is about
        for (int i = 0; argv[i] != nullptr && argv[i + 1] != nullptr; ++i) {
            if (std::strcmp(argv[i], "-p") == 0) subject = "pid:" + std::string(argv[i + 1]);
        }
        return made("spawn_collect", subject, errnos({ENOENT, EACCES, EAGAIN, ENOMEM, EMFILE}), -1,
                    on_spawn_collect, file, argv, std::ref(output));
    }

    int getfsstat(d::statfs* buffer, int size, int mode) override {
        return made("getfsstat", "", errnos({EFAULT, EIO}), -1, on_getfsstat, buffer, size, mode);
    }
    d::DIR* opendir(const char* path) override {
        return made("opendir", "", errnos({EACCES, ELOOP, EMFILE, ENFILE, ENOENT, ENOMEM, ENOTDIR}),
                    static_cast<d::DIR*>(nullptr), on_opendir, path);
    }
    int readdir_r(d::DIR* dir, d::dirent* entry, d::dirent** result) override {
        *result = nullptr;
        if (auto failure = note("readdir_r", "", errnos({EBADF, EFAULT, EIO}))) {
            return failure->code;
        }
        const int status = on_readdir_r ? on_readdir_r(dir, entry, result) : ENOSYS;
        std::lock_guard lock(mutex_);
        entry_ = *result != nullptr ? "entry:" + std::string(entry->d_name, entry->d_namlen) : "";
        return status;
    }
    int dirfd(d::DIR* dir) override {
        return made("dirfd", current(entry_), errnos({EINVAL}), -1, on_dirfd, dir);
    }
    int fstatat(int fd, const char* path, d::stat* out, int flag) override {
        return made("fstatat", "entry:" + std::string(path),
                    errnos({EACCES, EIO, ELOOP, ENOENT, ENOTDIR, EOVERFLOW}), -1, on_fstatat, fd,
                    path, out, flag);
    }
    int closedir(d::DIR* dir) override { return made("closedir", "", {}, -1, on_closedir, dir); }

    d::CFMutableDictionaryRef IOServiceMatching(const char* name) override {
        return made("IOServiceMatching", "", {{F::no_object}}, d::CFMutableDictionaryRef{},
                    on_IOServiceMatching, name);
    }
    kr_t IOServiceGetMatchingServices(d::mach_port_t port, d::CFDictionaryRef matching,
                                      d::io_iterator_t* existing) override {
        if (auto failure = note("IOServiceGetMatchingServices", "", io_failures())) {
            if (on_CFRelease) on_CFRelease(matching);  // consumed on every path
            return failure->code;
        }
        return answer(-1, on_IOServiceGetMatchingServices, port, matching, existing);
    }
    d::io_object_t IOIteratorNext(d::io_iterator_t iterator) override {
        note("IOIteratorNext", "", {});
        const auto next = answer<d::io_object_t>(0, on_IOIteratorNext, iterator);
        std::lock_guard lock(mutex_);
        registry_entry_ = next != 0 ? "io:" + std::to_string(next) : "";
        return next;
    }
    kr_t IORegistryEntryCreateCFProperties(d::io_registry_entry_t entry,
                                           d::CFMutableDictionaryRef* properties, d::CFAllocatorRef,
                                           d::IOOptionBits) override {
        std::vector<Failure> failures = io_failures();
        failures.push_back({F::no_object});
        if (auto failure = note("IORegistryEntryCreateCFProperties", "io:" + std::to_string(entry),
                                failures)) {
            *properties = nullptr;
            return failure->kind == F::kern_return ? failure->code : d::KERN_SUCCESS;
        }
        return answer(-1, on_IORegistryEntryCreateCFProperties, entry, properties);
    }
    kr_t IOObjectRelease(d::io_object_t object) override {
        return made("IOObjectRelease", "", {}, 0, on_IOObjectRelease, object);
    }
    d::CFStringRef CFStringCreateWithCString(d::CFAllocatorRef, const char* text,
                                             d::CFStringEncoding encoding) override {
        return made("CFStringCreateWithCString", current(registry_entry_), {{F::no_object}},
                    d::CFStringRef{}, on_CFStringCreateWithCString, text, encoding);
    }
    const void* CFDictionaryGetValue(d::CFDictionaryRef dictionary, const void* key) override {
        return made("CFDictionaryGetValue", "", {}, static_cast<const void*>(nullptr),
                    on_CFDictionaryGetValue, dictionary, key);
    }
    d::Boolean CFNumberGetValue(d::CFNumberRef number, d::CFNumberType type, void* value) override {
        return made("CFNumberGetValue", "", {}, d::Boolean{0}, on_CFNumberGetValue, number, type,
                    value);
    }
    void CFRelease(d::CFTypeRef object) override {
        note("CFRelease", "", {});
        if (on_CFRelease) on_CFRelease(object);
    }

private:
    // The scripted answer, else `unscripted` with errno = ENOSYS.
    template <class R, class Operation, class... Args>
    static R answer(R unscripted, const Operation& operation, Args... args) {
        if (operation) return operation(args...);
        errno = ENOSYS;
        return unscripted;
    }
    // Call `name` about `subject`, numbered; when it is the one to fail, -1
    // (NULL, or the kern_return_t) with errno set, else the scripted answer.
    template <class R, class Operation, class... Args>
    R made(const char* name, std::string subject, std::vector<Failure> failures, R unscripted,
           const Operation& operation, Args... args) {
        auto failure = note(name, std::move(subject), std::move(failures));
        if (!failure) return answer(unscripted, operation, args...);
        errno = failure->code;
        if constexpr (std::is_pointer_v<R>)
            return nullptr;
        else
            return static_cast<R>(failure->kind == F::kern_return ? failure->code : -1);
    }
    static std::string pid_subject(int pid) { return "pid:" + std::to_string(pid); }
    std::string current(const std::string& subject) {
        std::lock_guard lock(mutex_);
        return subject;
    }
    static std::vector<Failure> coded(Failure::Kind kind, std::initializer_list<int> codes) {
        std::vector<Failure> out;
        for (int code : codes) out.push_back({kind, code});
        return out;
    }
    static std::vector<Failure> errnos(std::initializer_list<int> codes) {
        return coded(F::error_number, codes);
    }
    static std::vector<Failure> sysctl_failures(const void* old, bool fixed_size) {
        std::vector<Failure> out =
            errnos({EFAULT, EINVAL, ENOMEM, ENOTDIR, EISDIR, EOPNOTSUPP, EPERM, ENOENT});
        if (old == nullptr || fixed_size) out.push_back({F::truncated});
        return out;
    }
    static std::vector<Failure> libproc_failures(bool record, std::initializer_list<int> codes) {
        std::vector<Failure> out = errnos(codes);
        if (record) out.push_back({F::short_count});
        return out;
    }
    // KERN_INVALID_ARGUMENT, KERN_FAILURE, KERN_RESOURCE_SHORTAGE, KERN_INVALID_HOST
    static std::vector<Failure> kern_failures() { return coded(F::kern_return, {4, 5, 6, 22}); }
    // kIOReturnError, kIOReturnNoMemory, kIOReturnNoResources, kIOReturnNotPermitted
    static std::vector<Failure> io_failures() {
        return coded(F::kern_return,
                     {int(0xe00002bcu), int(0xe00002bdu), int(0xe00002beu), int(0xe00002e2u)});
    }

    // Numbers the call; the failure to apply when it is the chosen one.
    std::optional<Failure> note(const char* name, std::string subject,
                                std::vector<Failure> failures) {
        std::lock_guard lock(mutex_);
        calls_.push_back({name, std::move(subject), std::move(failures),
                          open_scopes_.empty() ? 0 : open_scopes_.back()});
        if (calls_.size() != fail_number_) return std::nullopt;
        return failure_;
    }
    static int fail(const Failure& failure) {
        errno = failure.code;
        return -1;
    }
    // A sized read; failing, a size probe that answers half the size, or a
    // fixed-size value of which only the first half is written (and reported).
    template <class Read>
    static int sized(std::optional<Failure> failure, void* old, std::size_t* len, Read read) {
        if (!failure) return read(old, len);
        if (failure->kind == F::error_number) return fail(*failure);
        if (old == nullptr) {
            const int status = read(nullptr, len);
            *len /= 2;
            return status;
        }
        std::vector<unsigned char> full(*len);
        const int status = read(full.data(), len);
        *len /= 2;
        std::memcpy(old, full.data(), *len);
        return status;
    }
    // A libproc record call; failing, 0 with errno set, or a record of which
    // only the first half is filled and reported.
    template <class Read>
    static int record_call(std::optional<Failure> failure, void* out, int size, Read read) {
        if (!failure) return read(out);
        if (failure->kind == F::error_number) return fail(*failure), 0;
        std::vector<unsigned char> full(static_cast<std::size_t>(size));
        const int filled = read(full.data());
        if (filled <= 1) return filled;
        std::memcpy(out, full.data(), static_cast<std::size_t>(filled / 2));
        return filled / 2;
    }

    std::mutex mutex_;
    std::vector<Call> calls_;
    std::size_t fail_number_ = 0;
    Failure failure_{};
    std::vector<int> open_scopes_;
    int scopes_opened_ = 0;
    std::string entry_;           // the directory entry read last
    std::string registry_entry_;  // the registry entry handled now
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
