// Small reads of kernel text files for the CPU part of the Linux personality.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace lumenstat::os::linux_cpu {

// Reads the file at path into out, stopping early once `enough` returns true
// for what has been read so far (kernel text files are generated as they are
// read, so stopping early saves work). False when the file cannot be opened
// or read.
template <class Enough>
bool read_text(const char* path, std::string& out, Enough enough) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    std::size_t used = 0;
    bool ok = true;
    for (;;) {
        if (out.size() - used < 4096) out.resize(used + 8192);
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
        if (enough(std::string_view(out.data(), used))) break;
    }
    ::close(fd);
    out.resize(used);
    return ok;
}

inline bool read_text(const char* path, std::string& out) {
    return read_text(path, out, [](std::string_view) { return false; });
}

}  // namespace lumenstat::os::linux_cpu
