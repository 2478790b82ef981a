#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/utf8.h"
#include "unicode/debug_escape.h"
#include "unicode/upper_case.h"

namespace lumenstat {
namespace {

TEST(UpperCaseTest, FollowsFullUnicodeMapping) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"listen", "LISTEN"},
        {"lIsTeN", "LISTEN"},
        {"CLOSE_WAIT 1-2", "CLOSE_WAIT 1-2"},
        {"stra\u00DFe", "STRASSE"},        // sharp s expands
        {"\uFB01", "FI"},                  // ligature fi
        {"\uFB03", "FFI"},                 // ligature ffi
        {"\u0149", "\u02BCN"},             // n preceded by apostrophe
        {"\u0390", "\u0399\u0308\u0301"},  // three code points
        {"\u01F0", "J\u030C"},
        {"\u03C3\u03C2", "\u03A3\u03A3"},  // medial and final sigma
        {"\u0131i", "II"},                 // dotless i; no Turkish rule for i
        {"\u0130", "\u0130"},
        {"\u00FF", "\u0178"},
        {"\u0101\u0100\u0103", "\u0100\u0100\u0102"},  // alternating lower/upper pairs
        {"\u01C5\u01C6", "\u01C4\u01C4"},              // title case digraph
        {"\u10D0", "\u1C90"},                          // Georgian Mtavruli
        {"\u1E9E", "\u1E9E"},                          // capital sharp s stays
        {"\U00010428", "\U00010400"},                  // four-byte Deseret
        {"\U0001E922", "\U0001E900"},                  // Adlam
        {"\xF0\x9F\x98\x80\u4E2D", "\xF0\x9F\x98\x80\u4E2D"},
        {"a\xFF"
         "b\xE2\x82",
         "A\uFFFDB\uFFFD"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(to_upper_full(input), expected) << input;
    }
}

TEST(DebugEscapeTest, ClassifiesByGeneralCategory) {
    const std::vector<std::pair<char32_t, bool>> cases = {
        {U' ', false},     {U'~', false},         {U'\u00E9', false}, {U'\uFFFD', false},
        {U'\u0000', true}, {U'\u009F', true},     {U'\u00AD', true},  {U'\u00A0', true},
        {U'\u0300', true}, {U'\u0378', true},     {U'\uE000', true},  {0xD800, true},
        {0xDFFF, true},    {0x10FFFF, true},      {0x110000, true},   {U'\U0001F600', false},
        {U'\uFEFF', true}, {U'\U000E0001', true},
    };
    for (const auto& [cp, escaped] : cases) {
        EXPECT_EQ(escaped_in_debug(cp), escaped) << std::hex << static_cast<unsigned>(cp);
    }
}

struct Utf8Case {
    std::string bytes;
    std::string lossy;
    bool valid;
};

TEST(Utf8Test, LossyDecodingReplacesMaximalSubparts) {
    const std::string r = "\uFFFD";
    const std::vector<Utf8Case> cases = {
        {"", "", true},
        {std::string("a\0b", 3), std::string("a\0b", 3), true},
        {"\u00E9\u4E2D\U0010FFFF", "\u00E9\u4E2D\U0010FFFF", true},
        {"\xEF\xBF\xBD", r, true},                           // U+FFFD itself is valid
        {"\xED\x9F\xBF\xEE\x80\x80", "\uD7FF\uE000", true},  // either side of the surrogates
        {"\xC3", r, false},                                  // truncated two-byte
        {"\xE2\x82", r, false},      // truncated three-byte: one replacement
        {"\xF0\x9F\x98", r, false},  // truncated four-byte
        {"\xF0\x9F\x98"
         "a",
         r + "a", false},
        {"\xE2\x82\xE2\x82\xAC", r + "\u20AC", false},  // next lead byte starts afresh
        {"\x80", r, false},                             // lone continuation bytes
        {"\x80\xBF", r + r, false},
        {"\xC0\xAF", r + r, false},  // overlong '/'
        {"\xC1\xBF", r + r, false},
        {"\xE0\x80\xAF", r + r + r, false},  // overlong three-byte
        {"\xE0\x9F\xBF", r + r + r, false},
        {"\xF0\x8F\xBF\xBF", r + r + r + r, false},  // overlong four-byte
        {"\xED\xA0\x80", r + r + r, false},          // surrogate U+D800
        {"\xED\xBF\xBF", r + r + r, false},          // surrogate U+DFFF
        {"\xF4\x90\x80\x80", r + r + r + r, false},  // U+110000
        {"\xF5\x80\x80\x80", r + r + r + r, false},  // bytes that never lead
        {"\xF8\x88\x80\x80\x80", r + r + r + r + r, false},
        {"\xFE\xFF", r + r, false},
        {"ok\xFFok", "ok" + r + "ok", false},
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(lossy_utf8(c.bytes), c.lossy) << c.bytes;
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
        EXPECT_TRUE(is_valid_utf8(lossy_utf8(c.bytes)));
    }
}

TEST(Utf8Test, StepReportsLengthAndValue) {
    const Utf8Step euro = decode_utf8_step("x\xE2\x82\xAC", 1);
    EXPECT_EQ(euro.code_point, U'\u20AC');
    EXPECT_EQ(euro.length, 3u);
    EXPECT_TRUE(euro.valid);
    const Utf8Step cut = decode_utf8_step(
        "\xF0\x9F\x98"
        "a",
        0);
    EXPECT_EQ(cut.code_point, kReplacementCharacter);
    EXPECT_EQ(cut.length, 3u);
    EXPECT_FALSE(cut.valid);

    std::string out;
    for (char32_t cp : {U'A', U'\u07FF', U'\u0800', U'\uFFFF', U'\U00010000'}) {
        append_utf8(out, cp);
    }
    EXPECT_EQ(out, "A\u07FF\u0800\uFFFF\U00010000");
}

}  // namespace
}  // namespace lumenstat
