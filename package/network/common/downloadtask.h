#pragma once

#include <cstdint>
#include <functional>

namespace network::common {

class Client;

// A unit of download work, run once by one worker: an exchange on the worker's connection, then
// a finish that needs no connection (storing what arrived), which the worker may run on another
// thread while its connection serves the next task.
class DownloadTask {
 public:
  virtual ~DownloadTask() = default;
  // Exchange, then Finish, on the calling thread.
  void Run(Client& client, const std::function<void(std::uint64_t)>& progress) {
    Exchange(client, progress);
    Finish();
  }
  // Performs the exchange on `client`, calling `progress` with the byte count of every data
  // block as it arrives. Throws whatever the exchange throws.
  virtual void Exchange(Client& client, const std::function<void(std::uint64_t)>& progress) = 0;
  // Called once after a successful Exchange, on any thread. Throws whatever storing throws.
  virtual void Finish() = 0;
};

}  // namespace network::common
