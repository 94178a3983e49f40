// TESSALY_ASSERT guards invariants that only a bug in this library could
// break; input never trips it. Checked in debug builds, gone in release builds.
#pragma once

#include <cstdlib>

#ifndef NDEBUG
#define TESSALY_ASSERT(cond) \
    do {                     \
        if (!(cond)) std::abort(); \
    } while (0)
#else
#define TESSALY_ASSERT(cond) ((void)0)
#endif
