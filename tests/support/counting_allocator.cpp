#include "support/counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace tessaly::test {
namespace {

std::atomic<bool> g_armed{false};
std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_current{0};
std::atomic<std::size_t> g_peak{0};

// Each block carries its size in front, so delete can subtract it.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t n) {
    void* raw = std::malloc(n + kHeader);
    if (!raw) throw std::bad_alloc();
    *static_cast<std::size_t*>(raw) = n;
    if (g_armed.load(std::memory_order_relaxed)) {
        std::size_t largest = g_largest.load();
        while (n > largest && !g_largest.compare_exchange_weak(largest, n)) {
        }
        const std::size_t now = g_current.fetch_add(n) + n;
        std::size_t peak = g_peak.load();
        while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
        }
    }
    return static_cast<char*>(raw) + kHeader;
}

void Release(void* p) noexcept {
    if (!p) return;
    void* raw = static_cast<char*>(p) - kHeader;
    const std::size_t n = *static_cast<std::size_t*>(raw);
    if (g_armed.load(std::memory_order_relaxed)) {
        std::size_t current = g_current.load();
        // Blocks allocated before arming are not subtracted below zero.
        while (!g_current.compare_exchange_weak(current, current >= n ? current - n : 0)) {
        }
    }
    std::free(raw);
}

}  // namespace

AllocationWatch::AllocationWatch() {
    g_largest = 0;
    g_current = 0;
    g_peak = 0;
    g_armed = true;
}
AllocationWatch::~AllocationWatch() { g_armed = false; }
std::size_t AllocationWatch::Largest() const { return g_largest.load(); }
std::size_t AllocationWatch::Peak() const { return g_peak.load(); }

}  // namespace tessaly::test

void* operator new(std::size_t n) { return tessaly::test::Allocate(n); }
void* operator new[](std::size_t n) { return tessaly::test::Allocate(n); }
void operator delete(void* p) noexcept { tessaly::test::Release(p); }
void operator delete[](void* p) noexcept { tessaly::test::Release(p); }
void operator delete(void* p, std::size_t) noexcept { tessaly::test::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { tessaly::test::Release(p); }
// The nothrow forms too, so every block (std::stable_sort's buffer, say) comes and goes through the same pair.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return tessaly::test::Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tessaly::test::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tessaly::test::Release(p); }
