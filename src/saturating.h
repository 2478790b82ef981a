// Unsigned arithmetic that stops at the largest value instead of wrapping:
// a figure too large to hold reads as the largest one, never as a small one.
#pragma once

#include <cstdint>
#include <limits>

namespace lumenstat {

inline std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max()
                                                  : product;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

}  // namespace lumenstat
