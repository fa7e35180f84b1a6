#pragma once

#include <cstdint>

namespace test_support {

// Makes every write of this process past `bytes` into a file fail with EFBIG, as a full disk
// would, instead of ending the process with SIGXFSZ. For a test's forked child only: the limit
// holds for the rest of the process.
void LimitFileSize(std::uint64_t bytes);

}  // namespace test_support
