#include "package/taln/tests/enginetest.h"

#include <algorithm>

#include "package/platform/hosthooks.h"
#include "package/taln/updaterstate.h"

namespace taln_test {

namespace State = taln::UPDATER_STATE;

void EventLog::Add(const std::string& state, int progress, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back({state, progress, message});
  changed_.notify_all();
}

std::string EventLog::WaitForOneOf(const std::vector<std::string>& states) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::string found;
  changed_.wait_for(lock, std::chrono::seconds(30), [&] {
    for (const Event& event : events_) {
      if (std::find(states.begin(), states.end(), event.state) != states.end()) {
        found = event.state;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<Event> EventLog::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::string> EventLog::States() const {
  std::vector<std::string> states;
  for (const Event& event : Events()) {
    if (event.state == State::DOWNLOADING && !states.empty() && states.back() == event.state) {
      continue;
    }
    states.push_back(event.state);
  }
  return states;
}

EngineLines::EngineLines() {
  taln::logging::SetLogCallback([this](taln::logging::LogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, line});
  });
}

EngineLines::~EngineLines() { taln::logging::SetLogCallback(nullptr); }

bool EngineLines::Contains(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const Line& line) { return line.text.find(text) != std::string::npos; });
}

bool EngineLines::Contains(const std::string& text, taln::logging::LogLevel level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.level == level && line.text.find(text) != std::string::npos;
  });
}

std::vector<std::string> EngineLines::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const Line& line : lines_) texts.push_back(line.text);
  return texts;
}

EngineTest::EngineTest() : root_(dir() / "root") {
  test_support::WriteFile(root_ / "bin" / "launcher.exe", "launcher");
  UseServer(aus_);
}

EngineTest::~EngineTest() { engine_.reset(); }

void EngineTest::UseServer(const FakeAus& aus, const std::string& extra) {
  test_support::WriteFile("Settings.ini",
                          "[AUS]\nhost=127.0.0.1\nport=" + aus.port() + "\n" + extra);
  settings_.emplace();
}

taln::TALN_DownloadManagerImpl& EngineTest::NewEngine(std::function<void()> onSilenced,
                                                      unsigned hardwareThreads) {
  engine_.reset();
  events_ = std::make_unique<EventLog>();
  EventLog* events = events_.get();
  // Dropped with the last copy of the callback, which the engine holds.
  std::shared_ptr<void> silenced(nullptr, [onSilenced](void*) {
    if (onSilenced) onSilenced();
  });
  engine_ = std::make_unique<taln::TALN_DownloadManagerImpl>(
      root_.string(),
      [events, silenced](const std::string& state, int progress, const std::string& message) {
        events->Add(state, progress, message);
      },
      [this]() -> const ServerSettings& { return *settings_; }, hardwareThreads);
  return *engine_;
}

bool EngineTest::StartEngine() {
  if (!engine_) NewEngine();
  engine_->Start();
  return events_->WaitForOneOf({State::INITIALIZATION_SUCCESSFUL, State::INITIALIZATION_FAILED}) ==
         State::INITIALIZATION_SUCCESSFUL;
}

bool EngineTest::Update() {
  engine_->RequestUpdate();
  engine_->ProcessRequests();
  return events_->WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED}) ==
         State::DOWNLOAD_FINISHED;
}

std::string EngineTest::Read(const std::string& name) const {
  return test_support::ReadFile(root_ / name);
}

}  // namespace taln_test
