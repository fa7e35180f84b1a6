#include "package/network/common/rangedigest.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include <openssl/evp.h>

#include "package/network/common/downloadfile.h"

namespace network::common {

namespace {

// Bytes read back per call.
constexpr std::size_t kReadPiece = 256 * 1024;

}  // namespace

struct RangeDigest::Context {
  Context() : context(EVP_MD_CTX_new()) {
    if (context && !EVP_DigestInit_ex(context, EVP_sha256(), nullptr)) {
      EVP_MD_CTX_free(context);
      context = nullptr;
    }
  }
  ~Context() { EVP_MD_CTX_free(context); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  EVP_MD_CTX* context;
};

RangeDigest::RangeDigest(std::string path, std::uint64_t size,
                         const std::set<std::uint64_t>& onDisk)
    : path_(std::move(path)),
      size_(size),
      ranges_(size <= kPartSize ? 1 : size / kPartSize + (size % kPartSize != 0 ? 1 : 0)),
      context_(std::make_unique<Context>()),
      ahead_(onDisk) {
  if (!context_->context) context_.reset();
}

RangeDigest::~RangeDigest() = default;

std::uint64_t RangeDigest::Length(std::uint64_t index) const {
  return std::min(kPartSize, size_ - index * kPartSize);
}

void RangeDigest::Fail() {
  context_.reset();
  ahead_.clear();
}

void RangeDigest::Written(std::uint64_t index, std::string_view data) {
  std::lock_guard lock(mutex_);
  if (!context_) return;
  if (index >= ranges_ || data.size() != Length(index)) {
    Fail();
    return;
  }
  CatchUp();
  if (!context_) return;
  if (index != next_) {
    ahead_.insert(index);
    return;
  }
  EVP_DigestUpdate(context_->context, data.data(), data.size());
  ++next_;
  CatchUp();
}

void RangeDigest::CatchUp() {
  std::ifstream input;
  std::string piece;
  while (context_ && !ahead_.empty() && *ahead_.begin() == next_) {
    if (!input.is_open()) {
      input.open(path_, std::ios::binary);
      piece.resize(kReadPiece);
    }
    input.seekg(static_cast<std::streamoff>(next_ * kPartSize));
    for (std::uint64_t left = Length(next_); left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadPiece));
      if (!input.read(piece.data(), static_cast<std::streamsize>(n))) {
        Fail();
        return;
      }
      EVP_DigestUpdate(context_->context, piece.data(), n);
      left -= n;
    }
    ahead_.erase(ahead_.begin());
    ++next_;
  }
  if (!context_ || next_ != ranges_) return;
  std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->context, digest.data(), &length)) {
    digest.resize(length);
    digest_ = std::move(digest);
  }
  context_.reset();
}

std::vector<unsigned char> RangeDigest::Digest() const {
  std::lock_guard lock(mutex_);
  return digest_;
}

}  // namespace network::common
