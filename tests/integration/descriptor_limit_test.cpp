// The real program with few descriptors (ulimit -n 64) flooded with more
// client connections than fit: it refuses the surplus at once, does not spin
// while flooded, keeps answering the clients it took, and takes new clients
// again once connections are freed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/process_runner.h"
#include "loopback_peer.h"
#include "platform/tcp.h"

namespace kavor2::testing {
namespace {

using namespace std::chrono_literals;
using loopback::ClosedByPeer;
using loopback::ConnectRaw;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kAnswerTimeout = 10s;
constexpr milliseconds kSettle = 1s;
constexpr milliseconds kFloodWindow = 2s;
constexpr milliseconds kFloodPace = 5ms;
constexpr int kDescriptorLimit = 64;
constexpr int kFloodConnections = 200;
// A busy accepting loop would use a whole core.
constexpr double kMaxCpuShare = 0.5;

const std::string kListMethodsCall =
    "<?xml version=\"1.0\"?><methodCall><methodName>system.listMethods</methodName><params></params></methodCall>";

std::string PostRequest(const std::string& body) {
  return "POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// One call on an open connection; true when a methodResponse came back.
bool CallAnswered(platform::TcpConnection& c) {
  if (!c.WriteAll(PostRequest(kListMethodsCall)).ok()) return false;
  std::string body;
  return loopback::ReadHttpResponse(c, body, kAnswerTimeout) && body.find("<methodResponse>") != std::string::npos;
}

// A fresh connection that answers a call.
bool NewClientAnswered(std::uint16_t port) {
  std::unique_ptr<platform::TcpConnection> c;
  return platform::TcpConnection::Connect("127.0.0.1", port, kAnswerTimeout, c).ok() && CallAnswered(*c);
}

double CpuSeconds(pid_t pid) { return loopback::ReadProcessFigures(pid).cpu_seconds; }

TEST(DescriptorLimit, FloodBeyondTheLimitIsRefusedCheaplyAndServiceRecovers) {
  TempDir dir;
  const std::uint16_t port = FreePort();
  // The shell sets soft and hard limit alike, so the service cannot raise it.
  ChildProcess service("/bin/sh",
                       {"-c", "ulimit -n " + std::to_string(kDescriptorLimit) + " && exec \"$0\" \"$@\"",
                        ServiceProgram().string(), "/eventlog=" + (dir / "events.log").string(),
                        "/port=" + std::to_string(port), "/noncrypt", "/datadir=" + dir.Path().string()},
                       {{"NOTIFY_SOCKET", std::nullopt}});
  ASSERT_TRUE(WaitForPort(port, kStartTimeout)) << service.Stderr();

  std::unique_ptr<platform::TcpConnection> early;
  ASSERT_TRUE(platform::TcpConnection::Connect("127.0.0.1", port, kAnswerTimeout, early).ok());
  ASSERT_TRUE(CallAnswered(*early));

  std::vector<int> flood;
  for (int i = 0; i < kFloodConnections; ++i) {
    int fd = ConnectRaw(port);
    if (fd >= 0) flood.push_back(fd);
  }
  std::this_thread::sleep_for(kSettle);
  std::size_t refused = 0;
  for (int fd : flood) refused += ClosedByPeer(fd) ? 1 : 0;
  EXPECT_GT(refused, 0u) << "every connection was kept: the limit was not reached";
  EXPECT_LT(refused, flood.size()) << "no connection was kept";

  // Still flooded: new clients keep coming and are refused.
  std::atomic<bool> stop{false};
  std::thread flooder([&] {
    while (!stop.load()) {
      int fd = ConnectRaw(port);
      if (fd >= 0) ::close(fd);
      std::this_thread::sleep_for(kFloodPace);
    }
  });
  const double cpu_before = CpuSeconds(service.Pid());
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(kFloodWindow);
  const double cpu = CpuSeconds(service.Pid()) - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
  stop.store(true);
  flooder.join();
  EXPECT_LT(cpu, kMaxCpuShare * wall) << "service CPU " << cpu << " s in " << wall << " s while flooded";

  // The clients it took are served throughout.
  EXPECT_TRUE(CallAnswered(*early));

  for (int fd : flood) ::close(fd);
  EXPECT_TRUE(WaitUntil([&] { return NewClientAnswered(port); }, kAnswerTimeout))
      << "no new client served after the flood ended";
  EXPECT_TRUE(service.Running());
}

}  // namespace
}  // namespace kavor2::testing
