// sources: src/socket/parsers.cpp src/socket/values.cpp src/socket/address_text.cpp src/unicode/upper_case.cpp src/text/utf8.cpp

// Socket address parser: besides memory safety, every accepted address prints (in its canonical
// form, which may differ from the input) to a text that parses back to the same address, and
// that printed text is itself a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "socket/address_text.h"
#include "socket/parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = parse_socket_address(text);
    if (!parsed) {
        if (parsed.error != kInvalidSocketAddress) std::abort();
        return 0;
    }
    if (!parsed.error.empty() || parsed.value->flowinfo != 0) std::abort();
    std::string printed = socket_address_text(*parsed.value);
    if (printed.size() > kSocketAddressTextMax) std::abort();
    auto reparsed = parse_socket_address(printed);
    if (!reparsed || !(*reparsed.value == *parsed.value)) std::abort();
    if (socket_address_text(*reparsed.value) != printed) std::abort();
    return 0;
}
