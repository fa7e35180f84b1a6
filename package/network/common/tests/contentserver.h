#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "tests/support/fakeserver.h"

namespace network::common::testing {

constexpr std::size_t kGreetingSize = 45;

inline std::string Bytes(protocol::OPacket& packet) {
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

// A server that answers the first request after the greeting with the bytes `replies` and
// records that request.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string replies)
      : replies_(std::move(replies)), server_([this](test_support::FakeConnection& c) {
          c.Read(kGreetingSize);
          std::string request = c.ReadPacket();
          {
            std::lock_guard lock(mutex_);
            request_ = std::move(request);
          }
          c.Write(replies_);
          c.WaitForClose();
        }) {}
  std::string port() const { return server_.port(); }
  int accepted() const { return server_.accepted(); }
  // Complete once the client has received a reply.
  std::string request() const {
    std::lock_guard lock(mutex_);
    return request_;
  }

 private:
  const std::string replies_;
  mutable std::mutex mutex_;
  std::string request_;  // guarded by mutex_
  test_support::FakeServer server_;
};

// A FileSize or FileData request as the server decoded it.
struct Request {
  unsigned char type = 0;
  std::string key;  // the remote path, or "#<index>" for a request by index
  Version version;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// An update server answering FileSize and FileData requests from files held in memory, keyed by
// remote path or "#<index>". Unknown files are refused with kFileNotFound. FileData replies come
// in blocks of `blockSize` bytes, then the empty block. `beforeReply`, when given, runs on the
// connection's thread after a request is recorded and before it is answered. `cut`, when given
// and true for a FileData request, sends only the first half of that reply's bytes and then
// shuts the connection down, as a dropped connection does.
class ContentServer {
 public:
  using Files = std::map<std::string, std::string>;

  using Hook = std::function<void(const Request&)>;
  using Cut = std::function<bool(const Request&)>;

  explicit ContentServer(Files files, std::size_t blockSize = 4096, Hook beforeReply = {},
                         Cut cut = {})
      : files_(std::move(files)),
        blockSize_(blockSize),
        beforeReply_(std::move(beforeReply)),
        cut_(std::move(cut)),
        server_([this](test_support::FakeConnection& c) { Serve(c); }) {}

  std::string port() const { return server_.port(); }
  int accepted() const { return server_.accepted(); }
  bool WaitUntilAccepted(int count, std::chrono::milliseconds timeout) const {
    return server_.WaitUntilAccepted(count, timeout);
  }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve(test_support::FakeConnection& connection) {
    connection.Read(kGreetingSize);
    for (;;) {
      const std::string bytes = connection.ReadPacket();
      protocol::IPacket packet(bytes.data(), bytes.data() + bytes.size());
      const Request request = Decode(packet);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      if (beforeReply_) beforeReply_(request);
      const auto file = files_.find(request.key);
      if (file == files_.end()) {
        protocol::OPacket refusal(true, request.type);
        refusal << false << aus::error_code::kFileNotFound;
        connection.Write(Bytes(refusal));
      } else if (request.type == 12) {
        protocol::OPacket reply(true, 12);
        reply << true << std::uint64_t{file->second.size()};
        connection.Write(Bytes(reply));
      } else if (cut_ && cut_(request)) {
        const std::string replies = RangeReplies(file->second, request);
        connection.Write(replies.substr(0, replies.size() / 2));
        connection.Shutdown();
        return;
      } else {
        connection.Write(RangeReplies(file->second, request));
      }
    }
  }

  static Request Decode(protocol::IPacket& packet) {
    Request request;
    request.type = packet.Type();
    bool byIndex = false;
    if (request.type == 11) packet >> byIndex;
    if (byIndex) {
      std::uint16_t index = 0;
      packet >> index;
      request.key = "#" + std::to_string(index);
    } else {
      packet >> request.version >> request.key;
    }
    if (request.type == 11) packet >> request.offset >> request.length;
    return request;
  }

  std::string RangeReplies(const std::string& content, const Request& request) const {
    const std::size_t begin = std::min<std::size_t>(request.offset, content.size());
    const std::size_t end = request.length == 0
                                ? content.size()
                                : std::min<std::size_t>(content.size(), begin + request.length);
    std::string replies;
    for (std::size_t at = begin;; at += blockSize_) {
      const std::size_t count = std::min(blockSize_, end - std::min(at, end));
      protocol::OPacket reply(true, 11);
      reply << true;
      reply.WriteBlock(content.data() + at, static_cast<std::uint32_t>(count));
      replies += Bytes(reply);
      if (count == 0) break;
    }
    return replies;
  }

  const std::map<std::string, std::string> files_;
  const std::size_t blockSize_;
  const Hook beforeReply_;
  const Cut cut_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;    // guarded by mutex_
  test_support::FakeServer server_;  // last: its destructor joins the scripts using the above
};

}  // namespace network::common::testing
