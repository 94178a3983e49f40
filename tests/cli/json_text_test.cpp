// JSON strings of file names: UTF-8 kept, every other byte \u00XX, and the
// characters JSON reserves escaped.
#include <gtest/gtest.h>

#include "json_text.h"

namespace tessaly_cli {
namespace {

TEST(JsonString, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain.bmp", "\"plain.bmp\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("\x01\n\x1f\x7f", 4), "\"\\u0001\\u000a\\u001f\x7f\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        // Sequences of 2, 3 and 4 bytes.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"caf\xe9.bmp", "\"caf\\u00e9.bmp\""},             // Latin-1
        {"\xc3", "\"\\u00c3\""},                           // cut short at the end
        {"\xc3(", "\"\\u00c3(\""},                         // a lead byte without its continuation
        {"\x80\xbf", "\"\\u0080\\u00bf\""},                // continuation bytes alone
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                // overlong '/'
        {"\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},     // overlong, three bytes
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},     // a surrogate, U+D800
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
        {"\xf0\x9f\x98", "\"\\u00f0\\u009f\\u0098\""},     // four bytes cut to three
        {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\"\xef\xbf\xbf\xf4\x8f\xbf\xbf\""},  // U+FFFF and U+10FFFF pass
    };
    for (const auto& [text, json] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(JsonString(text), json);
    }
}

}  // namespace
}  // namespace tessaly_cli
