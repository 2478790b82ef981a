// sources: src/text/utf8.cpp src/unicode/upper_case.cpp
// UTF-8 decoding of outside bytes: lossy decoding always yields valid UTF-8, leaves valid input
// unchanged and changes invalid input; upper-casing yields valid UTF-8 and reads invalid bytes
// exactly as their lossy decoding.
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

    const std::string upper = lumenstat::to_upper_full(bytes);
    if (!lumenstat::is_valid_utf8(upper)) std::abort();
    if (upper != lumenstat::to_upper_full(lossy)) std::abort();
    return 0;
}
