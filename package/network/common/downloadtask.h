#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace network::common {

class Client;

// A unit of download work, run once by one worker: an exchange on the worker's connection (a
// request, then its reply), then a finish that needs no connection (storing what arrived), which
// the worker may run on another thread while its connection serves the next task. A worker may
// send the requests of several tasks before it receives the first reply: the server answers them
// in request order.
class DownloadTask {
 public:
  virtual ~DownloadTask() = default;
  // Exchange, then Finish, on the calling thread.
  void Run(Client& client, const std::function<void(std::uint64_t)>& progress) {
    Exchange(client, progress);
    Finish();
  }
  // Send, then Receive.
  void Exchange(Client& client, const std::function<void(std::uint64_t)>& progress) {
    Send(client);
    Receive(client, progress);
  }
  // Sends the request on `client`, or queues it there to go out once the client waits for a
  // reply (Client::Queue). Throws the Client's errors.
  virtual void Send(Client& client) = 0;
  // Receives the reply to this task's request, which must be the next one `client` delivers,
  // calling `progress` with the byte count of every data block as it arrives. Throws whatever
  // the exchange throws.
  virtual void Receive(Client& client, const std::function<void(std::uint64_t)>& progress) = 0;
  // After a failed Send or Receive: drops what arrived, so that the task can be sent again on
  // another connection, and returns the bytes it had reported to `progress`.
  virtual std::uint64_t Reset() = 0;
  // Called once after a successful Receive, on any thread. Throws whatever storing throws.
  virtual void Finish() = 0;
  // For logs: what the task fetches.
  virtual std::string Describe() const = 0;
};

}  // namespace network::common
