// Signed releases end to end: a key made and a release signed by aus-publish, served by
// aus-server, verified by the launcher; a release tampered with on the server is refused and the
// installation stays as it was.
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/ausserverprocess.h"
#include "tests/e2e/programrun.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::WriteFile;

// Every file below `root` with its contents and time, but the launcher's logs and "Update.db":
// the database records the log beside the launcher, which every start changes, and is refreshed
// at the start before the server is asked.
std::map<std::string, std::string> Files(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).generic_string();
    if (name.rfind("bin/LogLauncher", 0) == 0 || name == "Update.db") continue;
    files[name] = entry.is_directory()
                      ? "<dir>"
                      : ReadFile(entry.path()) + " @" +
                            std::to_string(entry.last_write_time().time_since_epoch().count());
  }
  return files;
}

class SignedReleaseTest : public testing::Test {
 protected:
  SignedReleaseTest() {
    // The game writes nothing: it may still run while the root is compared.
    WriteFile(Build() / "bin" / "Kolvex.exe", "#!/bin/sh\n");
    fs::permissions(Build() / "bin" / "Kolvex.exe", fs::perms::owner_exec, fs::perm_options::add);
    WriteFile(Build() / "readme.txt", "first");
    fs::create_directories(Releases());
    fs::create_directories(Root() / "bin");
  }

  fs::path Build() const { return scratch_.path() / "build"; }
  fs::path Releases() const { return scratch_.path() / "releases"; }
  fs::path Root() const { return scratch_.path() / "root"; }
  std::string Log() const { return ReadFile(Root() / "bin" / "LogLauncher.txt"); }

  e2e::ProgramResult Publish(const std::string& version) {
    return e2e::RunProgram(AUS_PUBLISH_EXE,
                           {"--releases", Releases().string(), "--version", version, "--from",
                            Build().string(), "--sign", (Keys() / "release.key").string()},
                           scratch_.path());
  }
  fs::path Keys() const { return scratch_.path() / "keys"; }

  test_support::ScratchDir scratch_;
};

TEST_F(SignedReleaseTest, InstallsTheSignedReleaseAndRefusesOneTamperedWith) {
  const auto keygen =
      e2e::RunProgram(AUS_PUBLISH_EXE, {"keygen", "--out", Keys().string()}, scratch_.path());
  ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
  ASSERT_EQ(keygen.out.size(), 65u) << keygen.out;  // 64 hex digits and a line break
  const std::string key = keygen.out.substr(0, 64);
  const auto published = Publish("1.0.0");
  ASSERT_EQ(published.exitCode, 0) << published.err;
  ASSERT_TRUE(fs::exists(Releases() / "1.0.0" / "release.sig"));

  std::string port;
  {
    e2e::AusServerProcess server(Releases());
    port = server.port();
    ASSERT_FALSE(port.empty()) << "aus-server did not start";
    WriteFile(Root() / "bin" / "Settings.ini",
              "[Client]\nlog_level=0\n[AUS]\nhost=127.0.0.1\nport=" + port +
                  "\nrelease_key=" + key + "\n");
    const auto installed =
        e2e::RunProgram("/usr/bin/env", {"SDL_VIDEODRIVER=dummy", LAUNCHER_EXE}, Root() / "bin");
    EXPECT_EQ(installed.exitCode, 0) << installed.out;
    EXPECT_EQ(ReadFile(Root() / "readme.txt"), "first");
    EXPECT_NE(Log().find("Release 1.0.0 signed at "), std::string::npos) << Log();
    EXPECT_NE(Log().find("is signed by the release key " + key), std::string::npos);
    EXPECT_EQ(ReadFile(Root() / "Release.state").rfind("version=1.0.0\nsigned=", 0), 0u);

    // A start with nothing to do sweeps the update's leftovers; the root then holds still.
    EXPECT_EQ(
        e2e::RunProgram("/usr/bin/env", {"SDL_VIDEODRIVER=dummy", LAUNCHER_EXE}, Root() / "bin")
            .exitCode,
        0);
  }
  const auto before = Files(Root());

  // The server's copy of the release is changed in place and served as 1.1.0 with the old
  // signature, on the same address: the list no longer matches it.
  fs::copy(Releases() / "1.0.0", Releases() / "1.1.0", fs::copy_options::recursive);
  WriteFile(Releases() / "1.1.0" / "readme.txt", "evil");
  WriteFile(Releases() / "1.1.0" / "manifest", "[version]\nmajor=1\nminor=1\nrevision=0\n");
  e2e::AusServerProcess tampered(Releases(), port);
  ASSERT_EQ(tampered.port(), port) << "aus-server did not start on the same port";
  // The launcher counts down to try again; it is closed once it has refused.
  const auto refused = e2e::RunAndCloseWindow(LAUNCHER_EXE, {}, Root() / "bin", [this] {
    return Log().find("Release refused") != std::string::npos;
  });
  EXPECT_EQ(refused.exitCode, 0);
  EXPECT_NE(Log().find("; ERROR; TALN_DownloadManagerImpl.Initialize; Release refused: the "
                       "signature of release 1.0.0 signed at "),
            std::string::npos)
      << Log();
  EXPECT_EQ(Files(Root()), before);
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "first");
}

}  // namespace
