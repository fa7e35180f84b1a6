#include "package/network/protocol/opacket.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using network::protocol::OPacket;

std::string Bytes(OPacket& packet) {
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

TEST(OPacketTest, EmptyPacketIsHeaderWithLengthTwo) {
  struct Case {
    const char* name;
    bool reply;
    unsigned char type;
    std::string expected;
  };
  const Case cases[] = {
      {"request", false, 10, std::string("\x02\0\0\0\x00\x0a", 6)},
      {"reply", true, 11, std::string("\x02\0\0\0\x01\x0b", 6)},
      {"type 255", false, 255, std::string("\x02\0\0\0\x00\xff", 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OPacket packet(c.reply, c.type);
    EXPECT_EQ(Bytes(packet), c.expected);
  }
}

TEST(OPacketTest, SetReplyTogglesOnlyTheReplyBit) {
  OPacket packet(true, 7);
  packet.SetReply(false);
  EXPECT_EQ(Bytes(packet), std::string("\x02\0\0\0\x00\x07", 6));
  packet.SetReply(true);
  packet.SetType(8);
  EXPECT_EQ(Bytes(packet), std::string("\x02\0\0\0\x01\x08", 6));
}

TEST(OPacketTest, VersionAndStringExample) {
  OPacket packet(false, 12);
  packet << Version{1, 2, 3} << std::string("ab");
  const std::string expected(
      "\x14\0\0\0"
      "\x00\x0c"
      "\x01\0\0\0\x02\0\0\0\x03\0\0\0"
      "\x02\0\0\0ab",
      24);
  EXPECT_EQ(Bytes(packet), expected);
}

TEST(OPacketTest, EveryFieldIsLittleEndianWithoutPadding) {
  OPacket packet(false, 1);
  packet << true << false << 'x' << std::uint8_t{0xfe} << std::uint16_t{0x1234}
         << std::uint32_t{0x89abcdef} << std::uint64_t{0x0102030405060708}
         << aus::error_code::kFileNotFound << Version{-1, 0, 0x7fffffff}
         << std::vector<std::uint16_t>{1, 0x0203} << std::string();
  packet.WriteBlock("xyz", 3);
  const std::string body(
      "\x01\x00x\xfe"
      "\x34\x12"
      "\xef\xcd\xab\x89"
      "\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x03"
      "\xff\xff\xff\xff\0\0\0\0\xff\xff\xff\x7f"
      "\x02\0\0\0\x01\0\x03\x02"
      "\0\0\0\0"
      "\x03\0\0\0xyz",
      50);
  const std::string bytes = Bytes(packet);
  ASSERT_EQ(bytes.size(), 6 + body.size());
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x34\0\0\0", 4));
  EXPECT_EQ(bytes.substr(6), body);
}

TEST(OPacketTest, DataReflectsWritesMadeAfterAnEarlierCall) {
  OPacket packet(false, 0);
  packet.Data();
  packet << std::uint32_t{0};
  EXPECT_EQ(Bytes(packet).substr(0, 4), std::string("\x06\0\0\0", 4));
}

TEST(OPacketTest, BlockWhoseBytesFollowTheBufferCountsInTheLength) {
  OPacket packet(true, 11);
  packet << true;
  packet.WriteBlockCount(70000);
  // What goes out is the buffer, then the block's bytes from elsewhere; the packet is the sum.
  EXPECT_EQ(Bytes(packet), std::string("\x77\x11\x01\0\x01\x0b\x01\x70\x11\x01\0", 11));
}

}  // namespace
