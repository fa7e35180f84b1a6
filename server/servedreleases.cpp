#include "server/servedreleases.h"

#include <utility>

namespace aus::server {

ServedReleases::ServedReleases(std::shared_ptr<const Releases> releases)
    : releases_(std::move(releases)) {}

std::shared_ptr<const Releases> ServedReleases::Current() const {
  std::lock_guard lock(mutex_);
  return releases_;
}

void ServedReleases::Replace(std::shared_ptr<const Releases> releases) {
  // The old state is released outside the lock: when no connection holds it, freeing a large
  // release list should not keep others waiting.
  std::shared_ptr<const Releases> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(releases_, std::move(releases));
  ++generation_;
}

std::uint64_t ServedReleases::Generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

}  // namespace aus::server
