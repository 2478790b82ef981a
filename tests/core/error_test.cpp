#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

namespace lumenstat {
namespace {

TEST(QueryErrorTest, DisplayAndDebugFormsOfEveryKind) {
    const std::tuple<QueryError, std::string, std::string> cases[] = {
        {QueryError::io(ENOENT), "IO error: No such file or directory (os error 2)",
         "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })"},
        {QueryError::io(EACCES), "IO error: Permission denied (os error 13)",
         "Io(Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" })"},
        {QueryError::parse(""), "Parse error: ", "Parse(\"\")"},
        // The display form passes text through; only the debug form escapes it.
        {QueryError::sys_call("say \"hi\"\nnext"), "System call failed: say \"hi\"\nnext",
         "SysCall(\"say \\\"hi\\\"\\nnext\")"},
        {QueryError::permission_denied("kill pid 1"), "Permission denied: kill pid 1",
         "PermissionDenied(\"kill pid 1\")"},
        {QueryError::process_not_found(4294967295u), "Process not found: pid 4294967295",
         "ProcessNotFound(4294967295)"},
    };
    for (const auto& [error, display, debug] : cases) {
        EXPECT_EQ(error.display(), display);
        EXPECT_EQ(error.debug(), debug);
    }
}

TEST(OsErrorTextTest, UnknownCodesStillNameTheirNumber) {
    EXPECT_EQ(os_error_text(ESRCH), "No such process (os error 3)");
    EXPECT_EQ(os_error_kind_name(ESRCH), "Uncategorized");
    // The system words unknown codes its own way; both shapes name the number.
    for (const std::string number : {"12345", "-1"}) {
        const std::string text = os_error_text(std::stoi(number));
        const std::string tail = " (os error " + number + ")";
        ASSERT_TRUE(text.ends_with(tail)) << text;
        EXPECT_NE(text.substr(0, text.size() - tail.size()).find(number), std::string::npos);
        EXPECT_TRUE(is_valid_utf8(text));
    }
}

TEST(DebugQuotedTest, EscapesWhatCannotBeShownAndDecodesLossily) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain it's", "\"plain it's\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("t\tr\rn\n\0", 7), "\"t\\tr\\rn\\n\\0\""},
        {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"e\u0301 \u3000", "\"e\\u{301} \\u{3000}\""},  // a combining mark, a wide space
        {"\U0010FFFF", "\"\\u{10ffff}\""},              // unassigned, highest code point
        {"caf\u00E9 \U0001F600", "\"caf\u00E9 \U0001F600\""},
        // Invalid bytes are decoded lossily first, and U+FFFD shows as itself.
        {"x\xFFy\xE2\x82", "\"x\uFFFDy\uFFFD\""},
        {"\xED\xA0\x80", "\"\uFFFD\uFFFD\uFFFD\""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(debug_quoted(input), expected) << input;
}

}  // namespace
}  // namespace lumenstat
