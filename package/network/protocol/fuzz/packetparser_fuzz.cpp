// libFuzzer target: the input is a byte stream from a hostile server, fed to PacketParser in
// chunks whose size the first input byte picks; every packet is then read as one of the reply
// shapes the launcher and the server decode. IO_Error is the only acceptable failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/packetparser.h"

namespace {

using network::protocol::IO_Error;
using network::protocol::IPacket;

void Check(bool condition) {
  if (!condition) std::abort();
}

void ReadFields(IPacket& packet) {
  bool flag = false;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  std::string text;
  Version version;
  aus::error_code code{};
  switch (packet.Type() % 6) {
    case 0: {
      std::vector<std::string> names;
      packet >> names;
      break;
    }
    case 1: {
      packet >> flag;
      std::ostringstream sink;
      for (;;) {
        const std::size_t before = packet.Remaining();
        const std::uint32_t count = packet.ReadTo(sink);
        Check(packet.Remaining() == before - 4 - count);
        if (count == 0) break;
      }
      break;
    }
    case 2: {
      // An UpdateDb item list.
      packet >> u32;
      for (std::uint32_t i = 0; i < u32; ++i) {
        std::vector<unsigned char> hash;
        packet >> u16 >> text >> u64 >> hash >> flag;
      }
      break;
    }
    case 3:
      packet >> flag >> version >> text >> u64 >> u64;
      break;
    case 4: {
      std::vector<std::vector<std::uint16_t>> nested;
      packet >> nested;
      break;
    }
    default:
      packet >> flag >> code >> u32 >> u64;
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = data[0] + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t count = size - 1;
  network::protocol::PacketParser parser;
  try {
    for (std::size_t at = 0; at < count; at += chunk) {
      parser.Feed(bytes + at, std::min(chunk, count - at));
      while (auto packet = parser.Pop()) {
        const std::size_t before = packet->Remaining();
        try {
          ReadFields(*packet);
        } catch (const IO_Error&) {
        }
        Check(packet->Remaining() <= before);
      }
    }
  } catch (const IO_Error&) {
  }
  return 0;
}
