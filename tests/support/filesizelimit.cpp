#include "tests/support/filesizelimit.h"

#include <sys/resource.h>

#include <csignal>

namespace test_support {

void LimitFileSize(std::uint64_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace test_support
