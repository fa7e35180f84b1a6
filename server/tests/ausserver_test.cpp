#include "server/ausserver.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

#include "package/logging/logger.h"
#include "server/filestamp.h"
#include "server/tests/testclient.h"
#include "tests/support/scratchdir.h"

namespace {

using aus::error_code;
using aus::server::AusServer;
using aus::server::Releases;
using aus::server::testing::FileDataResult;
using aus::server::testing::Sha256;
using aus::server::testing::TestClient;
using aus::server::testing::WireItem;
using network::protocol::OPacket;
namespace beast = boost::beast;
namespace http = beast::http;

constexpr std::size_t kBlockSize = 4096;

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::steady_clock::duration timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Every block is at most kBlockSize and non-empty, and the series ends with one empty block.
void ExpectWellFormedSeries(const FileDataResult& result) {
  ASSERT_FALSE(result.refusal.has_value());
  ASSERT_FALSE(result.blocks.empty());
  EXPECT_EQ(result.blocks.back(), 0u);
  for (std::size_t i = 0; i + 1 < result.blocks.size(); ++i) {
    EXPECT_GT(result.blocks[i], 0u);
    EXPECT_LE(result.blocks[i], kBlockSize);
  }
}

// GET `target` from the metrics endpoint: the status and the body. Fails the test after 10 s.
std::pair<unsigned, std::string> HttpGet(unsigned short port, const std::string& target,
                                         http::verb method = http::verb::get) {
  boost::asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  http::request<http::empty_body> request(method, target, 11);
  request.set(http::field::host, "127.0.0.1");
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  bool done = false;
  beast::error_code failure;
  stream.expires_after(std::chrono::seconds(10));
  http::async_write(stream, request, [&](beast::error_code error, std::size_t) {
    if (error) {
      failure = error;
      done = true;
      return;
    }
    http::async_read(stream, buffer, response, [&](beast::error_code error, std::size_t) {
      failure = error;
      done = true;
    });
  });
  io.run_for(std::chrono::seconds(10));
  if (!done || failure) throw std::runtime_error("metrics request failed: " + failure.message());
  return {response.result_int(), response.body()};
}

// The value of one sample line of a metrics text ("name{labels}"), or -1 when it is absent.
long long Sample(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + name.size() + 2));
}

// Releases 1.0.0 {old.txt} and 2.0.0 {data/big.bin, small.txt}, served on an ephemeral port by
// a server running on its own thread.
class AusServerTest : public ::testing::Test {
 protected:
  AusServerTest() {
    test_support::WriteFile(root_.path() / "1.0.0" / "old.txt", "version one");
    test_support::WriteFile(root_.path() / "2.0.0" / "data" / "big.bin", big_);
    test_support::WriteFile(root_.path() / "2.0.0" / "small.txt", "small");
  }

  ~AusServerTest() override {
    if (server_) {
      server_->Stop();
      if (thread_.joinable()) thread_.join();
    }
  }

  void Start(std::chrono::milliseconds idleTimeout = std::chrono::seconds(30),
             const std::function<void(aus::server::ServerOptions&)>& configure = {}) {
    aus::server::ServerOptions options;
    options.port = 0;
    options.threads = 2;
    options.session.blockSize = kBlockSize;
    options.session.idleTimeout = idleTimeout;
    options.metricsPort = 0;
    options.reload = [root = root_.path()] { return Releases::Load(root); };
    if (configure) configure(options);
    server_ = std::make_unique<AusServer>(Releases::Load(root_.path()), options);
    thread_ = std::thread([this] { server_->Run(); });
  }

  unsigned short Port() const { return server_->Port(); }

  test_support::ScratchDir root_;
  const std::string big_ = Pattern(300 * 1000 + 17);
  std::unique_ptr<AusServer> server_;
  std::thread thread_;
};

TEST_F(AusServerTest, ListsDigestsOfTheServedBytes) {
  Start();
  TestClient client(Port());
  client.Greet();
  const auto items = client.UpdateDb(true, {});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], (WireItem{0, "data\\big.bin", big_.size(), Sha256(big_), true}));
  EXPECT_EQ(items[1], (WireItem{1, "small.txt", 5, Sha256("small"), true}));
  for (const auto& item : items) {
    SCOPED_TRACE(item.name);
    const auto result = client.FileData(item.index, 0, 0);
    ExpectWellFormedSeries(result);
    EXPECT_EQ(Sha256(result.bytes), item.hash);
    const auto [size, refusal] = client.FileSize({2, 0, 0}, item.name);
    EXPECT_EQ(size, item.size);
    EXPECT_EQ(refusal, std::nullopt);
  }
  EXPECT_EQ(client.UpdateDb(false, {1, 0, 0}).size(), 1u);
  EXPECT_TRUE(client.UpdateDb(false, {7, 0, 0}).empty());
}

TEST_F(AusServerTest, RangesAcrossBlockBoundaries) {
  Start();
  TestClient client(Port());
  client.Greet();
  const std::uint64_t size = big_.size();
  const struct {
    std::uint64_t offset, length;
  } cases[] = {
      {0, 0},          {0, kBlockSize}, {kBlockSize - 1, 2}, {kBlockSize - 1, kBlockSize + 2},
      {12345, 100000}, {size - 3, 100}, {size, 0},           {size + 1, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    const auto result = client.FileData({2, 0, 0}, "data\\big.bin", c.offset, c.length);
    ExpectWellFormedSeries(result);
    const std::size_t begin = std::min<std::uint64_t>(c.offset, size);
    EXPECT_EQ(result.bytes, big_.substr(begin, c.length == 0 ? std::string::npos : c.length));
  }
}

TEST_F(AusServerTest, RefusalsLeaveTheConnectionServing) {
  Start();
  TestClient client(Port());
  client.Greet();
  EXPECT_EQ(client.FileSize({2, 0, 0}, "missing").second, error_code::kFileNotFound);
  EXPECT_EQ(client.FileSize({3, 0, 0}, "small.txt").second, error_code::kUnknownVersion);
  EXPECT_EQ(client.FileData({2, 0, 0}, "..\\1.0.0\\old.txt", 0, 0).refusal,
            error_code::kInvalidRequest);
  EXPECT_EQ(client.FileData(9, 0, 0).refusal, error_code::kFileNotFound);
  client.Send(OPacket(false, 12) << Version{2, 0, 0});  // no path
  auto reply = client.Receive();
  bool ok = true;
  error_code code{};
  *reply >> ok >> code;
  EXPECT_EQ(reply->Type(), 12);
  EXPECT_EQ(code, error_code::kInvalidRequest);
  EXPECT_EQ(client.FileSize({2, 0, 0}, "small.txt").first, 5u);
}

TEST_F(AusServerTest, AFileChangedSinceStartIsRefusedRatherThanServedWrong) {
  Start();
  test_support::WriteFile(root_.path() / "2.0.0" / "small.txt", "changed!");
  TestClient client(Port());
  EXPECT_EQ(client.FileData(1, 0, 0).refusal, error_code::kReadFailed);
  EXPECT_EQ(client.FileData(0, 0, 10).bytes, big_.substr(0, 10));
}

TEST_F(AusServerTest, AFileRewrittenWithTheSameSizeAndTimeIsRefusedRatherThanServedWrong) {
  const auto file = root_.path() / "2.0.0" / "small.txt";
  const auto fixedTime = std::filesystem::last_write_time(file);
  Start();
  const auto before = aus::server::ReadFileStamp(file);
  ASSERT_TRUE(before);
  // The file system's clock ticks coarsely: rewrite until the change time shows the rewrite.
  ASSERT_TRUE(WaitUntil([&] {
    test_support::WriteFile(file, "SMALL");
    std::filesystem::last_write_time(file, fixedTime);
    const auto after = aus::server::ReadFileStamp(file);
    return after && after->changeTime != before->changeTime;
  }));
  TestClient client(Port());
  EXPECT_EQ(client.FileData(1, 0, 0).refusal, error_code::kReadFailed);
  EXPECT_EQ(client.FileData(0, 0, 10).bytes, big_.substr(0, 10));
}

TEST_F(AusServerTest, HostileClientsAreClosedWhileAnotherDownloads) {
  Start();
  TestClient downloader(Port());
  downloader.Greet();
  downloader.Send(OPacket(false, 11)
                  << true << std::uint16_t{0} << std::uint64_t{0} << std::uint64_t{0});

  const std::string oversized =
      std::string("\xff\xff\xff\x00\x00\x0b", 6) + std::string(70000, 'x');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"length below two", std::string("\x01\x00\x00\x00\x00\x0a", 6)},
      {"length above the limit", std::string("\xff\xff\xff\xff\x00\x0a", 6)},
      {"unknown type", std::string("\x02\x00\x00\x00\x00\x63", 6)},
      {"reply bit", std::string("\x02\x00\x00\x00\x01\x0a", 6)},
      {"request never completed", oversized},
      {"text", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestClient hostile(Port());
    hostile.SendRaw(c.bytes);
    EXPECT_TRUE(hostile.WaitForClose());
  }
  const auto result = downloader.ReceiveFileData();
  ExpectWellFormedSeries(result);
  EXPECT_EQ(result.bytes, big_);
}

TEST_F(AusServerTest, ClientsThatLeaveOrStopReadingAreDropped) {
  // Large enough that a client that stops reading stalls the server's writes.
  const auto huge = root_.path() / "2.0.0" / "huge.bin";
  test_support::WriteFile(huge, "");
  std::filesystem::resize_file(huge, 64u << 20);
  Start(std::chrono::seconds(1));

  const OPacket request = OPacket(false, 11) << false << Version{2, 0, 0} << std::string("huge.bin")
                                             << std::uint64_t{0} << std::uint64_t{0};
  auto leaver = std::make_unique<TestClient>(Port());
  leaver->Send(request);
  TestClient stalled(Port());
  stalled.Send(request);
  leaver.reset();

  TestClient reader(Port());
  EXPECT_EQ(reader.FileData(0, 0, 0).bytes, big_);
  // Had the server not given up on it, draining would let the whole file through, then wait.
  EXPECT_TRUE(stalled.WaitForClose());
}

TEST_F(AusServerTest, AFileCutShortDuringATransferEndsTheConnection) {
  const auto huge = root_.path() / "2.0.0" / "huge.bin";
  test_support::WriteFile(huge, "");
  std::filesystem::resize_file(huge, 64u << 20);
  Start();
  TestClient client(Port());
  client.Send(OPacket(false, 11) << false << Version{2, 0, 0} << std::string("huge.bin")
                                 << std::uint64_t{0} << std::uint64_t{0});
  // The series has begun (its first block is out) when the file loses its tail; a block announced
  // in full can no longer be refused, so the server hangs up instead of sending short.
  ASSERT_NE(client.Receive(), nullptr);
  std::filesystem::resize_file(huge, 1u << 20);
  EXPECT_TRUE(client.WaitForClose());
}

TEST_F(AusServerTest, HoldsAThousandIdleConnectionsAndTimesThemOut) {
  Start(std::chrono::seconds(5));
  boost::asio::io_context io;
  std::vector<boost::asio::ip::tcp::socket> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.emplace_back(io).connect({boost::asio::ip::make_address("127.0.0.1"), Port()});
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->Connections() == 1000; }));
  {
    TestClient client(Port());
    client.Greet();
    EXPECT_EQ(client.FileData(0, 0, 0).bytes, big_);
  }
  EXPECT_TRUE(WaitUntil([&] { return server_->Connections() == 0; }, std::chrono::seconds(30)));
}

TEST_F(AusServerTest, SigtermEndsRun) {
  Start();
  auto ended = std::async(std::launch::async, [this] { thread_.join(); });
  {
    TestClient client(Port());
    EXPECT_EQ(client.FileSize({2, 0, 0}, "small.txt").first, 5u);
  }
  // The reply proves Run is serving, so its signal handler is in place.
  std::raise(SIGTERM);
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(AusServerTest, AReleasePublishedDuringFiftyDownloadsLeavesEachOnTheListItWasGiven) {
  // Larger than a socket's buffers on both ends: each download is still running at the reload.
  const std::string large = Pattern(8u << 20);
  test_support::WriteFile(root_.path() / "2.0.0" / "data" / "large.bin", large);
  Start(std::chrono::seconds(30), [](aus::server::ServerOptions& options) {
    options.session.blockSize = 64 * 1024;  // fewer packets for the test to take apart
  });
  constexpr int kDownloads = 50;
  std::vector<std::unique_ptr<TestClient>> clients;
  std::vector<std::vector<WireItem>> lists;
  std::vector<FileDataResult> received(kDownloads);
  for (int i = 0; i < kDownloads; ++i) {
    clients.push_back(std::make_unique<TestClient>(Port()));
    clients[i]->Greet();
    lists.push_back(clients[i]->UpdateDb(true, {}));
    ASSERT_EQ(lists[i].size(), 3u);
    ASSERT_EQ(lists[i][1].name, "data\\large.bin");
    clients[i]->Send(OPacket(false, 11)
                     << true << std::uint16_t{1} << std::uint64_t{0} << std::uint64_t{0});
    received[i] = clients[i]->ReceiveFileData(1);
  }

  // 3.0.0 puts other bytes at every index of the old list.
  test_support::WriteFile(root_.path() / "3.0.0" / "data" / "a.bin", "new first file");
  test_support::WriteFile(root_.path() / "3.0.0" / "data" / "large.bin", "new large file");
  test_support::WriteFile(root_.path() / "3.0.0" / "small.txt", "new small");
  server_->Reload();
  ASSERT_TRUE(WaitUntil([&] { return server_->Generation() == 2; }));
  const auto [status, metrics] = HttpGet(server_->MetricsPort(), "/metrics");
  ASSERT_EQ(status, 200u);
  EXPECT_LT(Sample(metrics, "aus_bytes_sent_total"),
            kDownloads * static_cast<long long>(large.size()));
  EXPECT_EQ(Sample(metrics, "aus_connections_open"), kDownloads);

  for (int i = 0; i < kDownloads; ++i) {
    SCOPED_TRACE(i);
    const auto rest = clients[i]->ReceiveFileData();
    ASSERT_FALSE(rest.refusal.has_value());
    EXPECT_EQ(Sha256(received[i].bytes + rest.bytes), lists[i][1].hash);
    // Later ranges by index still refer to the list this connection was given.
    EXPECT_EQ(clients[i]->FileData(0, 0, 0).bytes, big_);
    EXPECT_EQ(clients[i]->FileData(2, 0, 0).bytes, "small");
    EXPECT_EQ(clients[i]->FileSize({}, "data\\large.bin").first, large.size());
  }

  // A new list pins the new release, on an old connection as on a new one.
  TestClient fresh(Port());
  for (TestClient* client : {clients[0].get(), &fresh}) {
    const auto items = client->UpdateDb(true, {});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].name, "data\\a.bin");
    EXPECT_EQ(client->FileData(1, 0, 0).bytes, "new large file");
  }
}

TEST_F(AusServerTest, SighupServesANewReleaseToNewConnections) {
  Start();
  TestClient before(Port());
  EXPECT_EQ(before.UpdateDb(true, {}).size(), 2u);
  // The reply proves Run is serving, so its SIGHUP handler is in place.
  test_support::WriteFile(root_.path() / "2.1.0" / "only.txt", "only");
  std::raise(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] { return server_->Generation() == 2; }));
  TestClient after(Port());
  const auto items = after.UpdateDb(true, {});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "only.txt");
  EXPECT_EQ(before.FileData(1, 0, 0).bytes, "small");  // still the list it was given
}

TEST_F(AusServerTest, AFailedReloadKeepsServingTheLoadedReleases) {
  Start();
  // A newer release whose manifest names another version cannot be served.
  test_support::WriteFile(root_.path() / "3.0.0" / "manifest",
                          "[version]\nmajor=1\nminor=0\nrevision=0\n");
  server_->Reload();
  ASSERT_TRUE(WaitUntil([&] {
    return Sample(HttpGet(server_->MetricsPort(), "/metrics").second,
                  "aus_reloads_total{result=\"failed\"}") == 1;
  }));
  EXPECT_EQ(server_->Generation(), 1u);
  TestClient client(Port());
  EXPECT_EQ(client.UpdateDb(true, {}).size(), 2u);
  EXPECT_EQ(client.FileData(1, 0, 0).bytes, "small");
}

TEST_F(AusServerTest, AChangeSeenByTheWatchReloads) {
  // Shared: the server, stopped by the fixture, outlives the test body.
  const auto folders = std::make_shared<std::atomic<int>>(1);
  Start(std::chrono::seconds(30), [&](aus::server::ServerOptions& options) {
    options.watch = [folders] { return std::to_string(folders->load()); };
    options.watchInterval = std::chrono::milliseconds(20);
  });
  test_support::WriteFile(root_.path() / "2.1.0" / "only.txt", "only");
  // Nothing reloads while the watched value stays.
  TestClient client(Port());
  EXPECT_EQ(client.UpdateDb(true, {}).size(), 2u);
  EXPECT_EQ(server_->Generation(), 1u);
  *folders = 2;
  ASSERT_TRUE(WaitUntil([&] { return server_->Generation() == 2; }));
  EXPECT_EQ(client.UpdateDb(true, {}).size(), 1u);
}

// INFO lines on and standard output captured while it lives; put back however the test ends.
struct LogCapture {
  LogCapture() {
    Logger::Instance().SetLevel(2);
    testing::internal::CaptureStdout();
  }
  ~LogCapture() {
    if (!taken) testing::internal::GetCapturedStdout();
    Logger::Instance().SetLevel(3);
  }
  std::string Take() {
    taken = true;
    return testing::internal::GetCapturedStdout();
  }
  bool taken = false;
};

TEST_F(AusServerTest, MetricsAreScrapedDuringADownloadAndEachConnectionEndsWithOneLine) {
  const std::string large = Pattern(8u << 20);
  test_support::WriteFile(root_.path() / "2.0.0" / "data" / "large.bin", large);
  Start();
  std::optional<LogCapture> capture;
  {
    TestClient client(Port());
    client.Greet();
    client.UpdateDb(true, {});
    EXPECT_EQ(client.FileSize({2, 0, 0}, "missing").second, error_code::kFileNotFound);
    EXPECT_EQ(client.FileData({5, 0, 0}, "small.txt", 0, 0).refusal, error_code::kUnknownVersion);
    client.Send(OPacket(false, 11)
                << true << std::uint16_t{1} << std::uint64_t{0} << std::uint64_t{0});
    const auto first = client.ReceiveFileData(1);

    // A block is counted once the kernel has taken it, which the client may see a moment before.
    std::string text;
    ASSERT_TRUE(WaitUntil([&] {
      const auto [status, body] = HttpGet(server_->MetricsPort(), "/metrics");
      text = body;
      return status == 200u &&
             Sample(text, "aus_bytes_sent_total") > static_cast<long long>(first.bytes.size());
    }));
    EXPECT_EQ(Sample(text, "aus_connections_open"), 1);
    EXPECT_EQ(Sample(text, "aus_requests_total{type=\"ProtocolVersion\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_requests_total{type=\"UpdateDb\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_requests_total{type=\"FileSize\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_requests_total{type=\"FileData\"}"), 2);
    EXPECT_EQ(Sample(text, "aus_refusals_total{code=\"3\",name=\"file_not_found\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_refusals_total{code=\"2\",name=\"unknown_version\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_refusals_total{code=\"4\",name=\"read_failed\"}"), 0);
    EXPECT_LT(Sample(text, "aus_bytes_sent_total"), static_cast<long long>(large.size()));
    EXPECT_EQ(Sample(text, "aus_release_files{version=\"1.0.0\",latest=\"false\"}"), 1);
    EXPECT_EQ(Sample(text, "aus_release_files{version=\"2.0.0\",latest=\"true\"}"), 3);
    EXPECT_NE(text.find("# TYPE aus_bytes_sent_total counter\n"), std::string::npos);

    EXPECT_EQ(HttpGet(server_->MetricsPort(), "/other").first, 404u);
    EXPECT_EQ(HttpGet(server_->MetricsPort(), "/metrics", http::verb::post).first, 405u);
    capture.emplace();  // from here on, up to the line the connection's end writes
    EXPECT_EQ(client.ReceiveFileData().bytes.size() + first.bytes.size(), large.size());
  }
  const bool closed = WaitUntil([&] { return server_->Connections() == 0; });
  const std::string output = capture->Take();
  ASSERT_TRUE(closed);
  EXPECT_NE(output.find("Session.End: peer=127.0.0.1:"), std::string::npos) << output;
  EXPECT_NE(output.find(" reason=\"closed by the client\" duration_ms="), std::string::npos)
      << output;
  EXPECT_NE(output.find(" requests=6 refusals=2 bytes_sent="), std::string::npos) << output;
  EXPECT_NE(output.find(" latest=2.0.0\n"), std::string::npos) << output;
}

}  // namespace

namespace pipelined {

// Sends all of `bytes` on `socket`, whatever its blocking mode, counting progress in `sent`.
void SendAll(int socket, const std::string& bytes, std::atomic<std::size_t>& sent) {
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd writable{socket, POLLOUT, 0};
      ::poll(&writable, 1, 100);
    } else {
      return;
    }
  }
}

}  // namespace pipelined

// Requests sent without waiting for replies are answered one after the other, in order. While it
// answers one, the server reads no further: the requests waiting behind it stay in the socket's
// buffers, not in the server's memory, so a client that sends far more than those buffers hold
// is held back by the connection until the server catches up.
TEST_F(AusServerTest, PipelinedRequestsAreAnsweredInOrderWithBoundedMemory) {
  const auto huge = root_.path() / "2.0.0" / "huge.bin";
  test_support::WriteFile(huge, "");
  std::filesystem::resize_file(huge, 64u << 20);
  Start();
  TestClient client(Port());
  client.Greet();
  const auto bytes = [](OPacket packet) {
    const auto data = packet.Data();
    return std::string(data->begin(), data->end());
  };
  // A series larger than the socket buffers, then 64 MiB of greetings (they have no reply), then
  // small requests whose replies show the order.
  std::string requests =
      bytes(OPacket(false, 11) << false << Version{2, 0, 0} << std::string("huge.bin")
                               << std::uint64_t{0} << std::uint64_t{0});
  const std::string greeting =
      bytes(OPacket(false, 1) << Version{4, 35, 1906051200} << std::string(4096, 'p'));
  for (int i = 0; i < 16384; ++i) requests += greeting;
  requests += bytes(OPacket(false, 12) << Version{2, 0, 0} << std::string("small.txt"));
  requests +=
      bytes(OPacket(false, 11) << true << std::uint16_t{2} << std::uint64_t{1} << std::uint64_t{3});
  requests += bytes(OPacket(false, 12) << Version{2, 0, 0} << std::string("missing"));

  std::atomic<std::size_t> sent = 0;
  std::thread writer([&] { pipelined::SendAll(client.Socket().native_handle(), requests, sent); });
  // The writer stops making progress long before it is done.
  std::size_t last = 0;
  for (int still = 0; still < 10 && sent < requests.size();) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    still = sent == last ? still + 1 : 0;
    last = sent;
  }
  EXPECT_LT(sent.load(), requests.size() / 2);

  const auto series = client.ReceiveFileData();
  EXPECT_EQ(series.bytes.size(), 64u << 20);
  const auto [size, sizeRefusal] = [&] {
    auto reply = client.Receive();
    bool ok = false;
    std::uint64_t value = 0;
    *reply >> ok >> value;
    return std::pair(value, ok);
  }();
  EXPECT_TRUE(sizeRefusal);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(client.ReceiveFileData().bytes, "mal");
  auto refusal = client.Receive();
  bool ok = true;
  error_code code{};
  *refusal >> ok >> code;
  EXPECT_EQ(refusal->Type(), 12);
  EXPECT_EQ(code, error_code::kFileNotFound);
  writer.join();
  EXPECT_EQ(sent.load(), requests.size());
}
