#include "server/requesthandler.h"

#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/tests/testclient.h"
#include "tests/support/scratchdir.h"

namespace {

using aus::error_code;
using aus::server::Answer;
using aus::server::AnswerRequest;
using aus::server::Releases;
using network::protocol::IPacket;
using network::protocol::OPacket;

constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();

// Releases 1.0.0 {old.txt} and 2.0.0 {data/big.bin: 10 bytes, small.txt}.
class RequestHandlerTest : public ::testing::Test {
 protected:
  RequestHandlerTest() {
    test_support::WriteFile(root_.path() / "1.0.0" / "old.txt", "v1");
    test_support::WriteFile(root_.path() / "2.0.0" / "data" / "big.bin", "0123456789");
    test_support::WriteFile(root_.path() / "2.0.0" / "small.txt", "hi");
    releases_ = Releases::Load(root_.path());
  }

  Answer Ask(OPacket request) {
    const auto data = request.Data();
    IPacket packet(data->data(), data->data() + data->size());
    return AnswerRequest(*releases_, packet);
  }

  static IPacket Parse(const aus::server::PacketBuffer& reply) {
    return IPacket(reply->data(), reply->data() + reply->size());
  }

  test_support::ScratchDir root_;
  std::shared_ptr<const Releases> releases_;
};

TEST_F(RequestHandlerTest, UpdateDbListsTheLatestOrTheNamedVersion) {
  const struct {
    const char* name;
    bool latest;
    Version version;
    std::vector<std::string> names;
  } cases[] = {
      {"latest ignores the version", true, {1, 0, 0}, {"data\\big.bin", "small.txt"}},
      {"by version", false, {1, 0, 0}, {"old.txt"}},
      {"unknown version", false, {3, 0, 0}, {}},
      {"no version", false, {0, 0, 0}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = Ask(OPacket(false, 10) << c.latest << c.version);
    ASSERT_EQ(answer.action, Answer::Action::kReply);
    IPacket reply = Parse(answer.reply);
    EXPECT_TRUE(reply.IsReply());
    EXPECT_EQ(reply.Type(), 10);
    std::uint32_t count = 0;
    reply >> count;
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
      aus::server::testing::WireItem item;
      reply >> item.index >> item.name >> item.size >> item.hash >> item.required;
      EXPECT_EQ(item.index, i);
      EXPECT_EQ(item.hash.size(), 32u);
      EXPECT_TRUE(item.required);
      names.push_back(item.name);
    }
    EXPECT_EQ(reply.Remaining(), 0u);
    EXPECT_EQ(names, c.names);
  }
}

TEST_F(RequestHandlerTest, FileSizeOfTheNamedOrLatestVersion) {
  for (const Version& version : {Version{2, 0, 0}, Version{0, 0, 0}}) {
    const Answer answer = Ask(OPacket(false, 12) << version << std::string("data\\big.bin"));
    ASSERT_EQ(answer.action, Answer::Action::kReply);
    IPacket reply = Parse(answer.reply);
    bool ok = false;
    std::uint64_t size = 0;
    reply >> ok >> size;
    EXPECT_TRUE(ok);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(reply.Remaining(), 0u);
  }
}

TEST_F(RequestHandlerTest, FileDataRangesAreClampedToTheFile) {
  const struct {
    std::uint64_t offset, length, begin, end;
  } cases[] = {
      {0, 0, 0, 10},   {3, 4, 3, 7},    {3, 0, 3, 10},    {8, 5, 8, 10},
      {10, 0, 10, 10}, {12, 3, 10, 10}, {1, kMax, 1, 10}, {kMax, kMax, 10, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    for (bool byIndex : {true, false}) {
      OPacket request(false, 11);
      request << byIndex;
      if (byIndex) {
        request << std::uint16_t{0};
      } else {
        request << Version{2, 0, 0} << std::string("data/big.bin");
      }
      const Answer answer = Ask(request << c.offset << c.length);
      ASSERT_EQ(answer.action, Answer::Action::kTransfer);
      EXPECT_EQ(answer.transfer.file->name, "data/big.bin");
      EXPECT_EQ(answer.transfer.begin, c.begin);
      EXPECT_EQ(answer.transfer.end, c.end);
    }
  }
}

TEST_F(RequestHandlerTest, RefusalsCarryTheirCode) {
  const std::string nul("a\0b", 3);
  const struct {
    const char* name;
    OPacket request;
    error_code code;
  } cases[] = {
      {"size: unknown version", OPacket(false, 12) << Version{9, 9, 9} << std::string("small.txt"),
       error_code::kUnknownVersion},
      {"size: unknown file", OPacket(false, 12) << Version{2, 0, 0} << std::string("missing"),
       error_code::kFileNotFound},
      {"size: file of another version",
       OPacket(false, 12) << Version{1, 0, 0} << std::string("small.txt"),
       error_code::kFileNotFound},
      {"size: parent folder",
       OPacket(false, 12) << Version{2, 0, 0} << std::string("..\\1.0.0\\old.txt"),
       error_code::kInvalidRequest},
      {"size: absolute", OPacket(false, 12) << Version{2, 0, 0} << std::string("/etc/passwd"),
       error_code::kInvalidRequest},
      {"size: drive", OPacket(false, 12) << Version{2, 0, 0} << std::string("C:\\x"),
       error_code::kInvalidRequest},
      {"size: empty", OPacket(false, 12) << Version{2, 0, 0} << std::string(),
       error_code::kInvalidRequest},
      {"size: NUL", OPacket(false, 12) << Version{2, 0, 0} << nul, error_code::kInvalidRequest},
      {"size: truncated", OPacket(false, 12) << Version{2, 0, 0}, error_code::kInvalidRequest},
      {"size: trailing byte",
       OPacket(false, 12) << Version{2, 0, 0} << std::string("small.txt") << true,
       error_code::kInvalidRequest},
      {"data: index past the list",
       OPacket(false, 11) << true << std::uint16_t{2} << std::uint64_t{0} << std::uint64_t{0},
       error_code::kFileNotFound},
      {"data: unknown version",
       OPacket(false, 11) << false << Version{9, 9, 9} << std::string("small.txt")
                          << std::uint64_t{0} << std::uint64_t{0},
       error_code::kUnknownVersion},
      {"data: parent folder",
       OPacket(false, 11) << false << Version{2, 0, 0} << std::string("data/../../1.0.0/old.txt")
                          << std::uint64_t{0} << std::uint64_t{0},
       error_code::kInvalidRequest},
      {"data: truncated", OPacket(false, 11) << true << std::uint16_t{0} << std::uint64_t{0},
       error_code::kInvalidRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = Ask(c.request);
    ASSERT_EQ(answer.action, Answer::Action::kReply);
    EXPECT_FALSE(answer.note.empty());
    IPacket reply = Parse(answer.reply);
    bool ok = true;
    error_code code{};
    reply >> ok >> code;
    EXPECT_TRUE(reply.IsReply());
    auto request = c.request;
    EXPECT_EQ(reply.Type(), request.Data()->at(5));
    EXPECT_FALSE(ok);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(reply.Remaining(), 0u);
  }
}

TEST_F(RequestHandlerTest, GreetingsGetNoReplyAndUnanswerableRequestsClose) {
  const struct {
    const char* name;
    OPacket request;
    Answer::Action action;
  } cases[] = {
      {"protocol version", OPacket(false, 0) << Version{2, 2, 1704181200},
       Answer::Action::kNothing},
      {"client version", OPacket(false, 1) << Version{4, 35, 1} << std::string("win32"),
       Answer::Action::kNothing},
      {"protocol version truncated", OPacket(false, 0) << std::uint32_t{2}, Answer::Action::kClose},
      {"client version trailing", OPacket(false, 1) << Version{} << std::string() << true,
       Answer::Action::kClose},
      {"update db truncated", OPacket(false, 10) << true, Answer::Action::kClose},
      {"reply bit", OPacket(true, 10) << true << Version{}, Answer::Action::kClose},
      {"unknown type", OPacket(false, 13), Answer::Action::kClose},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = Ask(c.request);
    EXPECT_EQ(answer.action, c.action);
    EXPECT_EQ(answer.note.empty(), c.action == Answer::Action::kNothing);
  }
}

// With --skip-broken, a newest release that cannot be served leaves "latest" unavailable: the
// older release must not answer in its place, or players would be moved back to it.
TEST(RequestHandlerUnavailableTest, AnOlderReleaseNeverAnswersForABrokenNewestOne) {
  test_support::ScratchDir root;
  test_support::WriteFile(root.path() / "1.0.0" / "old.txt", "v1");
  test_support::WriteFile(root.path() / "2.0.0" / "small.txt", "hi");
  std::filesystem::create_symlink("gone", root.path() / "2.0.0" / "broken.txt");
  Releases::LoadOptions options;
  options.skipBroken = true;
  const auto releases = Releases::Load(root.path(), options);
  const auto ask = [&](OPacket request) {
    const auto data = request.Data();
    IPacket packet(data->data(), data->data() + data->size());
    return AnswerRequest(*releases, packet);
  };

  const struct {
    const char* name;
    bool latest;
    Version version;
    std::uint32_t count;
  } lists[] = {
      {"latest", true, {}, 0},
      {"the broken version", false, {2, 0, 0}, 0},
      {"the older version by name", false, {1, 0, 0}, 1},
  };
  for (const auto& c : lists) {
    SCOPED_TRACE(c.name);
    const Answer answer = ask(OPacket(false, 10) << c.latest << c.version);
    ASSERT_EQ(answer.action, Answer::Action::kReply);
    IPacket reply = IPacket(answer.reply->data(), answer.reply->data() + answer.reply->size());
    std::uint32_t count = 99;
    reply >> count;
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(answer.note.find("release 2.0.0 is unavailable") != std::string::npos, c.count == 0)
        << answer.note;
  }

  const struct {
    const char* name;
    OPacket request;
    std::optional<error_code> code;
  } requests[] = {
      {"size, latest", OPacket(false, 12) << Version{} << std::string("old.txt"),
       error_code::kReadFailed},
      {"size, broken version", OPacket(false, 12) << Version{2, 0, 0} << std::string("small.txt"),
       error_code::kReadFailed},
      {"size, older version by name",
       OPacket(false, 12) << Version{1, 0, 0} << std::string("old.txt"), std::nullopt},
      {"data by index",
       OPacket(false, 11) << true << std::uint16_t{0} << std::uint64_t{0} << std::uint64_t{0},
       error_code::kReadFailed},
      {"data, latest",
       OPacket(false, 11) << false << Version{} << std::string("old.txt") << std::uint64_t{0}
                          << std::uint64_t{0},
       error_code::kReadFailed},
  };
  for (const auto& c : requests) {
    SCOPED_TRACE(c.name);
    const Answer answer = ask(c.request);
    ASSERT_EQ(answer.action, Answer::Action::kReply);
    IPacket reply = IPacket(answer.reply->data(), answer.reply->data() + answer.reply->size());
    bool ok = false;
    reply >> ok;
    EXPECT_EQ(ok, !c.code);
    if (c.code) {
      error_code code{};
      reply >> code;
      EXPECT_EQ(code, *c.code);
      EXPECT_NE(answer.note.find("release 2.0.0 is unavailable"), std::string::npos) << answer.note;
    }
  }
}

}  // namespace
