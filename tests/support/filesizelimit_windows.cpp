#include <cstdio>
#include <cstdlib>

#include "tests/support/filesizelimit.h"

namespace test_support {

// Windows has no limit on the size of a process's files; the tests that need one are skipped
// there, and calling this is a mistake in the test.
void LimitFileSize(std::uint64_t /*bytes*/) {
  std::fputs("LimitFileSize: Windows has no file size limit\n", stderr);
  std::abort();
}

}  // namespace test_support
