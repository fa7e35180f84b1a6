#include "package/taln/db/updatedbpacket.h"

#include <cstdint>
#include <utility>
#include <vector>

#include <boost/throw_exception.hpp>

#include "package/network/protocol/ioerror.h"

namespace taln {
namespace {

// Indexes are 16-bit, so no server can number more files than this.
constexpr std::uint32_t kMaxItems = 65536;

}  // namespace

UpdateDB ReadUpdateDB(network::protocol::IPacket& packet) {
  std::uint32_t count = 0;
  packet >> count;
  if (count > kMaxItems) {
    BOOST_THROW_EXCEPTION(network::protocol::IO_Error()
                          << network::protocol::TagPacketCorrupted("Too many items"));
  }
  // Items are appended as they arrive, so memory follows the bytes that are really there.
  UpdateDB::Items items;
  for (std::uint32_t i = 0; i < count; ++i) {
    UpdateItem item;
    packet >> item.index >> item.name >> item.size >> item.hash >> item.required;
    NormalizeName(item.name);
    if (!IsSafeName(item.name))
      BOOST_THROW_EXCEPTION(UnsafeNameError() << TagUnsafeName(item.name));
    items.push_back(std::move(item));
  }
  return UpdateDB(std::move(items));
}

void WriteUpdateDB(network::protocol::OPacket& packet, const UpdateDB& db) {
  packet << static_cast<std::uint32_t>(db.size());
  for (const UpdateItem& item : db) {
    packet << item.index << item.name << item.size << item.hash << item.required;
  }
}

}  // namespace taln
