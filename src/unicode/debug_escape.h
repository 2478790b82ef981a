// Which characters the debug form of text writes as \u{...} rather than as themselves.
#pragma once

namespace lumenstat {

// True for controls, format characters, unassigned code points, private use,
// surrogates, line and paragraph separators, space separators other than U+0020,
// and combining marks.
bool escaped_in_debug(char32_t code_point);

}  // namespace lumenstat
