// The strings exec leaves at the top of a new process's stack, read from the
// process's own memory: the arguments, then the environment, then the path
// exec was given, which ends 9 bytes below the top of the stack (a page
// boundary) and is followed by 8 zero bytes. The stat line tells where they
// lie. One system call reads what /proc would give through an exe link and
// a cmdline file, each opened by path.
//
// Memory only holds what exec wrote until the process writes over it, and a
// stat line read before an exec names the addresses of the image before it.
// So each string is taken only while the memory still shows it laid out as
// exec left it; otherwise the caller reads /proc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/linux/process/process_stat.h"

namespace lumenstat::os::procfs {

class StackStrings {
public:
    StackStrings() = default;
    // What it read lies in its own buffers.
    StackStrings(const StackStrings&) = delete;
    StackStrings& operator=(const StackStrings&) = delete;

    // Reads the strings of `pid` at the addresses of `stat`, its stat line.
    // Nothing is read when the stat line shows no addresses (the caller may
    // not inspect the process) or the caller may not read its memory.
    void read(int pid, const ProcessStat& stat);

    // The path exec was given, when read.
    std::optional<std::string_view> exec_path() const { return exec_path_; }
    // The argument strings, each NUL-terminated, when read.
    std::optional<std::string_view> arguments() const { return arguments_; }

private:
    char head_[16];  // argc and argv[0]
    char small_arguments_[4096];
    std::string large_arguments_;
    // The longest path exec takes (PATH_MAX with its NUL) and the 8 zero
    // bytes after it.
    char tail_[4096 + 8];
    std::optional<std::string_view> exec_path_;
    std::optional<std::string_view> arguments_;
};

// The path at the start of `tail`, bytes read from `env_end` on, when it ends
// as exec leaves it: its NUL 9 bytes below a multiple of `page` and 8 zero
// bytes after it.
std::optional<std::string_view> exec_path_at_stack_top(std::string_view tail,
                                                       std::uint64_t env_end,
                                                       std::uint64_t page);

// Whether `arguments`, read from `arg_start` to the stat line's end of the
// arguments, are still the `argc` strings exec laid out there: argv[0]
// (`first`) points at their start, they hold exactly argc NULs and end in
// one. A process that rewrote its arguments fails this and is read from
// /proc, which has its own rules for rewritten arguments.
bool arguments_as_exec_left_them(std::string_view arguments, std::uint64_t argc,
                                 std::uint64_t first, std::uint64_t arg_start);

}  // namespace lumenstat::os::procfs
