#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "tests/support/scratchdir.h"

namespace e2e {

// The built aus-server serving `releases` on 127.0.0.1, on `port` or, for "0", a port it picks
// itself; stopped with SIGTERM on destruction.
class AusServerProcess {
 public:
  explicit AusServerProcess(const std::filesystem::path& releases, const std::string& port = "0");
  ~AusServerProcess();
  AusServerProcess(const AusServerProcess&) = delete;
  AusServerProcess& operator=(const AusServerProcess&) = delete;

  // Empty when the server did not report its port within 30 seconds.
  const std::string& port() const { return port_; }

 private:
  test_support::ScratchDir output_;
  pid_t pid_ = -1;
  std::string port_;
};

}  // namespace e2e
