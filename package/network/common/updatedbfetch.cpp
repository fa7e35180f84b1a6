#include "package/network/common/updatedbfetch.h"

#include "package/network/common/client.h"
#include "package/taln/db/updatedbpacket.h"

namespace network::common {

namespace {

constexpr unsigned char kUpdateDbType = 10;

}  // namespace

std::optional<taln::UpdateDB> FetchUpdateDB(Client& client, bool latest, const Version& version) {
  protocol::OPacket request(false, kUpdateDbType);
  request << latest << version;
  client.Send(request);
  const auto reply = client.Receive();
  if (reply->Type() != kUpdateDbType || !reply->IsReply()) return std::nullopt;
  return taln::ReadUpdateDB(*reply);
}

}  // namespace network::common
