#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "package/network/common/downloadtask.h"
#include "package/network/common/file.h"
#include "package/network/protocol/opacket.h"

namespace network::common {

// The range size files are cut into; also bounds what a whole-file task of unknown size accepts.
inline constexpr std::uint64_t kPartSize = 2097152;

// One byte range of a File: bytes [offset, offset + length), or from offset to the end of the
// file when length is 0.
class DownloadFile : public DownloadTask {
 public:
  // Gets the range's bytes once they are on disk.
  using Written = std::function<void(std::string_view data)>;

  // Builds the FileData request (type 11) at once from the file's current addressing. `written`,
  // when set, is called by Finish once the range is on disk.
  DownloadFile(std::shared_ptr<File> file, std::uint64_t offset, std::uint64_t length,
               Written written = {});

  // Queues the FileData request on `client`: it goes out with the requests queued after it when
  // the client next waits for a reply.
  void Send(Client& client) override;
  // Collects the reply blocks in memory until the empty one, calling `progress` with each
  // block's length (the last call reports 0). Throws std::logic_error("Unexpected packet") for a
  // reply of another type or without the reply bit, aus::UpdateError when the server refuses,
  // IO_Error for a malformed reply or for more bytes than the range can hold, and the Client's
  // errors.
  void Receive(Client& client, const std::function<void(std::uint64_t)>& progress) override;
  std::uint64_t Reset() override;
  // After a successful Exchange: writes the collected range with File::Write at the offset,
  // releases it and calls `written`; throws File::Write's errors and what `written` throws. A
  // range whose exchange failed is never written.
  void Finish() override;
  // "'<local path>' bytes <offset> to <end>" (or "to its end").
  std::string Describe() const override;

 private:
  std::shared_ptr<File> file_;
  // The range's bytes, from Exchange until Finish. Made then, not with the task: a release of
  // thousands of small files queues a task for each, and a stream costs about 400 bytes.
  std::unique_ptr<std::ostringstream> buffer_;
  std::uint64_t offset_;
  std::uint64_t limit_;  // most bytes the range can hold
  std::uint64_t length_;
  std::uint64_t received_ = 0;  // reported to progress since the last Send
  protocol::OPacket request_;
  Written written_;
};

}  // namespace network::common
