#include "unicode/upper_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "text/utf8.h"

namespace lumenstat {

namespace {

// Every code point first, first + stride, ..., last maps to itself plus delta.
struct UpperRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint8_t stride;
};

// A code point whose upper case is two or three code points (unused slots are 0).
struct UpperExpansion {
    char32_t code_point;
    char32_t upper[3];
};

#include "unicode/upper_case_table.inc"

void append_upper(std::string& out, char32_t cp) {
    const auto* run_after =
        std::upper_bound(std::begin(kUpperRuns), std::end(kUpperRuns), cp,
                         [](char32_t c, const UpperRun& run) { return c < run.first; });
    if (run_after != std::begin(kUpperRuns)) {
        const UpperRun& run = *std::prev(run_after);
        if (cp <= run.last && (cp - run.first) % run.stride == 0) {
            append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta));
            return;
        }
    }
    const auto* expansion =
        std::lower_bound(std::begin(kUpperExpansions), std::end(kUpperExpansions), cp,
                         [](const UpperExpansion& e, char32_t c) { return e.code_point < c; });
    if (expansion != std::end(kUpperExpansions) && expansion->code_point == cp) {
        for (char32_t part : expansion->upper) {
            if (part != 0) append_utf8(out, part);
        }
        return;
    }
    append_utf8(out, cp);
}

}  // namespace

std::string to_upper_full(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const auto byte = static_cast<unsigned char>(utf8[pos]);
        if (byte < 0x80) {
            out.push_back(byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 0x20)
                                                     : static_cast<char>(byte));
            ++pos;
            continue;
        }
        const Utf8Step step = decode_utf8_step(utf8, pos);
        append_upper(out, step.code_point);
        pos += step.length;
    }
    return out;
}

}  // namespace lumenstat
