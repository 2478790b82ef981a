// Running a program and collecting what it writes (System::spawn_collect):
// the pipes and their reading, which macOS and Linux share, and the start,
// which each does its own way (child_start.cpp in macos/ and linux/).
#pragma once

#include <unistd.h>

#include <utility>

#include "os/system.h"

namespace lumenstat::os {

// An owned file descriptor; -1 holds none.
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

// The pipes a child writes its standard output and standard error into.
// Every end closes on exec, so that children other threads start meanwhile
// get none and the pipes end when this child is done with them; and none is
// 0, 1 or 2, so that the child may place its copies there in any order.
struct OutputPipes {
    Descriptor output_read;
    Descriptor output_write;
    Descriptor error_read;
    Descriptor error_write;
};

// False, with errno set, when a pipe cannot be had.
bool open_output_pipes(OutputPipes& pipes);

// Reads both read ends together until each reports its end, so that neither
// can fill and stall the child. 0, or the errno of a failure; both read ends
// are then closed, so that a child that goes on writing stops at EPIPE.
int drain(OutputPipes& pipes, ChildOutput& output);

// As System::spawn_collect for the program at `path`, which is not looked up.
int spawn_and_collect(const char* path, const char* const* argv, ChildOutput& output);

}  // namespace lumenstat::os
