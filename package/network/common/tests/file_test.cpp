#include "package/network/common/file.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "package/network/common/client.h"
#include "package/network/protocol/updateerror.h"
#include "tests/support/fakeserver.h"
#include "tests/support/scratchdir.h"

namespace {

using network::common::Client;
using network::common::File;
using network::protocol::OPacket;
using test_support::FakeConnection;
using test_support::FakeServer;

constexpr Version kVersion{4, 35, 1906051200};
constexpr std::size_t kGreetingSize = 45;

std::string Bytes(OPacket& packet) {
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

class FileTest : public test_support::InScratchDir {};

TEST_F(FileTest, SizeIsAskedOnceWithBackslashedPath) {
  std::atomic<int> requests = 0;
  FakeServer server([&](FakeConnection& c) {
    c.Read(kGreetingSize);
    for (;;) {
      EXPECT_EQ(c.ReadPacket(),
                Bytes(OPacket(false, 12) << Version{1, 2, 3} << std::string("data\\a\\b.pak")));
      ++requests;
      c.Write(Bytes(OPacket(true, 12) << true << std::uint64_t{0x123456789}));
    }
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  File file("data/a/b.pak", "b.pak.upd", Version{1, 2, 3});
  EXPECT_FALSE(file.knownSize());
  EXPECT_EQ(file.Size(client), 0x123456789u);
  EXPECT_EQ(file.Size(client), 0x123456789u);
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(file.remotePath(), "data\\a\\b.pak");
}

TEST_F(FileTest, FileByIndexKnowsItsSizeWithoutTheNetwork) {
  Client unreachable("127.0.0.1", test_support::UnusedPort(), kVersion, "win32", true);
  File file(7, "x.upd", 42);
  EXPECT_EQ(file.Size(unreachable), 42u);
}

TEST_F(FileTest, SizeReplyFailures) {
  struct Case {
    const char* name;
    std::string reply;
  };
  const Case cases[] = {
      {"wrong type", Bytes(OPacket(true, 11) << true << std::uint64_t{1})},
      {"no reply bit", Bytes(OPacket(false, 12) << true << std::uint64_t{1})},
      {"refused", Bytes(OPacket(true, 12) << false << aus::error_code::kFileNotFound)},
      {"short", Bytes(OPacket(true, 12) << true << std::uint32_t{1})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server([&](FakeConnection& conn) {
      conn.Read(kGreetingSize);
      conn.ReadPacket();
      conn.Write(c.reply);
      conn.WaitForClose();
    });
    Client client("127.0.0.1", server.port(), kVersion, "win32", true);
    File file("a.pak", "a.pak.upd", kVersion);
    try {
      file.Size(client);
      ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "Unexpected packet");
      EXPECT_TRUE(c.name == std::string("wrong type") || c.name == std::string("no reply bit"));
    } catch (const aus::UpdateError& e) {
      EXPECT_EQ(c.name, std::string("refused"));
      const auto* code = boost::get_error_info<aus::TagErrorCode>(e);
      ASSERT_NE(code, nullptr);
      EXPECT_EQ(*code, aus::error_code::kFileNotFound);
    } catch (const network::protocol::IO_Error&) {
      EXPECT_EQ(c.name, std::string("short"));
    }
    EXPECT_FALSE(file.knownSize());
  }
}

TEST_F(FileTest, RangesLandAtTheirOffsetsInAnyOrderAndFoldersAreCreated) {
  File file(0, "data/new/b.pak.upd", 8);
  file.Write(4, "5678");
  EXPECT_EQ(test_support::ReadFile("data/new/b.pak.upd"), std::string("\0\0\0\0"
                                                                      "5678",
                                                                      8));
  file.Write(0, "1234");
  file.Write(8, "");
  EXPECT_EQ(test_support::ReadFile("data/new/b.pak.upd"), "12345678");
}

TEST_F(FileTest, LargeRangesLandWholeWithTheirTails) {
  // Large ranges go past the file cache in whole blocks and their tails through it.
  std::string contents((2 << 20) + 300 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i % 251);
  File file(0, "big.upd", contents.size());
  file.Write(2 << 20, std::string_view(contents).substr(2 << 20));
  file.Write(0, std::string_view(contents).substr(0, 2 << 20));
  EXPECT_TRUE(test_support::ReadFile("big.upd") == contents);
}

TEST_F(FileTest, FirstWriteTruncatesTheOldFile) {
  test_support::WriteFile("old.upd", "previous contents");
  File file(0, "old.upd", 3);
  file.Write(0, "new");
  EXPECT_EQ(test_support::ReadFile("old.upd"), "new");
}

TEST_F(FileTest, UnopenableFileCouldNotCreate) {
  std::filesystem::create_directory("taken");
  File file(0, "taken", 3);
  try {
    file.Write(0, "abc");
    FAIL() << "no exception";
  } catch (const std::ios_base::failure& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Could not create file: taken", 0), 0u) << e.what();
  }
}

}  // namespace
