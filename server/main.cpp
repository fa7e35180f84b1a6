// aus-server: serves the releases under a directory to launchers over the update protocol.
#include <chrono>
#include <csignal>
#include <exception>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>

#include <boost/program_options.hpp>

#include "package/logging/logger.h"
#include "package/taln/db/versiontext.h"
#include "server/ausserver.h"
#include "server/releases.h"

namespace {

namespace po = boost::program_options;

constexpr const char* kChannel = "AUS";
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr auto kProgressInterval = std::chrono::seconds(2);

// Logs digest progress at most every kProgressInterval, and when done.
aus::server::Releases::Progress ProgressLine() {
  auto last =
      std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
  return [last](std::uint64_t done, std::uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - *last < kProgressInterval) return;
    *last = now;
    Logger::Instance().Print(kChannel, 2, "Releases.Load: digested %llu of %llu MiB",
                             static_cast<unsigned long long>(done >> 20),
                             static_cast<unsigned long long>(total >> 20));
  };
}

// The names of the releases directory's entries (and where links point), which change when a
// release folder appears or goes away; the digest cache and releases being published are left
// out, as they change without a release changing.
std::string ReleaseFolders(const std::filesystem::path& root) {
  std::set<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.starts_with(aus::server::Releases::kDigestCacheName) ||
        name.starts_with(aus::server::Releases::kStagingPrefix)) {
      continue;
    }
    std::error_code ignored;
    if (it->is_symlink(ignored))
      name += " -> " + std::filesystem::read_symlink(*it, ignored).string();
    names.insert(std::move(name));
  }
  if (error) return "cannot list: " + error.message();
  std::string text;
  for (const auto& name : names) text += name + '\n';
  return text;
}

}  // namespace

int main(int argc, char* argv[]) {
  aus::server::ServerOptions options;
  std::string releasesDir;
  unsigned idleSeconds = 60;
  unsigned watchSeconds = 0;
  unsigned short metricsPort = 0;
  aus::server::Releases::LoadOptions load;
  po::options_description description("aus-server: the update server for the game launcher");
  description.add_options()("help", "show this text and exit")(
      "releases", po::value(&releasesDir)->required(),
      "directory holding one folder per client version, named major.minor.revision")(
      "listen", po::value(&options.listen)->default_value(options.listen),
      "IPv4 or IPv6 address to listen on (0.0.0.0 for every interface)")(
      "port", po::value(&options.port)->default_value(options.port), "TCP port to listen on")(
      "threads", po::value(&options.threads)->default_value(0),
      "threads serving connections; 0 means one per core")(
      "idle-timeout", po::value(&idleSeconds)->default_value(idleSeconds),
      "seconds after which a connection that sends and takes nothing is closed")(
      "skip-broken", po::bool_switch(&load.skipBroken),
      "serve the other releases when one cannot be served whole, instead of stopping; the broken "
      "one is unavailable, and while it is the newest no release is offered as latest")(
      "rehash", po::bool_switch(&load.rehash),
      "digest every file again instead of trusting the digest cache")(
      "watch", po::value(&watchSeconds)->default_value(watchSeconds),
      "reload the releases when a release folder appears or goes away, looking every S seconds; "
      "0: only on SIGHUP")(
      "metrics-port", po::value(&metricsPort),
      "serve metrics in the Prometheus text format at http://METRICS-LISTEN:N/metrics")(
      "metrics-listen", po::value(&options.metricsListen)->default_value(options.metricsListen),
      "address the metrics are served on");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
    if (idleSeconds == 0) throw po::error("--idle-timeout must be at least 1");
    if (values.count("metrics-port")) options.metricsPort = metricsPort;
  } catch (const po::error& error) {
    std::cerr << "aus-server: " << error.what() << "\n" << description << '\n';
    return kExitUsage;
  }
  options.session.idleTimeout = std::chrono::seconds(idleSeconds);
  if (watchSeconds > 0) {
    options.watch = [releasesDir] { return ReleaseFolders(releasesDir); };
    options.watchInterval = std::chrono::seconds(watchSeconds);
  }

  auto& log = Logger::Instance();
  log.SetLevel(2);
  // Until Run handles it, SIGHUP would end the process: an operator reloading every replica
  // right after a publish must not kill one that is still loading. The load under way sees
  // whatever was in place when it listed the directory.
  std::signal(SIGHUP, SIG_IGN);
  try {
    load.progress = ProgressLine();
    const auto loadReleases = [releasesDir](const aus::server::Releases::LoadOptions& load) {
      auto releases = aus::server::Releases::Load(releasesDir, load);
      if (const auto* broken = releases->LatestUnavailable()) {
        Logger::Instance().Print(
            kChannel, 4, "main: the newest release %s is unavailable: launchers get no update",
            FormatVersion(broken->version).c_str());
      } else if (!releases->Latest()) {
        Logger::Instance().Print(kChannel, 3, "main: no release under '%s'", releasesDir.c_str());
      }
      return releases;
    };
    auto releases = loadReleases(load);
    // A reload trusts the cache that the start (re)built.
    options.reload = [loadReleases, load] {
      auto again = load;
      again.rehash = false;
      again.progress = ProgressLine();
      return loadReleases(again);
    };
    aus::server::AusServer server(releases, options);
    log.Print(kChannel, 2, "main: listening on %s port %u", options.listen.c_str(),
              static_cast<unsigned>(server.Port()));
    if (options.metricsPort) {
      log.Print(kChannel, 2, "main: metrics at http://%s:%u/metrics", options.metricsListen.c_str(),
                static_cast<unsigned>(server.MetricsPort()));
    }
    server.Run();
    log.Print(kChannel, 2, "main: stopped");
    return 0;
  } catch (const aus::server::ReleaseLoadError& error) {
    log.Print(kChannel, 5, "main: %s (fix it, or start with --skip-broken to serve the others)",
              error.what());
    return kExitFailure;
  } catch (const std::exception& error) {
    log.Print(kChannel, 5, "main: %s", error.what());
    return kExitFailure;
  }
}
