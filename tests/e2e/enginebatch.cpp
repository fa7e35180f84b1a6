// engine-batch: runs the update engine once, as the launcher would, in a process of its own that
// a test may kill at any point. Usage: engine-batch <root>. The server comes from "Settings.ini"
// in the working directory. Starts the engine on <root>, asks for a full update and waits until
// the batch has ended. Nothing is written while the engine works, so that every system call of
// the run is the engine's; at the end the events go to standard output and the engine's log to
// standard error, one per line. Exit code 0 when the batch finished, 1 when initialisation or the
// batch failed or nothing happened within 60 seconds, 2 on bad usage.
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "package/platform/hosthooks.h"
#include "package/taln/talndownloadmanagerimpl.h"
#include "package/taln/updaterstate.h"

namespace {

namespace State = taln::UPDATER_STATE;

class Recorder {
 public:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

class Events {
 public:
  void Add(const std::string& state, int progress, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(state);
    lines_.push_back(state + " " + std::to_string(progress) + " " + message);
    changed_.notify_all();
  }
  // The first of `ends` to arrive, or empty after 60 seconds.
  std::string WaitForOneOf(const std::vector<std::string>& ends) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string found;
    changed_.wait_for(lock, std::chrono::seconds(60), [&] {
      for (const std::string& state : states_) {
        for (const std::string& end : ends) {
          if (state == end) found = state;
        }
      }
      return !found.empty();
    });
    return found;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> states_;  // guarded by mutex_
  std::vector<std::string> lines_;   // guarded by mutex_
};

bool RunBatch(taln::TALN_DownloadManagerImpl& engine, Events& events) {
  engine.Start();
  if (events.WaitForOneOf({State::INITIALIZATION_SUCCESSFUL, State::INITIALIZATION_FAILED}) !=
      State::INITIALIZATION_SUCCESSFUL) {
    return false;
  }
  engine.RequestUpdate();
  engine.ProcessRequests();
  return events.WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED}) ==
         State::DOWNLOAD_FINISHED;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: engine-batch <root>\n";
    return 2;
  }
  Recorder log;
  taln::logging::SetLogCallback(
      [&log](taln::logging::LogLevel, const std::string& line) { log.Add(line); });
  Events events;
  bool finished = false;
  try {
    taln::TALN_DownloadManagerImpl engine(
        argv[1], [&events](const std::string& state, int progress, const std::string& message) {
          events.Add(state, progress, message);
        });
    finished = RunBatch(engine, events);
  } catch (const std::exception& error) {
    log.Add(error.what());
  }
  taln::logging::SetLogCallback(nullptr);
  // One write each, so that the calls a test counts are the engine's.
  std::string out, err;
  for (const std::string& line : events.Lines()) out += line + '\n';
  for (const std::string& line : log.Lines()) err += line + '\n';
  std::cout << out << std::flush;
  std::cerr << err;
  return finished ? 0 : 1;
}
