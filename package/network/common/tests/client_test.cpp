#include "package/network/common/client.h"

#include <chrono>
#include <future>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "package/network/common/tests/silentpeers.h"
#include "tests/support/fakeserver.h"

namespace {

using network::common::Client;
using network::common::testing::FullListener;
using network::common::testing::StalledServer;
using network::protocol::IO_Error;
using network::protocol::OPacket;
using test_support::FakeConnection;
using test_support::FakeServer;

constexpr Version kVersion{4, 35, 1906051200};
constexpr auto kDeadline = std::chrono::seconds(10);
// How long an aborted operation may take to end: far below kDeadline, which the clients of those
// tests take as their timeout, so that only the abort can end the operation in time.
constexpr auto kAbortDeadline = std::chrono::seconds(2);

// ProtocolVersion {2, 2, 1704181200}, then ClientVersion {4, 35, 1906051200} "win32".
const std::string kGreeting = std::string(
    "\x0e\0\0\0\x00\x00"
    "\x02\0\0\0\x02\0\0\0\xd0\xbd\x93\x65"
    "\x17\0\0\0\x00\x01"
    "\x04\0\0\0\x23\0\0\0\x80\x08\x9c\x71"
    "\x05\0\0\0win32",
    45);

std::string Bytes(OPacket& packet) {
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

std::string Reply(unsigned char type, const std::string& text) {
  return Bytes(OPacket(true, type) << text);
}

std::string ReplyText(network::protocol::IPacket& packet) {
  std::string text;
  packet >> text;
  return text;
}

// Runs `call` and returns the location and code of the system_error it throws.
std::pair<std::string, boost::system::error_code> SocketFailure(const std::function<void()>& call) {
  try {
    call();
  } catch (const boost::system::system_error& e) {
    const std::string what = e.what();
    return {what.substr(0, what.find(':')), e.code()};
  }
  ADD_FAILURE() << "no system_error";
  return {};
}

TEST(ClientTest, ConnectingSendsTheGreeting) {
  std::promise<std::string> received;
  FakeServer server([&](FakeConnection& c) { received.set_value(c.Read(kGreeting.size())); });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  auto future = received.get_future();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(future.get(), kGreeting);
}

TEST(ClientTest, DeferredClientConnectsOnFirstUseAndGreetsBeforeItsRequest) {
  // Nothing listens there: a deferred client must not even try.
  Client unreachable("127.0.0.1", test_support::UnusedPort(), kVersion, "win32", true);

  std::promise<std::string> received;
  FakeServer server([&](FakeConnection& c) {
    std::string bytes = c.ReadPacket();
    bytes += c.ReadPacket();
    received.set_value(bytes + c.ReadPacket());
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", true);
  EXPECT_EQ(server.accepted(), 0);
  OPacket request(false, 10);
  client.Send(request);
  auto future = received.get_future();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(future.get(), kGreeting + std::string("\x02\0\0\0\x00\x0a", 6));
  EXPECT_EQ(server.accepted(), 1);
}

TEST(ClientTest, ConnectFailuresNameTheirLocation) {
  const std::string port = test_support::UnusedPort();
  EXPECT_EQ(SocketFailure([&] { Client("127.0.0.1", port, kVersion, "win32", false); }).first,
            "connect");
  EXPECT_EQ(SocketFailure([&] {
              Client("127.0.0.1", "no-such-service", kVersion, "win32", false);
            }).first,
            "resolve");
  Client deferred("127.0.0.1", port, kVersion, "win32", true);
  EXPECT_EQ(SocketFailure([&] { deferred.Receive(); }).first, "connect");
}

TEST(ClientTest, ConnectsAgainAfterAFailedConnect) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(boost::asio::ip::tcp::v4());
  acceptor.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
  Client client("127.0.0.1", std::to_string(acceptor.local_endpoint().port()), kVersion, "win32",
                true);
  OPacket request(false, 12);
  // Bound but not listening: the connection is refused.
  EXPECT_EQ(SocketFailure([&] { client.Send(request); }).first, "connect");

  acceptor.listen();
  client.Send(request);
  boost::asio::ip::tcp::socket peer(io);
  acceptor.accept(peer);
  FakeConnection connection(std::move(peer));
  EXPECT_EQ(connection.Read(kGreeting.size()), kGreeting);
  EXPECT_EQ(connection.ReadPacket(), std::string("\x02\0\0\0\x00\x0c", 6));
}

TEST(ClientTest, RepliesInOneReadAreReturnedOneByOne) {
  FakeServer server([](FakeConnection& c) {
    c.Read(kGreeting.size());
    c.Write((Reply(10, "first")) + (Reply(11, "second")));
    c.Shutdown();
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  EXPECT_EQ(ReplyText(*client.Receive()), "first");
  // The server has closed already: this reply must come from what was read before.
  EXPECT_EQ(ReplyText(*client.Receive()), "second");
  EXPECT_EQ(SocketFailure([&] { client.Receive(); }).first, "read_some");
}

TEST(ClientTest, QueuedRequestsGoOutInOrderOnceTheClientWaits) {
  std::promise<std::string> requests;
  FakeServer server([&](FakeConnection& c) {
    c.Read(kGreeting.size());
    c.Write(Reply(10, "first") + Reply(11, "second"));
    const std::string first = c.ReadPacket();
    requests.set_value(first + c.ReadPacket());
    c.Write(Reply(12, "third"));
    c.WaitForClose();
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  EXPECT_EQ(ReplyText(*client.Receive()), "first");
  OPacket a(false, 12);
  OPacket b(false, 13);
  client.Queue(a);
  client.Queue(b);
  // Already read: returned without waiting, so without writing.
  EXPECT_EQ(ReplyText(*client.Receive()), "second");
  // The server answers only once both requests came.
  EXPECT_EQ(ReplyText(*client.Receive()), "third");
  auto future = requests.get_future();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(future.get(), std::string("\x02\0\0\0\x00\x0c\x02\0\0\0\x00\x0d", 12));
}

TEST(ClientTest, ReplyTrickledByteByByteIsReturnedWhole) {
  const std::string reply = (Reply(11, std::string(100, 'x')));
  FakeServer server([&](FakeConnection& c) {
    c.Read(kGreeting.size());
    for (char byte : reply) c.Write(std::string(1, byte));
    c.WaitForClose();
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  const auto packet = client.Receive();
  EXPECT_EQ(packet->Type(), 11);
  EXPECT_EQ(ReplyText(*packet), std::string(100, 'x'));
}

TEST(ClientTest, ServerClosingMidReplyFailsAtReadSome) {
  FakeServer server([](FakeConnection& c) {
    c.Read(kGreeting.size());
    c.Write((Reply(11, "cut")).substr(0, 8));
    c.Shutdown();
  });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  const auto failure = SocketFailure([&] { client.Receive(); });
  EXPECT_EQ(failure.first, "read_some");
  EXPECT_EQ(failure.second, boost::asio::error::eof);
}

TEST(ClientTest, SilentServerTimesOutAtReadSome) {
  FakeServer server([](FakeConnection& c) { c.WaitForClose(); });
  Client client("127.0.0.1", server.port(), kVersion, "win32", false,
                std::chrono::milliseconds(200));
  const auto failure = SocketFailure([&] { client.Receive(); });
  EXPECT_EQ(failure.first, "read_some");
  EXPECT_EQ(failure.second, boost::asio::error::timed_out);
}

// Large enough to fill the socket buffers of a peer that never reads.
OPacket LargePacket() { return OPacket(false, 99) << std::string(32 << 20, 'x'); }

// Each operation a silent peer leaves waiting gives up after the timeout, at its own location.
TEST(ClientTest, SilentPeerTimesOutAtTheWaitingOperation) {
  const auto timeout = std::chrono::milliseconds(200);
  FullListener listener;
  ASSERT_TRUE(listener.full());
  EXPECT_EQ(SocketFailure(
                [&] { Client("127.0.0.1", listener.port(), kVersion, "win32", false, timeout); }),
            std::make_pair(std::string("connect"),
                           boost::system::error_code(boost::asio::error::timed_out)));

  StalledServer server(kDeadline);
  Client client("127.0.0.1", server.port(), kVersion, "win32", false, timeout);
  OPacket packet = LargePacket();
  EXPECT_EQ(SocketFailure([&] { client.Send(packet); }),
            std::make_pair(std::string("write"),
                           boost::system::error_code(boost::asio::error::timed_out)));
}

// Abort, from another thread, ends the operation a silent peer leaves waiting at once, and every
// later operation fails the same way without waiting.
TEST(ClientTest, AbortEndsTheWaitingOperationAtItsLocation) {
  StalledServer server(kDeadline);
  FullListener listener;
  ASSERT_TRUE(listener.full());
  OPacket large = LargePacket();
  OPacket small(false, 12);
  struct Case {
    const char* location;
    std::string port;
    std::function<void(Client&)> call;
  };
  const Case cases[] = {
      {"connect", listener.port(), [](Client& c) { c.Receive(); }},
      {"read_some", server.port(), [](Client& c) { c.Receive(); }},
      {"write", server.port(), [&](Client& c) { c.Send(large); }},
  };
  int greeted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    Client client("127.0.0.1", c.port, kVersion, "win32", true, kDeadline);
    auto failure =
        std::async(std::launch::async, [&] { return SocketFailure([&] { c.call(client); }); });
    if (c.port == server.port()) {
      ASSERT_TRUE(server.WaitUntilGreeted(++greeted, kDeadline));
    } else {
      ASSERT_TRUE(listener.WaitUntilConnecting(kDeadline));
    }
    client.Abort();
    ASSERT_EQ(failure.wait_for(kAbortDeadline), std::future_status::ready);
    const auto aborted = boost::system::error_code(boost::asio::error::operation_aborted);
    EXPECT_EQ(failure.get(), std::make_pair(std::string(c.location), aborted));
    const std::string later = c.port == server.port() ? "write" : "resolve";
    EXPECT_EQ(SocketFailure([&] { client.Send(small); }), std::make_pair(later, aborted));
  }
}

// An Abort before any operation, or between two, wins over everything the Client could still do:
// it neither connects nor hands out a reply that has already arrived.
TEST(ClientTest, AbortedClientFailsEveryLaterOperationAtOnce) {
  const auto aborted = boost::system::error_code(boost::asio::error::operation_aborted);
  FakeServer server([](FakeConnection& c) {
    c.Read(kGreeting.size());
    c.Write(Reply(10, "first") + Reply(11, "second"));
    c.WaitForClose();
  });
  Client fresh("127.0.0.1", server.port(), kVersion, "win32", true);
  fresh.Abort();
  EXPECT_EQ(SocketFailure([&] { fresh.Receive(); }),
            std::make_pair(std::string("resolve"), aborted));
  EXPECT_EQ(SocketFailure([&] { fresh.Connect(); }),
            std::make_pair(std::string("resolve"), aborted));
  EXPECT_EQ(server.accepted(), 0);

  Client client("127.0.0.1", server.port(), kVersion, "win32", false);
  EXPECT_EQ(ReplyText(*client.Receive()), "first");
  client.Abort();
  EXPECT_EQ(SocketFailure([&] { client.Receive(); }),
            std::make_pair(std::string("read_some"), aborted));
  OPacket request(false, 12);
  EXPECT_EQ(SocketFailure([&] { client.Send(request); }),
            std::make_pair(std::string("write"), aborted));
}

TEST(ClientTest, HostileLengthIsInvalidPacketSize) {
  for (const std::string& length :
       {std::string("\0\0\0\0", 4), std::string("\xf0\xff\xff\xff", 4)}) {
    FakeServer server([&](FakeConnection& c) {
      c.Read(kGreeting.size());
      c.Write(length + std::string("\x01\x0b", 2));
      c.WaitForClose();
    });
    Client client("127.0.0.1", server.port(), kVersion, "win32", false);
    EXPECT_THROW(client.Receive(), IO_Error);
  }
}

}  // namespace
