#include "process_sockets.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

namespace lumenstat::nettop {

namespace {

class Directory {
public:
    explicit Directory(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~Directory() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

// The inode of a "socket:[INODE]" link; 0 for any other link.
std::uint64_t socket_inode(std::string_view link) {
    constexpr std::string_view kPrefix = "socket:[";
    if (!link.starts_with(kPrefix) || !link.ends_with(']')) return 0;
    std::uint64_t inode = 0;
    const char* last = link.data() + link.size() - 1;
    auto [end, error] = std::from_chars(link.data() + kPrefix.size(), last, inode);
    return error == std::errc() && end == last ? inode : 0;
}

}  // namespace

int list_socket_descriptors(int pid, std::vector<SocketDescriptor>& sockets) {
    sockets.clear();
    Directory fds("/proc/" + std::to_string(pid) + "/fd");
    if (fds.get() == nullptr) return errno;
    const int dir_fd = ::dirfd(fds.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(fds.get());
        if (entry == nullptr) {
            if (errno != 0) return errno;
            break;
        }
        std::string_view name = entry->d_name;
        int fd = 0;
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
        if (error != std::errc() || end != name.data() + name.size()) continue;  // "." and ".."
        char link[64];
        ssize_t length = ::readlinkat(dir_fd, entry->d_name, link, sizeof(link));
        if (length <= 0) continue;  // closed meanwhile
        std::uint64_t inode =
            socket_inode(std::string_view(link, static_cast<std::size_t>(length)));
        if (inode != 0) sockets.push_back({fd, inode});
    }
    std::sort(sockets.begin(), sockets.end(),
              [](const SocketDescriptor& a, const SocketDescriptor& b) { return a.fd < b.fd; });
    return 0;
}

}  // namespace lumenstat::nettop
