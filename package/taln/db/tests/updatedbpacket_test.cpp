#include "package/taln/db/updatedbpacket.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "package/taln/db/tests/largestallocation.h"
#include "tests/support/bytes.h"

namespace {

using network::protocol::IO_Error;
using network::protocol::IPacket;
using network::protocol::OPacket;
using taln::UpdateDB;
using taln::UpdateItem;

using test_support::Hex;
using test_support::Le32;

// An UpdateDb reply around `body`.
IPacket Reply(const std::string& body) {
  const std::string bytes = Le32(static_cast<std::uint32_t>(body.size() + 2)) + Hex("01 0a") + body;
  return IPacket(bytes.data(), bytes.data() + bytes.size());
}

std::string ItemWithName(const std::string& name) {
  return Hex("00 00") + Le32(static_cast<std::uint32_t>(name.size())) + name +
         std::string(8, '\0') + Le32(0) + Hex("01");
}

// Two items as the server sends them: the second named with a backslash.
const std::string kBody = Hex(
    "02 00 00 00"
    // index 7, "a.bin", size 3, 2-byte digest 0a ff, required
    " 07 00  05 00 00 00  61 2e 62 69 6e  03 00 00 00 00 00 00 00  02 00 00 00  0a ff  01"
    // index 258, "data\x.pak", size 2^32, no digest, not required
    " 02 01  0a 00 00 00  64 61 74 61 5c 78 2e 70 61 6b  00 00 00 00 01 00 00 00  00 00 00 00  00");

TEST(UpdateDBPacketTest, ReadsItemsWithSlashNamesAndNoTime) {
  IPacket packet = Reply(kBody);
  const UpdateDB db = taln::ReadUpdateDB(packet);
  const std::vector<UpdateItem> expected = {{7, "a.bin", 3, 0, {0x0a, 0xff}, true},
                                            {258, "data/x.pak", 1ull << 32, 0, {}, false}};
  EXPECT_TRUE(std::equal(db.begin(), db.end(), expected.begin(), expected.end()));
  EXPECT_TRUE(db.Root().empty());
  EXPECT_EQ(packet.Remaining(), 0u);
}

TEST(UpdateDBPacketTest, WritesTheSameLayout) {
  OPacket packet(true, 10);
  taln::WriteUpdateDB(packet, UpdateDB({{7, "a.bin", 3, 99, {0x0a, 0xff}, true},
                                        {258, "data\\x.pak", 1ull << 32, 99, {}, false}}));
  const auto bytes = packet.Data();
  EXPECT_EQ(std::string(bytes->begin() + IPacket::kHeaderSize, bytes->end()), kBody);
}

TEST(UpdateDBPacketTest, ShortOrHostileBodyIsIOErrorWithoutLargeAllocation) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"count beyond the bytes left", Le32(65536) + ItemWithName("a")},
      {"name length beyond the packet", Le32(1) + Hex("00 00") + Le32(0xfffffff0u) + "abc"},
      {"digest length beyond the packet",
       Le32(1) + Hex("00 00") + Le32(1) + "a" + std::string(8, '\0') + Le32(0xfffffff0u) + "x"},
  };
  for (std::size_t length = 0; length < kBody.size(); ++length) {
    cases.emplace_back("prefix of " + std::to_string(length), kBody.substr(0, length));
  }
  for (const auto& [name, body] : cases) {
    SCOPED_TRACE(name);
    IPacket packet = Reply(body);
    taln_test::LargestAllocation largest;
    try {
      taln::ReadUpdateDB(packet);
      ADD_FAILURE() << "no exception";
    } catch (const IO_Error& e) {
      EXPECT_NE(boost::get_error_info<network::protocol::TagBufferBytesExpected>(e), nullptr);
    }
    EXPECT_LT(largest.bytes(), 64u * 1024);
  }
}

TEST(UpdateDBPacketTest, AtMost65536Items) {
  std::string items;
  for (int i = 0; i < 65536; ++i) items += ItemWithName("a");
  IPacket full = Reply(Le32(65536) + items);
  EXPECT_EQ(taln::ReadUpdateDB(full).size(), 65536u);

  for (const std::string& body :
       {Le32(65537) + items + ItemWithName("a"), Le32(4000000000u) + ItemWithName("a")}) {
    IPacket tooMany = Reply(body);
    taln_test::LargestAllocation largest;
    try {
      taln::ReadUpdateDB(tooMany);
      ADD_FAILURE() << "no exception";
    } catch (const IO_Error& e) {
      const std::string* reason = boost::get_error_info<network::protocol::TagPacketCorrupted>(e);
      ASSERT_NE(reason, nullptr);
      EXPECT_EQ(*reason, "Too many items");
    }
    EXPECT_LT(largest.bytes(), 64u * 1024);
  }
}

TEST(UpdateDBPacketTest, UnsafeNameMakesTheDatabaseUnusable) {
  const struct {
    std::string name;
    std::string reported;
  } cases[] = {
      {"..\\escape.txt", "../escape.txt"},
      {"data/../../escape.txt", "data/../../escape.txt"},
      {"/etc/passwd", "/etc/passwd"},
      {"C:\\Windows\\x.dll", "C:/Windows/x.dll"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IPacket packet = Reply(Le32(2) + ItemWithName("a.bin") + ItemWithName(c.name));
    try {
      taln::ReadUpdateDB(packet);
      ADD_FAILURE() << "no exception";
    } catch (const taln::UnsafeNameError& e) {
      const std::string* name = boost::get_error_info<taln::TagUnsafeName>(e);
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(*name, c.reported);
    }
  }
}

}  // namespace
