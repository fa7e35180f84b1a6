#include "package/taln/db/tests/largestallocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> recording{false};
std::atomic<std::size_t> largest{0};

}  // namespace

// Replacing the one basic form is enough: the array and nothrow forms call it.
void* operator new(std::size_t size) {
  if (recording.load(std::memory_order_relaxed)) {
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace taln_test {

LargestAllocation::LargestAllocation() {
  largest = 0;
  recording = true;
}

LargestAllocation::~LargestAllocation() { recording = false; }

std::size_t LargestAllocation::bytes() const { return largest; }

}  // namespace taln_test
