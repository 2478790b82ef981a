#include "disk/list_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "error.h"
#include "text/utf8.h"

namespace lumenstat {

namespace {

class OpenDirectory {
public:
    OpenDirectory(os::System& sys, darwin::DIR* dir) : sys_(sys), dir_(dir) {}
    ~OpenDirectory() {
        if (dir_ != nullptr) sys_.closedir(dir_);
    }
    OpenDirectory(const OpenDirectory&) = delete;
    OpenDirectory& operator=(const OpenDirectory&) = delete;

    darwin::DIR* get() const { return dir_; }

private:
    os::System& sys_;
    darwin::DIR* dir_;
};

// Most names are valid UTF-8 and keep their bytes without a copy.
std::string decoded(std::string&& bytes) {
    return is_valid_utf8(bytes) ? std::move(bytes) : lossy_utf8(bytes);
}

std::string joined(std::string_view directory, std::string_view name) {
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path += directory;
    if (!path.empty() && !path.ends_with('/')) path += '/';
    path += name;
    return path;
}

// The first sixteen bytes of a name as two big-endian numbers, zero-padded:
// they compare as the bytes do, and decide most comparisons of real names.
struct NamePrefix {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    explicit NamePrefix(std::string_view name) {
        auto byte = [name](std::size_t at) -> std::uint64_t {
            return at < name.size() ? static_cast<unsigned char>(name[at]) : 0u;
        };
        for (std::size_t at = 0; at < 8; ++at) {
            high = high << 8 | byte(at);
            low = low << 8 | byte(at + 8);
        }
    }
    auto operator<=>(const NamePrefix&) const = default;
};

// Directories first, then byte order of the names; entries whose names read
// the same (two invalid names both decoded to U+FFFD) keep the order they were
// listed in. The entries are sorted through small keys, so that most
// comparisons touch neither the names nor the entries, then put in that order
// in place.
void sort_entries(std::vector<DirEntry>& entries) {
    struct Key {
        bool is_dir;
        NamePrefix prefix;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        keys.push_back({entries[i].is_dir, NamePrefix(entries[i].name), i});
    }
    std::sort(keys.begin(), keys.end(), [&entries](const Key& a, const Key& b) {
        if (a.is_dir != b.is_dir) return a.is_dir;
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        // std::string compares char as unsigned, through char_traits: byte
        // order, no locale.
        const int order = entries[a.index].name.compare(entries[b.index].name);
        return order != 0 ? order < 0 : a.index < b.index;
    });
    // Position i takes the entry keys[i] names; each cycle of that
    // permutation is followed once, moving each entry once, and a position
    // filled is marked by naming itself.
    for (std::size_t start = 0; start < entries.size(); ++start) {
        if (keys[start].index == start) continue;
        DirEntry first = std::move(entries[start]);
        std::size_t at = start;
        while (keys[at].index != start) {
            const std::size_t from = keys[at].index;
            entries[at] = std::move(entries[from]);
            keys[at].index = at;
            at = from;
        }
        entries[at] = std::move(first);
        keys[at].index = at;
    }
}

}  // namespace

std::string ListDirError::text() const {
    return os_code == 0 ? "file name contained an unexpected NUL byte" : os_error_text(os_code);
}

std::expected<std::vector<DirEntry>, ListDirError> list_dir(os::System& sys,
                                                            std::string_view path) {
    if (path.contains('\0')) return std::unexpected(ListDirError{});
    os::QueryScope scope(sys);
    const std::string c_path(path);
    errno = 0;
    OpenDirectory dir(sys, sys.opendir(c_path.c_str()));
    if (dir.get() == nullptr) return std::unexpected(ListDirError{errno != 0 ? errno : EIO});

    std::vector<DirEntry> entries;
    darwin::dirent entry{};
    while (true) {
        darwin::dirent* next = nullptr;
        // A directory that fails part way through is not listed at all: the
        // entries read so far would pass for the whole directory.
        if (const int error = sys.readdir_r(dir.get(), &entry, &next); error != 0) {
            return std::unexpected(ListDirError{error});
        }
        if (next == nullptr) break;
        std::string raw(entry.d_name, std::min<std::size_t>(entry.d_namlen, sizeof entry.d_name));
        if (raw == "." || raw == "..") continue;

        const int fd = sys.dirfd(dir.get());
        darwin::stat status{};
        if (fd < 0 || sys.fstatat(fd, raw.c_str(), &status, darwin::kAtSymlinkNofollow) != 0) {
            continue;  // vanished or unreadable since it was listed
        }
        DirEntry item;
        item.is_dir = (status.st_mode & darwin::kIfmt) == darwin::kIfdir;
        item.size =
            item.is_dir || status.st_size < 0 ? 0 : static_cast<std::uint64_t>(status.st_size);
        item.path = decoded(joined(path, raw));
        item.name = decoded(std::move(raw));
        entries.push_back(std::move(item));
    }

    sort_entries(entries);
    return entries;
}

}  // namespace lumenstat
