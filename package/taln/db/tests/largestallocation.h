#pragma once

#include <cstddef>

namespace taln_test {

// Records the largest single allocation made through operator new while it lives, so tests can
// show that hostile counts and lengths never reach the allocator.
class LargestAllocation {
 public:
  LargestAllocation();
  ~LargestAllocation();
  LargestAllocation(const LargestAllocation&) = delete;
  LargestAllocation& operator=(const LargestAllocation&) = delete;

  std::size_t bytes() const;
};

}  // namespace taln_test
