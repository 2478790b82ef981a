// The KERN_PROCARGS2 argument area of a process, parsed into its arguments.
// Kept free of <expected> so that the fuzz build can compile it with any
// standard library.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumenstat {

// The area is: argc as a little-endian signed 32-bit integer, the executable
// path, NUL padding, then the arguments, each NUL-terminated. The span's end
// is the end of the buffer; nothing past it is read. Empty and non-UTF-8
// arguments are dropped but still count towards argc.
std::vector<std::string> parse_argument_area(std::span<const std::uint8_t> area);

}  // namespace lumenstat
