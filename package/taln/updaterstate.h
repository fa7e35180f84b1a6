#pragma once

#include <string>

// The kinds of updater events; subscribers compare them by string equality.
namespace taln::UPDATER_STATE {

extern const std::string DOWNLOAD_STARTED;
extern const std::string DOWNLOADING;
extern const std::string DOWNLOAD_FINISHED;
extern const std::string DOWNLOAD_FAILED;
extern const std::string INITIALIZATION_STARTED;
extern const std::string INITIALIZATION_SUCCESSFUL;
extern const std::string INITIALIZATION_FAILED;
extern const std::string INSTALLING_UPDATES;

}  // namespace taln::UPDATER_STATE
