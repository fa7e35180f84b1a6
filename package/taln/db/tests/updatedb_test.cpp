#include "package/taln/db/updatedb.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/numeric/conversion/converter_policies.hpp>
#include <gtest/gtest.h>

#include "package/network/protocol/updateerror.h"
#include "package/taln/db/tests/largestallocation.h"
#include "tests/support/bytes.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = boost::filesystem;
using taln::UpdateDB;
using taln::UpdateItem;

constexpr std::time_t kTime = 1559736000;  // 2019-06-05 12:00:00 UTC
const std::vector<unsigned char> kAbcDigest = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

using test_support::Hex;
using test_support::Le32;

// One item in the file's layout with index 0, size 0, time 0 and no digest.
std::string ItemWithName(const std::string& name) {
  return Hex("00 00") + Le32(static_cast<std::uint32_t>(name.size())) + name +
         std::string(16, '\0') + Le32(0) + Hex("01");
}

std::string Masked(std::string bytes) {
  for (char& byte : bytes) byte = static_cast<char>(byte ^ taln::kUpdateDbMask);
  return bytes;
}

// The "Update.db" of a.bin ("abc") and data/b.bin (empty), written field by field.
const std::string kGolden =
    Hex("02 00 00 00"
        // index 0, name "a.bin", size 3, 2019-06-05 12:00:00, the 32-byte digest, required
        " 00 00  05 00 00 00  61 2e 62 69 6e  03 00 00 00 00 00 00 00  c0 ae f7 5c 00 00 00 00"
        " 20 00 00 00  ba 78 16 bf 8f 01 cf ea 41 41 40 de 5d ae 22 23"
        "              b0 03 61 a3 96 17 7a 9c b4 10 ff 61 f2 00 15 ad  01"
        // index 1, name "data/b.bin", size 0, same time, 2-byte digest 0a ff, not required
        " 01 00  0a 00 00 00  64 61 74 61 2f 62 2e 62 69 6e  00 00 00 00 00 00 00 00"
        " c0 ae f7 5c 00 00 00 00  02 00 00 00  0a ff  00");

class UpdateDBTest : public ::testing::Test {
 protected:
  fs::path Root() const { return scratch_.path().string(); }

  fs::path File(const std::string& name, const std::string& contents, std::time_t time = kTime) {
    const fs::path path = Root() / name;
    test_support::WriteFile(path.string(), contents);
    fs::last_write_time(path, time);
    return path;
  }

  void WriteDatabase(const std::string& bytes) {
    test_support::WriteFile((Root() / "Update.db").string(), Masked(bytes));
  }

  static std::vector<std::string> Names(const UpdateDB& db) {
    std::vector<std::string> names;
    for (const UpdateItem& item : db) names.push_back(item.name);
    return names;
  }

  static std::vector<std::string> SortedNames(const UpdateDB& db) {
    auto names = Names(db);
    std::sort(names.begin(), names.end());
    return names;
  }

  test_support::ScratchDir scratch_;
};

TEST_F(UpdateDBTest, RootMustBeAnExistingDirectory) {
  File("file", "");
  for (const char* name : {"missing", "file"}) {
    SCOPED_TRACE(name);
    try {
      UpdateDB db(Root() / name);
      ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
      EXPECT_EQ(e.code(), boost::system::errc::not_a_directory);
      EXPECT_EQ(e.path1(), Root() / name);
    }
  }
}

TEST_F(UpdateDBTest, GoldenFileLoadsAndSavesByteForByte) {
  File("a.bin", "abc");
  File("data/b.bin", "");
  WriteDatabase(kGolden);
  UpdateDB db(Root());
  ASSERT_TRUE(db.Load());
  EXPECT_FALSE(db.IsModified());
  const std::vector<UpdateItem> expected = {{0, "a.bin", 3, kTime, kAbcDigest, true},
                                            {1, "data/b.bin", 0, kTime, {0x0a, 0xff}, false}};
  EXPECT_TRUE(std::equal(db.begin(), db.end(), expected.begin(), expected.end()));

  fs::remove(Root() / "Update.db");
  ASSERT_TRUE(db.Save());
  const std::string saved = test_support::ReadFile((Root() / "Update.db").string());
  EXPECT_EQ(saved.substr(0, 4), Hex("69 6b 6b 6b"));  // count 2, masked
  EXPECT_EQ(saved, Masked(kGolden));
}

// The flags byte: required in bit 0, the origin in bits 1 and 2. A byte no launcher writes reads
// as the old format did, non-zero for required, and claims no origin.
TEST_F(UpdateDBTest, FlagsByteHoldsRequiredAndOrigin) {
  using Origin = UpdateItem::Origin;
  const struct {
    const char* name;
    const char* flags;
    bool required;
    Origin origin;
    const char* saved;
  } cases[] = {
      {"optional, found", "00", false, Origin::kFound, "00"},
      {"required, found", "01", true, Origin::kFound, "01"},
      {"optional, installed", "02", false, Origin::kInstalled, "02"},
      {"required, installed", "03", true, Origin::kInstalled, "03"},
      {"required, changed", "05", true, Origin::kChanged, "05"},
      {"required, removed", "07", true, Origin::kRemoved, "07"},
      {"older writer's true", "ff", true, Origin::kFound, "01"},
  };
  File("a.bin", "", 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string item = ItemWithName("a.bin");
    WriteDatabase(Hex("01 00 00 00") + item.substr(0, item.size() - 1) + Hex(c.flags));
    UpdateDB db(Root());
    ASSERT_TRUE(db.LoadRecords());
    ASSERT_EQ(db.size(), 1u);
    EXPECT_EQ(db.begin()->required, c.required);
    EXPECT_EQ(db.begin()->origin, c.origin);
    ASSERT_TRUE(db.Save());
    const std::string saved = test_support::ReadFile((Root() / "Update.db").string());
    EXPECT_EQ(saved.back(), Masked(Hex(c.saved)).back());
    if (c.origin != UpdateItem::Origin::kRemoved) {
      ASSERT_TRUE(db.Load());
      EXPECT_EQ(db.begin()->origin, c.origin);
      EXPECT_FALSE(db.IsModified());
    }
  }
}

// The record of a file the launcher removed lasts until the next start's Load: dropped, and saved
// so, where the file is gone; the player's where a file of that name is there again.
TEST_F(UpdateDBTest, LoadEndsTheRecordsOfRemovedFiles) {
  using Origin = UpdateItem::Origin;
  File("again", "abc");
  UpdateDB db(Root());
  db.Put({0, "gone", 3, kTime, kAbcDigest, true, Origin::kRemoved});
  db.Put({1, "again", 3, kTime, kAbcDigest, true, Origin::kRemoved});
  ASSERT_TRUE(db.Save());
  ASSERT_TRUE(db.Load());
  EXPECT_TRUE(db.IsModified());
  EXPECT_EQ(Names(db), (std::vector<std::string>{"again"}));
  EXPECT_EQ(db.Get("again").origin, Origin::kFound);
}

TEST_F(UpdateDBTest, InstalledFileChangedOnDiskIsMarkedChanged) {
  using Origin = UpdateItem::Origin;
  File("edited", "abc");
  File("touched", "abc");
  File("player", "abc");
  UpdateDB db(Root());
  db.Put({0, "edited", 3, kTime, kAbcDigest, true, Origin::kInstalled});
  db.Put({1, "touched", 3, kTime, kAbcDigest, true, Origin::kInstalled});
  db.Put({2, "player", 3, kTime, kAbcDigest, true, Origin::kFound});
  ASSERT_TRUE(db.Save());
  File("edited", "abd", kTime + 1);
  File("touched", "abc", kTime + 1);
  File("player", "abd", kTime + 1);
  ASSERT_TRUE(db.Load());
  EXPECT_EQ(db.Get("edited").origin, Origin::kChanged);
  EXPECT_EQ(db.Get("touched").origin, Origin::kInstalled);
  EXPECT_EQ(db.Get("player").origin, Origin::kFound);
  ASSERT_TRUE(db.Save());
  ASSERT_TRUE(db.Load());
  EXPECT_EQ(db.Get("edited").origin, Origin::kChanged);
}

// A repair: a file whose bytes changed while its size and time stayed is found only by hashing
// it, and what the launcher installed stays known.
TEST_F(UpdateDBTest, RescanHashesEveryFileAndKeepsTheOrigins) {
  using Origin = UpdateItem::Origin;
  File("same", "abc");
  File("corrupt", "abc");
  File("player", "abc");
  File("new", "abc");
  UpdateDB db(Root());
  db.Put({0, "same", 3, kTime, kAbcDigest, true, Origin::kInstalled});
  db.Put({1, "corrupt", 3, kTime, kAbcDigest, true, Origin::kInstalled});
  db.Put({2, "player", 3, kTime, kAbcDigest, true, Origin::kFound});
  db.Put({3, "gone", 3, kTime, kAbcDigest, true, Origin::kInstalled});
  ASSERT_TRUE(db.Save());
  File("corrupt", "abX", kTime);

  ASSERT_TRUE(db.Load());
  EXPECT_EQ(db.Get("corrupt").hash, kAbcDigest) << "size and time unchanged: not hashed";
  db.Rescan();
  EXPECT_TRUE(db.IsModified());
  EXPECT_EQ(SortedNames(db), (std::vector<std::string>{"corrupt", "new", "player", "same"}));
  EXPECT_EQ(db.Get("same").origin, Origin::kInstalled);
  EXPECT_NE(db.Get("corrupt").hash, kAbcDigest);
  EXPECT_EQ(db.Get("corrupt").origin, Origin::kChanged);
  EXPECT_EQ(db.Get("player").origin, Origin::kFound);
  EXPECT_EQ(db.Get("new").origin, Origin::kFound);
}

TEST_F(UpdateDBTest, LoadRecordsLeavesTheFilesAlone) {
  File("a.bin", "abc");
  WriteDatabase(kGolden);  // data/b.bin is not on disk
  File("a.bin", "abd", kTime + 1);
  UpdateDB db(Root());
  ASSERT_TRUE(db.LoadRecords());
  EXPECT_FALSE(db.IsModified());
  EXPECT_EQ(Names(db), (std::vector<std::string>{"a.bin", "data/b.bin"}));
  EXPECT_EQ(db.Get("a.bin").hash, kAbcDigest);
  WriteDatabase(kGolden.substr(0, 10));
  EXPECT_FALSE(db.LoadRecords());
  EXPECT_TRUE(db.empty());
}

TEST_F(UpdateDBTest, EveryTruncationOfTheFileFails) {
  File("a.bin", "abc");
  File("data/b.bin", "");
  UpdateDB db(Root());
  for (std::size_t length = 0; length < kGolden.size(); ++length) {
    SCOPED_TRACE(length);
    WriteDatabase(kGolden.substr(0, length));
    EXPECT_FALSE(db.Load());
    EXPECT_TRUE(db.empty());
  }
}

TEST_F(UpdateDBTest, MalformedOrHostileFileFailsWithoutLargeAllocation) {
  const std::string firstItem = ItemWithName("a.bin");
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"count 3 ending inside the second item",
       Le32(3) + firstItem + ItemWithName("b.bin").substr(0, 9)},
      {"count of four billion in 10 bytes", Le32(4000000000u) + std::string(6, '\0')},
      {"name length beyond the file", Le32(1) + Hex("00 00") + Le32(0xfffffff0u) + "a.bin"},
      {"digest length beyond the file",
       Le32(1) + Hex("00 00") + Le32(1) + "a" + std::string(16, '\0') + Le32(0x7fffffffu) + "xx"},
      {"parent folder", Le32(1) + ItemWithName("../escape.txt")},
      {"parent folder with backslash", Le32(2) + firstItem + ItemWithName("data\\..\\..\\x")},
      {"absolute path", Le32(1) + ItemWithName("/etc/passwd")},
      {"drive", Le32(1) + ItemWithName("C:\\Windows\\x.dll")},
      {"empty name", Le32(1) + ItemWithName("")},
  };
  File("a.bin", "");
  UpdateDB db(Root());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteDatabase(c.bytes);
    taln_test::LargestAllocation largest;
    EXPECT_FALSE(db.Load());
    EXPECT_LT(largest.bytes(), 64u * 1024);
    EXPECT_TRUE(db.empty());
  }
}

TEST_F(UpdateDBTest, MissingOrUnreadableFileFailsAndClearsModified) {
  UpdateDB db(Root());
  db.AddIfAbsent({0, "x", 0, 0, {}, true});
  EXPECT_FALSE(db.Load());
  EXPECT_TRUE(db.empty());
  EXPECT_FALSE(db.IsModified());

  fs::create_directory(Root() / "Update.db");
  EXPECT_FALSE(db.Load());
}

TEST_F(UpdateDBTest, LoadDropsDeletedFilesWithoutSettingModified) {
  File("a.bin", "abc");
  File("data/b.bin", "");
  WriteDatabase(kGolden);
  fs::remove(Root() / "a.bin");
  UpdateDB db(Root());
  ASSERT_TRUE(db.Load());
  EXPECT_EQ(Names(db), std::vector<std::string>{"data/b.bin"});
  EXPECT_FALSE(db.IsModified());
  // Lookups follow the items that moved up into the dropped ones' places.
  EXPECT_FALSE(db.Contains("a.bin"));
  EXPECT_EQ(db.Get("data/b.bin").name, "data/b.bin");
  db.Put({7, "data/b.bin", 9, 0, {}, true});
  db.Put({8, "a.bin", 3, 0, {}, true});
  EXPECT_EQ(Names(db), (std::vector<std::string>{"data/b.bin", "a.bin"}));
  EXPECT_EQ(db.Get("data/b.bin").size, 9u);
}

TEST_F(UpdateDBTest, LoadRehashesFilesWithANewTime) {
  File("a.bin", "abc");
  File("data/b.bin", "");
  WriteDatabase(kGolden);
  File("a.bin", "abc", kTime + 1);          // touched, same contents
  File("data/b.bin", "abc", kTime - 3600);  // rewritten
  UpdateDB db(Root());
  ASSERT_TRUE(db.Load());
  EXPECT_TRUE(db.IsModified());
  const std::vector<UpdateItem> expected = {{0, "a.bin", 3, kTime + 1, kAbcDigest, true},
                                            {1, "data/b.bin", 0, kTime - 3600, kAbcDigest, false}};
  EXPECT_TRUE(std::equal(db.begin(), db.end(), expected.begin(), expected.end()));

  ASSERT_TRUE(db.Save());
  ASSERT_TRUE(db.Load());
  EXPECT_FALSE(db.IsModified());
}

TEST_F(UpdateDBTest, BackslashNamesAreStoredWithSlashes) {
  File("data/a.bin", "");
  fs::last_write_time(Root() / "data/a.bin", 0);
  WriteDatabase(Le32(1) + ItemWithName("data\\a.bin"));
  UpdateDB db(Root());
  ASSERT_TRUE(db.Load());
  EXPECT_TRUE(db.Contains("data/a.bin"));
  EXPECT_FALSE(db.Contains("data\\a.bin"));
  EXPECT_FALSE(db.IsModified());
}

TEST_F(UpdateDBTest, SaveReportsFilesItCannotWrite) {
  UpdateDB db(Root());
  db.AddIfAbsent({0, "x", 0, 0, {}, true});
  fs::create_directory(Root() / "Update.db");
  EXPECT_FALSE(db.Save());
  EXPECT_TRUE(db.IsModified());
  EXPECT_FALSE(fs::exists(Root() / "Update.db.$$$"));

  // A full disk: opening succeeds, writing does not. The previous database stays whole.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::remove(Root() / "Update.db");
  WriteDatabase(kGolden);
  fs::create_symlink("/dev/full", Root() / "Update.db.$$$");
  EXPECT_FALSE(db.Save());
  EXPECT_TRUE(db.IsModified());
  EXPECT_EQ(test_support::ReadFile((Root() / "Update.db").string()), Masked(kGolden));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Root() / "Update.db.$$$")));
}

// A release may list 65,536 files: their database is written out without a copy of it in memory.
TEST_F(UpdateDBTest, LargeDatabaseIsSavedInPiecesAndLoadsBack) {
  UpdateDB db(Root());
  for (unsigned i = 0; i < 20000; ++i) {
    db.AddIfAbsent({static_cast<std::uint16_t>(i),
                    "assets/a" + std::to_string(i % 100) + "/n" + std::to_string(i) + ".dat", i,
                    kTime, kAbcDigest, i % 2 == 0, UpdateItem::Origin::kInstalled});
  }
  {
    taln_test::LargestAllocation largest;
    ASSERT_TRUE(db.Save());
    EXPECT_LT(largest.bytes(), 256u * 1024);
  }
  EXPECT_GT(fs::file_size(Root() / "Update.db"), 1000000u);
  UpdateDB loaded(Root());
  ASSERT_TRUE(loaded.LoadRecords());
  EXPECT_TRUE(std::equal(db.begin(), db.end(), loaded.begin(), loaded.end()));
}

TEST_F(UpdateDBTest, ScanSkipsCefCacheAndTheDatabase) {
  File("CefCache/x.dat", "x");
  File("Update.db", "");
  File("Release.state", "version=1.0.0\nsigned=1\n");
  File("bin/app.dll", "abc");
  UpdateDB db(Root());
  db.Scan();
  EXPECT_TRUE(db.IsModified());
  const std::vector<UpdateItem> expected = {{0, "bin/app.dll", 3, kTime, kAbcDigest, true}};
  EXPECT_TRUE(std::equal(db.begin(), db.end(), expected.begin(), expected.end()));

  File("sub/CefCache/y.dat", "");
  File("sub/CefCache", "");  // in another folder: a file of that name is skipped too
  File("sub/Update.db", "");
  File("sub/Release.state", "");
  File("sub/deeper/z.dat", "");
  db.Scan();
  EXPECT_EQ(SortedNames(db), (std::vector<std::string>{"bin/app.dll", "sub/Release.state",
                                                       "sub/Update.db", "sub/deeper/z.dat"}));
  std::uint16_t index = 0;
  for (const UpdateItem& item : db) EXPECT_EQ(item.index, index++);
}

TEST_F(UpdateDBTest, ScanReplacesItemsAndSavesThemForLoad) {
  File("a.bin", "abc");
  UpdateDB db(Root());
  db.AddIfAbsent({0, "gone", 0, 0, {}, true});
  db.Scan();
  ASSERT_TRUE(db.Save());
  UpdateDB loaded(Root());
  ASSERT_TRUE(loaded.Load());
  EXPECT_TRUE(std::equal(db.begin(), db.end(), loaded.begin(), loaded.end()));
}

TEST_F(UpdateDBTest, ScanOverflowsAfter65536Files) {
  for (int folder = 0; folder < 64; ++folder) fs::create_directory(Root() / std::to_string(folder));
  for (int i = 0; i < 65536; ++i) {
    std::ofstream((Root() / std::to_string(i % 64) / std::to_string(i)).string());
  }
  UpdateDB db(Root());
  db.Scan();
  EXPECT_EQ(db.size(), 65536u);
  File("one-more", "");
  EXPECT_THROW(db.Scan(), boost::numeric::positive_overflow);
}

TEST_F(UpdateDBTest, ManifestMarksOptionalFiles) {
  const std::string native(1, fs::path::preferred_separator);
  const std::string other = native == "/" ? "\\" : "/";
  const struct {
    const char* name;
    std::string manifest;  // empty: no manifest
    std::vector<std::string> optional;
    Version version;
    bool complains;
  } cases[] = {
      {"none", "", {}, {}, false},
      {"valid, native form only",
       "# deployment\n[version]\nmajor = 4\nminor=35\nrevision=1906051200\n[deploy]\n"
       "optional=music" +
           native + "theme.ogg\noptional = video" + native + "intro.avi\n" + "optional=video" +
           native + "intro.avi\noptional=bin" + other + "app.dll\n",
       {"music/theme.ogg", "video/intro.avi"},
       {4, 35, 1906051200},
       false},
      {"missing revision",
       "[version]\nmajor=4\nminor=35\n[deploy]\noptional=bin/app.dll\n",
       {},
       {},
       true},
      {"unknown key",
       "[version]\nmajor=4\nminor=35\nrevision=1\n[deploy]\nmandatory=bin/app.dll\n",
       {},
       {},
       true},
      {"not a number", "[version]\nmajor=4\nminor=x\nrevision=1\n", {}, {}, true},
  };
  File("bin/app.dll", "");
  File("music/theme.ogg", "");
  File("video/intro.avi", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Root() / "manifest");
    if (!c.manifest.empty()) File("manifest", c.manifest);
    UpdateDB db(Root());
    testing::internal::CaptureStderr();
    db.Scan();
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_EQ(complaint.rfind("Failed to parse manifest: ", 0) == 0, c.complains) << complaint;
    EXPECT_EQ(complaint.find('\n'), std::string::npos);
    std::vector<std::string> optional;
    for (const UpdateItem& item : db) {
      if (!item.required) optional.push_back(item.name);
    }
    std::sort(optional.begin(), optional.end());
    EXPECT_EQ(optional, c.optional);
    EXPECT_EQ(db.ManifestVersion(), c.version);
  }
}

TEST_F(UpdateDBTest, FolderNamedManifestIsIgnored) {
  File("manifest/optional", "deploy.optional=bin/app.dll");
  File("bin/app.dll", "");
  UpdateDB db(Root());
  testing::internal::CaptureStderr();
  db.Scan();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const UpdateItem& item : db) EXPECT_TRUE(item.required) << item.name;
  EXPECT_EQ(db.size(), 2u);
}

TEST(UpdateDBDiffTest, KeepsChangedFilesAndMissingRequiredOnes) {
  const std::vector<unsigned char> x = {1}, y = {2}, z = {3};
  const UpdateDB aus({{0, "a", 1, 0, x, true},
                      {1, "b", 1, 0, y, false},
                      {2, "c", 1, 0, z, true},
                      {3, "d", 1, 0, z, false}});
  const UpdateDB local({{0, "a", 1, 0, x, true}, {1, "b", 1, 0, z, true}});
  const UpdateDB diff = UpdateDB::Diff(aus, local);
  const std::vector<UpdateItem> expected = {{1, "b", 1, 0, y, false}, {2, "c", 1, 0, z, true}};
  EXPECT_TRUE(std::equal(diff.begin(), diff.end(), expected.begin(), expected.end()));
}

TEST(UpdateDBDiffTest, ComparesWithTheFirstLocalItemOfAName) {
  const std::vector<unsigned char> x = {1}, y = {2};
  const UpdateDB aus({{0, "a", 1, 0, y, true}, {1, "b", 1, 0, x, true}});
  const UpdateDB local({{0, "a", 1, 0, x, true},
                        {1, "a", 1, 0, y, true},
                        {2, "b", 1, 0, x, true},
                        {3, "b", 1, 0, y, true}});
  const UpdateDB diff = UpdateDB::Diff(aus, local);
  ASSERT_EQ(diff.size(), 1u);
  EXPECT_EQ(diff.begin()->name, "a");
}

TEST(UpdateDBLookupTest, NamesMatchExactly) {
  UpdateDB db(
      {{0, "data/a.bin", 1, 0, {}, true}, {1, "x", 2, 0, {}, true}, {2, "x", 3, 0, {}, true}});
  EXPECT_TRUE(db.Contains("data/a.bin"));
  for (const char* name : {"data\\a.bin", "Data/a.bin", "data/a.bin ", "a.bin", ""}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(db.Contains(name));
    try {
      db.Get(name);
      ADD_FAILURE() << "no exception";
    } catch (const aus::UpdateError& e) {
      const aus::error_code* code = boost::get_error_info<aus::TagErrorCode>(e);
      ASSERT_NE(code, nullptr);
      EXPECT_EQ(static_cast<int>(*code), 3);
    }
  }
  EXPECT_EQ(db.Get("x").size, 2u);
  db.Get("x").size = 5;
  EXPECT_EQ(std::as_const(db).Get("x").size, 5u);
}

TEST(UpdateDBLookupTest, RemoveDropsEveryItemOfTheName) {
  UpdateDB db({{0, "a", 1, 0, {1}, true}, {1, "b", 1, 0, {2}, true}, {2, "a", 1, 0, {3}, true}});
  db.Remove("missing");
  EXPECT_FALSE(db.IsModified());
  db.Remove("a");
  EXPECT_TRUE(db.IsModified());
  EXPECT_FALSE(db.Contains("a"));
  ASSERT_EQ(db.size(), 1u);
  EXPECT_EQ(db.Get("b").hash, std::vector<unsigned char>{2});
}

TEST(UpdateDBLookupTest, AddIfAbsentKeepsTheExistingItem) {
  UpdateDB db({{0, "a", 1, 10, {1}, true}});
  db.AddIfAbsent({5, "a", 2, 20, {2}, false});
  EXPECT_FALSE(db.IsModified());
  EXPECT_EQ(db.Get("a"), (UpdateItem{0, "a", 1, 10, {1}, true}));
  db.AddIfAbsent({5, "b", 2, 20, {2}, false});
  EXPECT_TRUE(db.IsModified());
  EXPECT_EQ(db.size(), 2u);
  EXPECT_EQ(db.Get("b"), (UpdateItem{5, "b", 2, 20, {2}, false}));
}

}  // namespace
