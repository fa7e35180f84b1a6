#pragma once

#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <boost/system/error_code.hpp>

// The operating-system calls through which the install steps of TALN_DownloadManagerImpl link
// backups and make installed files durable: a seam for tests, which replace them while no engine
// runs (InstallCallsForTest) to make a call fail or to see it made. Not part of the engine's
// interface.
namespace taln {

struct InstallCalls {
  // Makes `link` a hard link to `target`, setting `error` where the filesystem cannot.
  std::function<void(const std::string& target, const std::string& link,
                     boost::system::error_code& error)>
      createHardLink;
  // platform::SyncFile and platform::SyncDirectory.
  std::function<std::error_code(const std::string& path)> syncFile;
  std::function<std::error_code(const std::string& path)> syncDirectory;
  // platform::SyncFiles: the downloads of a batch, made durable together before any is installed.
  std::function<std::error_code(const std::vector<std::string>& paths)> syncFiles;
};

// The calls the install steps make; the platform's by default.
const InstallCalls& CurrentInstallCalls();

// Replaces the install steps' calls for its lifetime and puts the previous ones back after. Only
// while no engine runs: the engine's threads read the calls without a lock.
class InstallCallsForTest {
 public:
  explicit InstallCallsForTest(InstallCalls calls);
  ~InstallCallsForTest();
  InstallCallsForTest(const InstallCallsForTest&) = delete;
  InstallCallsForTest& operator=(const InstallCallsForTest&) = delete;

 private:
  InstallCalls previous_;
};

}  // namespace taln
