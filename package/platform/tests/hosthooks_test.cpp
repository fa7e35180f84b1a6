#include "package/platform/hosthooks.h"

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "package/logging/logger.h"
#include "tests/support/scratchdir.h"

namespace {

using taln::TALN_Client;
using taln::logging::LogLevel;

// Every test starts and ends with both slots empty.
class HostHooksTest : public test_support::InScratchDir {
 protected:
  HostHooksTest() { Clear(); }
  ~HostHooksTest() override { Clear(); }
  static void Clear() {
    taln::logging::SetLogCallback({});
    taln::SetInvokeCallback({});
  }
};

TEST_F(HostHooksTest, LogJoinsWhereAndWhatForTheInstalledCallback) {
  taln::logging::Log(LogLevel::kError, "A.B", "lost");  // nothing installed: no effect

  std::vector<std::pair<LogLevel, std::string>> lines;
  taln::logging::SetLogCallback(
      [&lines](LogLevel level, const std::string& message) { lines.emplace_back(level, message); });
  taln::logging::Log(LogLevel::kWarning, "TALN_DownloadManagerImpl.Initialize", "no server");
  EXPECT_EQ(lines, (std::vector<std::pair<LogLevel, std::string>>{
                       {LogLevel::kWarning, "TALN_DownloadManagerImpl.Initialize; no server"}}));
}

TEST_F(HostHooksTest, LinesMoreDetailedThanTheHostKeepsAreNeitherBuiltNorHandedOver) {
  EXPECT_FALSE(taln::logging::Logs(LogLevel::kCritical));  // nothing installed
  std::vector<LogLevel> levels;
  // A logger printing its level 2 and above, the launcher's default, keeps the engine's warnings.
  taln::logging::SetLogCallback(
      [&levels](LogLevel level, const std::string&) { levels.push_back(level); },
      taln::logging::MostDetailedFor(2));
  for (const LogLevel level : {LogLevel::kError, LogLevel::kWarning, LogLevel::kInfo,
                               LogLevel::kDebug, LogLevel::kTrace}) {
    taln::logging::Log(level, "A.B", "line");
  }
  EXPECT_EQ(levels, (std::vector<LogLevel>{LogLevel::kError, LogLevel::kWarning, LogLevel::kInfo}));
  EXPECT_TRUE(taln::logging::Logs(LogLevel::kInfo));
  EXPECT_FALSE(taln::logging::Logs(LogLevel::kDebug));

  const struct {
    int loggerLevel;
    LogLevel mostDetailed;
  } cases[] = {{-3, LogLevel::kTrace}, {0, LogLevel::kTrace}, {5, LogLevel::kCritical}};
  for (const auto& c : cases) {
    EXPECT_EQ(taln::logging::MostDetailedFor(c.loggerLevel), c.mostDetailed) << c.loggerLevel;
  }
  // A logger that prints nothing takes no line at all.
  taln::logging::SetLogCallback([](LogLevel, const std::string&) {},
                                taln::logging::MostDetailedFor(6));
  EXPECT_FALSE(taln::logging::Logs(LogLevel::kCritical));
}

TEST_F(HostHooksTest, InstallingAgainReleasesTheEarlierCallables) {
  auto held = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = held;
  taln::logging::SetLogCallback([held](LogLevel, const std::string&) {});
  taln::SetInvokeCallback([held](std::function<void()>) {});
  held.reset();
  taln::logging::SetLogCallback([](LogLevel, const std::string&) {});
  EXPECT_FALSE(watch.expired());  // the invoker still holds it
  taln::SetInvokeCallback([](std::function<void()>) {});
  EXPECT_TRUE(watch.expired());
}

TEST_F(HostHooksTest, ForwardToMapsLevelsOntoTheLoggerVerbatim) {
  Logger logger;
  logger.SetLevel(0);
  logger.SetStreamMask(Logger::kStreamFile);
  logger.SetFile("log.txt");
  taln::logging::SetLogCallback(taln::logging::ForwardTo(logger));
  for (int level = -1; level <= 6; ++level) {
    taln::logging::Log(static_cast<LogLevel>(level), "A.B", std::to_string(level) + " 100%d");
  }
  logger.SetFile(nullptr);

  std::vector<std::string> bodies;
  std::istringstream in(test_support::ReadText(dir() / "log.txt"));
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();  // the log is a text file on Windows
    bodies.push_back(line.substr(22));
  }
  EXPECT_EQ(bodies,
            (std::vector<std::string>{"TALN; CRITICAL; A.B; 0 100%d", "TALN; ERROR; A.B; 1 100%d",
                                      "TALN; WARNING; A.B; 2 100%d", "TALN; INFO; A.B; 3 100%d",
                                      "TALN; DEBUG; A.B; 4 100%d", "TALN; TRACE; A.B; 5 100%d"}));
}

TEST_F(HostHooksTest, InvokeInMainThreadRefusesMisuse) {
  const struct {
    const char* name;
    bool work;
    bool invoker;
    const char* error;
  } cases[] = {
      {"null work without invoker", false, false,
       "TALN_Client.InvokeInMainThread: cannot invoke null function"},
      {"null work with invoker", false, true,
       "TALN_Client.InvokeInMainThread: cannot invoke null function"},
      {"no invoker", true, false, "TALN_Client.InvokeInMainThread: invoke callback is not set"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool invoked = false;
    taln::SetInvokeCallback(
        c.invoker ? taln::InvokeCallback([&invoked](std::function<void()>) { invoked = true; })
                  : taln::InvokeCallback());
    const std::function<void()> work = c.work ? std::function<void()>([] {}) : nullptr;
    try {
      TALN_Client::InvokeInMainThread(work);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_FALSE(invoked);
  }
}

TEST_F(HostHooksTest, InvokeInMainThreadQueuesTheWorkWithoutRunningIt) {
  std::vector<std::function<void()>> queue;
  taln::SetInvokeCallback(
      [&queue](std::function<void()> work) { queue.push_back(std::move(work)); });
  int runs = 0;
  TALN_Client::InvokeInMainThread([&runs] { ++runs; });
  EXPECT_EQ(runs, 0);
  ASSERT_EQ(queue.size(), 1u);
  queue.front()();
  EXPECT_EQ(runs, 1);

  taln::SetInvokeCallback([](std::function<void()>) { throw std::logic_error("queue full"); });
  EXPECT_THROW(TALN_Client::InvokeInMainThread([] {}), std::logic_error);
}

}  // namespace
