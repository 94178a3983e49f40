// What the CPU offers beyond the build's baseline, asked at run time, so one
// binary uses SSSE3 where it exists and the plain kernels elsewhere.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSALY_X86_DISPATCH 1
#endif

namespace tessaly {

inline bool HaveSsse3() {
#if defined(TESSALY_X86_DISPATCH)
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

}  // namespace tessaly
