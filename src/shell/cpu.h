// What the CPU offers beyond the build's baseline, asked once per process, so
// one binary runs SSSE3, AVX2 and AVX-512 code where the CPU has it and the
// plain kernels elsewhere. The pattern every vector kernel family follows: the
// family is a KernelFamily (below), a small table of its variants by level;
// the code that runs the kernel takes Best() once, when it is set up, and
// never asks again in a loop; tests take each level in turn and check it
// against the plain twin. Vector variants live in *_x86.cpp files, so the
// plain files build anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSALY_X86_DISPATCH 1
#endif

namespace tessaly {

// Instruction sets with kernel variants, lowest first.
// Avx512 is F, BW, DQ and VL together (and the OS saving their registers);
// a family without an AVX-512 variant runs its AVX2 one there. Avx512Vbmi
// adds VBMI's byte permutes across a whole register.
enum class Simd : std::uint8_t { Scalar, Sse2, Ssse3, Avx2, Avx512, Avx512Vbmi };

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;
    bool fma = false;
    bool bmi2 = false;
    bool avx512 = false;
    bool avx512vbmi = false;
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
        f.avx512vbmi = f.avx512 && __builtin_cpu_supports("avx512vbmi");
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
    if (f.avx2 && f.avx512vbmi) return Simd::Avx512Vbmi;
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
    for (const Simd s : {Simd::Scalar, Simd::Sse2, Simd::Ssse3, Simd::Avx2, Simd::Avx512, Simd::Avx512Vbmi})
        if (s <= BestSimd()) levels.push_back(s);
    return levels;
}

// The variants of one kernel family, by the level each needs: entry s is the
// best variant at or below level s, so choosing is one index, made once per
// operation (Best()) or per test (at a given level). A family starts from its
// plain twin; With() adds a vector variant, lowest level first.
template <class Fn>
class KernelFamily {
public:
    explicit constexpr KernelFamily(Fn plain) {
        for (Fn& f : byLevel_) f = plain;
    }
    [[nodiscard]] constexpr KernelFamily With(Simd level, Fn variant) const {
        KernelFamily out = *this;
        for (std::size_t s = static_cast<std::size_t>(level); s < kLevels; ++s) out.byLevel_[s] = variant;
        return out;
    }
    [[nodiscard]] constexpr Fn At(Simd level) const { return byLevel_[static_cast<std::size_t>(level)]; }
    [[nodiscard]] Fn Best() const { return At(BestSimd()); }
    [[nodiscard]] constexpr Fn Plain() const { return At(Simd::Scalar); }

private:
    static constexpr std::size_t kLevels = static_cast<std::size_t>(Simd::Avx512Vbmi) + 1;
    Fn byLevel_[kLevels] = {};
};

}  // namespace tessaly
