#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
};

// Runs `program` with `arguments` in `workingDir`, waits for it, and returns what it printed.
ProgramResult RunProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDir);

}  // namespace e2e
