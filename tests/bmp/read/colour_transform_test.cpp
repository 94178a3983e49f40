// The colour transform's kernels: the vector kernel against the scalar one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "bmp/read/colour_transform.h"

namespace tessaly::test {
namespace {

TEST(ColourSpace, VectorKernelMatchesTheScalarOne) {
    if (!ColourTransform::VectorKernel()) GTEST_SKIP() << "no vector kernel on this CPU";
    SourceSpace space;
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v) space.linear[c][v] = std::pow(v / 255.0, 1.2 + 0.4 * c);
    space.toSrgb = {{{1.4, -0.3, -0.1}, {-0.05, 1.2, -0.15}, {0.02, -0.2, 1.18}}};
    const ColourTransform t(space);
    std::mt19937 rng(5);
    std::vector<std::uint32_t> a(1003);
    for (auto& px : a) px = static_cast<std::uint32_t>(rng());
    std::vector<std::uint32_t> b = a;
    t.Convert(a);
    t.ConvertScalar(b);
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace tessaly::test
