#pragma once

#include <string>

#include "package/platform/hosthooks.h"
#include "package/taln/db/updatedb.h"

namespace taln {

inline constexpr auto kLogError = logging::LogLevel::kError;
inline constexpr auto kLogWarning = logging::LogLevel::kWarning;
inline constexpr auto kLogInfo = logging::LogLevel::kInfo;
inline constexpr auto kLogDebug = logging::LogLevel::kDebug;

// Logs `text` through the host's log hook from "TALN_DownloadManagerImpl.<method>".
inline void EngineLog(logging::LogLevel level, const char* method, const std::string& text) {
  if (!logging::Logs(level)) return;
  logging::Log(level, std::string("TALN_DownloadManagerImpl.") + method, text);
}

// Logs `heading`, then one line per item of `db`, at debug level: built only when the host keeps
// them.
inline void EngineLogItems(const char* method, const std::string& heading, const UpdateDB& db) {
  if (!logging::Logs(kLogDebug)) return;
  EngineLog(kLogDebug, method, heading);
  for (const UpdateItem& item : db) EngineLog(kLogDebug, method, DescribeItem(item));
}

}  // namespace taln
