#include "package/network/common/downloadfile.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "package/network/common/client.h"
#include "package/network/common/tests/contentserver.h"
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

// Each failure leaves the local file untouched.
TEST_F(DownloadFileTest, FailedRunsWriteNothing) {
  struct Case {
    const char* name;
    std::string replies;
    std::uint64_t length;
  };
  const Case cases[] = {
      {"refused", Bytes(OPacket(true, 11) << false << aus::error_code::kFileNotFound), 0},
      {"wrong type", Bytes(OPacket(true, 12) << true), 0},
      {"no reply bit", Bytes(OPacket(false, 11) << true), 0},
      {"malformed", Bytes(OPacket(true, 11) << true << std::uint32_t{9}) + "abc", 0},
      {"more than the range", Block("abc") + Block("de") + Block(""), 4},
      {"more than the file", Block("abcdefg") + Block(""), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.replies);
    Client client("127.0.0.1", server.port(), kVersion, "win32", false);
    auto file = std::make_shared<File>(std::uint16_t{1}, "x.upd", 6);
    DownloadFile task(file, 0, c.length);
    try {
      task.Run(client, record_);
      ADD_FAILURE() << "no exception";
    } catch (const aus::UpdateError& e) {
      EXPECT_EQ(c.name, std::string("refused"));
      EXPECT_EQ(*boost::get_error_info<aus::TagErrorCode>(e), aus::error_code::kFileNotFound);
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "Unexpected packet");
    } catch (const network::protocol::IO_Error&) {
    }
    EXPECT_FALSE(std::filesystem::exists("x.upd"));
  }
}

}  // namespace
