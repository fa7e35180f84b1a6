#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The demo game client's decisions, kept apart from its window so they can be tested.
namespace demo {

inline constexpr int kDefaultSeconds = 4;
inline constexpr int kMaxSeconds = 600;

// The value of "--seconds N" among `arguments` (the last one wins), clamped to
// [0, kMaxSeconds]; kDefaultSeconds when absent or not a number.
int DisplaySeconds(const std::vector<std::string>& arguments);

// The version in root/"manifest" as "major.minor.revision", or "unknown" when the manifest is
// missing or cannot be parsed.
std::string InstalledVersion(const std::filesystem::path& root);

// One line for the record file: every argument in double quotes, separated by one blank, with
// '\\', '"', line feed and carriage return escaped as \\, \", \n and \r. No arguments give an
// empty line. Ends with a line feed.
std::string RecordLine(const std::vector<std::string>& arguments);

// Appends RecordLine(arguments) to `path` (created if missing). False when it cannot be written.
bool AppendRecord(const std::filesystem::path& path, const std::vector<std::string>& arguments);

}  // namespace demo
