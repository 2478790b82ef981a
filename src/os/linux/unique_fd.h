// An owned file descriptor, closed on every way out; closing leaves errno as
// the failed call before it set it.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace lumenstat::os {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace lumenstat::os
