#include "tests/e2e/programrun.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/support/scratchdir.h"

namespace e2e {

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Whether the process has a handler installed for SIGTERM (the SigCgt mask of /proc).
bool HandlesSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ProgramResult RunAndCloseWindow(const std::filesystem::path& program,
                                const std::vector<std::string>& arguments,
                                const std::filesystem::path& workingDir,
                                const std::function<bool()>& readyToClose) {
  test_support::ScratchDir capture;
  const std::string outPath = (capture.path() / "out").string();
  const std::string errPath = (capture.path() / "err").string();
  const std::string dir = workingDir.string();
  std::vector<std::string> args{program.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env{"SDL_VIDEODRIVER=dummy"};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::strncmp(*variable, "SDL_VIDEODRIVER=", 16) != 0) env.emplace_back(*variable);
  }
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);

  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 ||
        dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(127);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }

  ProgramResult result;
  if (pid < 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::optional<std::chrono::steady_clock::time_point> closed;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    if (!closed && HandlesSigterm(pid) && (!readyToClose || readyToClose()) &&
        kill(pid, SIGTERM) == 0) {
      closed = std::chrono::steady_clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (closed) {
    result.closeToExit = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - *closed);
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = test_support::ReadFile(outPath);
  result.err = test_support::ReadFile(errPath);
  return result;
}

ProgramResult RunProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDir) {
  test_support::ScratchDir capture;
  const auto outPath = capture.path() / "out";
  const auto errPath = capture.path() / "err";
  std::string command =
      "cd " + Quoted(workingDir.string()) + " && timeout -s KILL 60 " + Quoted(program.string());
  for (const auto& argument : arguments) command += " " + Quoted(argument);
  command += " >" + Quoted(outPath.string()) + " 2>" + Quoted(errPath.string()) + " </dev/null";

  ProgramResult result;
  const int status = std::system(command.c_str());
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = test_support::ReadFile(outPath);
  result.err = test_support::ReadFile(errPath);
  return result;
}

}  // namespace e2e
