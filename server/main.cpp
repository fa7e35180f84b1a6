// aus-server: serves the releases under a directory to launchers over the update protocol.
#include <chrono>
#include <exception>
#include <iostream>
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

}  // namespace

int main(int argc, char* argv[]) {
  aus::server::ServerOptions options;
  std::string releasesDir;
  unsigned idleSeconds = 60;
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
      "digest every file again instead of trusting the digest cache");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
    if (idleSeconds == 0) throw po::error("--idle-timeout must be at least 1");
  } catch (const po::error& error) {
    std::cerr << "aus-server: " << error.what() << "\n" << description << '\n';
    return kExitUsage;
  }
  options.session.idleTimeout = std::chrono::seconds(idleSeconds);

  auto& log = Logger::Instance();
  log.SetLevel(2);
  try {
    load.progress = ProgressLine();
    auto releases = aus::server::Releases::Load(releasesDir, load);
    if (const auto* broken = releases->LatestUnavailable()) {
      log.Print(kChannel, 4, "main: the newest release %s is unavailable: launchers get no update",
                FormatVersion(broken->version).c_str());
    } else if (!releases->Latest()) {
      log.Print(kChannel, 3, "main: no release under '%s'", releasesDir.c_str());
    }
    aus::server::AusServer server(releases, options);
    log.Print(kChannel, 2, "main: listening on %s port %u", options.listen.c_str(),
              static_cast<unsigned>(server.Port()));
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
