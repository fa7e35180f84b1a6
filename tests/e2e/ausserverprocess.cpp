#include "tests/e2e/ausserverprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {

AusServerProcess::AusServerProcess(const std::filesystem::path& releases, const std::string& port) {
  const std::string log = (output_.path() / "server.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> arguments{
      AUS_SERVER_EXE, "--releases", releases.string(), "--listen", "127.0.0.1", "--port", port};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, AUS_SERVER_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);

  const std::regex listening(R"(listening on 127\.0\.0\.1 port (\d+))");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    std::smatch match;
    const std::string text = test_support::ReadFile(log);
    if (std::regex_search(text, match, listening)) {
      port_ = match[1];
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

AusServerProcess::~AusServerProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
}

}  // namespace e2e
