// Starting a program on Linux so that its exit status is had whatever the
// process does with SIGCHLD.
//
// The kernel keeps a child's exit status only for a parent that neither
// ignores SIGCHLD nor asked for SA_NOCLDWAIT; otherwise it reaps the child as
// it exits, and waitpid finds nothing. A library cannot choose that for the
// process it lives in, and giving the child another exit signal does not last:
// execve makes it SIGCHLD again. So the program is started and waited for by a
// go-between: a process that shares this process's memory, as posix_spawn's
// child does, but has signal dispositions of its own, SIGCHLD at its default.
// It starts the program, waits for it, leaves the wait status in memory this
// process reads, and ends. It has no exit signal itself, so the kernel keeps
// it until it is waited for with __WALL, and a waitpid(-1) elsewhere in the
// process (a SIGCHLD handler that reaps every child) sees neither it nor the
// program.
//
// The calling thread makes the go-between with CLONE_VFORK and sleeps until it
// has ended, while a thread of its own reads the program's output. The
// go-between and the program before its execve use the sleeping thread's
// thread-local storage (errno), run on stacks of their own, touch nothing but
// the plan, call nothing but system calls, and start with every signal
// blocked: no handler of this process may run in them.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>

#include "os/child_process.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
#define LUMENSTAT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMENSTAT_THREAD_SANITIZER 1
#endif
#endif

#if defined(LUMENSTAT_THREAD_SANITIZER)
// ThreadSanitizer takes every clone for a fork and resets its own state in
// the child, which is this process's state when the child shares its memory.
// glibc's own name for the call is not intercepted.
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);
#define LUMENSTAT_CLONE __clone
#else
#define LUMENSTAT_CLONE ::clone
#endif

// The children's code: sanitizers keep their state per thread of this
// process, which a child must not change.
#if defined(__clang__)
#define LUMENSTAT_CHILD_CODE [[clang::disable_sanitizer_instrumentation]] [[gnu::noinline]]
#else
#define LUMENSTAT_CHILD_CODE \
    [[gnu::no_sanitize("address", "thread", "undefined")]] [[gnu::noinline]]
#endif

namespace lumenstat::os {

namespace {

// The kernel's signal sets: 64 signals, 128 on MIPS.
constexpr long kSignalSetBytes = (_NSIG - 1) / 8;

// What the children do and what they leave. Everything they hand the kernel
// is prepared here, so that they compute nothing: SIG_DFL with no flags and
// an empty mask is all zeros in the kernel's struct sigaction on every
// architecture, and so is an empty signal set.
struct Plan {
    const char* path = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int output_fd = -1;
    int error_fd = -1;
    char* program_stack = nullptr;
    // Signals the caller ignores, which the program ignores too; SIGPIPE and
    // SIGCHLD are never among them.
    bool ignored[_NSIG] = {};
    alignas(8) unsigned char default_action[64] = {};
    std::uint64_t no_signals[2] = {};

    // Written by the children.
    int start_error = 0;
    int wait_status = 0;
    bool waited = false;
};

[[noreturn]] LUMENSTAT_CHILD_CODE void end_child(int code) {
    ::syscall(SYS_exit, code);
    __builtin_unreachable();
}

// The program's side, in the go-between's memory while the go-between sleeps.
LUMENSTAT_CHILD_CODE int start_program(void* argument) {
    Plan& plan = *static_cast<Plan*>(argument);
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, plan.no_signals, nullptr, kSignalSetBytes);
    ::syscall(SYS_execve, plan.path, plan.argv, plan.envp);
    plan.start_error = errno;
    end_child(127);
}

// Standard input from /dev/null, the pipes on 1 and 2, and no other
// descriptor for the program, nor held by the go-between while it waits
// (where the kernel can close a range; before 5.9 the descriptors that close
// on exec are all the program loses).
LUMENSTAT_CHILD_CODE bool place_descriptors(const Plan& plan) {
    if (::syscall(SYS_dup3, plan.output_fd, 1, 0) < 0) return false;
    if (::syscall(SYS_dup3, plan.error_fd, 2, 0) < 0) return false;
    const long null = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY);
    if (null < 0) return false;
    if (null != 0) {
        if (::syscall(SYS_dup3, null, 0, 0) < 0) return false;
        ::syscall(SYS_close, null);
    }
    ::syscall(SYS_close_range, 3u, ~0u, 0u);
    return true;
}

LUMENSTAT_CHILD_CODE int go_between(void* argument) {
    Plan& plan = *static_cast<Plan*>(argument);
    for (int signal = 1; signal < _NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || plan.ignored[signal]) continue;
        ::syscall(SYS_rt_sigaction, signal, plan.default_action, nullptr, kSignalSetBytes);
    }
    if (!place_descriptors(plan)) {
        plan.start_error = errno;
        end_child(0);
    }
    const long program =
        LUMENSTAT_CLONE(start_program, plan.program_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    if (program < 0) {
        plan.start_error = errno;
        end_child(0);
    }
    int status = 0;
    // Every signal is blocked: nothing interrupts the wait.
    if (::syscall(SYS_wait4, program, &status, 0, nullptr) == program && plan.start_error == 0) {
        plan.wait_status = status;
        plan.waited = true;
    }
    end_child(0);
}

// The go-between's stack above the program's, each of 64 KiB.
class ChildStacks {
public:
    static constexpr std::size_t kEach = 64 * 1024;
    ChildStacks()
        : base_(::mmap(nullptr, 2 * kEach, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {}
    ~ChildStacks() {
        if (base_ != MAP_FAILED) ::munmap(base_, 2 * kEach);
    }
    ChildStacks(const ChildStacks&) = delete;
    ChildStacks& operator=(const ChildStacks&) = delete;

    bool mapped() const { return base_ != MAP_FAILED; }
    char* go_between_top() const { return static_cast<char*>(base_) + 2 * kEach; }
    char* program_top() const { return static_cast<char*>(base_) + kEach; }

private:
    void* base_;
};

// Blocks every signal of the calling thread, glibc's own included, and
// restores the mask it had when it goes.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        const std::uint64_t all[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, all, saved_, kSignalSetBytes);
    }
    ~AllSignalsBlocked() {
        const int error = errno;
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, saved_, nullptr, kSignalSetBytes);
        errno = error;
    }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    std::uint64_t saved_[2] = {};
};

void note_ignored_signals(Plan& plan) {
    for (int signal = 1; signal < _NSIG; ++signal) {
        struct sigaction current {};
        plan.ignored[signal] = signal != SIGPIPE && signal != SIGCHLD &&
                               ::sigaction(signal, nullptr, &current) == 0 &&
                               current.sa_handler == SIG_IGN;
    }
}

// Runs the go-between to its end: its pid, or -1 with errno.
pid_t run_go_between(Plan& plan, const ChildStacks& stacks) {
    AllSignalsBlocked blocked;
    return LUMENSTAT_CLONE(go_between, stacks.go_between_top(), CLONE_VM | CLONE_VFORK, &plan);
}

void reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, __WALL) < 0 && errno == EINTR) {
    }
}

// Reads the pipes to their end on a thread of its own, from construction
// (which throws std::system_error when no thread can be made) until finish().
class OutputReader {
public:
    OutputReader(OutputPipes& pipes, ChildOutput& output)
        : thread_([this, &pipes, &output] { read(pipes, output); }) {}
    OutputReader(const OutputReader&) = delete;
    OutputReader& operator=(const OutputReader&) = delete;
    ~OutputReader() {
        if (thread_.joinable()) thread_.join();
    }

    // Waits for the ends of both pipes: 0, or the errno that ended the reading.
    int finish() {
        thread_.join();
        return failure_;
    }

private:
    void read(OutputPipes& pipes, ChildOutput& output) {
        try {
            failure_ = drain(pipes, output);
        } catch (const std::bad_alloc&) {
            failure_ = ENOMEM;
            pipes.output_read.reset();
            pipes.error_read.reset();
        }
    }

    int failure_ = 0;
    std::thread thread_;
};

}  // namespace

int spawn_and_collect(const char* path, const char* const* argv, ChildOutput& output) {
    output = ChildOutput{};
    OutputPipes pipes;
    if (!open_output_pipes(pipes)) return -1;
    ChildStacks stacks;
    if (!stacks.mapped()) return -1;
    Plan plan;
    plan.path = path;
    plan.argv = const_cast<char* const*>(argv);
    plan.envp = environ;
    plan.output_fd = pipes.output_write.get();
    plan.error_fd = pipes.error_write.get();
    plan.program_stack = stacks.program_top();
    note_ignored_signals(plan);

    pid_t go_between = -1;
    int start_failure = 0;
    int read_failure = 0;
    try {
        OutputReader reader(pipes, output);
        go_between = run_go_between(plan, stacks);
        start_failure = go_between < 0 ? errno : plan.start_error;
        // The reader sees the ends of the pipes once the program, and
        // whatever it left running, is done with them.
        pipes.output_write.reset();
        pipes.error_write.reset();
        read_failure = reader.finish();
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return -1;
    }
    if (go_between > 0) reap(go_between);
    if (start_failure != 0) {
        errno = start_failure;
        return -1;
    }
    if (plan.waited) output.wait_status = plan.wait_status;
    if (read_failure != 0) {
        errno = read_failure;
        return -1;
    }
    return 0;
}

}  // namespace lumenstat::os
