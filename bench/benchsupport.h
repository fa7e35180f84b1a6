#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include <boost/process/child.hpp>

// Helpers shared by the benchmarks that run aus-server and nginx as processes.
namespace bench {

// A scratch folder that readers of any user (nginx's workers) can enter, removed at the end.
class WorkDir {
 public:
  explicit WorkDir(const std::string& prefix);
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` random bytes from `random` into `path`, creating its folders, a megabyte at a
// time so that the writer's memory does not grow with the file.
void WriteRandomFile(const std::filesystem::path& path, std::uint64_t bytes,
                     std::mt19937_64& random);

// An ephemeral port that was free a moment ago (for programs that cannot report theirs).
unsigned short FreePort();

// Waits up to 30 seconds until something accepts connections on 127.0.0.1:`port`; throws
// std::runtime_error otherwise.
void WaitForListener(unsigned short port);

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"), -1 when missing.
long StatusKiB(int pid, const std::string& field);

// aus-server serving `releases` on 127.0.0.1, port 0, logging into `log`. The constructor waits
// until it has digested the releases and reports its port (up to ten minutes); the destructor
// terminates it.
class AusServerProcess {
 public:
  AusServerProcess(const std::filesystem::path& program, const std::filesystem::path& releases,
                   const std::filesystem::path& log);
  ~AusServerProcess();
  AusServerProcess(const AusServerProcess&) = delete;
  AusServerProcess& operator=(const AusServerProcess&) = delete;

  unsigned short port() const { return port_; }
  int pid() const { return child_.id(); }

 private:
  boost::process::child child_;
  unsigned short port_;
};

// nginx (from PATH) with two workers, sendfile on and no access log, serving `root` on
// 127.0.0.1; its configuration and pid file live in `folder`. The constructor waits until it
// listens; the destructor stops it with its workers.
class NginxProcess {
 public:
  NginxProcess(const std::filesystem::path& folder, const std::filesystem::path& root);
  ~NginxProcess();
  NginxProcess(const NginxProcess&) = delete;
  NginxProcess& operator=(const NginxProcess&) = delete;

  unsigned short port() const { return port_; }
  std::string Url(const std::string& path) const;

 private:
  unsigned short port_;
  boost::process::child child_;
};

}  // namespace bench
