#include "package/logging/logger.h"

#include <algorithm>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

constexpr const char* kFollowUp = "Log message is too long or has incorrect format.";

// A logger writing to "log.txt" in the scratch directory only.
class LoggerTest : public test_support::InScratchDir {
 protected:
  LoggerTest() {
    logger_.SetLevel(0);
    logger_.SetStreamMask(Logger::kStreamFile);
    logger_.SetFile("log.txt");
  }

  std::vector<std::string> Lines() {
    std::istringstream in(test_support::ReadText(dir() / "log.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The part of a line after "timestamp; ".
  static std::string Body(const std::string& line) { return line.substr(22); }

  Logger logger_;
};

TEST_F(LoggerTest, LineHasTimestampChannelLevelAndText) {
  logger_.Print("ENGINE", 2, "UpdateManager.ReinitUpdater: %s", "attempt to reinit updater.");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::regex format(
      R"(\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2}; )"
      R"(ENGINE; INFO; UpdateManager\.ReinitUpdater: attempt to reinit updater\.)");
  EXPECT_TRUE(std::regex_match(lines[0], format)) << lines[0];
}

// The file is written in text mode: a line ends in CR LF on Windows, in LF elsewhere.
TEST_F(LoggerTest, FileLinesEndTheSystemsWay) {
#ifdef _WIN32
  constexpr std::size_t kCarriageReturns = 2;
#else
  constexpr std::size_t kCarriageReturns = 0;
#endif
  logger_.Print("C", 2, "one");
  logger_.Print("C", 2, "two");
  const std::string bytes = test_support::ReadFile(dir() / "log.txt");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2);
  EXPECT_EQ(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\r')),
            kCarriageReturns);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), kCarriageReturns ? "\r\n" : "o\n");
}

TEST_F(LoggerTest, LevelNamesAndFiltering) {
  logger_.SetLevel(-1);
  for (int level = -1; level <= 6; ++level) logger_.Print("C", level, "%d", level);
  std::vector<std::string> bodies;
  for (const auto& line : Lines()) bodies.push_back(Body(line));
  EXPECT_EQ(bodies, (std::vector<std::string>{"C; UKNOWN PRIORITY; -1", "C; TRACE; 0",
                                              "C; DEBUG; 1", "C; INFO; 2", "C; WARNING; 3",
                                              "C; ERROR; 4", "C; CRITICAL; 5"}));
}

TEST_F(LoggerTest, MinimumLevelKeepsLevelsAtOrAbove) {
  logger_.SetLevel(3);
  logger_.Print("C", 2, "two");
  logger_.Print("C", 3, "three");
  logger_.Print("C", 6, "six");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), "C; WARNING; three");
}

TEST_F(LoggerTest, LongTextIsCutAndFollowedByErrorLine) {
  const std::string fits(Logger::kBufferSize - 1, 'a');
  logger_.Print("C", 2, "%s", fits.c_str());
  logger_.Print("C", 2, "%s", (fits + "b").c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Body(lines[0]), "C; INFO; " + fits);
  EXPECT_EQ(Body(lines[1]), "C; INFO; " + fits);
  EXPECT_EQ(Body(lines[2]), std::string("C; ERROR; ") + kFollowUp);
}

TEST_F(LoggerTest, FollowUpLineIsFilteredLikeAnyOther) {
  logger_.SetLevel(5);
  const std::string tooLong(Logger::kBufferSize, 'a');
  logger_.Print("C", 5, "%s", tooLong.c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]).size(), std::string("C; CRITICAL; ").size() + tooLong.size() - 1);
}

TEST_F(LoggerTest, NothingWrittenForEmptyTextNullChannelOrMaskZero) {
  logger_.Print("C", 2, "%s", "");
  logger_.Print(nullptr, 2, "text");
  logger_.SetStreamMask(0);
  logger_.Print("C", 2, "%s", std::string(Logger::kBufferSize, 'a').c_str());
  EXPECT_TRUE(Lines().empty());
}

TEST_F(LoggerTest, NullFileClearsFileBitUntilMaskSetsItAgain) {
  logger_.SetFile(nullptr);
  logger_.SetFile("log.txt");
  logger_.Print("C", 2, "lost");
  logger_.SetStreamMask(Logger::kStreamFile);
  logger_.Print("C", 2, "kept");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), "C; INFO; kept");
}

TEST_F(LoggerTest, ReopeningTheSameFileTruncatesIt) {
  logger_.Print("C", 2, "first");
  logger_.SetFile("log.txt");
  logger_.Print("C", 2, "second");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), "C; INFO; second");
}

TEST_F(LoggerTest, StandardOutputGetsTheSameLine) {
  logger_.SetStreamMask(Logger::kStreamStdout | Logger::kStreamFile);
  testing::internal::CaptureStdout();
  logger_.Print("TALN", 4, "x=%d", 7);
  const std::string out = testing::internal::GetCapturedStdout();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(out, lines[0] + "\n");
  EXPECT_EQ(Body(lines[0]), "TALN; ERROR; x=7");
}

// Standard output whose writes fail until `failing` is cleared, as a pipe whose reader went away.
class FailingBuffer : public std::stringbuf {
 public:
  bool failing = true;

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return failing ? 0 : std::stringbuf::xsputn(text, count);
  }
  int_type overflow(int_type c) override {
    return failing ? traits_type::eof() : std::stringbuf::overflow(c);
  }
};

TEST_F(LoggerTest, FailedStandardOutputLosesOnlyItsLineAndIsTriedAgain) {
  const struct {
    const char* name;
    std::ios::iostate exceptions;
  } cases[] = {
      {"stream sets its state", std::ios::goodbit},
      {"stream throws", std::ios::badbit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    logger_.SetFile("log.txt");
    logger_.SetStreamMask(Logger::kStreamStdout | Logger::kStreamFile);
    FailingBuffer out;
    std::streambuf* const previous = std::cout.rdbuf(&out);
    std::cout.exceptions(c.exceptions);

    logger_.Print("C", 2, "lost on stdout");
    out.failing = false;
    logger_.Print("C", 2, "both");

    std::cout.exceptions(std::ios::goodbit);
    std::cout.rdbuf(previous);
    std::cout.clear();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Body(lines[0]), "C; INFO; lost on stdout");
    EXPECT_EQ(Body(lines[1]), "C; INFO; both");
    EXPECT_EQ(out.str(), lines[1] + "\n");
  }
}

TEST_F(LoggerTest, UnopenableFileLeavesLoggerWithoutFile) {
  logger_.SetFile((dir() / "missing" / "log.txt").string().c_str());
  logger_.Print("C", 4, "nowhere");  // must not throw or crash
  SUCCEED();
}

}  // namespace
