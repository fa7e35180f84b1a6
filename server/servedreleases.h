#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "server/releases.h"

namespace aus::server {

// The releases a server offers to new requests, replaced whole when they are reloaded. A
// connection takes the current state when it opens and again at each UpdateDb request, and holds
// on to it: a state stays alive while any connection holds it, so a replacement never pulls a
// list from under a download. Any thread may call any method.
class ServedReleases {
 public:
  explicit ServedReleases(std::shared_ptr<const Releases> releases);

  std::shared_ptr<const Releases> Current() const;
  // Makes `releases` the current state.
  void Replace(std::shared_ptr<const Releases> releases);
  // How many states have been current: 1 before any Replace.
  std::uint64_t Generation() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Releases> releases_;  // guarded by mutex_
  std::uint64_t generation_ = 1;              // guarded by mutex_
};

}  // namespace aus::server
