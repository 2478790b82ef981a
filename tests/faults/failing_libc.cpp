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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

namespace {

// The entries that can be made to fail, named as the sweep names them.
constexpr const char* kEntries[] = {
    "open",    "read",   "readlink",   "readdir", "getdents64",     "fstatat",          "statx",
    "fstatfs", "socket", "setsockopt", "sendto",  "recv",           "process_vm_readv", "syscall",
    "pipe2",   "clone",  "poll",       "waitpid", "pthread_create", "nanosleep",        "sysconf",
    "opendir", "access", "calloc",     "new",
};
constexpr int kEntryCount = sizeof kEntries / sizeof kEntries[0];

struct Range {
    std::uintptr_t low = 0, high = 0;
    bool holds(const void* at) const {
        return std::uintptr_t(at) >= low && std::uintptr_t(at) < high;
    }
};

Range module, cxx_runtime;
std::atomic<bool> armed{false}, fired{false}, target_shortens{false}, target_focused{false};
// Each entry's calls since lfi_arm, all of them and those about the focus (a
// path containing `focus`, the caller's own process's files, which the sweep
// makes sure to try; helper threads make them in no fixed order among the others).
std::atomic<long> counts[kEntryCount], focus_counts[kEntryCount], target_call{0};
std::atomic<int> target{-1}, target_errno{0};
std::atomic<long long> clock_offset_ns{0};
// While the gate is closed, the module's sleeps wait for it to open, so that
// a tracker polls once and then waits for the sweep to stop it.
pthread_mutex_t gate_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gate_opened = PTHREAD_COND_INITIALIZER;
bool gate_closed = false;
int sleepers = 0;

// The paths the module's descriptors were opened with, so that a failure of
// a read names the file it was about; and the path the failed call was about.
constexpr int kPathLength = 256;
char fd_paths[1024][kPathLength];
char subject[kPathLength], focus[kPathLength];

const char* path_of(int fd) { return fd >= 0 && fd < 1024 ? fd_paths[fd] : ""; }
int remember(int fd, const char* path) {
    if (fd >= 0 && fd < 1024) std::snprintf(fd_paths[fd], kPathLength, "%s", path);
    return fd;
}

int entry_index(const char* name) {
    for (int i = 0; name != nullptr && i < kEntryCount; ++i) {
        if (std::strcmp(name, kEntries[i]) == 0) return i;
    }
    return -1;
}

// Whether this call is the one to fail: counts it when it comes from the
// module, and notes the path it was about.
bool failing(const char* name, const void* caller, const char* path = "") {
    if (!armed.load(std::memory_order_acquire)) return false;
    const int entry = entry_index(name);
    if (!module.holds(caller) && !(entry == kEntryCount - 1 && cxx_runtime.holds(caller))) {
        return false;
    }
    long call = counts[entry].fetch_add(1) + 1;
    if (focus[0] != 0 && std::strstr(path, focus) != nullptr) {
        const long slot = focus_counts[entry].fetch_add(1) + 1;
        if (target_focused) call = slot;
    } else if (target_focused) {
        return false;
    }
    if (entry != target.load() || call != target_call.load()) return false;
    std::snprintf(subject, kPathLength, "%s", path);
    return fired = true;
}
int fail(int result = -1) { return errno = target_errno.load(), result; }

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static auto real_##name = real<decltype(&::name)>(#name)

// The address range of the loaded object whose path contains `fragment`.
Range find_image(const char* fragment) {
    std::pair<const char*, Range> search{fragment, {}};  // what to look for, what was found
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& [fragment, range] = *static_cast<std::pair<const char*, Range>*>(data);
            if (info->dlpi_name == nullptr || !std::strstr(info->dlpi_name, fragment)) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (range.low == 0 || start < range.low) range.low = start;
                range.high = std::max(range.high, start + segment.p_memsz);
            }
            return 1;
        },
        &search);
    return search.second;
}

}  // namespace

#define EXPORT __attribute__((visibility("default")))
#define CALLER __builtin_return_address(0)

extern "C" {

// Control, called by the sweep through ctypes. The module is the object whose
// path holds `fragment`; the focus, the paths holding `focused_path`.
EXPORT int lfi_watch(const char* fragment, const char* focused_path) {
    module = find_image(fragment);
    cxx_runtime = find_image("libstdc++");
    std::snprintf(focus, kPathLength, "%s", focused_path);
    return module.low != 0;
}
// Counts from zero; call `call` of `entry` (none when entry is NULL), or its
// call `call` about the focus when `focused`, fails with `error`, or is cut
// short when `shortens`.
EXPORT void lfi_arm(const char* entry, long call, int error, int shortens, int focused) {
    for (int i = 0; i < kEntryCount; ++i) counts[i] = focus_counts[i] = 0;
    target = entry_index(entry);
    target_call = call;
    target_errno = error;
    target_shortens = shortens != 0;
    target_focused = focused != 0;
    fired = false;
    subject[0] = 0;
    armed.store(true, std::memory_order_release);
}
EXPORT void lfi_disarm() { armed = false; }
EXPORT int lfi_fired() { return fired; }
EXPORT const char* lfi_subject() { return subject; }
// How many calls of `entry` (only those about the focus, when `focused`) since lfi_arm.
EXPORT long lfi_count(const char* entry, int focused) {
    return (focused ? focus_counts : counts)[entry_index(entry)].load();
}
EXPORT void lfi_advance_clock(long long ns) { clock_offset_ns += ns; }
// Closes or opens the gate; answers how many of the module's sleeps wait at it.
EXPORT int lfi_gate(int closed) {
    pthread_mutex_lock(&gate_mutex);
    if (closed >= 0) gate_closed = closed != 0;
    pthread_cond_broadcast(&gate_opened);
    const int waiting = sleepers;
    pthread_mutex_unlock(&gate_mutex);
    return waiting;
}

// An entry, counted as `entry`, that answers `failed` when its call is the
// one, and is passed on otherwise.
#define FAILING(type, name, entry, path, failed, params, args)           \
    EXPORT type name params {                                            \
        REAL(name);                                                      \
        return failing(entry, CALLER, path) ? failed : real_##name args; \
    }
// One that is also cut short, to half of what was asked, when `shortens`.
#define SHORTENING(name, path, params, size, args) \
    EXPORT ssize_t name params {                   \
        REAL(name);                                \
        if (failing(#name, CALLER, path)) {        \
            if (!target_shortens) return fail();   \
            size = size > 1 ? size / 2 : size;     \
        }                                          \
        return real_##name args;                   \
    }

FAILING(ssize_t, readlink, "readlink", p, fail(), (const char* p, char* to, size_t n), (p, to, n))
FAILING(ssize_t, readlinkat, "readlink", p, fail(), (int d, const char* p, char* to, size_t n),
        (d, p, to, n))
FAILING(dirent*, readdir, "readdir", path_of(dirfd(d)), (fail(), nullptr), (DIR * d), (d))
FAILING(dirent64*, readdir64, "readdir", path_of(dirfd(d)), (fail(), nullptr), (DIR * d), (d))
FAILING(ssize_t, getdents64, "getdents64", path_of(fd), fail(), (int fd, void* to, size_t n),
        (fd, to, n))
FAILING(int, fstatat, "fstatat", p, fail(), (int d, const char* p, struct stat* to, int f),
        (d, p, to, f))
FAILING(int, statx, "statx", p[0] != 0 ? p : path_of(d), fail(),
        (int d, const char* p, int f, unsigned mask, struct statx* to), (d, p, f, mask, to))
FAILING(int, fstatfs, "fstatfs", path_of(fd), fail(), (int fd, struct statfs* to), (fd, to))
FAILING(int, socket, "socket", "", fail(), (int domain, int type, int p), (domain, type, p))
FAILING(int, setsockopt, "setsockopt", "", fail(),
        (int fd, int level, int name, const void* value, socklen_t n), (fd, level, name, value, n))
FAILING(ssize_t, sendto, "sendto", "netlink", fail(),
        (int fd, const void* data, size_t n, int f, const sockaddr* to, socklen_t length),
        (fd, data, n, f, to, length))
FAILING(int, pipe2, "pipe2", "", fail(), (int fds[2], int f), (fds, f))
FAILING(int, poll, "poll", "", fail(), (pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
FAILING(pid_t, waitpid, "waitpid", "", fail(), (pid_t pid, int* status, int f), (pid, status, f))
FAILING(int, pthread_create, "pthread_create", "", target_errno.load(),
        (pthread_t * thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg),
        (thread, attributes, start, arg))
FAILING(long, sysconf, "sysconf", "", fail(), (int name), (name))
FAILING(int, access, "access", p, fail(), (const char* p, int mode), (p, mode))
FAILING(int, faccessat, "access", p, fail(), (int d, const char* p, int mode, int f),
        (d, p, mode, f))
SHORTENING(read, path_of(fd), (int fd, void* buffer, size_t count), count, (fd, buffer, count))
SHORTENING(recv, "netlink", (int fd, void* buffer, size_t n, int f), n, (fd, buffer, n, f))

// Both open forms, with the file's whole path noted for its reads. The mode
// argument is there only when a file may be created.
static int opened(const void* caller, int dir, const char* path, int flags, va_list rest) {
    REAL(openat);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    char full[kPathLength];
    std::snprintf(full, sizeof full, "%s%s%s", path[0] == '/' ? "" : path_of(dir),
                  path[0] == '/' || dir == AT_FDCWD ? "" : "/", path);
    return failing("open", caller, full) ? fail()
                                         : remember(real_openat(dir, path, flags, mode), full);
}
#define OPENING(name, dir, params)                             \
    EXPORT int name params {                                   \
        va_list rest;                                          \
        va_start(rest, flags);                                 \
        const int fd = opened(CALLER, dir, path, flags, rest); \
        va_end(rest);                                          \
        return fd;                                             \
    }
OPENING(open, AT_FDCWD, (const char* path, int flags, ...))
OPENING(openat, dir, (int dir, const char* path, int flags, ...))
EXPORT DIR* opendir(const char* path) {
    REAL(opendir);
    if (failing("opendir", CALLER, path)) return fail(), nullptr;
    DIR* dir = real_opendir(path);
    if (dir != nullptr) remember(dirfd(dir), path);
    return dir;
}

EXPORT ssize_t process_vm_readv(pid_t pid, const iovec* local, unsigned long local_count,
                                const iovec* remote, unsigned long remote_count,
                                unsigned long flags) {
    REAL(process_vm_readv);
    iovec half{};  // the first piece only, and half of it
    if (failing("process_vm_readv", CALLER, "memory")) {
        if (!target_shortens || local_count == 0) return fail();
        half = {local[0].iov_base, local[0].iov_len / 2};
        local = &half;
        local_count = 1;
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
    if (own && failing("syscall", CALLER)) return fail();
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
// The go-between that starts a program, and the program's own start (its
// stack and the ids and thread storage the flags may ask for come after `arg`).
EXPORT int clone(int (*function)(void*), void* stack, int flags, void* arg, ...) {
    REAL(clone);
    va_list rest;
    va_start(rest, arg);
    pid_t* parent_tid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    pid_t* child_tid = va_arg(rest, pid_t*);
    va_end(rest);
    if (failing("clone", CALLER)) return fail();
    return real_clone(function, stack, flags, arg, parent_tid, tls, child_tid);
}
EXPORT int nanosleep(const timespec* request, timespec* remaining) {
    REAL(nanosleep);
    if (failing("nanosleep", CALLER)) {
        if (remaining != nullptr) *remaining = *request;
        return fail();
    }
    if (!module.holds(CALLER)) return real_nanosleep(request, remaining);
    pthread_mutex_lock(&gate_mutex);
    ++sleepers;
    const bool gated = gate_closed;
    while (gate_closed) pthread_cond_wait(&gate_opened, &gate_mutex);
    --sleepers;
    pthread_mutex_unlock(&gate_mutex);
    return gated ? 0 : real_nanosleep(request, remaining);  // the sleep is what the gate stood for
}
EXPORT void* calloc(size_t count, size_t size) {
    // dlsym may itself allocate with calloc: until the real one is known, a
    // static arena answers.
    static void* (*real_calloc)(size_t, size_t) = nullptr;
    static bool looking = false;
    if (real_calloc == nullptr) {
        static char arena[4096] __attribute__((aligned(16)));
        if (looking) return count * size <= sizeof arena ? arena : nullptr;
        looking = true;
        real_calloc = real<void* (*)(size_t, size_t)>("calloc");
        looking = false;
    }
    return failing("calloc", CALLER) ? (fail(), nullptr) : real_calloc(count, size);
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

// Allocations through the C++ runtime. Its other forms (arrays, nothrow) call
// this one from the runtime, whose calls count too, and its deletes free.
EXPORT void* operator new(std::size_t size) {
    void* p = failing("new", CALLER) ? nullptr : std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
