#include "platform/tcp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

namespace kavor2::platform {
namespace {

using namespace std::chrono_literals;

// A connected pair over loopback: `client` made by Connect, `server` by Accept.
struct Pair {
  TcpListener listener;
  std::unique_ptr<TcpConnection> client;
  std::unique_ptr<TcpConnection> server;

  Pair() {
    EXPECT_TRUE(listener.Open(0).ok());
    auto accepted = std::async(std::launch::async, [this] {
      std::unique_ptr<TcpConnection> c;
      EXPECT_TRUE(listener.Accept(c).ok());
      return c;
    });
    EXPECT_TRUE(TcpConnection::Connect("127.0.0.1", listener.Port(), 2000ms, client).ok());
    server = accepted.get();
  }
};

TEST(TcpConnection, ExactReadsAndLinesShareOneStream) {
  Pair p;
  ASSERT_TRUE(p.client && p.server);
  // One write carries a line, a fixed-size block and the start of the next
  // line; the rest arrives in a second write.
  ASSERT_TRUE(p.client->WriteAll("POST / HTTP/1.1\r\n0123456789sec").ok());
  ASSERT_TRUE(p.client->WriteAll("ond\r\n\r\n").ok());

  std::string line;
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "POST / HTTP/1.1");
  std::string block;
  ASSERT_TRUE(p.server->ReadExact(10, block).ok());
  EXPECT_EQ(block, "0123456789");
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "second");
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "");
}

TEST(TcpConnection, LineEndSplitAcrossWritesAndLoneLf) {
  Pair p;
  ASSERT_TRUE(p.client->WriteAll("a\nb\r").ok());
  auto reader = std::async(std::launch::async, [&] {
    std::string line;
    IoResult r = p.server->ReadLine(line, 100);
    return std::make_pair(r, line);
  });
  ASSERT_TRUE(p.client->WriteAll("\nrest").ok());
  auto [r, line] = reader.get();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(line, "a\nb");
}

TEST(TcpConnection, LineLengthLimit) {
  struct Case {
    std::size_t length;
    IoStatus expected;
  };
  for (Case c : {Case{16, IoStatus::kOk}, Case{17, IoStatus::kTooLong}, Case{5000, IoStatus::kTooLong}}) {
    Pair p;
    ASSERT_TRUE(p.client->WriteAll(std::string(c.length, 'x') + "\r\n").ok());
    std::string line;
    EXPECT_EQ(p.server->ReadLine(line, 16).status, c.expected) << c.length;
  }
}

TEST(TcpConnection, OverlongLineWithoutEndIsRefusedBeforeItEnds) {
  Pair p;
  // No line end ever comes: the reader must give up on length alone.
  ASSERT_TRUE(p.client->WriteAll(std::string(70000, 'x')).ok());
  std::string line;
  EXPECT_EQ(p.server->ReadLine(line, 16384).status, IoStatus::kTooLong);
}

TEST(TcpConnection, TimeoutAndCloseDuringExactRead) {
  Pair p;
  ASSERT_TRUE(p.client->WriteAll("0123").ok());
  std::string out;
  IoResult r = p.server->ReadExact(32, out, 100ms);
  EXPECT_EQ(r.status, IoStatus::kTimeout);
  EXPECT_TRUE(out.empty());

  ASSERT_TRUE(p.client->WriteAll("abc").ok());
  p.client.reset();
  r = p.server->ReadExact(32, out, 2000ms);
  EXPECT_EQ(r.status, IoStatus::kClosed);
  std::string line;
  EXPECT_EQ(p.server->ReadLine(line, 100).status, IoStatus::kClosed);
}

TEST(TcpConnection, LargeExactReadArrivesWhole) {
  Pair p;
  std::string big(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  auto writer = std::async(std::launch::async, [&] { return p.client->WriteAll(big + "tail\r\n"); });
  std::string out;
  ASSERT_TRUE(p.server->ReadExact(big.size(), out).ok());
  EXPECT_TRUE(out == big);
  std::string line;
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "tail");
  EXPECT_TRUE(writer.get().ok());
}

TEST(TcpConnection, AnnouncedLengthCostsNoMemoryBeforeTheBytesArrive) {
  // A length no process could hold: the read must fail on the close, not on
  // allocating what was announced.
  Pair p;
  ASSERT_TRUE(p.client->WriteAll("0123456789").ok());
  p.client.reset();
  std::string out;
  EXPECT_EQ(p.server->ReadExact(std::size_t{1} << 40, out, 2000ms).status, IoStatus::kClosed);
  EXPECT_TRUE(out.empty());
}

TEST(TcpConnection, WaitForInputConsumesNothing) {
  Pair p;
  EXPECT_EQ(p.server->WaitForInput(50ms).status, IoStatus::kTimeout);
  ASSERT_TRUE(p.client->WriteAll("one\r\ntwo\r\n").ok());
  EXPECT_TRUE(p.server->WaitForInput(2000ms).ok());
  std::string line;
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "one");
  // The second line is buffered already: ready without the socket.
  EXPECT_TRUE(p.server->WaitForInput(0ms).ok());
  ASSERT_TRUE(p.server->ReadLine(line, 100).ok());
  EXPECT_EQ(line, "two");
  // A close is input too: the next read reports it.
  p.client.reset();
  EXPECT_TRUE(p.server->WaitForInput(2000ms).ok());
  EXPECT_EQ(p.server->ReadLine(line, 100).status, IoStatus::kClosed);
  p.server->Shutdown();
  EXPECT_EQ(p.server->WaitForInput().status, IoStatus::kClosed);
}

TEST(TcpConnection, ShutdownFromAnotherThreadWakesBlockedReaders) {
  Pair p;
  auto line_reader = std::async(std::launch::async, [&] {
    std::string line;
    return p.server->ReadLine(line, 100);
  });
  p.server->Shutdown();
  EXPECT_EQ(line_reader.get().status, IoStatus::kClosed);
  std::string out;
  EXPECT_EQ(p.server->ReadExact(1, out).status, IoStatus::kClosed);
  EXPECT_EQ(p.server->WriteAll("x").status, IoStatus::kClosed);
  // The peer sees the close too.
  EXPECT_EQ(p.client->ReadExact(1, out, 2000ms).status, IoStatus::kClosed);
}

TEST(TcpConnection, WriteToClosedPeerFailsWithoutSignal) {
  Pair p;
  p.server.reset();
  IoResult r;
  const std::string chunk(64 * 1024, 'x');
  // The first writes may still be buffered locally; the reset arrives soon.
  for (int i = 0; i < 1000 && r.ok(); ++i) r = p.client->WriteAll(chunk);
  ASSERT_EQ(r.status, IoStatus::kError);
  EXPECT_TRUE(r.error_number == EPIPE || r.error_number == ECONNRESET) << r.error_number;
}

TEST(TcpConnection, PeerAddressAndPorts) {
  Pair p;
  EXPECT_EQ(p.server->PeerAddress(), "127.0.0.1");
  EXPECT_EQ(p.server->PeerPort(), p.client->LocalPort());
  EXPECT_EQ(p.client->PeerPort(), p.listener.Port());
  EXPECT_EQ(p.client->PeerAddress(), "127.0.0.1");
}

TEST(TcpConnection, ConnectFailures) {
  std::unique_ptr<TcpConnection> c;
  EXPECT_EQ(TcpConnection::Connect("not-an-address", 80, 100ms, c).error_number, EINVAL);
  std::uint16_t free_port;
  {
    TcpListener l;
    ASSERT_TRUE(l.Open(0).ok());
    free_port = l.Port();
  }
  IoResult r = TcpConnection::Connect("127.0.0.1", free_port, 2000ms, c);
  EXPECT_EQ(r.status, IoStatus::kError);
  EXPECT_EQ(r.error_number, ECONNREFUSED);
  EXPECT_EQ(c, nullptr);
}

TEST(TcpListener, StopWakesAcceptAndKeepsItClosed) {
  TcpListener l;
  ASSERT_TRUE(l.Open(0).ok());
  auto acceptor = std::async(std::launch::async, [&] {
    std::unique_ptr<TcpConnection> c;
    return l.Accept(c);
  });
  l.Stop();
  EXPECT_EQ(acceptor.get().status, IoStatus::kClosed);
  std::unique_ptr<TcpConnection> c;
  EXPECT_EQ(l.Accept(c).status, IoStatus::kClosed);
}

TEST(TcpListener, PortInUseAndReuseAfterClose) {
  std::uint16_t port;
  {
    Pair p;
    port = p.listener.Port();
    TcpListener second;
    EXPECT_EQ(second.Open(port).error_number, EADDRINUSE);
    // The server side closes first, leaving its end in TIME_WAIT.
    p.server.reset();
    std::string out;
    EXPECT_EQ(p.client->ReadExact(1, out, 2000ms).status, IoStatus::kClosed);
  }
  TcpListener again;
  EXPECT_TRUE(again.Open(port).ok()) << "SO_REUSEADDR lets a restarted server bind at once";
}

}  // namespace
}  // namespace kavor2::platform
