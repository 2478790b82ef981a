// UTF-8 decoding for bytes that come from outside: a strict validity check and a
// lossy decoder. Free of <expected> so that fuzz builds of the parsers can use it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumenstat {

inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

struct Utf8Step {
    char32_t code_point;  // U+FFFD for an invalid sequence
    std::size_t length;   // bytes consumed, at least 1
    bool valid;
};

// Decodes the sequence starting at bytes[pos] (pos < bytes.size()). An invalid
// sequence yields U+FFFD and consumes its maximal subpart: the longest prefix
// that could begin a well-formed sequence, or one byte when there is none.
Utf8Step decode_utf8_step(std::string_view bytes, std::size_t pos);

// Appends the UTF-8 encoding of a Unicode scalar value.
void append_utf8(std::string& out, char32_t code_point);

// UTF-8 decoding with every invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// The length of the longest prefix of `bytes`, at most `limit` bytes, that
// does not end inside a sequence (a well-formed one or the maximal subpart of
// an ill-formed one): a name cut there decodes to a prefix of what the whole
// decodes to, with no replacement character the whole does not hold.
std::size_t utf8_prefix_length(std::string_view bytes, std::size_t limit);

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF, no truncation.
bool is_valid_utf8(std::string_view bytes);

}  // namespace lumenstat
