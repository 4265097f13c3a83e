// An allocator whose memory starts on a cache line, for buffers that SIMD
// kernels read in whole 64-byte registers: a load that spans two lines costs
// an extra access.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace velmora {
namespace kernels {

inline constexpr std::size_t kCacheLineBytes = 64;

template <class T>
struct LineAlignedAllocator {
  using value_type = T;

  LineAlignedAllocator() = default;
  template <class U>
  LineAlignedAllocator(const LineAlignedAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kCacheLineBytes}));
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{kCacheLineBytes}); }

  template <class U>
  bool operator==(const LineAlignedAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const LineAlignedAllocator<U>&) const noexcept {
    return false;
  }
};

template <class T>
using LineAlignedVector = std::vector<T, LineAlignedAllocator<T>>;

}  // namespace kernels
}  // namespace velmora
