// A growable array of trivially copyable values for the store's large,
// long-lived arrays. Past 64 KiB it lives in its own anonymous memory
// mapping and grows with mremap: no copy, no transient second buffer, and
// memory that is released goes straight back to the system instead of
// lingering in the allocator's free lists (nor does a long-lived array pin
// the heap around the allocator's short-lived blocks).
#pragma once

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace velmora {

// Hands the allocator's free memory back to the system. A batch of many
// vectors leaves behind blocks of a few hundred KiB (conversions, per-task
// buffers) that glibc would otherwise keep resident, a few bytes per vector.
inline void release_free_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable<T>::value, "PageArray holds plain values");

 public:
  PageArray() = default;
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;
  PageArray(PageArray&& other) noexcept { swap(other); }
  PageArray& operator=(PageArray&& other) noexcept {
    PageArray(std::move(other)).swap(*this);
    return *this;
  }
  ~PageArray() { release(data_, capacity_); }

  void swap(PageArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(huge_pages_, other.huge_pages_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  // Room for n values; throws std::bad_alloc and then leaves the array as it was.
  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }

  // Room for n values, growing geometrically: for appends one at a time.
  void reserve_to_append(std::size_t n) {
    if (n > capacity_) reallocate(grown_capacity(n));
  }

  // Grows (filling new values with `fill`) or shrinks; the capacity never
  // shrinks.
  void resize(std::size_t n, T fill = T()) {
    if (n > capacity_) reallocate(grown_capacity(n));
    for (std::size_t i = size_; i < n; ++i) data_[i] = fill;
    size_ = n;
  }

  // Grows to n values and leaves the new ones unwritten, for callers that
  // write every one of them next (fresh pages are then touched once, by the
  // writer, instead of by a fill first).
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity_) reallocate(grown_capacity(n));
    size_ = n;
  }

  void push_back(T value) {
    if (size_ == capacity_) reallocate(grown_capacity(size_ + 1));
    data_[size_++] = value;
  }

  void append(const T* values, std::size_t n) {
    if (size_ + n > capacity_) reallocate(grown_capacity(size_ + n));
    if (n > 0) std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }

  void pop_back() { --size_; }

  // Asks for 2 MiB pages once the array lives in its own mapping: fewer TLB
  // misses for arrays that are streamed through, at the cost of up to one
  // partly used large page.
  void prefer_huge_pages() { huge_pages_ = true; }
  void clear() { size_ = 0; }

 private:
  static constexpr std::size_t kMapBytes = std::size_t{64} << 10;

  std::size_t grown_capacity(std::size_t needed) const {
    const std::size_t doubled = capacity_ > static_cast<std::size_t>(-1) / 2 ? needed : 2 * capacity_;
    return needed > doubled ? needed : doubled;
  }

  static std::size_t byte_size(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return n * sizeof(T);
  }

  static std::size_t page_round(std::size_t bytes) {
    const std::size_t page = 4096;
    if (bytes > static_cast<std::size_t>(-1) - page) throw std::bad_alloc();
    return (bytes + page - 1) / page * page;
  }

  static bool mapped(std::size_t capacity) { return capacity * sizeof(T) >= kMapBytes; }

  void reallocate(std::size_t capacity) {
    std::size_t bytes = byte_size(capacity);
    void* fresh;
    if (bytes < kMapBytes) {
      fresh = std::realloc(data_, bytes);  // data_ is malloc'd or null here
      if (fresh == nullptr) throw std::bad_alloc();
    } else {
      bytes = page_round(bytes);
      if (mapped(capacity_)) {
        fresh = mremap(data_, page_round(byte_size(capacity_)), bytes, MREMAP_MAYMOVE);
      } else {
        fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh != MAP_FAILED && size_ > 0) std::memcpy(fresh, data_, size_ * sizeof(T));
        if (fresh != MAP_FAILED) std::free(data_);
      }
      if (fresh == MAP_FAILED) throw std::bad_alloc();
      if (huge_pages_) madvise(fresh, bytes, MADV_HUGEPAGE);  // only advice: failure changes nothing
      capacity = bytes / sizeof(T);
    }
    data_ = static_cast<T*>(fresh);
    capacity_ = capacity;
  }

  static void release(T* data, std::size_t capacity) {
    if (data == nullptr) return;
    if (mapped(capacity)) {
      munmap(data, page_round(capacity * sizeof(T)));
    } else {
      std::free(data);
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool huge_pages_ = false;
};

}  // namespace velmora
