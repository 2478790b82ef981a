// Text as the library writes it: UTF-8 decoding, full upper-casing and the
// error texts with their debug quoting.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "error.h"
#include "text/utf8.h"
#include "unicode/upper_case.h"

namespace lumenstat {
namespace {

using Rewrites = std::pair<std::string, std::string>;

TEST(UpperCase, FollowsFullUnicodeMapping) {
    const Rewrites cases[] = {
        {"lIsTeN CLOSE_WAIT 1-2", "LISTEN CLOSE_WAIT 1-2"},
        {"stra\u00DFe \uFB03", "STRASSE FFI"},                     // one code point, several
        {"\u0390", "\u0399\u0308\u0301"},                          // three code points
        {"\u03C3\u03C2", "\u03A3\u03A3"},                          // medial and final sigma
        {"\u0131i\u0130", "II\u0130"},                             // no Turkish rule for i
        {"\u0101\u0100\u0103\u01C5", "\u0100\u0100\u0102\u01C4"},  // alternating pairs, digraph
        {"\u10D0\u1E9E\U00010428", "\u1C90\u1E9E\U00010400"},  // Georgian, capital sharp s, Deseret
        {"\xF0\x9F\x98\x80\u4E2D", "\xF0\x9F\x98\x80\u4E2D"},
        {"x\xFFy\xE2\x82", "X\uFFFDY\uFFFD"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(to_upper_full(input), expected) << input;
}

TEST(Utf8, LossyDecodingReplacesMaximalSubparts) {
    const auto r = [](int n) {  // n replacement characters
        std::string out;
        while (n-- > 0) out += "\uFFFD";
        return out;
    };
    const std::tuple<std::string, std::string, bool> cases[] = {
        {std::string("a\0b", 3), std::string("a\0b", 3), true},
        {"\u00E9\u4E2D\U0010FFFF\uFFFD", "\u00E9\u4E2D\U0010FFFF\uFFFD", true},
        {"\xED\x9F\xBF\xEE\x80\x80", "\uD7FF\uE000", true},  // either side of the surrogates
        // A truncated sequence is one replacement; the next lead byte starts afresh.
        {"\xC3z\xF0\x9F\x98z", r(1) + "z" + r(1) + "z", false},
        {"\xE2\x82\xE2\x82\xAC", r(1) + "\u20AC", false},
        {"\x80\xBF\xC1\xBF", r(4), false},              // lone continuations, overlong
        {"\xE0\x9F\xBF\xF0\x8F\xBF\xBF", r(7), false},  // overlong three and four bytes
        {"\xED\xA0\x80\xF4\x90\x80\x80", r(7), false},  // surrogate U+D800, U+110000
        {"\xF5\x80\xFE", r(3), false},                  // bytes that never lead
    };
    for (const auto& [bytes, lossy, valid] : cases) {
        EXPECT_EQ(lossy_utf8(bytes), lossy) << bytes;
        EXPECT_EQ(is_valid_utf8(bytes), valid) << bytes;
    }
}

}  // namespace
}  // namespace lumenstat
