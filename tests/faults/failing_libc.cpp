// A preloaded library that makes the Nth call of one C library entry fail,
// counting only the calls the module makes itself (the calling code lies in
// the module's image; for allocations, also in the C++ runtime's), while it
// is armed. tests/faults/linux_sweep.py drives it through the lfi_* functions.
// It also moves the module's monotonic clock on when asked, so that the
// socket cache's second has always passed when a run starts.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

// The entries that can be made to fail, in the order lfi_count numbers them.
constexpr const char* kEntries[] = {
    "open",      "read",    "readlink",    "readdir", "getdents64", "fstatat",
    "statfs",    "socket",  "setsockopt",  "sendto",  "recv",       "process_vm_readv",
    "syscall",   "pipe2",   "posix_spawn", "poll",    "waitpid",    "pthread_create",
    "nanosleep", "sysconf", "opendir",     "access",  "calloc",     "new",
};
constexpr int kEntryCount = sizeof kEntries / sizeof kEntries[0];
enum Entry {
    e_open,
    e_read,
    e_readlink,
    e_readdir,
    e_getdents64,
    e_fstatat,
    e_statfs,
    e_socket,
    e_setsockopt,
    e_sendto,
    e_recv,
    e_process_vm_readv,
    e_syscall,
    e_pipe2,
    e_posix_spawn,
    e_poll,
    e_waitpid,
    e_pthread_create,
    e_nanosleep,
    e_sysconf,
    e_opendir,
    e_access,
    e_calloc,
    e_new,
};

struct Range {
    std::uintptr_t low = 0, high = 0;
    bool holds(const void* address) const {
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        return at >= low && at < high;
    }
};

Range module, cxx_runtime;
std::atomic<bool> armed{false};
std::atomic<long> counts[kEntryCount];
std::atomic<int> target{-1};
std::atomic<long> target_call{0};
std::atomic<int> target_errno{0};
std::atomic<bool> target_shortens{false};
std::atomic<bool> fired{false};
std::atomic<long long> clock_offset_ns{0};
// While the gate is closed, the module's sleeps wait for it to open, so that
// a tracker polls once and then waits for the sweep to stop it.
pthread_mutex_t gate_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gate_opened = PTHREAD_COND_INITIALIZER;
bool gate_closed = false;
int sleepers = 0;

// The paths the module's descriptors were opened with, so that a failure of
// a read names the file it was about.
constexpr int kPathLength = 256;
char fd_paths[1024][kPathLength];
char subject[kPathLength];  // the path the failed call was about

void remember(int fd, const char* path) {
    if (fd >= 0 && fd < 1024 && path != nullptr) {
        std::snprintf(fd_paths[fd], kPathLength, "%s", path);
    }
}
const char* path_of(int fd) { return fd >= 0 && fd < 1024 ? fd_paths[fd] : ""; }

// The calls about a path containing `focus` (the caller's own process's
// files, say) are counted apart: the sweep makes sure to try them.
char focus[kPathLength];
std::atomic<int> focus_count[kEntryCount];
// Whether the target call is numbered among the calls about the focus only:
// those are made by helper threads in no fixed order among the others.
std::atomic<bool> target_focused{false};

// Whether this call is the one to fail: counts it when it comes from the
// module, and notes the path it was about.
bool failing(Entry entry, const void* caller, const char* path = "") {
    if (!armed.load(std::memory_order_acquire)) return false;
    if (!module.holds(caller) && !(entry == e_new && cxx_runtime.holds(caller))) return false;
    long call = counts[entry].fetch_add(1) + 1;
    if (focus[0] != 0 && path != nullptr && std::strstr(path, focus) != nullptr) {
        const int slot = focus_count[entry].fetch_add(1);
        if (target_focused) call = slot + 1;  // numbered among the calls about the focus
    } else if (target_focused) {
        return false;
    }
    if (entry != target.load() || call != target_call.load()) return false;
    std::snprintf(subject, kPathLength, "%s", path != nullptr ? path : "");
    fired = true;
    return true;
}
int fail(int result = -1) {
    errno = target_errno.load();
    return result;
}
bool shortens() { return target_shortens.load(); }

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static auto real_##name = real<decltype(&::name)>(#name)

// The address range of the loaded object whose path contains `fragment`.
Range find_image(const char* fragment) {
    struct Search {
        const char* fragment;
        Range range;
    } search{fragment, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            if (info->dlpi_name == nullptr ||
                std::strstr(info->dlpi_name, s->fragment) == nullptr) {
                return 0;
            }
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (s->range.low == 0 || start < s->range.low) s->range.low = start;
                if (start + segment.p_memsz > s->range.high)
                    s->range.high = start + segment.p_memsz;
            }
            return 1;
        },
        &search);
    return search.range;
}

}  // namespace

extern "C" {

// Control, called by the sweep through ctypes.
__attribute__((visibility("default"))) int lfi_watch(const char* fragment) {
    module = find_image(fragment);
    cxx_runtime = find_image("libstdc++");
    return module.low != 0;
}
// Counts from zero; call `call` of `entry` (none when entry is NULL), or its
// call `call` about the focus when `focused`, fails with `error`, or is cut
// short when `shortens`.
__attribute__((visibility("default"))) void lfi_arm(const char* entry, long call, int error,
                                                    int shortens, int focused) {
    for (auto& count : counts) count = 0;
    for (auto& count : focus_count) count = 0;
    target = -1;
    for (int i = 0; entry != nullptr && i < kEntryCount; ++i) {
        if (std::strcmp(entry, kEntries[i]) == 0) target = i;
    }
    target_call = call;
    target_errno = error;
    target_shortens = shortens != 0;
    target_focused = focused != 0;
    fired = false;
    subject[0] = 0;
    armed.store(true, std::memory_order_release);
}
__attribute__((visibility("default"))) void lfi_disarm() { armed = false; }
__attribute__((visibility("default"))) int lfi_fired() { return fired; }
__attribute__((visibility("default"))) const char* lfi_subject() { return subject; }
__attribute__((visibility("default"))) long lfi_count(const char* entry) {
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(entry, kEntries[i]) == 0) return counts[i];
    }
    return -1;
}
__attribute__((visibility("default"))) void lfi_focus(const char* fragment) {
    std::snprintf(focus, kPathLength, "%s", fragment);
}
// How many of `entry`'s calls were about the focus since lfi_arm.
__attribute__((visibility("default"))) long lfi_focus_count(const char* entry) {
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(entry, kEntries[i]) == 0) return focus_count[i];
    }
    return -1;
}
__attribute__((visibility("default"))) void lfi_advance_clock(long long ns) {
    clock_offset_ns += ns;
}

__attribute__((visibility("default"))) void lfi_gate(int closed) {
    pthread_mutex_lock(&gate_mutex);
    gate_closed = closed != 0;
    pthread_cond_broadcast(&gate_opened);
    pthread_mutex_unlock(&gate_mutex);
}
// How many of the module's sleeps wait at the gate now.
__attribute__((visibility("default"))) int lfi_sleeping() {
    pthread_mutex_lock(&gate_mutex);
    const int waiting = sleepers;
    pthread_mutex_unlock(&gate_mutex);
    return waiting;
}

#define CALLER __builtin_return_address(0)
#define EXPORT __attribute__((visibility("default")))

// Both open forms, with the file's whole path noted for its reads.
static int opened(const void* caller, int dir, const char* path, int flags, mode_t mode) {
    REAL(openat);
    char full[kPathLength];
    std::snprintf(full, sizeof full, "%s%s%s", path[0] == '/' ? "" : path_of(dir),
                  path[0] == '/' || dir == AT_FDCWD ? "" : "/", path);
    if (failing(e_open, caller, full)) return fail();
    const int fd = real_openat(dir, path, flags, mode);
    remember(fd, full);
    return fd;
}
// The mode argument, present only when a file may be created.
#define OPEN_MODE(flags)                   \
    mode_t mode = 0;                       \
    if ((flags) & (O_CREAT | O_TMPFILE)) { \
        va_list rest;                      \
        va_start(rest, flags);             \
        mode = va_arg(rest, mode_t);       \
        va_end(rest);                      \
    }

EXPORT int open(const char* path, int flags, ...) {
    OPEN_MODE(flags);
    return opened(CALLER, AT_FDCWD, path, flags, mode);
}
EXPORT int openat(int dir, const char* path, int flags, ...) {
    OPEN_MODE(flags);
    return opened(CALLER, dir, path, flags, mode);
}
EXPORT ssize_t read(int fd, void* buffer, size_t count) {
    REAL(read);
    if (failing(e_read, CALLER, path_of(fd))) {
        if (!shortens()) return fail();
        return real_read(fd, buffer, count > 1 ? count / 2 : count);
    }
    return real_read(fd, buffer, count);
}
EXPORT ssize_t readlink(const char* path, char* buffer, size_t size) {
    REAL(readlink);
    if (failing(e_readlink, CALLER, path)) return fail();
    return real_readlink(path, buffer, size);
}
EXPORT ssize_t readlinkat(int dir, const char* path, char* buffer, size_t size) {
    REAL(readlinkat);
    if (failing(e_readlink, CALLER, path)) return fail();
    return real_readlinkat(dir, path, buffer, size);
}
EXPORT dirent* readdir(DIR* dir) {
    REAL(readdir);
    if (failing(e_readdir, CALLER, path_of(dirfd(dir)))) return fail(), nullptr;
    return real_readdir(dir);
}
EXPORT dirent64* readdir64(DIR* dir) {
    REAL(readdir64);
    if (failing(e_readdir, CALLER, path_of(dirfd(dir)))) return fail(), nullptr;
    return real_readdir64(dir);
}
EXPORT ssize_t getdents64(int fd, void* buffer, size_t size) {
    REAL(getdents64);
    if (failing(e_getdents64, CALLER, path_of(fd))) return fail();
    return real_getdents64(fd, buffer, size);
}
EXPORT int fstatat(int dir, const char* path, struct stat* out, int flags) {
    REAL(fstatat);
    if (failing(e_fstatat, CALLER, path)) return fail();
    return real_fstatat(dir, path, out, flags);
}
EXPORT int statfs(const char* path, struct statfs* out) {
    REAL(statfs);
    if (failing(e_statfs, CALLER, path)) return fail();
    return real_statfs(path, out);
}
EXPORT int socket(int domain, int type, int protocol) {
    REAL(socket);
    if (failing(e_socket, CALLER)) return fail();
    return real_socket(domain, type, protocol);
}
EXPORT int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    REAL(setsockopt);
    if (failing(e_setsockopt, CALLER)) return fail();
    return real_setsockopt(fd, level, name, value, length);
}
EXPORT ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                      socklen_t length) {
    REAL(sendto);
    if (failing(e_sendto, CALLER, "netlink")) return fail();
    return real_sendto(fd, data, size, flags, to, length);
}
EXPORT ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    REAL(recv);
    if (failing(e_recv, CALLER, "netlink")) {
        if (!shortens()) return fail();
        return real_recv(fd, buffer, size > 1 ? size / 2 : size, flags);
    }
    return real_recv(fd, buffer, size, flags);
}
EXPORT ssize_t process_vm_readv(pid_t pid, const iovec* local, unsigned long local_count,
                                const iovec* remote, unsigned long remote_count,
                                unsigned long flags) {
    REAL(process_vm_readv);
    if (failing(e_process_vm_readv, CALLER, "memory")) {
        if (!shortens() || local_count == 0) return fail();
        iovec half = local[0];  // the first piece only, and half of it
        half.iov_len /= 2;
        return real_process_vm_readv(pid, &half, 1, remote, remote_count, flags);
    }
    return real_process_vm_readv(pid, local, local_count, remote, remote_count, flags);
}
EXPORT long syscall(long number, ...) {
    REAL(syscall);
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& value : a) value = va_arg(args, long);
    va_end(args);
    // Only the module's own system calls: the futex calls that inlined waits
    // make from its code are the C++ runtime's business.
    const bool own =
        number == SYS_pidfd_open || number == SYS_pidfd_send_signal || number == SYS_tgkill;
    if (own && failing(e_syscall, CALLER)) return fail();
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
EXPORT int pipe2(int fds[2], int flags) {
    REAL(pipe2);
    if (failing(e_pipe2, CALLER)) return fail();
    return real_pipe2(fds, flags);
}
EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attributes, char* const argv[],
                       char* const envp[]) {
    REAL(posix_spawn);
    if (failing(e_posix_spawn, CALLER)) return target_errno.load();
    return real_posix_spawn(pid, path, actions, attributes, argv, envp);
}
EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attributes, char* const argv[],
                        char* const envp[]) {
    REAL(posix_spawnp);
    if (failing(e_posix_spawn, CALLER)) return target_errno.load();
    return real_posix_spawnp(pid, file, actions, attributes, argv, envp);
}
EXPORT int poll(pollfd* fds, nfds_t count, int timeout) {
    REAL(poll);
    if (failing(e_poll, CALLER)) return fail();
    return real_poll(fds, count, timeout);
}
EXPORT pid_t waitpid(pid_t pid, int* status, int options) {
    REAL(waitpid);
    if (failing(e_waitpid, CALLER)) return fail();
    return real_waitpid(pid, status, options);
}
EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*start)(void*), void* argument) {
    REAL(pthread_create);
    if (failing(e_pthread_create, CALLER)) return target_errno.load();
    return real_pthread_create(thread, attributes, start, argument);
}
EXPORT int nanosleep(const timespec* request, timespec* remaining) {
    REAL(nanosleep);
    if (failing(e_nanosleep, CALLER)) {
        if (remaining != nullptr) *remaining = *request;
        return fail();
    }
    if (module.holds(CALLER)) {
        pthread_mutex_lock(&gate_mutex);
        ++sleepers;
        const bool gated = gate_closed;
        while (gate_closed) pthread_cond_wait(&gate_opened, &gate_mutex);
        --sleepers;
        pthread_mutex_unlock(&gate_mutex);
        if (gated) return 0;  // the sleep is what the gate stood for
    }
    return real_nanosleep(request, remaining);
}
EXPORT long sysconf(int name) {
    REAL(sysconf);
    if (failing(e_sysconf, CALLER)) return fail();
    return real_sysconf(name);
}
EXPORT DIR* opendir(const char* path) {
    REAL(opendir);
    if (failing(e_opendir, CALLER, path)) return fail(), nullptr;
    DIR* dir = real_opendir(path);
    if (dir != nullptr) remember(dirfd(dir), path);
    return dir;
}
EXPORT int access(const char* path, int mode) {
    REAL(access);
    if (failing(e_access, CALLER, path)) return fail();
    return real_access(path, mode);
}
EXPORT void* calloc(size_t count, size_t size) {
    // dlsym may itself allocate with calloc: until the real one is known, a
    // static arena answers.
    static void* (*real_calloc)(size_t, size_t) = nullptr;
    static bool looking = false;
    if (real_calloc == nullptr) {
        if (looking) {
            static char arena[4096] __attribute__((aligned(16)));
            return count * size <= sizeof arena ? arena : nullptr;
        }
        looking = true;
        real_calloc = real<void* (*)(size_t, size_t)>("calloc");
        looking = false;
    }
    if (failing(e_calloc, CALLER)) return fail(), nullptr;
    return real_calloc(count, size);
}
EXPORT int clock_gettime(clockid_t clock, timespec* now) {
    REAL(clock_gettime);
    const int status = real_clock_gettime(clock, now);
    if (status == 0 && clock == CLOCK_MONOTONIC && module.holds(CALLER)) {
        const long long ns = now->tv_sec * 1'000'000'000ll + now->tv_nsec + clock_offset_ns.load();
        now->tv_sec = ns / 1'000'000'000;
        now->tv_nsec = ns % 1'000'000'000;
    }
    return status;
}

}  // extern "C"

// Allocations through the C++ runtime: the throwing forms throw, the others answer null.
namespace {
void* allocate(std::size_t size, const void* caller, bool throws) {
    if (failing(e_new, caller)) {
        if (throws) throw std::bad_alloc();
        return nullptr;
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    if (throws) throw std::bad_alloc();
    return nullptr;
}
}  // namespace

EXPORT void* operator new(std::size_t size) { return allocate(size, CALLER, true); }
EXPORT void* operator new[](std::size_t size) { return allocate(size, CALLER, true); }
EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, CALLER, false);
}
EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, CALLER, false);
}
EXPORT void operator delete(void* p) noexcept { std::free(p); }
EXPORT void operator delete[](void* p) noexcept { std::free(p); }
EXPORT void operator delete(void* p, std::size_t) noexcept { std::free(p); }
EXPORT void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
