// Records how it was started in "record.txt" of its working directory: the raw command line on
// the first line, then each argument as CommandLineToArgvW splits it, in brackets. The record
// appears at once, complete.
// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <fstream>
#include <string>

namespace {

std::string Narrow(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

}  // namespace

int main() {
  std::string record = std::string(GetCommandLineA()) + "\n";
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; arguments != nullptr && i < count; ++i) {
    record += "[" + Narrow(arguments[i]) + "]\n";
  }
  LocalFree(arguments);
  std::ofstream("record.tmp", std::ios::binary) << record;
  return MoveFileExA("record.tmp", "record.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
