// sources: src/process/argument_area.cpp src/text/utf8.cpp
// seconds: 40
// Hostile argument areas: every kept argument is non-empty, well-formed UTF-8
// without NUL, lies inside the area after argc, and there are never more of
// them than argc says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "process/argument_area.h"

namespace {

// Independent of the decoder under src/text: a plain strict check.
bool well_formed_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned b = p[i];
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto args = lumenstat::parse_argument_area(std::span<const std::uint8_t>(data, size));
    if (args.empty()) return 0;
    if (size < 4) std::abort();
    std::int32_t argc = 0;
    std::memcpy(&argc, data, 4);  // little-endian hosts only
    if (argc < 1 || args.size() > static_cast<std::size_t>(argc)) std::abort();
    // Each argument must be found, in order, in the bytes after argc.
    std::size_t pos = 4;
    for (const std::string& arg : args) {
        if (arg.empty() || arg.find('\0') != std::string::npos || !well_formed_utf8(arg)) {
            std::abort();
        }
        const std::string_view rest(reinterpret_cast<const char*>(data) + pos, size - pos);
        const std::size_t at = rest.find(arg);
        if (at == std::string_view::npos) std::abort();
        pos += at + arg.size();
    }
    return 0;
}
