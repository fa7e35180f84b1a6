#include "package/network/protocol/ipacket.h"

#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "package/network/protocol/opacket.h"

namespace {

using network::protocol::IO_Error;
using network::protocol::IPacket;
using network::protocol::OPacket;
using network::protocol::TagBufferBytesAvailable;
using network::protocol::TagBufferBytesExpected;
using network::protocol::TagPacketCorrupted;

// A received packet with the given body bytes (type 11, reply).
IPacket Received(const std::string& body) {
  std::string bytes("\0\0\0\0\x01\x0b", 6);
  bytes += body;
  return IPacket(bytes.data(), bytes.data() + bytes.size());
}

IPacket Received(OPacket& packet) {
  const auto data = packet.Data();
  return IPacket(data->data(), data->data() + data->size());
}

// Runs `read` and returns the IO_Error's (available, expected), failing when nothing throws.
std::pair<unsigned, unsigned> ShortReadTags(const std::function<void()>& read) {
  try {
    read();
  } catch (const IO_Error& e) {
    const unsigned* available = boost::get_error_info<TagBufferBytesAvailable>(e);
    const unsigned* expected = boost::get_error_info<TagBufferBytesExpected>(e);
    if (available && expected) return {*available, *expected};
    ADD_FAILURE() << "IO_Error without the buffer tags";
    return {};
  }
  ADD_FAILURE() << "no IO_Error";
  return {};
}

TEST(IPacketTest, RoundTripsEveryFieldType) {
  OPacket out(true, 12);
  out << true << 'q' << std::uint8_t{200} << std::uint16_t{65535} << std::uint32_t{4000000000u}
      << std::uint64_t{0xfedcba9876543210} << aus::error_code::kReadFailed
      << Version{4, 35, 1906051200} << std::string("data\\a.pak")
      << std::vector<std::string>{"x", "", "yz"} << std::vector<std::uint8_t>{};
  IPacket in = Received(out);
  EXPECT_EQ(in.Type(), 12);
  EXPECT_TRUE(in.IsReply());

  bool flag = false;
  char c = 0;
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  aus::error_code code{};
  Version version;
  std::string text;
  std::vector<std::string> texts;
  std::vector<std::uint8_t> none{1};
  in >> flag >> c >> u8 >> u16 >> u32 >> u64 >> code >> version >> text >> texts >> none;
  EXPECT_TRUE(flag);
  EXPECT_EQ(c, 'q');
  EXPECT_EQ(u8, 200);
  EXPECT_EQ(u16, 65535);
  EXPECT_EQ(u32, 4000000000u);
  EXPECT_EQ(u64, 0xfedcba9876543210);
  EXPECT_EQ(code, aus::error_code::kReadFailed);
  EXPECT_EQ(version, (Version{4, 35, 1906051200}));
  EXPECT_EQ(text, "data\\a.pak");
  EXPECT_EQ(texts, (std::vector<std::string>{"x", "", "yz"}));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(in.Remaining(), 0u);
}

TEST(IPacketTest, AnyNonZeroBoolByteIsTrue) {
  IPacket in = Received(std::string("\x00\x01\x02\xff", 4));
  bool values[4] = {true, false, false, false};
  in >> values[0] >> values[1] >> values[2] >> values[3];
  EXPECT_FALSE(values[0]);
  EXPECT_TRUE(values[1] && values[2] && values[3]);
}

TEST(IPacketTest, FlagBitsOtherThanReplyAreIgnored) {
  const std::string bytes("\x02\0\0\0\xfe\x0a", 6);
  IPacket in(bytes.data(), bytes.data() + bytes.size());
  EXPECT_FALSE(in.IsReply());
  EXPECT_EQ(in.Type(), 10);
}

TEST(IPacketTest, RangeShorterThanHeaderIsInvalidPacketSize) {
  const std::string bytes("\x01\0\0\0\x01", 5);
  try {
    IPacket in(bytes.data(), bytes.data() + bytes.size());
    FAIL() << "no IO_Error";
  } catch (const IO_Error& e) {
    const std::string* reason = boost::get_error_info<TagPacketCorrupted>(e);
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ(*reason, "Invalid packet size");
  }
}

// Every fixed-size read on an empty body reports available 0 and its own width.
TEST(IPacketTest, ReadsFromEmptyBodyReportNothingAvailable) {
  struct Case {
    const char* name;
    std::function<void(IPacket&)> read;
    unsigned expected;
  };
  const Case cases[] = {
      {"bool",
       [](IPacket& p) {
         bool v;
         p >> v;
       },
       1},
      {"char",
       [](IPacket& p) {
         char v;
         p >> v;
       },
       1},
      {"unsigned short",
       [](IPacket& p) {
         std::uint16_t v;
         p >> v;
       },
       2},
      {"unsigned int",
       [](IPacket& p) {
         std::uint32_t v;
         p >> v;
       },
       4},
      {"unsigned __int64",
       [](IPacket& p) {
         std::uint64_t v;
         p >> v;
       },
       8},
      {"error_code",
       [](IPacket& p) {
         aus::error_code v;
         p >> v;
       },
       1},
      {"string length",
       [](IPacket& p) {
         std::string v;
         p >> v;
       },
       4},
      {"vector count",
       [](IPacket& p) {
         std::vector<char> v;
         p >> v;
       },
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IPacket in = Received("");
    EXPECT_EQ(ShortReadTags([&] { c.read(in); }), std::make_pair(0u, c.expected));
  }
}

TEST(IPacketTest, ShortReadConsumesWhatWasThere) {
  IPacket in = Received("abc");
  EXPECT_EQ(ShortReadTags([&] {
              std::uint64_t v;
              in >> v;
            }),
            std::make_pair(3u, 8u));
  EXPECT_EQ(in.Remaining(), 0u);
}

// Claims far beyond the bytes present fail as truncation without allocating what they claim.
TEST(IPacketTest, CountsAndLengthsBeyondThePacketFailAsTruncation) {
  struct Case {
    const char* name;
    std::string body;
    std::function<void(IPacket&)> read;
    std::pair<unsigned, unsigned> tags;
  };
  const Case cases[] = {
      {"string of 5 with 2 present",
       std::string("\x05\0\0\0ab", 6),
       [](IPacket& p) {
         std::string v;
         p >> v;
       },
       {0, 1}},
      {"string length 0xFFFFFFF0",
       std::string("\xf0\xff\xff\xffxyz", 7),
       [](IPacket& p) {
         std::string v;
         p >> v;
       },
       {0, 1}},
      // 20-byte packet: 4 count bytes, then 10 single-byte elements.
      {"vector of four billion bytes",
       std::string("\x00\x28\x6b\xee", 4) + std::string(10, 'x'),
       [](IPacket& p) {
         std::vector<std::uint8_t> v;
         p >> v;
       },
       {0, 1}},
      {"vector of four billion strings",
       std::string("\x00\x28\x6b\xee\x01\0\0\0a\0\0", 11),
       [](IPacket& p) {
         std::vector<std::string> v;
         p >> v;
       },
       {2, 4}},
      {"vector of vectors",
       std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8),
       [](IPacket& p) {
         std::vector<std::vector<std::uint64_t>> v;
         p >> v;
       },
       {0, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IPacket in = Received(c.body);
    EXPECT_EQ(ShortReadTags([&] { c.read(in); }), c.tags);
    EXPECT_EQ(in.Remaining(), 0u);
  }
}

TEST(IPacketTest, ReadToWritesTheBlockAndReturnsItsLength) {
  IPacket in = Received(std::string("\x03\0\0\0abc\0\0\0\0z", 12));
  std::ostringstream sink;
  EXPECT_EQ(in.ReadTo(sink), 3u);
  EXPECT_EQ(in.ReadTo(sink), 0u);
  EXPECT_EQ(sink.str(), "abc");
  char rest = 0;
  in >> rest;
  EXPECT_EQ(rest, 'z');
}

TEST(IPacketTest, ReadToBlockLongerThanPacketWritesNothing) {
  struct Case {
    std::string length;
    unsigned claimed;
  };
  const Case cases[] = {{std::string("\x04\0\0\0", 4), 4}, {"\xff\xff\xff\xff", 0xffffffffu}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.claimed);
    IPacket in = Received(c.length + "abc");
    std::ostringstream sink;
    EXPECT_EQ(ShortReadTags([&] { in.ReadTo(sink); }), std::make_pair(3u, c.claimed));
    EXPECT_EQ(sink.str(), "");
  }
}

TEST(IPacketTest, ErrorsSayUnknownExceptionAndRecordWhereTheyWereThrown) {
  IPacket in = Received("");
  try {
    bool v;
    in >> v;
    FAIL() << "no IO_Error";
  } catch (const IO_Error& e) {
    EXPECT_STREQ(e.what(), "Unknown exception");
    EXPECT_NE(boost::get_error_info<boost::throw_function>(e), nullptr);
    EXPECT_NE(boost::get_error_info<boost::throw_file>(e), nullptr);
    EXPECT_NE(boost::get_error_info<boost::throw_line>(e), nullptr);
  }
  EXPECT_STREQ(aus::UpdateError().what(), "Unknown exception");
}

}  // namespace
