// What the CPU offers beyond the build's baseline, asked once per process, so
// one binary runs SSSE3, AVX2 and AVX-512 code where the CPU has it and the
// plain kernels elsewhere. The pattern every vector kernel family follows: an
// operation asks BestSimd() once and hands the level to the kernels it calls;
// a family takes its best variant at or below that level, and Simd::Scalar
// always gives its plain twin, which tests check every variant against.
// Vector variants live in *_x86.cpp files, so the plain files build anywhere.
#pragma once

#include <cstdint>
#include <vector>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSALY_X86_DISPATCH 1
#endif

namespace tessaly {

// Instruction sets with kernel variants, lowest first.
// Avx512 is F, BW, DQ and VL together (and the OS saving their registers);
// a family without an AVX-512 variant runs its AVX2 one there.
enum class Simd : std::uint8_t { Scalar, Sse2, Ssse3, Avx2, Avx512 };

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;
    bool fma = false;
    bool bmi2 = false;
    bool avx512 = false;
};

inline const CpuFeatures& Cpu() {
    static const CpuFeatures features = [] {
        CpuFeatures f;
#if defined(TESSALY_X86_DISPATCH)
        __builtin_cpu_init();
        f.sse2 = __builtin_cpu_supports("sse2");
        f.ssse3 = __builtin_cpu_supports("ssse3");
        f.avx2 = __builtin_cpu_supports("avx2");
        f.fma = __builtin_cpu_supports("fma");
        f.bmi2 = __builtin_cpu_supports("bmi2");
        f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
        return f;
    }();
    return features;
}

// The best level this CPU runs (a build without SSE2 in its baseline never
// uses SSE2 intrinsics, so then the CPU's SSE2 does not count).
inline Simd BestSimd() {
    const CpuFeatures& f = Cpu();
#if defined(__SSE2__) || defined(_M_X64)
    if (f.avx2 && f.avx512) return Simd::Avx512;
    if (f.avx2) return Simd::Avx2;
    if (f.ssse3) return Simd::Ssse3;
    if (f.sse2) return Simd::Sse2;
#endif
    (void)f;
    return Simd::Scalar;
}

// Every level this CPU runs, lowest first.
inline std::vector<Simd> AvailableSimd() {
    std::vector<Simd> levels;
    for (const Simd s : {Simd::Scalar, Simd::Sse2, Simd::Ssse3, Simd::Avx2, Simd::Avx512})
        if (s <= BestSimd()) levels.push_back(s);
    return levels;
}

}  // namespace tessaly
