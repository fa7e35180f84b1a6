#pragma once

#include <optional>

#include "package/network/protocol/version.h"
#include "package/taln/db/updatedb.h"

namespace network::common {

class Client;

// Asks the server for the files of a client version (UpdateDb, type 10: bool latest, then the
// version; latest true means the newest version, whatever `version` says) and reads the reply's
// items, names turned to '/'. Returns nothing when the reply has another type or lacks the reply
// bit; the caller logs "Received unexpected message". Throws the Client's errors,
// network::protocol::IO_Error for a short reply and taln::UnsafeNameError when an item names a
// file outside the root (the whole reply is then unusable).
std::optional<taln::UpdateDB> FetchUpdateDB(Client& client, bool latest, const Version& version);

}  // namespace network::common
