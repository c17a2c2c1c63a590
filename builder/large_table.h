// Storage for the delta encoder's large tables (hash chains, the gram filter):
// aligned to 2 MiB and, where the system offers them, in large pages. Entries
// that resize() adds are left uninitialized.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "builder/host.h"

constexpr size_t kLargePageSize = size_t(2) << 20;

template <typename T>
struct LargePageAllocator {
  using value_type = T;

  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) {}

  // Tables smaller than a large page come from the heap as usual.
  T* allocate(size_t count) {
    const size_t bytes = count * sizeof(T);
    if (bytes < kLargePageSize) return static_cast<T*>(::operator new(bytes));
    void* start = ::operator new(RoundedUp(bytes), std::align_val_t(kLargePageSize));
    // Before the first touch: pages are chosen when they are first written.
    AdviseLargePages(start, RoundedUp(bytes));
    return static_cast<T*>(start);
  }
  void deallocate(T* start, size_t count) {
    if (count * sizeof(T) < kLargePageSize)
      ::operator delete(start);
    else
      ::operator delete(start, std::align_val_t(kLargePageSize));
  }
  // resize() leaves new entries uninitialized: where the builder writes every
  // one anyway, zeroing them first would only cost a pass over the table.
  template <typename U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }

  bool operator==(const LargePageAllocator&) const { return true; }
  bool operator!=(const LargePageAllocator&) const { return false; }

 private:
  static size_t RoundedUp(size_t bytes) { return (bytes + kLargePageSize - 1) & ~(kLargePageSize - 1); }
};

template <typename T>
using LargeTable = std::vector<T, LargePageAllocator<T>>;
