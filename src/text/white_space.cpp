#include "text/white_space.h"

#include "text/utf8.h"

namespace lumenstat {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        Utf8Step first = decode_utf8_step(text, 0);
        if (!is_white_space(first.code_point)) break;
        text.remove_prefix(first.length);
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        Utf8Step last = decode_utf8_step(text, start);
        if (!is_white_space(last.code_point) || start + last.length != text.size()) break;
        text.remove_suffix(last.length);
    }
    return text;
}

}  // namespace lumenstat
