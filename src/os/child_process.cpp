#include "os/child_process.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>

namespace lumenstat::os {

namespace {

bool set_close_on_exec(int fd) {
#if defined(__linux__)
    (void)fd;  // pipe2 did
    return true;
#else
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
#endif
}

// Moves `end` above 2 when it landed on a standard descriptor that the
// process had closed.
bool above_standard(Descriptor& end) {
    if (end.get() > 2) return true;
    const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    end.reset(moved);
    return true;
}

bool open_pipe(Descriptor& read_end, Descriptor& write_end) {
    int ends[2];
#if defined(__linux__)
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
#else
    if (::pipe(ends) != 0) return false;
#endif
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return set_close_on_exec(ends[0]) && set_close_on_exec(ends[1]) && above_standard(read_end) &&
           above_standard(write_end);
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

int read_to_end(Descriptor& out, Descriptor& err, ChildOutput& output) {
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

}  // namespace

bool open_output_pipes(OutputPipes& pipes) {
    return open_pipe(pipes.output_read, pipes.output_write) &&
           open_pipe(pipes.error_read, pipes.error_write);
}

int drain(OutputPipes& pipes, ChildOutput& output) {
    const int failure = read_to_end(pipes.output_read, pipes.error_read, output);
    if (failure != 0) {
        pipes.output_read.reset();
        pipes.error_read.reset();
    }
    return failure;
}

}  // namespace lumenstat::os
