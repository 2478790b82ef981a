#include "process/argument_area.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumenstat {
namespace {

std::vector<std::uint8_t> area(std::int32_t argc, std::string_view rest) {
    std::vector<std::uint8_t> bytes(4 + rest.size());
    const auto raw = static_cast<std::uint32_t>(argc);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(raw >> (8 * i));
    std::copy(rest.begin(), rest.end(), bytes.begin() + 4);
    return bytes;
}

using Args = std::vector<std::string>;
using namespace std::string_view_literals;

struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    Args expected;
};

TEST(ArgumentArea, ParsesAndDropsAsDescribed) {
    const Case cases[] = {
        {"path skipped, padding skipped, environment after argc ignored",
         area(2, "/bin/ls\0\0\0\0ls\0-l\0HOME=/root\0"sv),
         {"ls", "-l"}},
        {"empty executable path", area(1, "\0\0\0only\0"sv), {"only"}},
        {"empty arguments count towards argc", area(3, "/p\0a\0\0\0b\0"sv), {"a"}},
        {"empty first argument: the next kept one leads", area(2, "/p\0\0\0x\0"sv), {"x"}},
        {"invalid UTF-8 dropped, others keep their order",
         area(3, "/p\0a\0\xff\xfe\0c\0"sv),
         {"a", "c"}},
        {"overlong encoding is invalid", area(2, "/p\0\xc0\xaf\0ok\0"sv), {"ok"}},
        {"valid multibyte kept", area(1, "/p\0caf\xc3\xa9\0"sv), {"caf\xc3\xa9"}},
        {"argc larger than the area, last argument unterminated",
         area(1000, "/p\0\0a\0b"sv),
         {"a", "b"}},
        {"argc is little-endian", area(1, "/p\0a\0b\0"sv), {"a"}},
        {"path without terminator", area(3, "/no/terminator"sv), {}},
        {"path followed only by padding", area(3, "/p\0\0\0\0"sv), {}},
        {"argc 0", area(0, "/p\0a\0"sv), {}},
        {"argc -1", area(-1, "/p\0a\0"sv), {}},
        {"argc INT_MIN", area(INT_MIN, "/p\0a\0"sv), {}},
        {"argc alone", area(5, ""sv), {}},
        {"shorter than argc", {2, 0, 0}, {}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_argument_area(c.bytes), c.expected) << c.what;
    }
}

TEST(ArgumentArea, ReadsNothingPastTheSpan) {
    // The bytes after the span would add an argument if they were read.
    const std::vector<std::uint8_t> bytes = area(3, "/p\0a\0bc\0"sv);
    const std::span<const std::uint8_t> cut(bytes.data(), bytes.size() - 2);
    EXPECT_EQ(parse_argument_area(cut), (Args{"a", "b"}));
}

}  // namespace
}  // namespace lumenstat
