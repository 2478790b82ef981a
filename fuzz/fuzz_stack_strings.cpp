// sources: src/os/linux/process/stack_strings.cpp src/os/linux/process/process_stat.cpp src/os/linux/proc_files.cpp

// The checks on bytes read from another process's memory. Any bytes as the
// top of a stack and as an argument area: no read out of bounds; a path taken
// is a NUL-free prefix of the bytes, followed by nine NULs that end on the
// page boundary; arguments taken end in a NUL and hold argc of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "os/linux/process/stack_strings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat::os::procfs;
    if (size < 4) {
        return 0;
    }
    const std::uint64_t page = std::uint64_t{1} << (data[0] % 17);
    const std::uint64_t env_end = (std::uint64_t{data[1]} << 8 | data[2]) * 7;
    const std::uint64_t argc = data[3] % 8;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 4), size - 4);

    if (const auto path = exec_path_at_stack_top(bytes, env_end, page)) {
        const std::size_t end = path->size();
        if (path->data() != bytes.data() || path->find('\0') != std::string_view::npos ||
            bytes.size() < end + 9 || (env_end + end + 9) % page != 0 ||
            bytes.substr(end, 9) != std::string_view("\0\0\0\0\0\0\0\0\0", 9)) {
            std::abort();
        }
    }
    if (arguments_as_exec_left_them(bytes, argc, 64, 64) &&
        (bytes.back() != '\0' ||
         static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\0')) != argc)) {
        std::abort();
    }
    return 0;
}
