// Full Unicode upper-casing, the same mapping as Python's str.upper: no locale, no
// context, and a character may become several ('ß' -> "SS", 'ﬁ' -> "FI").
#pragma once

#include <string>
#include <string_view>

namespace lumenstat {

// The input is expected to be UTF-8; invalid sequences come out as U+FFFD.
std::string to_upper_full(std::string_view utf8);

}  // namespace lumenstat
