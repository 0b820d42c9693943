// Replaces the global operator new / delete family with malloc / free
// wrappers that count every allocation and, while a LargestAllocationProbe is
// alive, record the largest single request. Replacement functions are defined
// once per program, so include this header from exactly one translation unit
// of a test executable (its own _test.cpp), never from another header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace morva::allocation {

inline std::atomic<std::size_t> g_count{0};
inline std::atomic<bool> g_probe_armed{false};
inline std::atomic<std::size_t> g_largest{0};

inline void record(std::size_t size) {
  g_count.fetch_add(1, std::memory_order_relaxed);
  if (g_probe_armed.load(std::memory_order_relaxed)) {
    std::size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
  }
}

// Allocations made through operator new since the program started.
inline std::size_t count() {
  return g_count.load();
}

// The largest single request made while the probe is alive (one at a time).
class LargestAllocationProbe {
 public:
  LargestAllocationProbe() {
    g_largest.store(0);
    g_probe_armed.store(true);
  }
  ~LargestAllocationProbe() { g_probe_armed.store(false); }
  LargestAllocationProbe(const LargestAllocationProbe&) = delete;
  LargestAllocationProbe& operator=(const LargestAllocationProbe&) = delete;

  std::size_t largest() const { return g_largest.load(); }
};

}  // namespace morva::allocation

// Out of line, so that GCC does not pair an inlined free() with a
// new-expression; malloc and free do pair up here, which GCC cannot see.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
[[gnu::noinline]] void* operator new(std::size_t size) {
  morva::allocation::record(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
  return operator new(size);
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  morva::allocation::record(size);
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop
