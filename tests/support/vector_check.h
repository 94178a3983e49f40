// The one check every vector kernel family gets: for each length 0..maxLength
// and each vector level this CPU runs, run(n, level) gives what
// run(n, Simd::Scalar) gives. `run` builds its input from n (the same every
// time) and returns the kernel's output.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "shell/cpu.h"

namespace tessaly::test {

template <class Run>
void ExpectVectorMatchesScalar(std::size_t maxLength, Run run) {
    for (const Simd level : AvailableSimd()) {
        if (level == Simd::Scalar) continue;
        SCOPED_TRACE("vector level " + std::to_string(static_cast<int>(level)));
        for (std::size_t n = 0; n <= maxLength; ++n) ASSERT_EQ(run(n, level), run(n, Simd::Scalar)) << "length " << n;
    }
}

}  // namespace tessaly::test
