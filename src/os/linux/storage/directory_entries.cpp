#include "os/linux/storage/directory_entries.h"

#include <dirent.h>

#include <cstring>

namespace lumenstat::os::linux_directories {

std::optional<std::string_view> next_entry_name(std::span<const char> entries, std::size_t& at) {
    constexpr std::size_t name_offset = offsetof(dirent64, d_name);
    constexpr std::size_t length_offset = offsetof(dirent64, d_reclen);
    if (at > entries.size() || entries.size() - at < name_offset) {
        return std::nullopt;
    }
    unsigned short length = 0;
    std::memcpy(&length, entries.data() + at + length_offset, sizeof(length));
    if (length <= name_offset || length > entries.size() - at) {
        return std::nullopt;
    }
    const char* name = entries.data() + at + name_offset;
    const void* nul = std::memchr(name, '\0', length - name_offset);
    if (nul == nullptr) {
        return std::nullopt;
    }
    at += length;
    return std::string_view(name, static_cast<std::size_t>(static_cast<const char*>(nul) - name));
}

}  // namespace lumenstat::os::linux_directories
