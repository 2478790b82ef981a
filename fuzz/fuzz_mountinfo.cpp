// sources: src/os/linux/storage/mountinfo.cpp
// The kernel's mount table, any bytes (truncated lines, escapes cut short,
// names that are not UTF-8): parsing never reads out of bounds and yields no
// more mounts than lines. The input also read as three names: a line the
// kernel would write for them, with its escapes, parses back to them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "os/linux/storage/mountinfo.h"

namespace {

std::string escaped(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", static_cast<unsigned char>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat::os::mountinfo;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::size_t lines = 1;
    for (const char c : bytes) lines += c == '\n';
    if (parse(bytes).size() > lines) std::abort();

    // Names are never empty in the table, and NUL cannot occur in them.
    std::string_view names[3];
    std::string_view rest = bytes;
    for (std::string_view& name : names) {
        const std::size_t end = std::min(rest.find('\0'), rest.size());
        name = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (name.empty()) return 0;
    }
    const std::string line = "36 35 98:0 / " + escaped(names[0]) + " rw,noatime master:1 - " +
                             escaped(names[1]) + " " + escaped(names[2]) + " rw\n";
    const auto mounts = parse(line);
    if (mounts.size() != 1 || mounts[0].id != 36 || mounts[0].mount_point != names[0] ||
        mounts[0].fs_type != names[1] || mounts[0].source != names[2]) {
        std::abort();
    }
    return 0;
}
