// sources: src/socket/parsers.cpp src/socket/values.cpp src/socket/address_text.cpp src/unicode/upper_case.cpp src/text/utf8.cpp

// State parser: besides memory safety, an accepted text upper-cases to the display text of the
// state it parsed to, and a rejected one is reported with the text exactly as given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "socket/parsers.h"
#include "unicode/upper_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = parse_socket_state(text);
    if (!parsed) {
        if (parsed.error != "invalid state: " + std::string(text)) std::abort();
        return 0;
    }
    if (to_upper_full(text) != state_display_text(*parsed.value)) std::abort();
    return 0;
}
