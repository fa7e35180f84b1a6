#pragma once

#include <cstdint>
#include <functional>

namespace network::common {

class Client;

// A unit of download work, run once by one worker on that worker's connection.
class DownloadTask {
 public:
  virtual ~DownloadTask() = default;
  // Performs the task on `client`, calling `progress` with the byte count of every data block
  // as it arrives. Throws whatever the exchange throws.
  virtual void Run(Client& client, const std::function<void(std::uint64_t)>& progress) = 0;
};

}  // namespace network::common
