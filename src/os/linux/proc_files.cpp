#include "os/linux/proc_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "os/linux/unique_dir.h"
#include "os/linux/unique_fd.h"

namespace lumenstat::os::procfs {

namespace {

void skip_blanks(std::string_view& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    text.remove_prefix(i);
}

}  // namespace

long read_file(int dirfd, const char* path, char* buffer, std::size_t capacity) {
    UniqueFd fd(::openat(dirfd, path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return -1;
    }
    std::size_t total = 0;
    while (total < capacity) {
        std::size_t want = capacity - total;
        ssize_t n = ::read(fd.get(), buffer + total, want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        total += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < want) {
            break;
        }
    }
    return static_cast<long>(total);
}

bool read_file(const char* path, std::string& out, std::size_t offset, ShortRead short_read) {
    out.resize(offset);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    std::size_t total = offset;
    out.resize(offset + 4096);
    for (;;) {
        if (total == out.size()) {
            out.resize(out.size() * 2);
        }
        std::size_t want = out.size() - total;
        ssize_t n = ::read(fd.get(), out.data() + total, want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            out.resize(offset);
            return false;
        }
        total += static_cast<std::size_t>(n);
        if (n == 0 || (short_read == ShortRead::ends_file && static_cast<std::size_t>(n) < want)) {
            break;
        }
    }
    out.resize(total);
    return true;
}

bool pid_path(char* out, std::size_t capacity, int pid, std::string_view leaf) {
    constexpr std::string_view prefix = "/proc/";
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, pid);
    if (ec != std::errc{}) {
        return false;
    }
    std::size_t ndigits = static_cast<std::size_t>(end - digits);
    std::size_t need = prefix.size() + ndigits + 1 + leaf.size() + 1;
    if (need > capacity) {
        return false;
    }
    char* p = out;
    std::memcpy(p, prefix.data(), prefix.size());
    p += prefix.size();
    std::memcpy(p, digits, ndigits);
    p += ndigits;
    *p++ = '/';
    std::memcpy(p, leaf.data(), leaf.size());
    p += leaf.size();
    *p = '\0';
    return true;
}

bool parse_u64(std::string_view& text, std::uint64_t& value) {
    skip_blanks(text);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{}) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

bool parse_i64(std::string_view& text, std::int64_t& value) {
    skip_blanks(text);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{}) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

bool skip_field(std::string_view& text) {
    skip_blanks(text);
    std::size_t i = 0;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\n') {
        ++i;
    }
    text.remove_prefix(i);
    return i > 0;
}

bool keyed_u64(std::string_view text, std::string_view key, std::uint64_t& value) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) {
            eol = text.size();
        }
        std::string_view line = text.substr(at, eol - at);
        if (line.starts_with(key)) {
            line.remove_prefix(key.size());
            return parse_u64(line, value);
        }
        at = eol + 1;
    }
    return false;
}

int process_errno(int linux_errno) {
    if (linux_errno == ENOENT) return ESRCH;
    if (linux_errno == EACCES) return EPERM;
    return linux_errno;
}

bool caller_short_of_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

bool list_pids(DIR* proc, std::vector<int>& pids) {
    return read_entry_names(proc, [&](std::string_view name) {
        int pid = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        // A process's directory is named by its pid in digits alone.
        if (ec == std::errc{} && end == name.data() + name.size() && name.front() != '-') {
            pids.push_back(pid);
        }
    });
}

}  // namespace lumenstat::os::procfs
