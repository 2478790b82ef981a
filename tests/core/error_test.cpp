#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace lumenstat {
namespace {

struct FormCase {
    QueryError error;
    std::string display;
    std::string debug;
};

TEST(QueryErrorTest, DisplayAndDebugFormsOfEveryKind) {
    const std::vector<FormCase> cases = {
        {QueryError::io(ENOENT), "IO error: No such file or directory (os error 2)",
         "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })"},
        {QueryError::io(EACCES), "IO error: Permission denied (os error 13)",
         "Io(Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" })"},
        {QueryError::parse("Invalid UTF-8 in sysctl string"),
         "Parse error: Invalid UTF-8 in sysctl string",
         "Parse(\"Invalid UTF-8 in sysctl string\")"},
        {QueryError::sys_call("getfsstat failed"), "System call failed: getfsstat failed",
         "SysCall(\"getfsstat failed\")"},
        {QueryError::sys_call("sysctl KERN_PROC_ALL size failed"),
         "System call failed: sysctl KERN_PROC_ALL size failed",
         "SysCall(\"sysctl KERN_PROC_ALL size failed\")"},
        {QueryError::not_supported("nettop"), "Not supported on this platform: nettop",
         "NotSupported(\"nettop\")"},
        {QueryError::permission_denied("kill pid 1"), "Permission denied: kill pid 1",
         "PermissionDenied(\"kill pid 1\")"},
        {QueryError::process_not_found(4242), "Process not found: pid 4242",
         "ProcessNotFound(4242)"},
        {QueryError::process_not_found(4294967295u), "Process not found: pid 4294967295",
         "ProcessNotFound(4294967295)"},
        {QueryError::netlink("recv failed"), "Netlink error: recv failed",
         "Netlink(\"recv failed\")"},
        {QueryError::windows_api("OpenProcess"), "Windows API error: OpenProcess",
         "WindowsApi(\"OpenProcess\")"},
        // The display form passes text through; only the debug form escapes it.
        {QueryError::sys_call("say \"hi\"\nnext"), "System call failed: say \"hi\"\nnext",
         "SysCall(\"say \\\"hi\\\"\\nnext\")"},
        {QueryError::parse(""), "Parse error: ", "Parse(\"\")"},
    };
    for (const FormCase& c : cases) {
        EXPECT_EQ(c.error.display(), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
}

TEST(QueryErrorTest, KindAndPayloadAccessors) {
    const QueryError error = QueryError::process_not_found(7);
    EXPECT_EQ(error.kind(), ErrorKind::ProcessNotFound);
    EXPECT_EQ(error.pid(), 7u);
    EXPECT_EQ(QueryError::sys_call("x").text(), "x");
    EXPECT_EQ(QueryError::io(EPERM).os_code(), EPERM);
    EXPECT_EQ(QueryError::parse("a"), QueryError::parse("a"));
    EXPECT_NE(QueryError::parse("a"), QueryError::sys_call("a"));
}

TEST(OsErrorTextTest, KnownAndUnknownCodes) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(ESRCH), "No such process (os error 3)");
    EXPECT_EQ(os_error_description(ENOENT), "No such file or directory");

    // The system words unknown codes its own way; both shapes name the number.
    for (int code : {12345, -1}) {
        const std::string number = std::to_string(code);
        const std::string text = os_error_text(code);
        const std::string tail = " (os error " + number + ")";
        ASSERT_GT(text.size(), tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        EXPECT_NE(text.substr(0, text.size() - tail.size()).find(number), std::string::npos)
            << text;
        EXPECT_TRUE(is_valid_utf8(text));
    }
}

TEST(OsErrorTextTest, KindNames) {
    const std::vector<std::pair<int, std::string_view>> cases = {
        {EPERM, "PermissionDenied"}, {EACCES, "PermissionDenied"},
        {ENOENT, "NotFound"},        {EINTR, "Interrupted"},
        {EAGAIN, "WouldBlock"},      {EEXIST, "AlreadyExists"},
        {EINVAL, "InvalidInput"},    {EPIPE, "BrokenPipe"},
        {ETIMEDOUT, "TimedOut"},     {ENOMEM, "OutOfMemory"},
        {ENOSYS, "Unsupported"},     {ECONNREFUSED, "ConnectionRefused"},
        {ESRCH, "Uncategorized"},    {0, "Uncategorized"},
        {99999, "Uncategorized"},
    };
    for (const auto& [code, name] : cases) EXPECT_EQ(os_error_kind_name(code), name) << code;
}

TEST(DebugQuotedTest, EscapesOnlyWhatCannotBeShown) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "\"\""},
        {"plain text 123", "\"plain text 123\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"it's", "\"it's\""},
        {"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
        {std::string("nul\0end", 7), "\"nul\\0end\""},
        {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"\u0085", "\"\\u{85}\""},                      // next line, a C1 control
        {"zero\u200Bwidth", "\"zero\\u{200b}width\""},  // format character
        {"e\u0301", "\"e\\u{301}\""},                   // combining acute accent
        {"\u20DD", "\"\\u{20dd}\""},                    // enclosing mark
        {"\u0903", "\"\\u{903}\""},                     // spacing combining mark
        {"no\u00A0break", "\"no\\u{a0}break\""},        // space separator other than U+0020
        {"\u3000", "\"\\u{3000}\""},
        {"\u2028\u2029", "\"\\u{2028}\\u{2029}\""},
        {"\u0378", "\"\\u{378}\""},                    // unassigned
        {"\U0010FFFF", "\"\\u{10ffff}\""},             // unassigned, highest code point
        {"\uE000", "\"\\u{e000}\""},                   // private use
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},  // emoji unchanged
        {"caf\u00E9", "\"caf\u00E9\""},
        {"\u00DF\u4E2D\u0416", "\"\u00DF\u4E2D\u0416\""},
        // Invalid bytes are decoded lossily first, and U+FFFD shows as itself.
        {"a\xFF"
         "b",
         "\"a\uFFFDb\""},
        {"\xED\xA0\x80", "\"\uFFFD\uFFFD\uFFFD\""},
        {"\xE2\x82", "\"\uFFFD\""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(debug_quoted(input), expected) << input;
    }
}

}  // namespace
}  // namespace lumenstat
