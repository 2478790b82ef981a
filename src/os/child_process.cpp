#include "os/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace lumenstat::os {

namespace {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read;
    Descriptor write;
};

// Both ends close on exec: the child gets only the copies placed on 1 and 2,
// and children that other threads start meanwhile get none, so the pipes
// reach their end when this child is done with them.
bool open_pipe(Pipe& pipe) {
    int ends[2];
#if defined(__linux__)
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
#else
    if (::pipe(ends) != 0) return false;
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
#endif
    pipe.read.reset(ends[0]);
    pipe.write.reset(ends[1]);
    return true;
}

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
// the child starts with neither, as a program run from a shell would.
int prepare(Attributes& attributes) {
    sigset_t none;
    sigset_t pipe_signal;
    sigemptyset(&none);
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    int failed = ::posix_spawnattr_setflags(attributes.get(), flags);
    if (failed == 0) failed = ::posix_spawnattr_setsigmask(attributes.get(), &none);
    if (failed == 0) failed = ::posix_spawnattr_setsigdefault(attributes.get(), &pipe_signal);
    return failed;
}

int prepare(FileActions& actions, const Pipe& out, const Pipe& err) {
    int failed = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), 1);
    if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(actions.get(), err.write.get(), 2);
    return failed;
}

// Reads `fd` once into the end of `text`: false at its end (or on a failure,
// with errno set and `failure` true).
bool read_some(int fd, std::string& text, bool& failure) {
    constexpr std::size_t kChunk = 64 * 1024;
    std::size_t had = text.size();
    text.resize(had + kChunk);
    ssize_t got;
    do {
        got = ::read(fd, text.data() + had, kChunk);
    } while (got < 0 && errno == EINTR);
    text.resize(had + (got > 0 ? static_cast<std::size_t>(got) : 0));
    failure = got < 0;
    return got > 0;
}

// Reads both pipes until each reports its end; 0, or the errno of a failure.
int drain(Descriptor& out, Descriptor& err, ChildOutput& output) {
    while (out.get() >= 0 || err.get() >= 0) {
        pollfd watched[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        Descriptor* ends[2] = {&out, &err};
        std::string* texts[2] = {&output.standard_output, &output.standard_error};
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            bool failure = false;
            if (!read_some(watched[i].fd, *texts[i], failure)) {
                if (failure) return errno;
                ends[i]->reset();
            }
        }
    }
    return 0;
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

int spawn_and_collect(const char* file, const char* const* argv, bool search_path,
                      ChildOutput& output) {
    output = ChildOutput{};
    Pipe out;
    Pipe err;
    if (!open_pipe(out) || !open_pipe(err)) return -1;
    FileActions actions;
    Attributes attributes;
    int failed = prepare(actions, out, err);
    if (failed == 0) failed = prepare(attributes);
    pid_t child = -1;
    if (failed == 0) {
        auto spawn = search_path ? ::posix_spawnp : ::posix_spawn;
        failed = spawn(&child, file, actions.get(), attributes.get(),
                       const_cast<char* const*>(argv), environ);
    }
    if (failed != 0) {
        errno = failed;
        return -1;
    }
    out.write.reset();
    err.write.reset();
    int read_failure = drain(out.read, err.read, output);
    if (read_failure != 0) {
        // Closing the pipes makes a child that goes on writing stop at EPIPE.
        out.read.reset();
        err.read.reset();
    }
    output.wait_status = wait_for(child);
    if (read_failure != 0) {
        errno = read_failure;
        return -1;
    }
    return 0;
}

}  // namespace lumenstat::os
