#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/updateerror.h"
#include "server/messagetype.h"
#include "server/releases.h"

namespace aus::server {

using PacketBuffer = std::shared_ptr<const network::protocol::OPacket::Buffer>;

// The bytes [begin, end) of a file, to be sent as FileData blocks ending with an empty one.
struct Transfer {
  const ReleaseFile* file = nullptr;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// What a connection does with one request.
struct Answer {
  enum class Action {
    kNothing,   // greetings: no reply
    kReply,     // send `reply` (a result or a refusal)
    kTransfer,  // stream `transfer`
    kClose,     // the request cannot be answered: close the connection
  };
  Action action = Action::kNothing;
  PacketBuffer reply;
  Transfer transfer;
  // For the log when the request is refused, answered empty for an unavailable release, or the
  // connection closed; empty otherwise.
  std::string note;
  // The code when `reply` is a refusal.
  std::optional<aus::error_code> refusal;
};

// The answer to one request, from the releases (which must outlive the answer). Never throws on
// any packet content:
// - UpdateDb: the latest release's list, or the named version's; empty for an unknown version.
// - FileSize, FileData by path: version {0, 0, 0} means the latest release. FileData by index
//   addresses the latest release. A range length of 0, or one running past the end, ends at the
//   end of the file; an offset past the end gives an empty range.
// - A release left out as broken is unavailable, and so is "latest" while the newest release is
//   one: UpdateDb lists nothing for it, FileSize and FileData are refused with kReadFailed. An
//   older release never answers in its place.
// - Refusals (FileSize, FileData): kInvalidRequest for a body that does not match its layout
//   exactly or a name that would leave the release folder, kUnknownVersion, kFileNotFound,
//   kReadFailed for an unavailable release.
// - kClose for a packet with the reply bit, an unknown type, or a greeting or UpdateDb request
//   that does not match its layout (those have no refusal reply).
Answer AnswerRequest(const Releases& releases, network::protocol::IPacket& request);

// A refusal: `type`, ok false, then the code.
PacketBuffer Refusal(unsigned char type, aus::error_code code);

}  // namespace aus::server
