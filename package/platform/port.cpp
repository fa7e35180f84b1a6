#include "package/platform/port.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NeedsQuotes(const std::string& argument) {
  return argument.empty() || argument.find_first_of(" \t\"") != std::string::npos;
}

// Backslashes stay literal except where they precede a quote: those before an inner quote and
// before the closing quote are doubled, so that the split gives them back unchanged.
void AppendQuoted(const std::string& argument, std::string& out) {
  out += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
}

}  // namespace

std::string CommandLineTail(int argc, const char* const* argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail += ' ';
    const std::string argument = argv[i];
    if (NeedsQuotes(argument)) {
      AppendQuoted(argument, tail);
    } else {
      tail += argument;
    }
  }
  return tail;
}

std::vector<std::string> SplitCommandLine(const std::string& arguments) {
  std::vector<std::string> result;
  std::string current;
  bool inArgument = false;  // a quote starts an argument even when it adds no character
  int quotes = 0;           // 1 inside quotes; reaching 3 gives a literal quote
  std::size_t backslashes = 0;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const char c = arguments[i];
    if (IsBlank(c) && quotes == 0) {
      current.append(backslashes, '\\');
      backslashes = 0;
      if (inArgument) result.push_back(std::move(current));
      current.clear();
      inArgument = false;
      continue;
    }
    inArgument = true;
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c != '"') {
      current.append(backslashes, '\\');
      backslashes = 0;
      current += c;
      continue;
    }
    current.append(backslashes / 2, '\\');
    const bool escaped = backslashes % 2 == 1;
    backslashes = 0;
    if (escaped) {
      current += '"';
      continue;
    }
    ++quotes;
    for (; i + 1 < arguments.size() && arguments[i + 1] == '"'; ++i) {
      if (++quotes == 3) {
        current += '"';
        quotes = 0;
      }
    }
    if (quotes == 2) quotes = 0;
  }
  current.append(backslashes, '\\');
  if (inArgument) result.push_back(std::move(current));
  return result;
}

}  // namespace platform
