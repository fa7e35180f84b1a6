#include "server/digestcache.h"

#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>

#include "package/taln/db/updateitem.h"

namespace aus::server {

namespace {

constexpr const char* kHeader = "aus-digests 2";
constexpr std::size_t kDigestSize = 32;

std::optional<std::vector<unsigned char>> ParseHex(const std::string& text) {
  if (text.size() != 2 * kDigestSize) return std::nullopt;
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (char c : text.substr(i, 2)) {
      int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return bytes;
}

}  // namespace

DigestCache::DigestCache(std::filesystem::path file) : file_(std::move(file)) {}

void DigestCache::Load() {
  std::ifstream in(file_, std::ios::binary);
  std::string line;
  // The first format lacks change time and inode, so none of its entries can be trusted.
  if (!std::getline(in, line) || line != kHeader) return;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string hex;
    Entry entry;
    auto& stamp = entry.stamp;
    if (!(fields >> hex >> stamp.size >> stamp.modifiedTime >> stamp.changeTime >> stamp.inode) ||
        fields.get() != ' ') {
      continue;
    }
    std::string key;
    std::getline(fields, key);
    auto hash = ParseHex(hex);
    if (!hash || key.empty()) continue;
    entry.hash = std::move(*hash);
    loaded_[key] = std::move(entry);
  }
}

std::optional<std::vector<unsigned char>> DigestCache::Find(const std::string& key,
                                                            const FileStamp& stamp) const {
  auto it = loaded_.find(key);
  if (it == loaded_.end() || it->second.stamp != stamp) return std::nullopt;
  return it->second.hash;
}

void DigestCache::Put(const std::string& key, const FileStamp& stamp,
                      const std::vector<unsigned char>& hash) {
  current_[key] = Entry{stamp, hash};
}

void DigestCache::Add(const DigestCache& other) {
  for (const auto& [key, entry] : other.loaded_) current_[key] = entry;
}

bool DigestCache::Save() const {
  auto temporary = file_;
  temporary += ".tmp" + std::to_string(std::random_device()());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << kHeader << '\n';
    for (const auto& [key, entry] : current_) {
      if (key.find_first_of("\r\n") != std::string::npos) continue;
      const auto& stamp = entry.stamp;
      out << taln::HexString(entry.hash) << ' ' << stamp.size << ' ' << stamp.modifiedTime << ' '
          << stamp.changeTime << ' ' << stamp.inode << ' ' << key << '\n';
    }
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, file_, error);
  return !error;
}

}  // namespace aus::server
