// Reading the kernel's small /proc and /sys files with plain open/read/close
// and parsing their numbers by hand, with a bounds check on every read.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumenstat::os::procfs {

// Reads the file at `path` (relative to `dirfd` unless absolute; AT_FDCWD for
// none) into `buffer`. Returns the bytes read, or -1 with errno set. A read
// shorter than asked ends the file: the /proc files read this way are
// generated whole by their first read.
long read_file(int dirfd, const char* path, char* buffer, std::size_t capacity);

// Whether a read shorter than asked ends the file. It does for the files the
// kernel generates whole on their first read (a process's stat, status, io,
// cmdline); it does not for tables produced record by record (/proc/net/*).
enum class ShortRead { ends_file, continues };

// Reads a file of any length into `out` from `offset` on, leaving `out`
// offset + length bytes long. False with errno set on failure.
bool read_file(const char* path, std::string& out, std::size_t offset = 0,
               ShortRead short_read = ShortRead::continues);

// "/proc/<pid>/<leaf>" into `out` (NUL-terminated); false when it does not fit.
bool pid_path(char* out, std::size_t capacity, int pid, std::string_view leaf);

// Skips blanks, then reads a decimal number (with an optional '-' for the
// signed form), advancing `text` past it. False when no digit is there or the
// value overflows.
bool parse_u64(std::string_view& text, std::uint64_t& value);
bool parse_i64(std::string_view& text, std::int64_t& value);

// Skips blanks and one field of non-blank bytes.
bool skip_field(std::string_view& text);

// The number after "<key>" at the start of a line of `text`, as in
// "MemTotal:  16314436 kB" or "btime 1700000000"; false when the key is absent.
bool keyed_u64(std::string_view text, std::string_view key, std::uint64_t& value);

// Darwin's errno for a failure to open or read a process's /proc files: a
// process that is gone is ESRCH, one the caller may not inspect EPERM; any
// other failure (out of descriptors, an I/O error) is the caller's to see as is.
int process_errno(int linux_errno);

// Whether a failure is the caller's own shortage (of descriptors or memory)
// rather than anything about the file or process it reads: it fails the whole
// question being answered, never just one item of it.
bool caller_short_of_resources(int error);

// Appends the process ids among the entries of `proc`, an open stream of
// /proc, to `pids` in directory order. False with errno set when the
// directory cannot be read to its end.
bool list_pids(DIR* proc, std::vector<int>& pids);

}  // namespace lumenstat::os::procfs
