#include "package/taln/db/versiontext.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace {

// One "%d" conversion at the front of `text`, which is advanced past it.
bool ReadNumber(std::string_view& text, std::int32_t& value) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return false;
  text.remove_prefix(end - text.data());
  return true;
}

bool ReadDot(std::string_view& text) {
  if (text.empty() || text.front() != '.') return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

std::string FormatVersion(const Version& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.revision);
}

Version ParseVersion(const std::string& text) {
  std::string_view rest = text;
  Version version;
  if (ReadNumber(rest, version.major) && ReadDot(rest) && ReadNumber(rest, version.minor) &&
      ReadDot(rest) && ReadNumber(rest, version.revision)) {
    return version;
  }
  return {};
}
