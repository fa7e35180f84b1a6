#pragma once

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/taln/db/updatedb.h"

// The body of an UpdateDb reply: u32 item count, then per item the u16 index, the name (u32
// length and bytes), u64 size, the digest (u32 length and bytes) and a bool required. The
// modification time is not carried (it reads as 0).
namespace taln {

// The name that made a server's database unusable.
using TagUnsafeName = boost::error_info<struct TagUnsafeName_, std::string>;

// A server's database named a file outside the root (see IsSafeName); carries TagUnsafeName.
// The whole database is unusable: nothing of it may be used.
struct UnsafeNameError : virtual std::exception, virtual boost::exception {
  const char* what() const noexcept override { return "Unknown exception"; }
};

// Reads an UpdateDb reply body from the packet's cursor into a database without a root, turning
// every '\' in the names into '/'. Throws network::protocol::IO_Error when the body is shorter
// than its fields say, a count beyond the bytes left included (nothing is allocated for what is
// not there), or, with TagPacketCorrupted "Too many items", when it counts more than 65,536
// items (more than 16-bit indexes can number); throws UnsafeNameError at the first unsafe name.
UpdateDB ReadUpdateDB(network::protocol::IPacket& packet);

// Appends the items of `db` as an UpdateDb reply body, names as stored.
void WriteUpdateDB(network::protocol::OPacket& packet, const UpdateDB& db);

}  // namespace taln
