// The update engine killed with SIGKILL at every file operation of a full update, one point per
// run: no installed file is ever lost or partial, and the next run completes the installation.
// strace stops the engine deterministically: its fault injection delivers SIGKILL when a thread
// enters its N-th call of one system call on the installation's paths, for every N until the
// engine survives. The count is per thread, so a call of a later thread whose number an earlier
// thread reaches first is not hit on its own; the states it would leave are hit by the calls
// around it.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/taln/db/updatedb.h"
#include "tests/e2e/ausserverprocess.h"
#include "tests/e2e/programrun.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::WriteFile;
using Files = std::map<std::string, std::string>;

struct KillingCall {
  const char* call;
  bool databaseOnly;  // only on "Update.db" and its unfinished copy, so the save's own are counted
};

// The calls with which the engine changes the installation (its plain run shows no others): the
// downloads' writes, the backup links, the permissions, the renames of the install, and the save
// of "Update.db".
const KillingCall kKillingCalls[] = {{"openat", false}, {"write", false}, {"writev", false},
                                     {"link", false},   {"chmod", false}, {"rename", false},
                                     {"openat", true},  {"write", true},  {"rename", true}};

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * seed + i / 4099) % 251);
  return bytes;
}

Files ReleaseA() {
  return {{"bin/Kolvex.exe", "#!/bin/sh\necho a\n"},
          {"bin/game.dll", "game a"},
          {"data/pack.bin", Pattern(2'600'000, 7)},  // two ranges
          {"data/keep.bin", Pattern(200'000, 13)},
          {"readme.txt", "kept"}};
}

Files ReleaseB() {
  Files files = ReleaseA();
  files["bin/Kolvex.exe"] = "#!/bin/sh\necho b\n";
  files["bin/game.dll"] = "game b";
  files["data/pack.bin"] = Pattern(2'600'000, 31);
  files["data/new.bin"] = Pattern(300'000, 17);
  files["docs/notes.txt"] = "in a new folder";
  return files;
}

void WriteRelease(const fs::path& folder, const Files& files) {
  for (const auto& [name, contents] : files) WriteFile(folder / name, contents);
}

// The regular files under `root`, by name relative to it.
std::set<std::string> FilesUnder(const fs::path& root) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) names.insert(entry.path().lexically_relative(root).string());
  }
  return names;
}

// A copy with the modification times, so that "Update.db" still describes it.
void CopyInstallation(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
  for (const std::string& name : FilesUnder(from)) {
    fs::last_write_time(to / name, fs::last_write_time(from / name));
  }
}

bool StraceAvailable() { return std::system("strace -V >/dev/null 2>&1") == 0; }

bool Executable(const fs::path& path) {
  return (fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

class CrashSafetyTest : public testing::Test {
 protected:
  fs::path Releases() const { return scratch_.path() / "releases"; }
  fs::path WorkDir() const { return scratch_.path() / "work"; }
  fs::path Installed() const { return scratch_.path() / "release-a"; }
  fs::path Root() const { return scratch_.path() / "root"; }

  void PointAt(const std::string& port) {
    WriteFile(WorkDir() / "Settings.ini", "[AUS]\nhost=127.0.0.1\nport=" + port + "\n");
  }
  e2e::ProgramResult RunEngine(const fs::path& root) {
    return e2e::RunProgram(ENGINE_BATCH_EXE, {root.string()}, WorkDir());
  }
  // The engine killed when one of its threads enters its `n`-th `call` on a path of the
  // installation (or of the database alone), if it gets there. With `noLinks` every hard link
  // fails as it does on FAT or a network share, so each backup is a rename. `fault` is strace's
  // injected action in place of the kill (e.g. "error=EACCES").
  e2e::ProgramResult RunEngineKilledAt(const KillingCall& kill, int n, bool noLinks = false,
                                       const std::string& fault = "signal=KILL") {
    const std::string call = kill.call;
    std::vector<std::string> arguments{
        "-f", "-qq",           "-o", "/dev/null",
        "-e", "trace=" + call, "-e", "inject=" + call + ":" + fault + ":when=" + std::to_string(n)};
    if (noLinks) {
      arguments.insert(arguments.end(),
                       {"-e", "trace=" + call + ",link", "-e", "inject=link:error=EPERM"});
    }
    std::set<std::string> paths{"/Update.db", "/Update.db.$$$"};
    if (!kill.databaseOnly) {
      paths.insert("");
      for (const auto& [name, contents] : ReleaseB()) {
        paths.insert("/" + fs::path(name).parent_path().string());
        for (const char* suffix : {"", ".upd", ".$$$"}) paths.insert("/" + name + suffix);
      }
    }
    for (const std::string& path : paths) {
      arguments.push_back("-P");
      arguments.push_back(Root().string() + path);
    }
    arguments.push_back(ENGINE_BATCH_EXE);
    arguments.push_back(Root().string());
    return e2e::RunProgram("strace", arguments, WorkDir());
  }

  // Release A installed by the engine into Installed(), and release B published beside it.
  void InstallAThenPublishB() {
    WriteRelease(Releases() / "1.0.0", ReleaseA());
    fs::create_directories(WorkDir());
    fs::create_directories(Installed());
    {
      e2e::AusServerProcess server(Releases());
      ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
      PointAt(server.port());
      const auto result = RunEngine(Installed());
      ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    }
    WriteRelease(Releases() / "1.1.0", ReleaseB());
  }

  // Every file of release A holds A's or B's bytes, a file new in B is absent or whole, the
  // program stays executable, and "Update.db" still loads.
  void ExpectNothingLost() {
    const Files a = ReleaseA();
    const Files b = ReleaseB();
    for (const auto& [name, contents] : b) {
      SCOPED_TRACE(name);
      const fs::path path = Root() / name;
      if (a.count(name) == 0 && !fs::exists(path)) continue;
      ASSERT_TRUE(fs::exists(path));
      const std::string found = ReadFile(path);
      EXPECT_TRUE(found == contents || (a.count(name) && found == a.at(name)))
          << found.size() << " bytes";
    }
    EXPECT_TRUE(Executable(Root() / "bin/Kolvex.exe"));
    taln::UpdateDB db{boost::filesystem::path(Root().string())};
    EXPECT_TRUE(db.Load()) << "Update.db does not load";
  }

  // Exactly release B and "Update.db", and the program executable.
  void ExpectReleaseB() {
    std::set<std::string> expected{"Update.db"};
    for (const auto& [name, contents] : ReleaseB()) {
      expected.insert(name);
      EXPECT_EQ(ReadFile(Root() / name), contents) << name;
    }
    EXPECT_EQ(FilesUnder(Root()), expected);
    EXPECT_TRUE(Executable(Root() / "bin/Kolvex.exe"));
  }

  test_support::ScratchDir scratch_;
};

TEST_F(CrashSafetyTest, KilledAnywhereInAnUpdateLosesNothingAndTheNextRunCompletesIt) {
  if (!StraceAvailable()) GTEST_SKIP() << "strace is missing (scripts/setup.sh installs it)";
  ASSERT_NO_FATAL_FAILURE(InstallAThenPublishB());
  e2e::AusServerProcess server(Releases());  // digests are read at start
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAt(server.port());

  int kills = 0;
  for (const KillingCall& kill : kKillingCalls) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(kill.call) + (kill.databaseOnly ? " on Update.db" : "") + " #" +
                   std::to_string(n));
      CopyInstallation(Installed(), Root());
      auto result = RunEngineKilledAt(kill, n);
      // Past the last such call the engine runs to its end.
      const bool killed = result.exitCode != 0;
      if (killed) {
        ASSERT_TRUE(result.exitCode == 128 + SIGKILL || result.exitCode == -1)
            << result.exitCode << "\n"
            << result.out << result.err;
        ++kills;
        ExpectNothingLost();
        result = RunEngine(Root());
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
      }
      result = RunEngine(Root());
      ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
      EXPECT_EQ(result.out,
                "UPDATER_STATE.INITIALIZATION_STARTED 0 Checking for updates...\n"
                "UPDATER_STATE.INITIALIZATION_SUCCESSFUL 0 \n"
                "UPDATER_STATE.DOWNLOAD_FINISHED 0 \n");
      ExpectReleaseB();
      if (HasFailure()) return;  // one kill point's findings are enough to read
      if (!killed) {
        EXPECT_GT(n, 1) << "never killed: strace's paths do not match the engine's";
        break;
      }
    }
  }
  std::cout << "[          ] " << kills << " kill points\n";
}

// Without hard links the backup is a rename, and a kill before the download's rename leaves the
// old file only as "<name>.$$$": the next start puts it back even when the server cannot be
// reached, so the installation the game starts from is whole.
TEST_F(CrashSafetyTest, WithoutHardLinksAKillBetweenTheRenamesLosesNothing) {
  if (!StraceAvailable()) GTEST_SKIP() << "strace is missing (scripts/setup.sh installs it)";
  ASSERT_NO_FATAL_FAILURE(InstallAThenPublishB());
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";

  int moved = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("rename #" + std::to_string(n));
    CopyInstallation(Installed(), Root());
    PointAt(server.port());
    auto result = RunEngineKilledAt({"rename", false}, n, true);
    const bool killed = result.exitCode != 0;
    if (killed) {
      for (const auto& [name, contents] : ReleaseA()) {
        moved += !fs::exists(Root() / name) && fs::exists(Root() / (name + ".$$$"));
      }
      PointAt("1");  // nothing listens there: the start sweeps, then fails
      result = RunEngine(Root());
      EXPECT_NE(result.out.find("INITIALIZATION_FAILED"), std::string::npos) << result.out;
      ExpectNothingLost();
      PointAt(server.port());
      result = RunEngine(Root());
      ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    }
    result = RunEngine(Root());
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectReleaseB();
    if (HasFailure()) return;
    if (!killed) break;
  }
  // The kills hit the moment this test is about.
  EXPECT_GT(moved, 0);
}

// Without hard links a rename that fails (a scanner holding the download open is enough on
// Windows) must not leave a file only as its backup: the launcher starts the game after a failed
// update all the same, before any sweep.
TEST_F(CrashSafetyTest, WithoutHardLinksAFailedRenameLeavesEveryFileInPlace) {
  if (!StraceAvailable()) GTEST_SKIP() << "strace is missing (scripts/setup.sh installs it)";
  ASSERT_NO_FATAL_FAILURE(InstallAThenPublishB());
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAt(server.port());

  for (int n = 1;; ++n) {
    SCOPED_TRACE("rename #" + std::to_string(n));
    CopyInstallation(Installed(), Root());
    auto result = RunEngineKilledAt({"rename", false}, n, true, "error=EACCES");
    const bool failed = result.exitCode != 0;
    if (failed) {
      EXPECT_NE(result.out.find("DOWNLOAD_FAILED"), std::string::npos) << result.out;
      ExpectNothingLost();
      result = RunEngine(Root());
      ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    }
    result = RunEngine(Root());
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectReleaseB();
    if (HasFailure()) return;
    if (!failed) break;
  }
}

}  // namespace
