// Measures receiving FileData replies: the byte stream of a 2 MiB range's replies is fed to
// PacketParser in 32800-byte reads (the connection's buffer), and every packet is read as
// DownloadFile reads it (ok flag, then ReadTo into an in-memory range buffer). Reference: a
// plain memcpy of the same reads into a range-sized buffer, in the same run.
// Usage: protocol_bench [MiB per round, default 256]. Prints MB/s for each reply block size and
// the ratio to the copy. Each timing is the best of a few rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "package/network/protocol/opacket.h"
#include "package/network/protocol/packetparser.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 5;
constexpr std::size_t kReadSize = 32800;
constexpr std::size_t kRangeSize = 2097152;

double BestSeconds(const std::function<void()>& run) {
  double best = 1e300;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// The replies of one range: blocks of `blockSize` bytes, then the empty block.
std::string RangeReplies(std::size_t blockSize) {
  std::string content(kRangeSize, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + 7);
  std::string stream;
  for (std::size_t at = 0;; at += blockSize) {
    const std::size_t count = std::min(blockSize, content.size() - std::min(at, content.size()));
    network::protocol::OPacket reply(true, 11);
    reply << true;
    reply.WriteBlock(content.data() + at, static_cast<std::uint32_t>(count));
    const auto data = reply.Data();
    stream.append(data->begin(), data->end());
    if (count == 0) break;
  }
  return stream;
}

// `range` is reused so that the figure is the codec's, not the allocator's.
std::size_t ParseRange(const std::string& stream, std::stringstream& range) {
  network::protocol::PacketParser parser;
  range.seekp(0);
  std::size_t received = 0;
  for (std::size_t at = 0; at < stream.size(); at += kReadSize) {
    parser.Feed(stream.data() + at, std::min(kReadSize, stream.size() - at));
    while (auto packet = parser.Pop()) {
      bool ok = false;
      *packet >> ok;
      received += packet->ReadTo(range);
    }
  }
  return received;
}

std::size_t CopyRange(const std::string& stream, std::vector<char>& range) {
  std::size_t copied = 0;
  for (std::size_t at = 0; at < stream.size(); at += kReadSize) {
    const std::size_t count = std::min(kReadSize, stream.size() - at);
    std::memcpy(range.data() + copied % range.size(), stream.data() + at, count);
    copied += count;
  }
  return copied;
}

}  // namespace

int main(int argc, char** argv) {
  const int mebibytes = argc > 1 ? std::atoi(argv[1]) : 256;
  const int ranges = std::max(1, mebibytes / 2);
  std::vector<char> buffer(kRangeSize + kReadSize);
  std::printf("%d MiB per round (%d ranges of 2 MiB), best of %d rounds\n", ranges * 2, ranges,
              kRounds);
  for (std::size_t blockSize : {4096u, 16384u, 65536u, 1048576u}) {
    const std::string stream = RangeReplies(blockSize);
    std::stringstream range;
    volatile std::size_t sink = 0;
    const double parse = BestSeconds([&] {
      for (int i = 0; i < ranges; ++i) sink = sink + ParseRange(stream, range);
    });
    const double copy = BestSeconds([&] {
      for (int i = 0; i < ranges; ++i) sink = sink + CopyRange(stream, buffer);
    });
    const double megabytes = static_cast<double>(ranges) * kRangeSize / 1e6;
    std::printf("blocks of %7zu B: parse+read %8.0f MB/s, memcpy %8.0f MB/s, ratio %.2f\n",
                blockSize, megabytes / parse, megabytes / copy, parse / copy);
  }
  return 0;
}
