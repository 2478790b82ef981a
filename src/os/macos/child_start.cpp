// Starting a program on macOS: posix_spawn, then its output read to the end,
// then waitpid. With SIGCHLD ignored the kernel reaps the child itself, and
// its wait status is lost.
//
// Our headers come first: the SDK defines many Darwin names as macros.
#include "os/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <optional>

extern char** environ;

namespace lumenstat::os {

namespace {

class FileActions {
public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class Attributes {
public:
    Attributes() { ::posix_spawnattr_init(&attributes_); }
    ~Attributes() { ::posix_spawnattr_destroy(&attributes_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// The interpreter ignores SIGPIPE and a calling thread may block signals:
// the child starts with neither, as a program run from a shell would, and
// with no descriptor but the three standard ones.
int prepare(Attributes& attributes) {
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    const short flags =
        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_CLOEXEC_DEFAULT;
    int failed = ::posix_spawnattr_setflags(attributes.get(), flags);
    if (failed == 0) failed = ::posix_spawnattr_setsigmask(attributes.get(), &none);
    if (failed == 0) failed = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    return failed;
}

int prepare(FileActions& actions, const OutputPipes& pipes) {
    int failed = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (failed == 0) {
        failed = ::posix_spawn_file_actions_adddup2(actions.get(), pipes.output_write.get(), 1);
    }
    if (failed == 0) {
        failed = ::posix_spawn_file_actions_adddup2(actions.get(), pipes.error_write.get(), 2);
    }
    return failed;
}

std::optional<int> wait_for(pid_t child) {
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child) return std::nullopt;
    return status;
}

}  // namespace

int spawn_and_collect(const char* path, const char* const* argv, ChildOutput& output) {
    output = ChildOutput{};
    OutputPipes pipes;
    if (!open_output_pipes(pipes)) return -1;
    FileActions actions;
    Attributes attributes;
    int failed = prepare(actions, pipes);
    if (failed == 0) failed = prepare(attributes);
    pid_t child = -1;
    if (failed == 0) {
        failed = ::posix_spawn(&child, path, actions.get(), attributes.get(),
                               const_cast<char* const*>(argv), environ);
    }
    if (failed != 0) {
        errno = failed;
        return -1;
    }
    pipes.output_write.reset();
    pipes.error_write.reset();
    const int read_failure = drain(pipes, output);
    output.wait_status = wait_for(child);
    if (read_failure != 0) {
        errno = read_failure;
        return -1;
    }
    return 0;
}

}  // namespace lumenstat::os
