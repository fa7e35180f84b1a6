#include "demo/gameclient.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <system_error>

#include "package/taln/db/updatedb.h"
#include "package/taln/db/versiontext.h"

namespace demo {

int DisplaySeconds(const std::vector<std::string>& arguments) {
  int seconds = kDefaultSeconds;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] != "--seconds") continue;
    const std::string& text = arguments[i + 1];
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size()) {
      seconds = static_cast<int>(std::clamp<long>(value, 0, kMaxSeconds));
    }
  }
  return seconds;
}

std::string InstalledVersion(const std::filesystem::path& root) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(root / "manifest", error)) return "unknown";
  taln::UpdateDB db(boost::filesystem::path(root.string()));
  db.ReadManifest();
  const Version& version = db.ManifestVersion();
  if (version.major == 0 && version.minor == 0 && version.revision == 0) return "unknown";
  return FormatVersion(version);
}

std::string RecordLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const auto& argument : arguments) {
    if (!line.empty()) line += ' ';
    line += '"';
    for (char c : argument) {
      switch (c) {
        case '\\':
          line += "\\\\";
          break;
        case '"':
          line += "\\\"";
          break;
        case '\n':
          line += "\\n";
          break;
        case '\r':
          line += "\\r";
          break;
        default:
          line += c;
      }
    }
    line += '"';
  }
  return line + '\n';
}

bool AppendRecord(const std::filesystem::path& path, const std::vector<std::string>& arguments) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << RecordLine(arguments);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace demo
