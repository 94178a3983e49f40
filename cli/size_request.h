// Sizes as people type them for a scaled load: WxH (exactly), Wx or xH (one
// side, the other keeping the picture's aspect ratio), N% (both sides), and
// WxH>, Wx> or xH> (fit inside the box, keeping the aspect ratio, never
// enlarging; --fit WxH says the same). Parsing needs no picture; the sides
// are worked out once the picture's own size is known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaly_cli {

// Limit: a side asked for or worked out is at most 1000000 pixels, as wide as
// anything the host shows; the pixel limit (--max-pixels) applies besides.
inline constexpr std::uint32_t kMaxSide = 1000000;

struct SizeRequest {
    std::uint32_t width = 0, height = 0;  // 0: not given (the aspect ratio decides)
    std::uint32_t milliPercent = 0;       // N% in thousandths of a percent (12.5% is 12500); 0: not N%
    bool shrinkOnly = false;              // WxH> or --fit: never larger than the picture
};

// The request `text` names, or nullopt when it is none of the forms above.
// `fit` (the --fit option) takes WxH, Wx or xH and makes it shrink-only.
std::optional<SizeRequest> ParseSizeRequest(const std::string& text, bool fit = false);

// The size a picture of `width` x `height` (each at least 1) is loaded at:
// each side rounded to the nearest pixel and at least 1. False with the
// reason in `error` when a side would pass kMaxSide.
[[nodiscard]] bool ResolveSize(const SizeRequest& request, std::uint32_t width, std::uint32_t height,
                               std::uint32_t& outWidth, std::uint32_t& outHeight, std::string& error);

// How the forms are listed in usage messages.
inline constexpr const char* kSizeForms = "WxH, Wx, xH, N% or WxH> (each side from 1 to 1000000)";

}  // namespace tessaly_cli
