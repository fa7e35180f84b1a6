// aus-publish: turns a build folder into a release folder of aus-server, checked and whole, and
// signed when given a key; "aus-publish keygen" makes the key.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "package/signing/releasesignature.h"
#include "package/signing/signingkey.h"
#include "server/publish/publisher.h"
#include "server/releases.h"

namespace {

namespace po = boost::program_options;

constexpr int kExitUsage = 2;
constexpr int kExitRefused = 1;
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

// Whether standard error is a terminal. The server tools run on Linux only; reading the
// descriptor's target keeps OS calls out of this folder.
bool ErrorIsTerminal() {
  std::error_code error;
  const auto target = std::filesystem::read_symlink("/proc/self/fd/2", error).string();
  return !error && (target.starts_with("/dev/pts/") || target.starts_with("/dev/tty"));
}

// One line on the terminal, rewritten in place at most every kProgressInterval and when a phase
// ends.
class ProgressLine {
 public:
  void Show(const char* phase, std::uint64_t done, std::uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && phase == phase_ && now - last_ < kProgressInterval) return;
    last_ = now;
    phase_ = phase;
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
    std::fprintf(stderr, "\raus-publish: %s %3u%% (%llu of %llu MiB)\x1b[K", phase, percent,
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total >> 20));
    shown_ = true;
  }
  void End() {
    if (shown_) std::fputc('\n', stderr);
  }

 private:
  std::chrono::steady_clock::time_point last_;
  std::string phase_;
  bool shown_ = false;
};

// Reads the command line into `description`'s variables. Returns the exit code when the program
// ends here: 0 after printing the help, kExitUsage after a usage error (printed as `program`'s).
std::optional<int> ParseCommandLine(int argc, char* argv[],
                                    const po::options_description& description,
                                    const std::string& program) {
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
    return std::nullopt;
  } catch (const po::error& error) {
    std::cerr << program << ": " << error.what() << "\n" << description << '\n';
    return kExitUsage;
  }
}

// aus-publish keygen --out DIR
int KeyGen(int argc, char* argv[]) {
  std::string out;
  po::options_description description(
      "aus-publish keygen: makes a release signing key: DIR/release.key (secret) and "
      "DIR/release.pub; prints the public key as the launcher takes it (AUS.release_key)");
  description.add_options()("help", "show this text and exit")(
      "out", po::value(&out)->required(), "the folder for the key files (DIR)");
  if (const auto exit = ParseCommandLine(argc, argv, description, "aus-publish keygen")) {
    return *exit;
  }
  try {
    const auto key = aus::publish::GenerateKey(out);
    std::cerr << "aus-publish: wrote '" << (std::filesystem::path(out) / "release.key").string()
              << "' (keep it secret: whoever holds it can sign releases) and '"
              << (std::filesystem::path(out) / "release.pub").string() << "'; the public key:\n";
    std::cout << signing::FormatPublicKey(key) << '\n';
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "aus-publish keygen: " << error.what() << '\n';
    return kExitRefused;
  }
}

// The private key in the PEM file at `path`.
std::shared_ptr<const signing::SigningKey> ReadSigningKey(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the signing key '" + path + "'");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return std::make_shared<const signing::SigningKey>(signing::SigningKey::FromPem(text.str()));
  } catch (const signing::SigningKeyError& error) {
    throw std::runtime_error("the signing key '" + path + "': " + error.what());
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && std::string(argv[1]) == "keygen") return KeyGen(argc - 1, argv + 1);
  aus::publish::PublishOptions options;
  std::string signingKey;
  std::string releases;
  std::string from;
  po::options_description description(
      "aus-publish: publishes a build folder as the release DIR/X.Y.Z of aus-server");
  description.add_options()("help", "show this text and exit")(
      "releases", po::value(&releases)->required(), "the server's releases directory (DIR)")(
      "version", po::value(&options.version)->required(), "the release's version, X.Y.Z")(
      "from", po::value(&from)->required(), "the build folder to publish")(
      "optional", po::value(&options.optional)->composing(),
      "a file of the build that a full update does not install (repeat for several)")(
      "sign", po::value(&signingKey),
      "sign the release with this private key (release.key from 'aus-publish keygen')");
  if (const auto exit = ParseCommandLine(argc, argv, description, "aus-publish")) return *exit;
  options.releases = releases;
  options.from = from;

  ProgressLine line;
  if (ErrorIsTerminal()) {
    options.progress = [&line](const char* phase, std::uint64_t done, std::uint64_t total) {
      line.Show(phase, done, total);
    };
  }
  try {
    if (!signingKey.empty()) options.signingKey = ReadSigningKey(signingKey);
    const auto published = aus::publish::Publish(options);
    line.End();
    if (!published.digestsCached) {
      std::cerr << "aus-publish: warning: cannot write the digest cache in '" << releases
                << "': each server digests the release at its next load\n";
    }
    std::cout << "aus-publish: published " << options.version << ": " << published.files
              << " files, " << published.bytes << " bytes in '" << published.folder.string() << "'"
              << (published.signedAt ? ", signed" : "") << "\n";
    return 0;
  } catch (const std::exception& error) {
    line.End();
    std::cerr << "aus-publish: " << error.what() << '\n';
    return kExitRefused;
  }
}
