#include "package/network/protocol/packetparser.h"

#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "package/network/protocol/opacket.h"

namespace {

using network::protocol::IO_Error;
using network::protocol::OPacket;
using network::protocol::PacketParser;
using network::protocol::TagPacketCorrupted;

std::string Packet(unsigned char type, const std::string& text) {
  OPacket packet(true, type);
  packet << text;
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

// Pops every queued packet as (type, string field).
std::vector<std::pair<int, std::string>> Drain(PacketParser& parser) {
  std::vector<std::pair<int, std::string>> packets;
  while (auto packet = parser.Pop()) {
    std::string text;
    *packet >> text;
    packets.emplace_back(packet->Type(), text);
  }
  return packets;
}

const std::vector<std::pair<int, std::string>> kExpected = {
    {10, "first"}, {11, ""}, {12, std::string(300, 'z')}};

TEST(PacketParserTest, StreamCutIntoChunksOfEverySizeYieldsThePacketsInOrder) {
  const std::string stream =
      Packet(10, "first") + Packet(11, "") + Packet(12, std::string(300, 'z'));
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    SCOPED_TRACE(chunk);
    PacketParser parser;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      parser.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
    }
    EXPECT_EQ(Drain(parser), kExpected);
  }
}

TEST(PacketParserTest, KeepsAnIncompleteTailForTheNextFeed) {
  const std::string third = Packet(12, std::string(300, 'z'));
  const std::string first = Packet(10, "first") + Packet(11, "") + third.substr(0, 150);
  PacketParser parser;
  EXPECT_TRUE(parser.Feed(first.data(), first.size()));
  auto packet = parser.Pop();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->Type(), 10);
  // The second packet is still queued, so this feed reports true without completing the third.
  EXPECT_TRUE(parser.Feed(third.data() + 150, 10));
  EXPECT_EQ(parser.Pop()->Type(), 11);
  EXPECT_FALSE(parser.Feed(third.data() + 160, 1));
  EXPECT_TRUE(parser.Feed(third.data() + 161, third.size() - 161));
  EXPECT_EQ(Drain(parser), (std::vector<std::pair<int, std::string>>{kExpected[2]}));
  EXPECT_EQ(parser.Pop(), nullptr);
}

TEST(PacketParserTest, LengthBelowTwoOrAboveTheLimitIsInvalidPacketSize) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"length 0", std::string("\0\0\0\0\x01\x0b", 6)},
      {"length 1", std::string("\x01\0\0\0\x01", 5)},
      {"length 64 MiB + 1", std::string("\x01\0\0\x04", 4)},
      {"length 0xFFFFFFF0", std::string("\xf0\xff\xff\xff", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PacketParser parser;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        parser.Feed(c.bytes.data(), c.bytes.size());
        ADD_FAILURE() << "no IO_Error";
      } catch (const IO_Error& e) {
        const std::string* reason = boost::get_error_info<TagPacketCorrupted>(e);
        ASSERT_NE(reason, nullptr);
        EXPECT_EQ(*reason, "Invalid packet size");
      }
    }
  }
}

// The length of a packet that begins in an earlier read is checked as it completes.
TEST(PacketParserTest, InvalidLengthSplitAcrossReadsIsInvalidPacketSize) {
  for (const std::string& length : {std::string("\x01\0\0\0", 4), std::string("\x01\0\0\x04", 4)}) {
    const std::string stream = Packet(10, "first") + length;
    for (std::size_t cut = stream.size() - 3; cut < stream.size(); ++cut) {
      SCOPED_TRACE(cut);
      PacketParser parser;
      EXPECT_TRUE(parser.Feed(stream.data(), cut));
      EXPECT_THROW(parser.Feed(stream.data() + cut, stream.size() - cut), IO_Error);
      EXPECT_THROW(parser.Feed("", 0), IO_Error);
    }
  }
}

TEST(PacketParserTest, LengthAtTheLimitWaitsForItsBytes) {
  PacketParser parser;
  EXPECT_FALSE(parser.Feed("\0\0\0\x04\x01\x0b", 6));
  EXPECT_EQ(parser.Pop(), nullptr);
}

}  // namespace
