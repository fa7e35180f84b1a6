#include "package/taln/db/updateitem.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <vector>

#include <boost/filesystem/fstream.hpp>
#include <openssl/evp.h>

namespace taln {
namespace {

// Small enough to stay in the cache between the read and the digest.
constexpr std::size_t kHashPieceSize = 256 * 1024;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool HasParentComponent(const std::string& name) {
  std::size_t begin = 0;
  while (begin <= name.size()) {
    const auto end = std::find_if(name.begin() + begin, name.end(), IsSeparator) - name.begin();
    if (name.compare(begin, end - begin, "..") == 0) return true;
    begin = end + 1;
  }
  return false;
}

// Broken down by hand: std::gmtime shares one static buffer between threads, and the chrono
// calendar covers every year strftime can print.
std::string UtcText(std::int64_t seconds) {
  using namespace std::chrono;
  const auto day = floor<days>(sys_seconds(std::chrono::seconds(seconds)));
  constexpr sys_days kFirst = year::min() / January / 1;
  constexpr sys_days kLast = year::max() / December / 31;
  if (day < kFirst || day > kLast) return {};
  const year_month_day date(day);
  const hh_mm_ss time(std::chrono::seconds(seconds) - day.time_since_epoch());
  std::tm parts{};
  parts.tm_year = static_cast<int>(date.year()) - 1900;
  parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  parts.tm_hour = static_cast<int>(time.hours().count());
  parts.tm_min = static_cast<int>(time.minutes().count());
  parts.tm_sec = static_cast<int>(time.seconds().count());
  parts.tm_wday = static_cast<int>(weekday(day).c_encoding());
  parts.tm_yday = static_cast<int>((day - sys_days(date.year() / January / 1)).count());
  char buffer[64];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, "%c", &parts));
}

}  // namespace

void NormalizeName(std::string& name) { std::replace(name.begin(), name.end(), '\\', '/'); }

bool IsSafeName(const std::string& name) {
  if (name.empty() || IsSeparator(name.front())) return false;
  if (name.size() >= 2 && IsDriveLetter(name[0]) && name[1] == ':') return false;
  return name.find('\0') == std::string::npos && !HasParentComponent(name);
}

std::vector<unsigned char> HashFile(const boost::filesystem::path& path) {
  // Unbuffered, so each read goes straight into `piece`, and the digest takes each piece whole:
  // the result is the same as block by block, without a copy and a call per kilobyte.
  boost::filesystem::ifstream in;
  in.rdbuf()->pubsetbuf(nullptr, 0);
  in.open(path, std::ios::binary);
  if (!in) return {};
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) return {};
  // Not zeroed: a scan hashes tens of thousands of small files, and clearing 256 KiB for each
  // cost more than hashing them.
  const auto piece = std::make_unique_for_overwrite<char[]>(kHashPieceSize);
  while (in.read(piece.get(), static_cast<std::streamsize>(kHashPieceSize)) || in.gcount() > 0) {
    EVP_DigestUpdate(context.get(), piece.get(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return {};
  std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (!EVP_DigestFinal_ex(context.get(), digest.data(), &length)) return {};
  digest.resize(length);
  return digest;
}

std::string HexString(const std::vector<unsigned char>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

std::string DescribeItem(const UpdateItem& item) {
  std::string text =
      "{" + std::to_string(item.index) + ", " + item.name + ", " + std::to_string(item.size) + ", ";
  if (const std::string time = UtcText(item.modifiedTime); !time.empty()) text += time + ", ";
  return text + HexString(item.hash) + ", " + (item.required ? "true" : "false") + "}";
}

}  // namespace taln
