#include "tests/e2e/programrun.h"

#include <sys/wait.h>

#include <cstdlib>

#include "tests/support/scratchdir.h"

namespace e2e {

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ProgramResult RunProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDir) {
  test_support::ScratchDir capture;
  const auto outPath = capture.path() / "out";
  const auto errPath = capture.path() / "err";
  std::string command = "cd " + Quoted(workingDir.string()) + " && " + Quoted(program.string());
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
