#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "package/platform/hosthooks.h"
#include "package/settings/serversettings.h"
#include "package/taln/talndownloadmanagerimpl.h"
#include "package/taln/tests/fakeaus.h"
#include "tests/support/scratchdir.h"

namespace taln_test {

struct Event {
  std::string state;
  int progress;
  std::string message;
};

// Events as the engine emits them, from any thread; tests wait for them with a deadline.
class EventLog {
 public:
  void Add(const std::string& state, int progress, const std::string& message);
  // Waits (at most 30 s) until an event of one of `states` has arrived and returns the state
  // of the first such event; empty on timeout.
  std::string WaitForOneOf(const std::vector<std::string>& states);
  std::vector<Event> Events() const;
  // The states in order, with runs of DOWNLOADING folded into one.
  std::vector<std::string> States() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;  // guarded by mutex_
};

// Lines the engine logs through the host's log hook.
class EngineLines {
 public:
  EngineLines();
  ~EngineLines();
  bool Contains(const std::string& text) const;
  // Whether a line holding `text` was logged at `level`.
  bool Contains(const std::string& text, taln::logging::LogLevel level) const;
  std::vector<std::string> All() const;

 private:
  struct Line {
    taln::logging::LogLevel level;
    std::string text;
  };
  mutable std::mutex mutex_;
  std::vector<Line> lines_;  // guarded by mutex_
};

// An engine for a fresh root under the scratch directory (holding only "bin/launcher.exe"),
// talking to a FakeAus. "Settings.ini" in the working directory points at the fake server.
class EngineTest : public test_support::InScratchDir {
 protected:
  EngineTest();
  ~EngineTest() override;

  // Points the settings the next engine reads at `aus`, with `extra` lines appended (e.g.
  // "[Client]\nclient_version=1.2.3\n").
  void UseServer(const FakeAus& aus, const std::string& extra = "");
  // A new engine (the previous one is destroyed first) with a fresh event log. `onSilenced`
  // runs when the engine drops its callback, which its destructor does first.
  taln::TALN_DownloadManagerImpl& NewEngine(
      std::function<void()> onSilenced = {},
      unsigned hardwareThreads = std::thread::hardware_concurrency());
  void DestroyEngine() { engine_.reset(); }
  // Starts the engine and waits for the end of its initialisation; true when it succeeded.
  bool StartEngine();
  // RequestUpdate + ProcessRequests, then waits for the batch to end; true when it finished.
  bool Update();

  std::filesystem::path Root(const std::string& name = "") const { return root_ / name; }
  // The path the engine builds for `name`: the root, '/' and the name, on every system.
  std::string EnginePath(const std::string& name) const { return root_.string() + "/" + name; }
  std::string Read(const std::string& name) const;

  FakeAus aus_;
  EngineLines lines_;
  std::unique_ptr<EventLog> events_;

 private:
  std::filesystem::path root_;
  std::optional<ServerSettings> settings_;
  std::unique_ptr<taln::TALN_DownloadManagerImpl> engine_;
};

}  // namespace taln_test
