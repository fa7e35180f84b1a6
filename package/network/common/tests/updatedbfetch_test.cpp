#include "package/network/common/updatedbfetch.h"

#include <string>

#include <gtest/gtest.h>

#include "package/network/common/client.h"
#include "package/network/common/tests/contentserver.h"
#include "package/taln/db/updatedbpacket.h"

namespace {

using network::common::Client;
using network::common::FetchUpdateDB;
using network::common::testing::Bytes;
using network::common::testing::ScriptedServer;
using network::protocol::OPacket;
using taln::UpdateDB;
using taln::UpdateItem;

constexpr Version kVersion{4, 35, 1906051200};

std::string Reply(bool reply, unsigned char type, const UpdateDB::Items& items) {
  OPacket packet(reply, type);
  taln::WriteUpdateDB(packet, UpdateDB(items));
  return Bytes(packet);
}

TEST(FetchUpdateDBTest, SendsLatestAndVersionAndReadsItemsWithSlashedNames) {
  ScriptedServer server(
      Reply(true, 10, {{3, "data\\x.pak", 5, 0, {0xab}, true}, {4, "a.exe", 9, 0, {}, false}}));
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  const auto db = FetchUpdateDB(client, false, Version{1, 2, 3});
  EXPECT_EQ(server.request(), std::string("\x0f\0\0\0\x00\x0a"
                                          "\x00"
                                          "\x01\0\0\0\x02\0\0\0\x03\0\0\0",
                                          19));
  ASSERT_TRUE(db);
  const UpdateDB::Items expected = {{3, "data/x.pak", 5, 0, {0xab}, true},
                                    {4, "a.exe", 9, 0, {}, false}};
  EXPECT_EQ(UpdateDB::Items(db->begin(), db->end()), expected);
}

TEST(FetchUpdateDBTest, EmptyListIsAnEmptyDatabase) {
  ScriptedServer server(Reply(true, 10, {}));
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  const auto db = FetchUpdateDB(client, true, Version{});
  ASSERT_TRUE(db);
  EXPECT_EQ(db->size(), 0u);
  EXPECT_EQ(server.request().substr(6, 1), "\x01");
}

TEST(FetchUpdateDBTest, UnexpectedReplyYieldsNothing) {
  for (const auto& [reply, type] : {std::pair{true, 11}, std::pair{false, 10}}) {
    SCOPED_TRACE(type);
    ScriptedServer server(
        Reply(reply, static_cast<unsigned char>(type), {{1, "a", 1, 0, {}, true}}));
    Client client("127.0.0.1", server.port(), kVersion, "win32", true);
    EXPECT_FALSE(FetchUpdateDB(client, true, Version{}));
  }
}

TEST(FetchUpdateDBTest, HostileRepliesThrow) {
  // 20-byte packet claiming four billion items.
  {
    ScriptedServer server(std::string("\x10\0\0\0\x01\x0a\x00\x28\x6b\xee", 10) +
                          std::string(10, '\x01'));
    Client client("127.0.0.1", server.port(), kVersion, "win32", true);
    EXPECT_THROW(FetchUpdateDB(client, true, Version{}), network::protocol::IO_Error);
  }
  {
    ScriptedServer server(Reply(true, 10, {{1, "..\\evil.exe", 1, 0, {}, true}}));
    Client client("127.0.0.1", server.port(), kVersion, "win32", true);
    EXPECT_THROW(FetchUpdateDB(client, true, Version{}), taln::UnsafeNameError);
  }
}

}  // namespace
