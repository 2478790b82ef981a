#include "os/linux/process/stack_strings.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace lumenstat::os::procfs {

namespace {

// Larger argument areas, which exec allows up to a quarter of the stack's
// limit, are left to /proc.
constexpr std::uint64_t kLargestArguments = 4 << 20;

void* address(std::uint64_t at) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(at)); }

}  // namespace

std::optional<std::string_view> exec_path_at_stack_top(std::string_view tail,
                                                       std::uint64_t env_end,
                                                       std::uint64_t page) {
    const std::size_t end = tail.find('\0');
    if (end == std::string_view::npos || tail.size() - end < 9 || page == 0 ||
        (env_end + end + 9) % page != 0) {
        return std::nullopt;
    }
    const std::string_view zeros = tail.substr(end + 1, 8);
    if (zeros.find_first_not_of('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return tail.substr(0, end);
}

bool arguments_as_exec_left_them(std::string_view arguments, std::uint64_t argc,
                                 std::uint64_t first, std::uint64_t arg_start) {
    return first == arg_start && !arguments.empty() && arguments.back() == '\0' &&
           static_cast<std::uint64_t>(std::ranges::count(arguments, '\0')) == argc;
}

void StackStrings::read(int pid, const ProcessStat& stat) {
    exec_path_.reset();
    arguments_.reset();
    const std::uint64_t page = page_size();
    if (stat.start_stack == 0 || stat.arg_end <= stat.arg_start || stat.env_end < stat.arg_end ||
        stat.env_end > UINT64_MAX - 2 * page) {
        return;
    }
    const std::uint64_t length = stat.arg_end - stat.arg_start;
    if (length > kLargestArguments) {
        return;
    }
    char* arguments = small_arguments_;
    if (length > sizeof small_arguments_) {
        try {
            large_arguments_.resize(length);
        } catch (const std::bad_alloc&) {
            return;
        }
        arguments = large_arguments_.data();
    }
    // The top of the stack is the first page boundary with room below it
    // for an empty path. Only a path longer than a page less its 9 bytes
    // runs on past that boundary, and is left to the exe link.
    const std::uint64_t top = (stat.env_end + 9 + page - 1) / page * page;
    const std::uint64_t tail_length = std::min<std::uint64_t>(top - stat.env_end, sizeof tail_);
    iovec local[] = {{head_, sizeof head_}, {arguments, length}, {tail_, tail_length}};
    iovec remote[] = {{address(stat.start_stack), sizeof head_},
                      {address(stat.arg_start), length},
                      {address(stat.env_end), tail_length}};
    const ssize_t got = ::process_vm_readv(pid, local, 3, remote, 3, 0);
    if (got < 0 || static_cast<std::uint64_t>(got) != sizeof head_ + length + tail_length) {
        return;
    }
    std::uint64_t argc = 0;
    std::uint64_t first = 0;
    std::memcpy(&argc, head_, sizeof argc);
    std::memcpy(&first, head_ + sizeof argc, sizeof first);
    // argv[0] where the stat line says the arguments start: the stack is
    // still the one exec laid out, whatever the process did to its strings.
    if (first != stat.arg_start) {
        return;
    }
    const std::string_view read_arguments(arguments, length);
    if (arguments_as_exec_left_them(read_arguments, argc, first, stat.arg_start)) {
        arguments_ = read_arguments;
    }
    exec_path_ = exec_path_at_stack_top(std::string_view(tail_, tail_length), stat.env_end, page);
}

}  // namespace lumenstat::os::procfs
