// JSON strings; see json_text.h.
#include "json_text.h"

#include <cstdint>
#include <cstdio>

namespace tessaly_cli {
namespace {

// The length of the valid UTF-8 sequence that starts `text` at `at`, or 0:
// no overlong forms, no surrogates (U+D800 to U+DFFF), nothing past U+10FFFF.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::uint8_t b0 = byte(0);
    std::size_t n = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, low = b0 == 0xE0 ? 0xA0 : 0x80, high = b0 == 0xED ? 0x9F : 0xBF;
    else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, low = b0 == 0xF0 ? 0x90 : 0x80, high = b0 == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || text.size() - at < n || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    return n;
}

void AppendEscape(std::string& out, unsigned value) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", value);
    out += escape;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto u = static_cast<std::uint8_t>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            AppendEscape(out, u);
        } else if (u >= 0x80) {
            if (const std::size_t n = Utf8Length(text, at); n != 0) {
                out.append(text.substr(at, n));
                at += n;
                continue;
            }
            AppendEscape(out, u);  // a byte outside UTF-8: the character of its value
        } else {
            out += c;
        }
        ++at;
    }
    return out + "\"";
}

}  // namespace tessaly_cli
