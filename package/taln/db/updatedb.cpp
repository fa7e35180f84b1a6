#include "package/taln/db/updatedb.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string_view>
#include <utility>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/numeric/conversion/cast.hpp>
#include <boost/program_options.hpp>
#include <boost/throw_exception.hpp>

#include "package/network/protocol/updateerror.h"
#include "package/platform/durablefile.h"

namespace taln {
namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;

constexpr const char* kDatabaseFile = "Update.db";
// Named as a backup so that the sweep at the engine's start removes what a killed save leaves.
constexpr const char* kUnfinishedDatabaseFile = "Update.db.$$$";
constexpr const char* kManifestFile = "manifest";
constexpr const char* kSkippedFolder = "CefCache";

// index, name length, size, time, digest length and required, with empty name and digest.
constexpr std::size_t kSmallestItemBytes = 2 + 4 + 8 + 8 + 4 + 1;

// Reads little-endian fields from unmasked "Update.db" bytes. Every read fails, rather than
// allocating, when the bytes it needs are not there.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes) : rest_(bytes) {}

  std::size_t Remaining() const { return rest_.size(); }

  template <typename Integer>
  bool Read(Integer& value) {
    if (rest_.size() < sizeof(Integer)) return false;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < sizeof(Integer); ++i) {
      bits |= std::uint64_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
    }
    value = static_cast<Integer>(bits);
    rest_.remove_prefix(sizeof(Integer));
    return true;
  }

  // A u32 length, then that many bytes.
  template <typename Bytes>
  bool ReadSized(Bytes& bytes) {
    std::uint32_t length = 0;
    if (!Read(length) || rest_.size() < length) return false;
    bytes.assign(rest_.begin(), rest_.begin() + length);
    rest_.remove_prefix(length);
    return true;
  }

 private:
  std::string_view rest_;
};

class FieldWriter {
 public:
  template <typename Integer>
  void Write(Integer value) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < sizeof(Integer); ++i) bytes_ += static_cast<char>(bits >> (8 * i));
  }

  template <typename Bytes>
  void WriteSized(const Bytes& bytes) {
    Write(static_cast<std::uint32_t>(bytes.size()));
    bytes_.append(bytes.begin(), bytes.end());
  }

  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

void Mask(std::string& bytes) {
  for (char& byte : bytes) byte = static_cast<char>(byte ^ kUpdateDbMask);
}

constexpr std::uint8_t kRequiredBit = 0x01;
constexpr int kOriginShift = 1;
constexpr std::uint8_t kOriginMask = 0x03;
constexpr std::uint8_t kLargestFlags = 0x07;

std::uint8_t Flags(const UpdateItem& item) {
  return static_cast<std::uint8_t>((item.required ? kRequiredBit : 0) |
                                   static_cast<std::uint8_t>(item.origin) << kOriginShift);
}

void SetFlags(std::uint8_t flags, UpdateItem& item) {
  // A byte no launcher writes keeps its old meaning, non-zero for required, and claims nothing
  // about the file's origin.
  if (flags > kLargestFlags) {
    item.required = true;
    item.origin = UpdateItem::Origin::kFound;
    return;
  }
  item.required = (flags & kRequiredBit) != 0;
  item.origin = static_cast<UpdateItem::Origin>(flags >> kOriginShift & kOriginMask);
}

bool ReadItem(FieldReader& reader, UpdateItem& item) {
  std::uint8_t flags = 0;
  if (!reader.Read(item.index) || !reader.ReadSized(item.name) || !reader.Read(item.size) ||
      !reader.Read(item.modifiedTime) || !reader.ReadSized(item.hash) || !reader.Read(flags)) {
    return false;
  }
  SetFlags(flags, item);
  NormalizeName(item.name);
  return IsSafeName(item.name);
}

bool IsMissing(const boost::system::error_code& error) {
  return error == boost::system::errc::no_such_file_or_directory ||
         error == boost::system::errc::not_a_directory;
}

}  // namespace

UpdateDB::UpdateDB(Items items) : items_(std::move(items)) { Reindex(); }

UpdateDB::UpdateDB(const fs::path& root) : root_(root) {
  if (!fs::is_directory(root)) {
    BOOST_THROW_EXCEPTION(fs::filesystem_error(
        "UpdateDB", root,
        boost::system::errc::make_error_code(boost::system::errc::not_a_directory)));
  }
}

bool UpdateDB::Load() {
  if (!LoadRecords()) return false;
  try {
    Refresh();
    return true;
  } catch (const std::exception&) {
    // Unreadable counts as absent: the caller scans the root instead.
  }
  Clear();
  modified_ = false;
  return false;
}

bool UpdateDB::LoadRecords() {
  modified_ = false;
  Clear();
  try {
    fs::ifstream in(root_ / kDatabaseFile, std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (Parse(std::move(bytes).str())) return true;
  } catch (const std::exception&) {
    // Unreadable counts as absent.
  }
  Clear();
  return false;
}

bool UpdateDB::Parse(std::string bytes) {
  Mask(bytes);
  FieldReader reader(bytes);
  std::uint32_t count = 0;
  // Fails fast on a count the file cannot hold; items are then added as they are read.
  if (!reader.Read(count) || count > reader.Remaining() / kSmallestItemBytes) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    UpdateItem item;
    if (!ReadItem(reader, item)) return false;
    Append(std::move(item));
  }
  return true;
}

void UpdateDB::Refresh() {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    UpdateItem& item = items_[i];
    const fs::path path = root_ / item.name;
    boost::system::error_code error;
    const std::time_t time = fs::last_write_time(path, error);
    if (IsMissing(error)) {
      // A deleted file is not a change to save; the record of a file the launcher removed has
      // served the sweep that ran before.
      if (item.origin == UpdateItem::Origin::kRemoved) modified_ = true;
      continue;
    }
    if (error) BOOST_THROW_EXCEPTION(fs::filesystem_error("UpdateDB::Load", path, error));
    if (item.origin == UpdateItem::Origin::kRemoved) {
      // Not the file the launcher removed: put back from its backup, or made anew by the player.
      item.origin = UpdateItem::Origin::kFound;
      modified_ = true;
    }
    if (time != item.modifiedTime) {
      std::vector<unsigned char> hash = HashFile(path);
      // The file is no longer what the launcher put there: it is the player's to keep.
      if (item.origin == UpdateItem::Origin::kInstalled && hash != item.hash) {
        item.origin = UpdateItem::Origin::kChanged;
      }
      item.hash = std::move(hash);
      item.modifiedTime = time;
      modified_ = true;
    }
    if (kept != i) items_[kept] = std::move(item);
    ++kept;
  }
  items_.resize(kept);
  Reindex();
}

bool UpdateDB::Save() {
  // Written aside and renamed into place, so that "Update.db" is always either the previous or
  // the new database, whenever the process stops. The bytes reach the disk before the rename: a
  // power cut must not leave an empty or torn database in place of a whole one.
  const fs::path unfinished = root_ / kUnfinishedDatabaseFile;
  fs::ofstream out(unfinished, std::ios::binary | std::ios::trunc);
  // Written in pieces: the whole database of a large release is megabytes more at the peak.
  constexpr std::size_t kPieceBytes = 64 * 1024;
  FieldWriter writer;
  const auto flush = [&out, &writer] {
    Mask(writer.Bytes());
    out.write(writer.Bytes().data(), static_cast<std::streamsize>(writer.Bytes().size()));
    writer.Bytes().clear();
  };
  writer.Write(static_cast<std::uint32_t>(items_.size()));
  for (const UpdateItem& item : items_) {
    writer.Write(item.index);
    writer.WriteSized(item.name);
    writer.Write(item.size);
    writer.Write(item.modifiedTime);
    writer.WriteSized(item.hash);
    writer.Write(Flags(item));
    if (writer.Bytes().size() >= kPieceBytes) flush();
  }
  flush();
  out.close();
  boost::system::error_code error;
  const bool written = out && !platform::SyncFile(unfinished.string());
  if (written) fs::rename(unfinished, root_ / kDatabaseFile, error);
  if (!written || error) {
    fs::remove(unfinished, error);
    return false;
  }
  // The database is in place either way; a folder that cannot be synced only leaves open which
  // of the two a power cut keeps, and both are whole.
  platform::SyncDirectory(root_.string());
  modified_ = false;
  return true;
}

void UpdateDB::Scan() {
  modified_ = true;
  Clear();
  ReadManifest();
  for (fs::recursive_directory_iterator it(root_), end; it != end; ++it) {
    const fs::path& path = it->path();
    if (path.filename() == kSkippedFolder) {
      it.disable_recursion_pending();
      continue;
    }
    if (!fs::is_regular_file(it->status())) continue;
    if (it.depth() == 0 &&
        (path.filename() == kDatabaseFile || path.filename() == kReleaseStateFile)) {
      continue;
    }
    fs::path relative = path.lexically_relative(root_);
    const std::string native = relative.make_preferred().string();
    UpdateItem item;
    item.index = boost::numeric_cast<std::uint16_t>(items_.size());
    item.name = native;
    NormalizeName(item.name);
    item.size = fs::file_size(path);
    item.modifiedTime = fs::last_write_time(path);
    item.hash = HashFile(path);
    item.required = !optionalFiles_.contains(native);
    Append(std::move(item));
  }
}

void UpdateDB::Rescan() {
  UpdateDB recorded(root_);
  recorded.LoadRecords();
  Scan();
  for (UpdateItem& item : items_) {
    const auto found = recorded.byName_.find(item.name);
    if (found == recorded.byName_.end()) continue;
    const UpdateItem& record = recorded.items_[found->second];
    switch (record.origin) {
      case UpdateItem::Origin::kInstalled:
      case UpdateItem::Origin::kChanged:
        item.origin = record.hash == item.hash ? record.origin : UpdateItem::Origin::kChanged;
        break;
      case UpdateItem::Origin::kFound:
      case UpdateItem::Origin::kRemoved:
        item.origin = UpdateItem::Origin::kFound;
        break;
    }
  }
}

void UpdateDB::ReadManifest() {
  optionalFiles_.clear();
  const fs::path path = root_ / kManifestFile;
  boost::system::error_code error;
  if (!fs::is_regular_file(path, error)) return;
  const auto component = [](std::int32_t& target) {
    return po::value<unsigned int>()->required()->notifier(
        [&target](unsigned int value) { target = static_cast<std::int32_t>(value); });
  };
  po::options_description options("manifest - various deployment options", 80, 40);
  options.add_options()                                                                   //
      ("version.major", component(manifestVersion_.major), "The latest version - major")  //
      ("version.minor", component(manifestVersion_.minor), "The latest version - minor")  //
      ("version.revision", component(manifestVersion_.revision),
       "The latest version - revision")  //
      ("deploy.optional", po::value<std::vector<std::string>>()->multitoken(),
       "The list of optional files");
  try {
    fs::ifstream in(path);
    po::variables_map values;
    po::store(po::parse_config_file(in, options), values);
    po::notify(values);
    if (values.count("deploy.optional")) {
      for (const auto& file : values["deploy.optional"].as<std::vector<std::string>>()) {
        optionalFiles_.insert(file);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Failed to parse manifest: %s", e.what());
  }
}

UpdateDB UpdateDB::Diff(const UpdateDB& aus, const UpdateDB& local) {
  UpdateDB result;
  result.root_ = aus.root_;
  result.manifestVersion_ = aus.manifestVersion_;
  for (const UpdateItem& item : aus.items_) {
    const auto found = local.byName_.find(item.name);
    const bool needed = found == local.byName_.end()
                            ? item.required
                            : local.items_[found->second].hash != item.hash;
    if (needed) result.Append(item);
  }
  return result;
}

template <typename Self>
auto& UpdateDB::Find(Self& self, const std::string& name) {
  const auto found = self.byName_.find(name);
  if (found == self.byName_.end()) {
    BOOST_THROW_EXCEPTION(aus::UpdateError() << aus::TagErrorCode(aus::error_code{3}));
  }
  return self.items_[found->second];
}

bool UpdateDB::Contains(const std::string& name) const { return byName_.contains(name); }

UpdateItem& UpdateDB::Get(const std::string& name) { return Find(*this, name); }

const UpdateItem& UpdateDB::Get(const std::string& name) const { return Find(*this, name); }

void UpdateDB::AddIfAbsent(const UpdateItem& item) {
  if (Contains(item.name)) return;
  Append(item);
  modified_ = true;
}

void UpdateDB::Put(const UpdateItem& item) {
  const auto found = byName_.find(item.name);
  if (found == byName_.end()) {
    Append(item);
  } else {
    items_[found->second] = item;
  }
  modified_ = true;
}

void UpdateDB::Remove(const std::string& name) {
  const auto kept = std::remove_if(items_.begin(), items_.end(),
                                   [&name](const UpdateItem& item) { return item.name == name; });
  if (kept == items_.end()) return;
  items_.erase(kept, items_.end());
  Reindex();
  modified_ = true;
}

void UpdateDB::Append(UpdateItem item) {
  // emplace keeps an earlier item of the same name: the first one is the one found.
  byName_.emplace(item.name, items_.size());
  items_.push_back(std::move(item));
}

void UpdateDB::Clear() {
  items_.clear();
  byName_.clear();
}

void UpdateDB::Reindex() {
  byName_.clear();
  byName_.reserve(items_.size());
  for (std::size_t i = 0; i < items_.size(); ++i) byName_.emplace(items_[i].name, i);
}

}  // namespace taln
