// sources: src/os/linux/storage/directory_entries.cpp

// The reader of getdents64 records. Any bytes: no read out of bounds, every
// name lies within its record, and each step moves forward to at most the end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "os/linux/storage/directory_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const char> entries(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    while (at < size) {
        const std::size_t before = at;
        auto name = lumenstat::os::linux_directories::next_entry_name(entries, at);
        if (!name) {
            if (at != before) std::abort();
            break;
        }
        if (at <= before || at > size || name->data() < entries.data() + before ||
            name->data() + name->size() >= entries.data() + at || name->data()[name->size()] != 0) {
            std::abort();
        }
    }
    return 0;
}
