// What the CPU offers beyond the build's baseline, asked once per process, so
// one binary uses SSSE3 and AVX2 where they exist and the plain kernels
// elsewhere. Each kernel family picks its variant once per operation from here.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSALY_X86_DISPATCH 1
#endif

namespace tessaly {

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;
};

inline const CpuFeatures& Cpu() {
    static const CpuFeatures features = [] {
        CpuFeatures f;
#if defined(TESSALY_X86_DISPATCH)
        __builtin_cpu_init();
        f.sse2 = __builtin_cpu_supports("sse2");
        f.ssse3 = __builtin_cpu_supports("ssse3");
        f.avx2 = __builtin_cpu_supports("avx2");
#endif
        return f;
    }();
    return features;
}

inline bool HaveSsse3() { return Cpu().ssse3; }

}  // namespace tessaly
