// Measures the update engine against rsync over loopback, in one run:
//  full    a fresh install of a release (by default 1 GiB in 2,000 files of varied sizes, four of
//          them large) into an empty root: TALN_DownloadManagerImpl from Start until
//          DOWNLOAD_FINISHED (download, verification, installation, "Update.db" saved) from
//          aus-server, against `rsync -a -W` of the same files from an rsync daemon into an
//          empty folder, and against `rsync -a -W --fsync`, which like the engine waits until
//          every file it wrote is on the disk;
//  no-op   a start over an installed tree (by default 10,000 files) whose "Update.db" is current,
//          with the server publishing the same release, until DOWNLOAD_FINISHED, against rsync's
//          run over a copy it already made of the same tree;
//  memory  the engine's peak resident memory: each engine run is a child process (this program
//          with --engine-run) that does nothing else and reports its ru_maxrss.
// Both sides are timed from process start to exit, after a sync, in --rounds interleaved rounds,
// each side going first in turn. The median of the rounds is compared: on this kind of virtual
// machine a single run of either side can take up to three times its usual time (it depends on
// whether the pages it writes are already backed by the host), and the best of a few rounds
// rewards whichever side drew the luckiest one. The best rounds are shown too.
// Every full install goes into a folder of its own, kept until the comparison ends: ext4 without a
// journal steps over the inodes freed in the last minute for every file it creates, so a run that
// followed the deletion of the previous one paid for it, by seconds for 20,000 files. With
// --reuse-target every run goes into one folder emptied before it, as earlier figures were taken.
// The engine runs as the launcher drives it (Start, then RequestUpdate and ProcessRequests once
// initialised), without a log callback. Every run's result is compared byte for byte with the
// release (and the engine's "Update.db" must load as current), so the bench fails rather than
// time a wrong install.
// Usage: engine_bench [--mib 1024] [--files 2000] [--noop-files 10000] [--rounds 10]
//                     [--in-flight 1] [--reuse-target]
// Also the floor: the time to take the SHA-256 of the release at `openssl speed`'s rate.
// A short run: engine_bench --mib 64 --files 200 --noop-files 1000 --rounds 1
// aus-server is taken from the folder of this program, rsync from PATH; both listen on
// 127.0.0.1 only.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/process.hpp>
#include <boost/program_options.hpp>

#include "bench/benchsupport.h"
#include "package/network/common/downloadmanager.h"
#include "package/settings/serversettings.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/talndownloadmanagerimpl.h"
#include "package/taln/updaterstate.h"

namespace {

namespace bp = boost::process;
namespace fs = std::filesystem;
namespace State = taln::UPDATER_STATE;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start, Clock::time_point end = Clock::now()) {
  return std::chrono::duration<double>(end - start).count();
}

struct Options {
  std::uint64_t mib = 1024;
  unsigned files = 2000;
  unsigned noopFiles = 10000;
  int rounds = 10;
  unsigned inFlight = 1;     // the engine's AUS.requests_in_flight
  bool reuseTarget = false;  // one target folder, emptied before each run
};

// ---- the engine side, run in a child process ----

// The first arrival of each state the engine emits, from any thread; the main thread waits.
class Events {
 public:
  void Add(const std::string& state, const std::string& message) {
    std::lock_guard lock(mutex_);
    if (!message.empty()) lastMessage_ = message;
    // Only a new state can end a wait: the thousands of DOWNLOADING events wake nobody.
    if (first_.emplace(state, Clock::now()).second) changed_.notify_all();
  }
  // The earliest of `states` to arrive; throws after ten minutes without any.
  std::string WaitForOneOf(const std::vector<std::string>& states) {
    std::unique_lock lock(mutex_);
    std::string found;
    const bool arrived = changed_.wait_for(lock, std::chrono::minutes(10), [&] {
      for (const std::string& state : states) {
        const auto it = first_.find(state);
        if (it != first_.end() && (found.empty() || it->second < first_.at(found))) found = state;
      }
      return !found.empty();
    });
    if (!arrived) throw std::runtime_error("the engine did not answer in time");
    return found;
  }
  std::string LastMessage() {
    std::lock_guard lock(mutex_);
    return lastMessage_;
  }
  // When `state` first arrived; `otherwise` if it never did.
  Clock::time_point First(const std::string& state, Clock::time_point otherwise) {
    std::lock_guard lock(mutex_);
    const auto it = first_.find(state);
    return it == first_.end() ? otherwise : it->second;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Clock::time_point> first_;  // guarded by mutex_
  std::string lastMessage_;                         // guarded by mutex_
};

// Drives the engine as a launcher does: Start, then an update once initialised. "Settings.ini"
// in the working directory names the server. Prints the peak resident memory in KiB.
int RunEngine(const std::string& root) {
  const auto start = Clock::now();
  const ServerSettings settings;
  Events events;
  std::string outcome;
  {
    taln::TALN_DownloadManagerImpl engine(
        root,
        [&events](const std::string& state, int, const std::string& message) {
          events.Add(state, message);
        },
        [&settings]() -> const ServerSettings& { return settings; });
    engine.Start();
    outcome = events.WaitForOneOf({State::INITIALIZATION_SUCCESSFUL, State::INITIALIZATION_FAILED});
    if (outcome == State::INITIALIZATION_SUCCESSFUL) {
      engine.RequestUpdate();
      engine.ProcessRequests();
      outcome = events.WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED});
    }
  }
  if (outcome != State::DOWNLOAD_FINISHED) {
    std::fprintf(stderr, "engine: %s %s\n", outcome.c_str(), events.LastMessage().c_str());
    return 1;
  }
  const auto end = Clock::now();
  const auto initialised = events.First(State::INITIALIZATION_SUCCESSFUL, end);
  const auto installing = events.First(State::INSTALLING_UPDATES, end);
  const auto downloading = events.First(State::DOWNLOAD_STARTED, installing);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto cpu = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  std::printf("%ld %.3f %.3f %.3f %.3f\n", usage.ru_maxrss, Seconds(start, initialised),
              Seconds(downloading, installing), Seconds(installing, end),
              cpu(usage.ru_utime) + cpu(usage.ru_stime));
  return 0;
}

// ---- the parent: data, servers, timing, checks ----

struct ReleaseFile {
  std::string name;  // relative, with '/'
  std::uint64_t size;
};

// `files` files of `bytes` in total: four large ones (one when there are few files) holding half
// the bytes, the rest sizes spread over three orders of magnitude.
std::vector<ReleaseFile> FullRelease(unsigned files, std::uint64_t bytes) {
  const unsigned large = files >= 100 ? 4 : 1;
  std::vector<ReleaseFile> release;
  for (unsigned i = 0; i < large; ++i) {
    release.push_back({"packs/pack" + std::to_string(i) + ".pak", bytes / 2 / large});
  }
  const unsigned small = files - large;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(0, std::log(1000.0));
  std::vector<double> weights(small);
  for (double& weight : weights) weight = std::exp(exponent(random));
  double sum = 0;
  for (double weight : weights) sum += weight;
  const std::uint64_t rest = bytes - bytes / 2 / large * large;
  std::uint64_t given = 0;
  for (unsigned i = 0; i < small; ++i) {
    const auto size =
        i + 1 == small ? rest - given : static_cast<std::uint64_t>(rest * (weights[i] / sum));
    given += size;
    release.push_back(
        {"data/d" + std::to_string(i % 25) + "/f" + std::to_string(i) + ".bin", size});
  }
  return release;
}

// `files` small files, 100 bytes to 40 KiB, in a hundred folders.
std::vector<ReleaseFile> NoopRelease(unsigned files) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> exponent(std::log(100.0), std::log(40960.0));
  std::vector<ReleaseFile> release;
  for (unsigned i = 0; i < files; ++i) {
    release.push_back({"assets/a" + std::to_string(i % 100) + "/n" + std::to_string(i) + ".dat",
                       static_cast<std::uint64_t>(std::exp(exponent(random)))});
  }
  return release;
}

void WriteRelease(const fs::path& folder, const std::vector<ReleaseFile>& release) {
  std::mt19937_64 random(42);
  for (const ReleaseFile& file : release)
    bench::WriteRandomFile(folder / file.name, file.size, random);
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream inA(a, std::ios::binary);
  std::ifstream inB(b, std::ios::binary);
  // Kept between calls: fresh megabytes for each of thousands of small files cost seconds.
  static std::vector<char> blockA(1 << 20);
  static std::vector<char> blockB(1 << 20);
  while (inA && inB) {
    inA.read(blockA.data(), static_cast<std::streamsize>(blockA.size()));
    inB.read(blockB.data(), static_cast<std::streamsize>(blockB.size()));
    if (inA.gcount() != inB.gcount() ||
        std::memcmp(blockA.data(), blockB.data(), static_cast<std::size_t>(inA.gcount())) != 0) {
      return false;
    }
  }
  return !inA.bad() && !inB.bad() && inA.eof() && inB.eof();
}

// Throws unless `copy` holds exactly the release's files, byte for byte, plus `extra` names.
void CheckCopy(const fs::path& source, const std::vector<ReleaseFile>& release,
               const fs::path& copy, const std::vector<std::string>& extra = {}) {
  for (const ReleaseFile& file : release) {
    if (!SameBytes(source / file.name, copy / file.name)) {
      throw std::runtime_error("wrong or missing file: " + (copy / file.name).string());
    }
  }
  std::size_t found = 0;
  for (const auto& entry : fs::recursive_directory_iterator(copy)) found += entry.is_regular_file();
  if (found != release.size() + extra.size()) {
    throw std::runtime_error(copy.string() + " holds " + std::to_string(found) + " files, not " +
                             std::to_string(release.size() + extra.size()));
  }
  for (const std::string& name : extra) {
    if (!fs::is_regular_file(copy / name)) throw std::runtime_error("missing " + name);
  }
}

// The engine's "Update.db" lists every file and loads without anything to re-hash or drop.
void CheckUpdateDb(const fs::path& root, std::size_t files) {
  taln::UpdateDB db{boost::filesystem::path(root.string())};
  if (!db.Load() || db.size() != files || db.IsModified()) {
    throw std::runtime_error("Update.db in " + root.string() + " is not current");
  }
}

struct EngineRun {
  double seconds;
  long peakKiB;
  std::string phases;  // seconds to initialise, download and install, as the child saw them
};

// One engine run in a child process, in `folder` (which holds "Settings.ini"), on `root`.
EngineRun RunEngineProcess(const fs::path& self, const fs::path& folder, const fs::path& root) {
  ::sync();  // the previous run's writes are not this run's cost
  bp::ipstream out;
  const auto start = Clock::now();
  bp::child child(self.string(), "--engine-run", root.string(), bp::start_dir(folder.string()),
                  bp::std_out > out);
  EngineRun run{};
  double initialise = 0;
  double download = 0;
  double install = 0;
  double cpu = 0;
  out >> run.peakKiB >> initialise >> download >> install >> cpu;
  child.wait();
  run.seconds = Seconds(start);
  if (child.exit_code() != 0 || !out) throw std::runtime_error("the engine run failed");
  char phases[128];
  std::snprintf(phases, sizeof phases, "initialise %.3f, download %.3f, install %.3f, CPU %.3f",
                initialise, download, install, cpu);
  run.phases = phases;
  return run;
}

// `rsync -a -W`, with --fsync when `durable`.
double RunRsync(const std::string& url, const fs::path& destination, bool durable = false) {
  ::sync();
  std::vector<std::string> arguments{"-a", "-W"};
  if (durable) arguments.push_back("--fsync");
  arguments.push_back(url);
  arguments.push_back(destination.string() + "/");
  const auto start = Clock::now();
  const int code = bp::system(bp::search_path("rsync"), bp::args(arguments));
  const double seconds = Seconds(start);
  if (code != 0) throw std::runtime_error("rsync failed with code " + std::to_string(code));
  return seconds;
}

// An rsync daemon on 127.0.0.1 serving each (module, path) read-only, with its configuration and
// log in `folder`.
class RsyncDaemon {
 public:
  RsyncDaemon(const fs::path& folder, const std::vector<std::pair<std::string, fs::path>>& modules)
      : port_(bench::FreePort()) {
    fs::create_directories(folder);
    std::ofstream config(folder / "rsyncd.conf");
    config << "use chroot = no\nuid = " << getuid() << "\ngid = " << getgid()
           << "\nlog file = " << (folder / "rsyncd.log").string() << "\n";
    for (const auto& [name, path] : modules) {
      config << "[" << name << "]\n  path = " << path.string() << "\n  read only = yes\n";
    }
    config.close();
    child_ = bp::child(bp::search_path("rsync"), "--daemon", "--no-detach",
                       "--config=" + (folder / "rsyncd.conf").string(), "--address=127.0.0.1",
                       "--port=" + std::to_string(port_));
    bench::WaitForListener(port_);
  }
  ~RsyncDaemon() {
    std::error_code ignored;
    child_.terminate(ignored);
  }
  std::string Url(const std::string& module) const {
    return "rsync://127.0.0.1:" + std::to_string(port_) + "/" + module + "/";
  }

 private:
  unsigned short port_;
  bp::child child_;
};

void WriteSettings(const fs::path& folder, unsigned short port, unsigned inFlight) {
  fs::create_directories(folder);
  std::ofstream(folder / "Settings.ini")
      << "[AUS]\nhost=127.0.0.1\nport=" << port << "\nrequests_in_flight=" << inFlight << "\n";
}

// SHA-256 throughput of this CPU in bytes per second, as `openssl speed` measures it on 16 KiB
// blocks; 0 when openssl is missing or says something else.
double Sha256BytesPerSecond() {
  const auto openssl = bp::search_path("openssl");
  if (openssl.empty()) return 0;
  bp::ipstream out;
  bp::child child(openssl.string(), "speed", "-seconds", "2", "-bytes", "16384", "sha256",
                  bp::std_out > out, bp::std_err > bp::null);
  std::string line;
  double kilobytes = 0;
  while (std::getline(out, line)) {
    if (line.rfind("sha256", 0) == 0) std::sscanf(line.c_str() + 6, "%lfk", &kilobytes);
  }
  child.wait();
  return kilobytes * 1000;
}

// Runs every side of a round, each round starting with the next side, so that none always meets
// another's leftovers (dirty pages, a warm cache).
void InTurn(int round, const std::vector<std::function<void()>>& sides) {
  for (std::size_t i = 0; i < sides.size(); ++i) sides[(round + i) % sides.size()]();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Best(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

// One line of the summary: each side's median and best, and the ratios of both.
void PrintComparison(const std::string& what, const std::vector<double>& engine,
                     const std::vector<double>& rsync, const char* target) {
  char engineText[32];
  char rsyncText[32];
  char ratioText[32];
  std::snprintf(engineText, sizeof engineText, "%.3f (%.3f)", Median(engine), Best(engine));
  std::snprintf(rsyncText, sizeof rsyncText, "%.3f (%.3f)", Median(rsync), Best(rsync));
  std::snprintf(ratioText, sizeof ratioText, "%.2f (%.2f)", Median(engine) / Median(rsync),
                Best(engine) / Best(rsync));
  std::printf("%-48s %16s %16s %12s %s\n", what.c_str(), engineText, rsyncText, ratioText, target);
}

void Reset(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

// The empty folders the full installs go into: a new one for each run, the earlier ones kept
// (see the top of this file), unless `reuse`. When the disk could not hold another install, the
// kept ones are removed and the file system's minute of memory for their inodes waited out.
class TargetFolders {
 public:
  TargetFolders(fs::path parent, std::uint64_t releaseBytes, bool reuse)
      : parent_(std::move(parent)), releaseBytes_(releaseBytes), reuse_(reuse) {}
  ~TargetFolders() {
    std::error_code ignored;
    fs::remove_all(parent_, ignored);
  }

  fs::path Next() {
    if (reuse_) {
      Reset(parent_ / "target");
      return parent_ / "target";
    }
    fs::create_directories(parent_);
    if (fs::space(parent_).available < 2 * releaseBytes_ + (256 << 20) && count_ > 0) {
      std::printf("(disk nearly full: removing %u installs, then waiting 65 s)\n", count_);
      fs::remove_all(parent_);
      fs::create_directories(parent_);
      ::sync();
      std::this_thread::sleep_for(std::chrono::seconds(65));
    }
    const fs::path next = parent_ / std::to_string(count_++);
    fs::create_directories(next);
    return next;
  }

 private:
  fs::path parent_;
  std::uint64_t releaseBytes_;
  bool reuse_;
  unsigned count_ = 0;
};

int RunBench(const Options& options) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const fs::path program = fs::read_symlink("/proc/self/exe");
  bench::WorkDir work("engine_bench");
  const fs::path& dir = work.path();

  const auto full = FullRelease(options.files, options.mib << 20);
  const auto noop = NoopRelease(options.noopFiles);
  std::printf("writing a %llu MiB release of %u files and a tree of %u files\n",
              static_cast<unsigned long long>(options.mib), options.files, options.noopFiles);
  const fs::path fullSource = dir / "full-releases" / "1.0.0";
  const fs::path noopSource = dir / "noop-releases" / "1.0.0";
  WriteRelease(fullSource, full);
  WriteRelease(noopSource, noop);

  const fs::path ausServer = program.parent_path() / "aus-server";
  bench::AusServerProcess fullServer(ausServer, fullSource.parent_path(), dir / "aus-full.log");
  bench::AusServerProcess noopServer(ausServer, noopSource.parent_path(), dir / "aus-noop.log");
  RsyncDaemon rsync(dir / "rsyncd", {{"full", fullSource}, {"noop", noopSource}});
  WriteSettings(dir / "full-engine", fullServer.port(), options.inFlight);
  WriteSettings(dir / "noop-engine", noopServer.port(), options.inFlight);

  TargetFolders targets(dir / "full-targets", options.mib << 20, options.reuseTarget);
  std::vector<double> engineFull;
  std::vector<double> rsyncFull;
  std::vector<double> rsyncFsyncFull;
  long fullPeakKiB = 0;
  for (int round = 0; round < options.rounds; ++round) {
    EngineRun run{};
    double seconds = 0;
    double fsyncSeconds = 0;
    InTurn(round, {[&] {
                     const fs::path target = targets.Next();
                     run = RunEngineProcess(program, dir / "full-engine", target);
                     CheckCopy(fullSource, full, target, {"Update.db"});
                     CheckUpdateDb(target, full.size());
                   },
                   [&] {
                     const fs::path target = targets.Next();
                     seconds = RunRsync(rsync.Url("full"), target);
                     CheckCopy(fullSource, full, target);
                   },
                   [&] {
                     const fs::path target = targets.Next();
                     fsyncSeconds = RunRsync(rsync.Url("full"), target, true);
                     CheckCopy(fullSource, full, target);
                   }});
    engineFull.push_back(run.seconds);
    rsyncFull.push_back(seconds);
    rsyncFsyncFull.push_back(fsyncSeconds);
    fullPeakKiB = std::max(fullPeakKiB, run.peakKiB);
    std::printf(
        "full install, round %d: engine %.3f s (%s; peak %ld KiB), rsync %.3f s, rsync --fsync "
        "%.3f s\n",
        round + 1, run.seconds, run.phases.c_str(), run.peakKiB, seconds, fsyncSeconds);
  }

  // The installed trees the no-op runs start from, each made by its own side.
  const fs::path noopRoot = dir / "noop-root";
  const fs::path noopCopy = dir / "noop-copy";
  Reset(noopRoot);
  const long treePeakKiB = RunEngineProcess(program, dir / "noop-engine", noopRoot).peakKiB;
  CheckCopy(noopSource, noop, noopRoot, {"Update.db"});
  CheckUpdateDb(noopRoot, noop.size());
  Reset(noopCopy);
  RunRsync(rsync.Url("noop"), noopCopy);

  std::vector<double> engineNoop;
  long noopPeakKiB = 0;
  std::vector<double> rsyncNoop;
  for (int round = 0; round < options.rounds; ++round) {
    EngineRun run{};
    double seconds = 0;
    InTurn(round, {[&] { run = RunEngineProcess(program, dir / "noop-engine", noopRoot); },
                   [&] { seconds = RunRsync(rsync.Url("noop"), noopCopy); }});
    engineNoop.push_back(run.seconds);
    rsyncNoop.push_back(seconds);
    noopPeakKiB = std::max(noopPeakKiB, run.peakKiB);
    std::printf("no-op start, round %d: engine %.3f s (%s; peak %ld KiB), rsync %.3f s\n",
                round + 1, run.seconds, run.phases.c_str(), run.peakKiB, seconds);
  }
  // Nothing to do means nothing done: both trees are still the release.
  CheckCopy(noopSource, noop, noopRoot, {"Update.db"});
  CheckUpdateDb(noopRoot, noop.size());
  CheckCopy(noopSource, noop, noopCopy);

  std::printf("\n%-48s %16s %16s %12s %s\n", "median (best) of rounds", "engine s", "rsync s",
              "ratio", "target");
  const std::string fullInstall = "full install, " + std::to_string(options.mib) + " MiB in " +
                                  std::to_string(options.files) + " files";
  PrintComparison(fullInstall + ", --fsync", engineFull, rsyncFsyncFull, "< 1");
  PrintComparison(fullInstall, engineFull, rsyncFull, "(unsynced)");
  PrintComparison("no-op start, " + std::to_string(options.noopFiles) + " files", engineNoop,
                  rsyncNoop, "<= 2");
  // The floor: the engine takes the SHA-256 of every byte, which rsync's whole-file copy does not.
  const double sha256 = Sha256BytesPerSecond();
  if (sha256 > 0) {
    const double floor = static_cast<double>(options.mib << 20) / sha256;
    std::printf(
        "floor, SHA-256 of %llu MiB at %.0f MB/s (openssl speed, 16 KiB blocks): %.3f s; engine "
        "median / floor %.2f\n",
        static_cast<unsigned long long>(options.mib), sha256 / 1e6, floor,
        Median(engineFull) / floor);
  }
  std::printf("requests in flight: %u\n", options.inFlight);
  std::printf(
      "engine peak resident memory, target < 64 MiB: full install %.1f MiB, no-op start %.1f MiB, "
      "install of the %u-file tree %.1f MiB\n",
      fullPeakKiB / 1024.0, noopPeakKiB / 1024.0, options.noopFiles, treePeakKiB / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  namespace po = boost::program_options;
  Options options;
  std::string engineRoot;
  po::options_description description("engine_bench: the update engine against rsync");
  description.add_options()("help", "show this text")(
      "mib", po::value(&options.mib)->default_value(options.mib),
      "release size of the full install")("files",
                                          po::value(&options.files)->default_value(options.files),
                                          "files of the full install")(
      "noop-files", po::value(&options.noopFiles)->default_value(options.noopFiles),
      "installed files of the no-op start")(
      "rounds", po::value(&options.rounds)->default_value(options.rounds),
      "interleaved rounds; the median counts")(
      "in-flight", po::value(&options.inFlight)->default_value(options.inFlight),
      "the engine's AUS.requests_in_flight")("reuse-target", po::bool_switch(&options.reuseTarget),
                                             "install every run into one folder emptied before it")(
      "engine-run", po::value(&engineRoot), "internal: run the engine once on this root");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    po::notify(values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    if (!engineRoot.empty()) {
      network::common::KeepTransferBuffersMapped();  // as the launcher does
      return RunEngine(engineRoot);
    }
    if (options.files < 2 || options.rounds < 1 || options.noopFiles < 1) {
      throw po::error("--files must be at least 2, --rounds and --noop-files at least 1");
    }
    return RunBench(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 1;
  }
}
