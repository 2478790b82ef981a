// proc_listpids and the PROC_PIDLISTFDS listing of the Linux personality.
// Each descriptor's type comes from its /proc/PID/fd link: "socket:[INODE]",
// "pipe:[INODE]", "anon_inode:[eventpoll]" or a path.
#include "os/linux/socket/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "os/darwin_socket.h"
#include "os/linux/storage/directory_entries.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"
#include "os/linux/socket/socket_walk.h"
#include "os/linux/unique_dir.h"
#include "os/linux/unique_fd.h"

namespace lumenstat::os {

namespace {

bool parse_int(std::string_view text, int& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Room for the entries of about two thousand descriptors per system call.
std::vector<char>& entry_buffer() {
    thread_local std::vector<char> buffer(64 * 1024);
    return buffer;
}

struct Descriptor {
    std::uint32_t type;
    std::uint64_t socket_inode;
};

Descriptor classify_link(std::string_view link) {
    constexpr std::string_view socket_prefix = "socket:[";
    if (link.starts_with(socket_prefix) && link.ends_with(']')) {
        std::uint64_t inode = 0;
        std::string_view digits = link.substr(socket_prefix.size());
        digits.remove_suffix(1);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
        if (error == std::errc() && end == digits.data() + digits.size()) {
            return {darwin::PROX_FDTYPE_SOCKET, inode};
        }
    }
    if (link.starts_with("pipe:[")) {
        return {darwin::PROX_FDTYPE_PIPE, 0};
    }
    if (link == "anon_inode:[eventpoll]") {
        return {darwin::PROX_FDTYPE_KQUEUE, 0};
    }
    return {darwin::PROX_FDTYPE_VNODE, 0};
}

}  // namespace

int LinuxSystem::proc_listpids(std::uint32_t type, std::uint32_t, void* buffer, int buffersize) {
    if (type != darwin::PROC_ALL_PIDS) {
        errno = ENOTSUP;
        return 0;
    }
    UniqueDir proc(::opendir("/proc"));
    if (proc.get() == nullptr) {
        return 0;
    }
    std::vector<int> pids;
    pids.reserve(512);
    if (!procfs::list_pids(proc.get(), pids)) {
        return 0;
    }
    if (buffer == nullptr) {
        // Room for processes started before the caller's second call.
        return static_cast<int>((pids.size() + 32) * sizeof(int));
    }
    std::sort(pids.begin(), pids.end());
    std::size_t room = buffersize > 0 ? static_cast<std::size_t>(buffersize) / sizeof(int) : 0;
    std::size_t count = std::min(room, pids.size());
    std::memcpy(buffer, pids.data(), count * sizeof(int));
    if (linux_sockets::SocketWalk* walk = linux_sockets::current_walk()) {
        walk->begin(std::span<const int>(pids.data(), count));
    }
    return static_cast<int>(count * sizeof(int));
}

namespace linux_descriptors {

namespace {

// Reads the descriptor table of `pid`: at most `room` entries into `out`, or
// only their count when `out` is null. The count, or -1 with errno set.
long read_table(int pid, std::size_t room, linux_sockets::DescriptorListing* out) {
    char path[64];
    if (pid < 0 || !procfs::pid_path(path, sizeof(path), pid, "fd")) {
        errno = ESRCH;
        return -1;
    }
    UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        errno = procfs::process_errno(errno);
        return -1;
    }
    long count = 0;
    // The entries are read straight into one buffer, a few system calls fewer
    // per process than a stream of the directory costs.
    std::vector<char>& entries = entry_buffer();
    for (bool full = false; !full;) {
        long got = ::getdents64(dir.get(), entries.data(), entries.size());
        if (got < 0) {
            return -1;  // the process exited while being read
        }
        if (got == 0) {
            break;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            std::optional<std::string_view> name = linux_directories::next_entry_name(
                std::span<const char>(entries.data(), static_cast<std::size_t>(got)), at);
            if (!name) {
                errno = EIO;
                return -1;
            }
            int number;
            if (!parse_int(*name, number)) {
                continue;  // "." and ".."
            }
            if (out == nullptr) {
                ++count;
                continue;
            }
            if (static_cast<std::size_t>(count) == room) {
                full = true;
                break;
            }
            char link[64];
            ssize_t length = ::readlinkat(dir.get(), name->data(), link, sizeof(link));
            if (length < 0 && (errno == EACCES || errno == EPERM)) {
                // The links of a process are all or none open to the caller,
                // and Darwin refuses a process it may not inspect as a whole.
                errno = EPERM;
                return -1;
            }
            if (length < 0) {
                continue;  // closed since the directory was read
            }
            Descriptor descriptor =
                classify_link(std::string_view(link, static_cast<std::size_t>(length)));
            if (descriptor.type == darwin::PROX_FDTYPE_SOCKET) {
                out->sockets.emplace_back(number, descriptor.socket_inode);
            }
            out->entries.push_back(darwin::proc_fdinfo{number, descriptor.type});
            ++count;
        }
    }
    if (out != nullptr) {
        std::sort(out->sockets.begin(), out->sockets.end());
    }
    return count;
}

}  // namespace

void read_listing(int pid, std::size_t room, linux_sockets::DescriptorListing& out) {
    out.entries.clear();
    out.sockets.clear();
    out.error = read_table(pid, room, &out) < 0 ? errno : 0;
}

int list_descriptors(int pid, void* buffer, int buffersize) {
    linux_sockets::SocketWalk* walk = linux_sockets::current_walk();
    if (buffer == nullptr) {
        if (walk != nullptr) {
            const linux_sockets::DescriptorListing& probed = walk->probe_listing(pid);
            if (probed.error != 0) {
                errno = probed.error;
                return 0;
            }
            return static_cast<int>(probed.entries.size() * sizeof(darwin::proc_fdinfo));
        }
        long count = read_table(pid, 0, nullptr);
        return count < 0 ? 0 : static_cast<int>(count * sizeof(darwin::proc_fdinfo));
    }
    std::size_t room =
        buffersize > 0 ? static_cast<std::size_t>(buffersize) / sizeof(darwin::proc_fdinfo) : 0;
    linux_sockets::DescriptorListing* listing = walk != nullptr ? walk->fill_listing(pid) : nullptr;
    if (listing == nullptr) {
        thread_local linux_sockets::DescriptorListing own;
        read_listing(pid, room, own);
        listing = &own;
    }
    if (listing->error != 0) {
        errno = listing->error;
        return 0;
    }
    std::size_t count = std::min(room, listing->entries.size());
    if (count > 0) {
        std::memcpy(buffer, listing->entries.data(), count * sizeof(darwin::proc_fdinfo));
    }
    if (walk != nullptr) {
        walk->descriptors_listed(pid, std::move(listing->sockets));
    }
    return static_cast<int>(count * sizeof(darwin::proc_fdinfo));
}

}  // namespace linux_descriptors

}  // namespace lumenstat::os
