// Unicode White_Space: the characters that trimming removes from text that
// comes from outside.
#pragma once

#include <string_view>

namespace lumenstat {

bool is_white_space(char32_t code_point);

// `text` (valid UTF-8) without the White_Space characters at either end.
std::string_view trim_white_space(std::string_view text);

}  // namespace lumenstat
