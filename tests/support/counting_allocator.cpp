#include "tests/support/counting_allocator.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

// Each block starts with a header holding its size; the caller gets the
// bytes after it. The header keeps the alignment malloc gives.
constexpr std::size_t HeaderBytes = alignof(std::max_align_t);

std::atomic<bool> Counting{false};
std::atomic<std::size_t> Calls{0};
std::atomic<std::size_t> Bytes{0};
std::atomic<std::size_t> Largest{0};
std::atomic<std::size_t> Live{0};
std::atomic<std::size_t> Peak{0};

void RaiseTo(std::atomic<std::size_t>& value, std::size_t candidate) {
  std::size_t seen = value.load(std::memory_order_relaxed);
  while (candidate > seen && !value.compare_exchange_weak(seen, candidate, std::memory_order_relaxed)) {
  }
}

void* Allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(HeaderBytes + size));
  if (!block) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  const std::size_t live = Live.fetch_add(size, std::memory_order_relaxed) + size;
  if (Counting.load(std::memory_order_relaxed)) {
    Calls.fetch_add(1, std::memory_order_relaxed);
    Bytes.fetch_add(size, std::memory_order_relaxed);
    RaiseTo(Largest, size);
    RaiseTo(Peak, live);
  }
  return block + HeaderBytes;
}

void Release(void* pointer) noexcept {
  if (!pointer) return;
  unsigned char* block = static_cast<unsigned char*>(pointer) - HeaderBytes;
  Live.fetch_sub(*reinterpret_cast<std::size_t*>(block), std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }

namespace QSTesting {

VAllocationReport MeasureAllocations(const std::function<void()>& step) {
  Calls = 0;
  Bytes = 0;
  Largest = 0;
  const std::size_t start = Live.load();
  Peak = start;
  Counting = true;
  step();
  Counting = false;
  const std::size_t peak = Peak.load();
  return {Calls.load(), Bytes.load(), Largest.load(), peak > start ? peak - start : 0};
}

std::size_t LiveBytes() { return Live.load(); }

}  // namespace QSTesting
