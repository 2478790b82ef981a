// sources: src/text/utf8.cpp src/unicode/upper_case.cpp
// UTF-8 decoding of outside bytes: lossy decoding always yields valid UTF-8, leaves valid input
// unchanged and changes invalid input; a prefix cut to a limit decodes to a prefix of the whole;
// upper-casing yields valid UTF-8 and reads invalid bytes exactly as their lossy decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/utf8.h"
#include "unicode/upper_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string lossy = lumenstat::lossy_utf8(bytes);
    if (!lumenstat::is_valid_utf8(lossy)) std::abort();
    if (lumenstat::is_valid_utf8(bytes) != (lossy == bytes)) std::abort();

    std::size_t steps = 0;
    for (std::size_t pos = 0; pos < bytes.size(); ++steps) {
        const lumenstat::Utf8Step step = lumenstat::decode_utf8_step(bytes, pos);
        if (step.length == 0 || step.length > 4 || pos + step.length > bytes.size()) std::abort();
        pos += step.length;
    }
    if (steps > bytes.size()) std::abort();

    // Cut to a limit (taken from the first byte), a name loses at most one
    // sequence and decodes to a prefix of what the whole decodes to.
    const std::size_t limit = size == 0 ? 0 : data[0] % (size + 1);
    const std::size_t cut = lumenstat::utf8_prefix_length(bytes, limit);
    if (cut > limit || limit - cut > 3) std::abort();
    if (!lossy.starts_with(lumenstat::lossy_utf8(bytes.substr(0, cut)))) std::abort();

    const std::string upper = lumenstat::to_upper_full(bytes);
    if (!lumenstat::is_valid_utf8(upper)) std::abort();
    if (upper != lumenstat::to_upper_full(lossy)) std::abort();
    return 0;
}
