#include "package/network/common/downloadfile.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "package/network/common/client.h"
#include "package/network/common/tests/contentserver.h"
#include "package/network/protocol/ioerror.h"
#include "package/network/protocol/updateerror.h"
#include "tests/support/scratchdir.h"

namespace {

using network::common::Client;
using network::common::DownloadFile;
using network::common::File;
using network::common::kPartSize;
using network::common::testing::Bytes;
using network::common::testing::ContentServer;
using network::common::testing::ScriptedServer;
using network::protocol::IO_Error;
using network::protocol::OPacket;

constexpr Version kVersion{4, 35, 1906051200};

std::string Block(const std::string& data) {
  OPacket reply(true, 11);
  reply << true;
  reply.WriteBlock(data.data(), static_cast<std::uint32_t>(data.size()));
  return Bytes(reply);
}

class DownloadFileTest : public test_support::InScratchDir {
 protected:
  std::vector<std::uint64_t> progress_;
  std::function<void(std::uint64_t)> record_ = [this](std::uint64_t n) { progress_.push_back(n); };
};

TEST_F(DownloadFileTest, BlocksAreReportedAndWrittenAtTheOffset) {
  ScriptedServer server(Block("abcde") + Block("fgh") + Block(""));
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  auto file = std::make_shared<File>(std::uint16_t{513}, "out/x.upd", 20);
  DownloadFile task(file, 10, 8);
  task.Run(client, record_);
  EXPECT_EQ(progress_, (std::vector<std::uint64_t>{5, 3, 0}));
  EXPECT_EQ(server.request(), std::string("\x15\0\0\0\x00\x0b"
                                          "\x01\x01\x02"
                                          "\x0a\0\0\0\0\0\0\0"
                                          "\x08\0\0\0\0\0\0\0",
                                          25));
  EXPECT_EQ(test_support::ReadFile("out/x.upd"), std::string(10, '\0') + "abcdefgh");
}

TEST_F(DownloadFileTest, RequestByPathCarriesVersionAndBackslashedPath) {
  ContentServer server(ContentServer::Files{{"data\\a\\b.pak", "content"}});
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  auto file = std::make_shared<File>("data/a/b.pak", "b.pak.upd", Version{1, 2, 3});
  ASSERT_EQ(file->Size(client), 7u);
  DownloadFile task(file, 0, 0);
  task.Run(client, record_);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.key, "data\\a\\b.pak");
    EXPECT_EQ(request.version, (Version{1, 2, 3}));
  }
  EXPECT_EQ(test_support::ReadFile("b.pak.upd"), "content");
}

TEST_F(DownloadFileTest, SecondRangeFinishingFirstIsWrittenBeyondTheEnd) {
  const std::string content = std::string(kPartSize, 'a') + "tail";
  ContentServer server(ContentServer::Files{{"#1", content}}, 32768);
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  auto file = std::make_shared<File>(std::uint16_t{1}, "big.upd", content.size());
  DownloadFile second(file, kPartSize, kPartSize);
  second.Run(client, record_);
  EXPECT_EQ(test_support::ReadFile("big.upd"), std::string(kPartSize, '\0') + "tail");
  DownloadFile(file, 0, kPartSize).Run(client, record_);
  EXPECT_EQ(test_support::ReadFile("big.upd"), content);
}

// Each failure raises its own type, with its text or tags, and leaves the local file untouched.
TEST_F(DownloadFileTest, FailedRunsWriteNothing) {
  enum class Failure { kRefused, kUnexpectedPacket, kShortPacket, kBeyondRange };
  struct Case {
    const char* name;
    std::string replies;
    std::uint64_t length;
    Failure failure;
    unsigned available = 0;  // kShortPacket: bytes left in the packet
    unsigned expected = 0;   // kShortPacket: bytes the read needed
  };
  const Case cases[] = {
      {"refused", Bytes(OPacket(true, 11) << false << aus::error_code::kFileNotFound), 0,
       Failure::kRefused},
      {"wrong type", Bytes(OPacket(true, 12) << true), 0, Failure::kUnexpectedPacket},
      {"no reply bit", Bytes(OPacket(false, 11) << true), 0, Failure::kUnexpectedPacket},
      {"malformed", Bytes(OPacket(true, 11) << true << std::uint32_t{9}) + "abc", 0,
       Failure::kShortPacket, 0, 9},
      {"refusal without its code", Bytes(OPacket(true, 11) << false), 0, Failure::kShortPacket, 0,
       1},
      {"more than the range", Block("abc") + Block("de") + Block(""), 4, Failure::kBeyondRange},
      {"more than the file", Block("abcdefg") + Block(""), 0, Failure::kBeyondRange},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.replies);
    Client client("127.0.0.1", server.port(), kVersion, "win32", false);
    auto file = std::make_shared<File>(std::uint16_t{1}, "x.upd", 6);
    DownloadFile task(file, 0, c.length);
    std::optional<Failure> failure;
    try {
      task.Run(client, record_);
    } catch (const aus::UpdateError& e) {
      failure = Failure::kRefused;
      EXPECT_EQ(*boost::get_error_info<aus::TagErrorCode>(e), aus::error_code::kFileNotFound);
    } catch (const IO_Error& e) {
      if (const auto* corrupted = boost::get_error_info<network::protocol::TagPacketCorrupted>(e)) {
        failure = Failure::kBeyondRange;
        EXPECT_EQ(*corrupted, "Data beyond the requested range");
      } else {
        failure = Failure::kShortPacket;
        const auto* available =
            boost::get_error_info<network::protocol::TagBufferBytesAvailable>(e);
        const auto* expected = boost::get_error_info<network::protocol::TagBufferBytesExpected>(e);
        ASSERT_TRUE(available && expected);
        EXPECT_EQ(*available, c.available);
        EXPECT_EQ(*expected, c.expected);
      }
    } catch (const std::logic_error& e) {
      failure = Failure::kUnexpectedPacket;
      EXPECT_STREQ(e.what(), "Unexpected packet");
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_FALSE(std::filesystem::exists("x.upd"));
  }
}

// A server that stops mid-series fails the run with the Client's error; the blocks already
// received are dropped with it.
TEST_F(DownloadFileTest, ServerClosingMidSeriesWritesNothing) {
  test_support::FakeServer server([](test_support::FakeConnection& c) {
    c.Read(network::common::testing::kGreetingSize);
    c.ReadPacket();
    c.Write(Block("abc"));
    c.Shutdown();
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  auto file = std::make_shared<File>(std::uint16_t{1}, "x.upd", 6);
  DownloadFile task(file, 0, 0);
  try {
    task.Run(client, record_);
    ADD_FAILURE() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::eof);
    EXPECT_EQ(std::string(e.what()).rfind("read_some", 0), 0u) << e.what();
  }
  EXPECT_EQ(progress_, std::vector<std::uint64_t>{3});
  EXPECT_FALSE(std::filesystem::exists("x.upd"));
}

}  // namespace
