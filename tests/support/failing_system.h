// An os::System in front of another that makes one chosen call fail: it
// numbers every call, notes what each was about (a process, a descriptor, a
// directory entry, a registry entry), and answers call N with a failure the
// Darwin call documents instead of the inner system's answer. The failure
// sweep runs a query once through it to learn its calls, then once per call
// and per failure that call can meet.
#pragma once

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/system.h"

namespace lumenstat::testing {

namespace d = darwin;

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
    switch (failure.kind) {
        case Failure::error_number: {
            const char* name = strerrorname_np(failure.code);
            return name != nullptr ? name : "errno " + std::to_string(failure.code);
        }
        case Failure::short_count:
            return "short count";
        case Failure::truncated:
            return "truncated";
        case Failure::kern_return:
            return "kern_return " + std::to_string(failure.code);
        case Failure::no_object:
            return "NULL object";
    }
    return "?";
}

struct Call {
    std::string name;     // "proc_pidinfo"
    std::string subject;  // "pid:12", "pid:12/fd:3", "entry:b.txt", "io:101"; "" for the whole
    std::vector<Failure> failures;  // what this call can meet
};

class FailingSystem final : public os::System {
    using kr_t = d::kern_return_t;
    using F = Failure;

public:
    explicit FailingSystem(os::System& inner) : inner_(inner) {}

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

    void open_query_scope(os::ScopeAsks asks) override { inner_.open_query_scope(asks); }
    void close_query_scope() noexcept override { inner_.close_query_scope(); }

    int sysctl(const int* name, unsigned namelen, void* old, std::size_t* len, const void* new_,
               std::size_t newlen) override {
        const bool arguments = namelen == 3 && name[1] == d::KERN_PROCARGS2;
        const bool fixed = namelen == 2 && name[1] == d::HW_MEMSIZE && old != nullptr;
        auto failure = note("sysctl", arguments ? "pid:" + std::to_string(name[2]) : "",
                            sysctl_failures(old, fixed));
        if (!failure) return inner_.sysctl(name, namelen, old, len, new_, newlen);
        return sized(*failure, old, len, [&](void* o, std::size_t* l) {
            return inner_.sysctl(name, namelen, o, l, new_, newlen);
        });
    }
    int sysctlbyname(const char* name, void* old, std::size_t* len, const void* new_,
                     std::size_t newlen) override {
        const bool fixed = old != nullptr && *len <= sizeof(std::uint64_t);
        auto failure = note("sysctlbyname", "", sysctl_failures(old, fixed));
        if (!failure) return inner_.sysctlbyname(name, old, len, new_, newlen);
        return sized(*failure, old, len, [&](void* o, std::size_t* l) {
            return inner_.sysctlbyname(name, o, l, new_, newlen);
        });
    }
    long sysconf(int name) override {
        if (auto failure = note("sysconf", "", {{F::error_number, EINVAL}})) return fail(*failure);
        return inner_.sysconf(name);
    }
    int kill(int pid, int sig) override {
        if (auto failure = note("kill", pid_subject(pid), errnos({EINVAL, EPERM, ESRCH}))) {
            return fail(*failure);
        }
        return inner_.kill(pid, sig);
    }
    int nanosleep(const timespec* request, timespec* remaining) override {
        // EINVAL and EFAULT answer only a request the caller got wrong.
        if (auto failure = note("nanosleep", "", errnos({EINTR}))) {
            if (remaining != nullptr) *remaining = *request;  // interrupted before any time passed
            return fail(*failure);
        }
        return inner_.nanosleep(request, remaining);
    }
    const char* getenv(const char* name) override { return inner_.getenv(name); }
    std::uint64_t monotonic_ns() override { return inner_.monotonic_ns(); }

    int proc_listpids(std::uint32_t type, std::uint32_t info, void* out, int size) override {
        if (auto failure = note("proc_listpids", "", errnos({EINVAL, ENOMEM, EPERM}))) {
            return fail(*failure);
        }
        return inner_.proc_listpids(type, info, out, size);
    }
    int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* out, int size) override {
        const bool record = out != nullptr && flavor != d::PROC_PIDLISTFDS;
        auto failure = note("proc_pidinfo", pid_subject(pid),
                            libproc_failures(record, {ESRCH, EPERM, EINVAL, ENOMEM}));
        if (!failure) return inner_.proc_pidinfo(pid, flavor, arg, out, size);
        if (failure->kind == F::error_number) return fail(*failure), 0;
        return half_record(out, size,
                           [&](void* o) { return inner_.proc_pidinfo(pid, flavor, arg, o, size); });
    }
    int proc_pidfdinfo(int pid, int fd, int flavor, void* out, int size) override {
        auto failure = note("proc_pidfdinfo", pid_subject(pid) + "/fd:" + std::to_string(fd),
                            libproc_failures(true, {ESRCH, EBADF, EPERM, EINVAL, ENOTSUP}));
        if (!failure) return inner_.proc_pidfdinfo(pid, fd, flavor, out, size);
        if (failure->kind == F::error_number) return fail(*failure), 0;
        return half_record(
            out, size, [&](void* o) { return inner_.proc_pidfdinfo(pid, fd, flavor, o, size); });
    }
    int proc_pid_rusage(int pid, int flavor, void* out) override {
        if (auto failure =
                note("proc_pid_rusage", pid_subject(pid), errnos({ESRCH, EPERM, EINVAL}))) {
            return fail(*failure);
        }
        return inner_.proc_pid_rusage(pid, flavor, out);
    }

    kr_t host_statistics64(int flavor, d::integer_t* info, d::natural_t* count) override {
        // An older kernel answers an older revision, whose fields the query
        // reads all the same: no shorter answer is a failure.
        if (auto failure = note("host_statistics64", "", kern_failures({}))) return failure->code;
        return inner_.host_statistics64(flavor, info, count);
    }
    kr_t host_processor_info(int flavor, d::natural_t* cpus, d::integer_t** info,
                             d::natural_t* count) override {
        if (auto failure = note("host_processor_info", "", kern_failures({}))) return failure->code;
        return inner_.host_processor_info(flavor, cpus, info, count);
    }
    kr_t vm_deallocate(void* address, std::size_t size) override {
        note("vm_deallocate", "", {});
        return inner_.vm_deallocate(address, size);
    }
    kr_t mach_timebase_info(d::mach_timebase_info_data_t* info) override {
        if (auto failure = note("mach_timebase_info", "", kern_failures({}))) return failure->code;
        return inner_.mach_timebase_info(info);
    }

    int spawn_collect(const char* file, const char* const* argv, os::ChildOutput& output) override {
        std::string subject;  // the process a traffic sample is about
        for (int i = 0; argv[i] != nullptr && argv[i + 1] != nullptr; ++i) {
            if (std::strcmp(argv[i], "-p") == 0) subject = "pid:" + std::string(argv[i + 1]);
        }
        if (auto failure =
                note("spawn_collect", subject, errnos({ENOENT, EACCES, EAGAIN, ENOMEM, EMFILE}))) {
            return fail(*failure);
        }
        return inner_.spawn_collect(file, argv, output);
    }

    int getfsstat(d::statfs* buffer, int size, int mode) override {
        if (auto failure = note("getfsstat", "", errnos({EFAULT, EIO}))) return fail(*failure);
        return inner_.getfsstat(buffer, size, mode);
    }
    d::DIR* opendir(const char* path) override {
        auto failure =
            note("opendir", "", errnos({EACCES, ELOOP, EMFILE, ENFILE, ENOENT, ENOMEM, ENOTDIR}));
        if (failure) return fail(*failure), nullptr;
        return inner_.opendir(path);
    }
    int readdir_r(d::DIR* dir, d::dirent* entry, d::dirent** result) override {
        if (auto failure = note("readdir_r", "", errnos({EBADF, EFAULT, EIO}))) {
            *result = nullptr;
            return failure->code;
        }
        const int status = inner_.readdir_r(dir, entry, result);
        std::lock_guard lock(mutex_);
        entry_ = *result != nullptr ? "entry:" + std::string(entry->d_name, entry->d_namlen) : "";
        return status;
    }
    int dirfd(d::DIR* dir) override {
        if (auto failure = note("dirfd", current(entry_), errnos({EINVAL}))) return fail(*failure);
        return inner_.dirfd(dir);
    }
    int fstatat(int fd, const char* path, d::stat* out, int flag) override {
        auto failure = note("fstatat", "entry:" + std::string(path),
                            errnos({EACCES, EIO, ELOOP, ENOENT, ENOTDIR, EOVERFLOW}));
        if (failure) return fail(*failure);
        return inner_.fstatat(fd, path, out, flag);
    }
    int closedir(d::DIR* dir) override {
        note("closedir", "", {});
        return inner_.closedir(dir);
    }

    d::CFMutableDictionaryRef IOServiceMatching(const char* name) override {
        if (note("IOServiceMatching", "", {{F::no_object}})) return nullptr;
        return inner_.IOServiceMatching(name);
    }
    kr_t IOServiceGetMatchingServices(d::mach_port_t port, d::CFDictionaryRef matching,
                                      d::io_iterator_t* existing) override {
        if (auto failure = note("IOServiceGetMatchingServices", "", io_failures())) {
            inner_.CFRelease(matching);  // consumed on every path
            return failure->code;
        }
        return inner_.IOServiceGetMatchingServices(port, matching, existing);
    }
    d::io_object_t IOIteratorNext(d::io_iterator_t iterator) override {
        note("IOIteratorNext", "", {});
        const d::io_object_t next = inner_.IOIteratorNext(iterator);
        std::lock_guard lock(mutex_);
        registry_entry_ = next != 0 ? "io:" + std::to_string(next) : "";
        return next;
    }
    kr_t IORegistryEntryCreateCFProperties(d::io_registry_entry_t entry,
                                           d::CFMutableDictionaryRef* properties,
                                           d::CFAllocatorRef allocator,
                                           d::IOOptionBits options) override {
        std::vector<Failure> failures = io_failures();
        failures.push_back({F::no_object});
        auto failure =
            note("IORegistryEntryCreateCFProperties", "io:" + std::to_string(entry), failures);
        if (!failure)
            return inner_.IORegistryEntryCreateCFProperties(entry, properties, allocator, options);
        *properties = nullptr;
        return failure->kind == F::kern_return ? failure->code : d::KERN_SUCCESS;
    }
    kr_t IOObjectRelease(d::io_object_t object) override {
        note("IOObjectRelease", "", {});
        return inner_.IOObjectRelease(object);
    }
    d::CFStringRef CFStringCreateWithCString(d::CFAllocatorRef allocator, const char* text,
                                             d::CFStringEncoding encoding) override {
        if (note("CFStringCreateWithCString", current(registry_entry_), {{F::no_object}}))
            return nullptr;
        return inner_.CFStringCreateWithCString(allocator, text, encoding);
    }
    const void* CFDictionaryGetValue(d::CFDictionaryRef dictionary, const void* key) override {
        note("CFDictionaryGetValue", "", {});
        return inner_.CFDictionaryGetValue(dictionary, key);
    }
    d::Boolean CFNumberGetValue(d::CFNumberRef number, d::CFNumberType type, void* value) override {
        note("CFNumberGetValue", "", {});
        return inner_.CFNumberGetValue(number, type, value);
    }
    void CFRelease(d::CFTypeRef object) override {
        note("CFRelease", "", {});
        inner_.CFRelease(object);
    }

private:
    static std::string pid_subject(int pid) { return "pid:" + std::to_string(pid); }
    std::string current(const std::string& subject) {
        std::lock_guard lock(mutex_);
        return subject;
    }
    static std::vector<Failure> errnos(std::initializer_list<int> codes) {
        std::vector<Failure> out;
        for (int code : codes) out.push_back({F::error_number, code});
        return out;
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
    static std::vector<Failure> kern_failures(std::vector<Failure> more) {
        // KERN_INVALID_ARGUMENT, KERN_FAILURE, KERN_RESOURCE_SHORTAGE, KERN_INVALID_HOST
        for (int code : {4, 5, 6, 22}) more.push_back({F::kern_return, code});
        return more;
    }
    static std::vector<Failure> io_failures() {
        // kIOReturnError, kIOReturnNoMemory, kIOReturnNoResources, kIOReturnNotPermitted
        std::vector<Failure> out;
        for (unsigned code : {0xe00002bcu, 0xe00002bdu, 0xe00002beu, 0xe00002e2u}) {
            out.push_back({F::kern_return, static_cast<int>(code)});
        }
        return out;
    }

    // Numbers the call; the failure to apply when it is the chosen one.
    std::optional<Failure> note(const char* name, std::string subject,
                                std::vector<Failure> failures) {
        std::lock_guard lock(mutex_);
        calls_.push_back({name, std::move(subject), std::move(failures)});
        if (calls_.size() != fail_number_) return std::nullopt;
        return failure_;
    }
    static int fail(const Failure& failure) {
        errno = failure.code;
        return -1;
    }
    // A size probe that answers half the size, or a fixed-size value of which
    // only the first half is written (and so reported).
    template <class Call>
    static int sized(const Failure& failure, void* old, std::size_t* len, Call call) {
        if (failure.kind == F::error_number) return fail(failure);
        if (old == nullptr) {
            const int status = call(nullptr, len);
            *len /= 2;
            return status;
        }
        std::vector<unsigned char> full(*len);
        const int status = call(full.data(), len);
        *len /= 2;
        std::memcpy(old, full.data(), *len);
        return status;
    }
    // A record of which only the first half is filled and reported.
    template <class Call>
    static int half_record(void* out, int size, Call call) {
        std::vector<unsigned char> full(static_cast<std::size_t>(size));
        const int filled = call(full.data());
        if (filled <= 1) return filled;
        std::memcpy(out, full.data(), static_cast<std::size_t>(filled / 2));
        return filled / 2;
    }

    os::System& inner_;
    std::mutex mutex_;
    std::vector<Call> calls_;
    std::size_t fail_number_ = 0;
    Failure failure_{};
    std::string entry_;           // the directory entry read last
    std::string registry_entry_;  // the registry entry handled now
};

}  // namespace lumenstat::testing
