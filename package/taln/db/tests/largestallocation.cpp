#include "package/taln/db/tests/largestallocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> recording{false};
std::atomic<std::size_t> largest{0};

void* Allocate(std::size_t size) noexcept {
  if (recording.load(std::memory_order_relaxed)) {
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(std::size_t size) {
  if (void* memory = Allocate(size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

// Every unaligned form is replaced, so that each allocation and its release meet in the same
// allocator (a sanitizer runtime would otherwise pair its own new with this delete).
void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace taln_test {

LargestAllocation::LargestAllocation() {
  largest = 0;
  recording = true;
}

LargestAllocation::~LargestAllocation() { recording = false; }

std::size_t LargestAllocation::bytes() const { return largest; }

}  // namespace taln_test
