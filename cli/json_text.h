// Text as a JSON string for the host's --json output. File names are bytes,
// not always UTF-8: valid UTF-8 passes through as it is, and each byte that
// is not part of a valid UTF-8 sequence becomes \u00XX (the character of that
// byte's value), so every name gives a string any strict JSON parser accepts.
// Quotes, backslashes and control characters are escaped.
#pragma once

#include <string>
#include <string_view>

namespace tessaly_cli {

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace tessaly_cli
