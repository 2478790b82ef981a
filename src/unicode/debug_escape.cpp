#include "unicode/debug_escape.h"

#include <algorithm>
#include <iterator>

namespace lumenstat {

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

#include "unicode/debug_escape_table.inc"

}  // namespace

bool escaped_in_debug(char32_t code_point) {
    if (code_point >= 0x20 && code_point < 0x7F) return false;
    if (code_point > 0x10FFFF) return true;
    // The last range whose first code point is not above code_point.
    const auto* after =
        std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), code_point,
                         [](char32_t cp, const CodePointRange& range) { return cp < range.first; });
    return after != std::begin(kEscapedRanges) && code_point <= std::prev(after)->last;
}

}  // namespace lumenstat
