// Measures the update database against references run on the same files in the same run:
//   scan  - UpdateDB::Scan of 2,000 files (1 GiB) against `openssl dgst -sha256` over them;
//   load  - UpdateDB::Load of 10,000 unchanged files against `find -printf '%s %T@'`;
//   diff  - UpdateDB::Diff of two databases of 16,384 to 65,536 items against a deep copy.
// Usage: updatedb_bench [--dir FOLDER] [diff] [load] [scan]: the named measurements (default all),
// with files in FOLDER (default: a fresh folder under the temporary directory, removed
// afterwards). Each timing is the best of a few rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "package/taln/db/updatedb.h"

namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;

double BestSeconds(const std::function<void()>& run, int rounds = kRounds) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// `count` files of `size` bytes in 20 folders below `root`.
void MakeFiles(const fs::path& root, int count, std::size_t size) {
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block((size + 7) / 8);
  for (int i = 0; i < count; ++i) {
    const fs::path folder = root / ("d" + std::to_string(i % 20));
    fs::create_directories(folder);
    for (auto& word : block) word = random();
    std::FILE* file = std::fopen((folder / ("f" + std::to_string(i) + ".bin")).c_str(), "wb");
    std::fwrite(block.data(), 1, size, file);
    std::fclose(file);
  }
}

void BenchScan(const fs::path& work) {
  const fs::path root = work / "scan";
  constexpr int kFiles = 2000;
  constexpr std::size_t kFileSize = (std::size_t{1} << 30) / kFiles;
  MakeFiles(root, kFiles, kFileSize);
  const double mib = kFiles * double(kFileSize) / (1 << 20);
  const std::string openssl = "cd '" + root.string() + "' && openssl dgst -sha256 d*/* >/dev/null";
  Shell(openssl);  // warms the page cache for both
  const double reference = BestSeconds([&] { Shell(openssl); });
  taln::UpdateDB db(root);
  const double scan = BestSeconds([&] { db.Scan(); });
  std::printf(
      "scan: %zu files, %.0f MiB: Scan %.3f s (%.0f MiB/s), openssl dgst %.3f s (%.0f MiB/s); "
      "throughput ratio %.2f (target >= 0.8)\n",
      db.size(), mib, scan, mib / scan, reference, mib / reference, reference / scan);
  fs::remove_all(root);
}

void BenchLoad(const fs::path& work) {
  const fs::path root = work / "load";
  constexpr int kFiles = 10000;
  MakeFiles(root, kFiles, 100);
  taln::UpdateDB db(root);
  db.Scan();
  db.Save();
  const std::string find = "find '" + root.string() + "' -type f -printf '%s %T@\\n' >/dev/null";
  Shell(find);
  const double reference = BestSeconds([&] { Shell(find); }, 5);
  bool loaded = true;
  const double load = BestSeconds([&] { loaded = db.Load() && loaded; }, 5);
  std::printf("load: %zu items%s: Load %.4f s, find %.4f s; time ratio %.2f (target <= 3)\n",
              db.size(), loaded && !db.IsModified() ? "" : " (NOT LOADED UNCHANGED)", load,
              reference, load / reference);
  fs::remove_all(root);
}

// Two databases of `count` names in different orders: a tenth of the names differ in digest,
// a tenth are missing locally.
std::pair<taln::UpdateDB, taln::UpdateDB> DiffInputs(std::size_t count) {
  std::mt19937_64 random(7);
  taln::UpdateDB::Items aus, local;
  for (std::size_t i = 0; i < count; ++i) {
    taln::UpdateItem item;
    item.index = static_cast<std::uint16_t>(i);
    item.name = "data/folder" + std::to_string(i % 97) + "/file" + std::to_string(i) + ".pak";
    item.hash.resize(32);
    for (auto& byte : item.hash) byte = static_cast<unsigned char>(random());
    item.required = i % 3 != 0;
    aus.push_back(item);
    if (i % 10 == 1) continue;
    if (i % 10 == 2) item.hash[0] ^= 1;
    local.push_back(item);
  }
  std::shuffle(local.begin(), local.end(), random);
  return {taln::UpdateDB(std::move(aus)), taln::UpdateDB(std::move(local))};
}

void BenchDiff() {
  double previous = 0;
  for (const std::size_t count : {16384, 32768, 65536}) {
    const auto [aus, local] = DiffInputs(count);
    std::size_t kept = 0;
    const double diff = BestSeconds([&] { kept = taln::UpdateDB::Diff(aus, local).size(); }, 5);
    const double copy = BestSeconds([&] { kept += taln::UpdateDB(aus).size() * 0; }, 5);
    std::printf("diff: %zu items, %zu needed: Diff %.4f s, deep copy %.4f s; ratio %.2f", count,
                kept, diff, copy, diff / copy);
    if (previous > 0) std::printf("; %.2fx the time of half as many", diff / previous);
    std::printf("\n");
    previous = diff;
  }
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work;
  std::vector<std::string> parts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      work = argv[++i];
    } else {
      parts.push_back(arg);
    }
  }
  const bool own = work.empty();
  if (own) work = fs::temp_directory_path() / fs::unique_path("updatedb-bench-%%%%%%%%");
  fs::create_directories(work);
  const auto wanted = [&](const char* name) {
    return parts.empty() || std::find(parts.begin(), parts.end(), name) != parts.end();
  };
  if (wanted("diff")) BenchDiff();
  if (wanted("load")) BenchLoad(work);
  if (wanted("scan")) BenchScan(work);
  if (own) fs::remove_all(work);
  return 0;
}
