#include "process/argument_area.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
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

TEST(ArgumentArea, ParsesAndDropsAsDescribed) {
    const std::tuple<const char*, std::vector<std::uint8_t>, Args> cases[] = {
        {"path skipped, padding skipped, environment after argc ignored",
         area(2, "/bin/ls\0\0\0\0ls\0-l\0HOME=/root\0"sv),
         {"ls", "-l"}},
        {"empty executable path", area(1, "\0\0\0only\0"sv), {"only"}},
        {"empty arguments count towards argc", area(3, "/p\0a\0\0\0b\0"sv), {"a"}},
        {"invalid UTF-8 dropped, others keep their order",
         area(3, "/p\0a\0\xc0\xaf\0caf\xc3\xa9\0"sv),
         {"a", "caf\xc3\xa9"}},
        {"argc larger than the area, last argument unterminated",
         area(1000, "/p\0\0a\0b"sv),
         {"a", "b"}},
        {"path without terminator", area(3, "/no/terminator"sv), {}},
        {"path followed only by padding", area(3, "/p\0\0\0\0"sv), {}},
        {"argc 0", area(0, "/p\0a\0"sv), {}},
        {"argc INT_MIN", area(INT_MIN, "/p\0a\0"sv), {}},
        {"argc alone", area(5, ""sv), {}},
        {"shorter than argc", {2, 0, 0}, {}},
    };
    for (const auto& [what, bytes, expected] : cases) {
        EXPECT_EQ(parse_argument_area(bytes), expected) << what;
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
