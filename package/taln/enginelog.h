#pragma once

#include <string>

#include "package/platform/hosthooks.h"

namespace taln {

// Logs `text` through the host's log hook from "TALN_DownloadManagerImpl.<method>".
inline void EngineLog(logging::LogLevel level, const char* method, const std::string& text) {
  logging::Log(level, std::string("TALN_DownloadManagerImpl.") + method, text);
}

}  // namespace taln
