// The C library's readdir, open and openat, failing when a FailingCalls
// says so and otherwise passed on to the next definition (the C library's,
// or a sanitizer's in front of it).
#undef _FORTIFY_SOURCE
#include "os/failing_calls.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

namespace lumenstat::testing {

namespace {

struct Failure {
    Call call;
    int error;
    std::string path;
    int pass;
    int times;
};

std::atomic<bool> armed{false};
std::mutex failure_mutex;
std::optional<Failure> failure;

bool names(std::string_view path, std::string_view suffix) {
    return suffix.empty() || path == suffix ||
           (path.ends_with(suffix) && path[path.size() - suffix.size() - 1] == '/');
}

// Whether this call is to fail; errno is set when it is.
bool fails(Call call, const char* path) {
    if (!armed.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(failure_mutex);
    if (!failure || failure->call != call || !names(path ? path : "", failure->path)) return false;
    if (failure->pass > 0) {
        --failure->pass;
        return false;
    }
    if (failure->times == 0) return false;
    if (failure->times > 0) --failure->times;
    errno = failure->error;
    return true;
}

template <typename Function>
Function* next_definition(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

mode_t mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

FailingCalls::FailingCalls(Call call, int error, std::string path, int pass, int times) {
    std::lock_guard lock(failure_mutex);
    failure = Failure{call, error, std::move(path), pass, times};
    armed.store(true, std::memory_order_release);
}

FailingCalls::~FailingCalls() {
    std::lock_guard lock(failure_mutex);
    armed.store(false, std::memory_order_release);
    failure.reset();
}

DescriptorsTaken::DescriptorsTaken(int left) {
    int highest = 2;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    ::getrlimit(RLIMIT_NOFILE, &limit_);
    rlimit lowered = limit_;
    lowered.rlim_cur = static_cast<rlim_t>(highest) + 1;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = ::dup(2)) >= 0;) taken_.push_back(fd);
    for (; left > 0 && !taken_.empty(); --left) {
        ::close(taken_.back());
        taken_.pop_back();
    }
    for (; left > 0; --left) {
        lowered.rlim_cur += 1;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
}

DescriptorsTaken::~DescriptorsTaken() {
    const int saved = errno;
    for (int fd : taken_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit_);
    errno = saved;
}

FaultInForce::FaultInForce(const Fault& fault) {
    if (fault.descriptors_left >= 0) {
        taken_.emplace(fault.descriptors_left);
    } else {
        calls_.emplace(fault.call, fault.error, fault.path, fault.pass, fault.times);
    }
}

}  // namespace lumenstat::testing

using lumenstat::testing::Call;

extern "C" {

dirent* readdir(DIR* dir) {
    static auto* next = lumenstat::testing::next_definition<dirent*(DIR*)>("readdir");
    return lumenstat::testing::fails(Call::readdir, nullptr) ? nullptr : next(dir);
}

int open(const char* path, int flags, ...) {
    static auto* next = lumenstat::testing::next_definition<int(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = lumenstat::testing::mode_argument(flags, args);
    va_end(args);
    return lumenstat::testing::fails(Call::open, path) ? -1 : next(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    static auto* next =
        lumenstat::testing::next_definition<int(int, const char*, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = lumenstat::testing::mode_argument(flags, args);
    va_end(args);
    return lumenstat::testing::fails(Call::open, path) ? -1 : next(dirfd, path, flags, mode);
}

}  // extern "C"
