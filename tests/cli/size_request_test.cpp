// Sizes as people type them: one table from the text and the picture's size
// to the size loaded, or to a refusal (of the text, or of the worked-out size).
#include <gtest/gtest.h>

#include "size_request.h"

namespace tessaly_cli {
namespace {

TEST(SizeRequest, Table) {
    struct Case {
        const char* text;
        bool fit;
        std::uint32_t width, height;  // the picture's own size
        std::uint32_t wantWidth, wantHeight;  // 0 x 0: the text is refused; 1 x 0: the size is refused
    };
    const Case cases[] = {
        {"64x32", false, 160, 96, 64, 32},          // exact, the aspect ratio given up
        {"320X10", false, 160, 96, 320, 10},
        {"64x", false, 160, 96, 64, 38},            // 38.4
        {"x30", false, 160, 96, 50, 30},
        {"x1", false, 1000, 3, 333, 1},             // 333.3
        {"1x", false, 3, 1000, 1, 333},
        {"5x", false, 1000, 1, 5, 1},               // never below one pixel
        {"x2", false, 3, 4, 2, 2},                  // 1.5 rounds up
        {"50%", false, 161, 97, 81, 49},            // 80.5 and 48.5 round up
        {"12.5%", false, 160, 96, 20, 12},
        {"0.001%", false, 160, 96, 1, 1},
        {"200%", false, 160, 96, 320, 192},
        {"100%", false, 7, 5, 7, 5},
        {"1000x50>", false, 160, 96, 83, 50},       // the height limits first
        {"100x1000>", false, 160, 96, 100, 60},     // the width limits first
        {"1000x1000>", false, 160, 96, 160, 96},    // already inside: never enlarged
        {"160x96>", false, 160, 96, 160, 96},
        {"80x>", false, 160, 96, 80, 48},
        {"x200>", false, 160, 96, 160, 96},
        {"40x40", true, 160, 96, 40, 24},           // --fit is WxH>
        {"400x400", true, 160, 96, 160, 96},
        {"1000000x", false, 1, 1, 1000000, 1000000},
        {"1000000x", false, 1, 2, 1, 0},            // 2000000 high: over the limit
        {"100000%", false, 1001, 1, 1, 0},
        {"2147483647x", false, 2147483647, 1, 0, 0},  // a side over 1000000 is refused as typed
        {"1000001x1", false, 1, 1, 0, 0},
        {"0x5", false, 1, 1, 0, 0},
        {"x", false, 1, 1, 0, 0},
        {"5", false, 1, 1, 0, 0},
        {"5x5x5", false, 1, 1, 0, 0},
        {"-5x5", false, 1, 1, 0, 0},
        {"0%", false, 1, 1, 0, 0},
        {"5.%", false, 1, 1, 0, 0},
        {"1.2345%", false, 1, 1, 0, 0},
        {"%", false, 1, 1, 0, 0},
        {"50%", true, 1, 1, 0, 0},                  // --fit takes a box only
        {"5x5>>", false, 1, 1, 0, 0},
        {" 5x5", false, 1, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.fit ? " (--fit)" : "") + " of " + std::to_string(c.width) + " x " +
                     std::to_string(c.height));
        const auto request = ParseSizeRequest(c.text, c.fit);
        ASSERT_EQ(request.has_value(), c.wantWidth != 0);
        if (!request) continue;
        std::uint32_t w = 7, h = 7;
        std::string error;
        const bool resolved = ResolveSize(*request, c.width, c.height, w, h, error);
        ASSERT_EQ(resolved, c.wantHeight != 0) << error;
        if (resolved) {
            EXPECT_EQ(w, c.wantWidth);
            EXPECT_EQ(h, c.wantHeight);
        } else {
            EXPECT_EQ(w, 7u);  // a refused size leaves the outputs alone
            EXPECT_NE(error.find("larger than the host scales to"), std::string::npos) << error;
        }
    }
}

}  // namespace
}  // namespace tessaly_cli
