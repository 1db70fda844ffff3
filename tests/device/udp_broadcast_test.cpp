// The UDP transport's broadcast receiver: datagrams sent to a broadcast
// address of the line's port are handed over like the others, while the
// line's own addresses stay its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/test_bytes.h"
#include "device/udp_kavor.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using test::ByteString;
using test::DeviceSocket;
using test::Hex;

// What the transport handed over, with the sender and the local address.
class Arrivals {
 public:
  struct Arrival {
    ByteString bytes;
    std::string peer_host;
    std::string local_address;
  };
  void Attach(TUdpKavor& transport) {
    transport.SetOnReceive([this, &transport] {
      const auto bytes = transport.InBuffer().Bytes();
      {
        std::lock_guard lock(mutex_);
        items_.push_back({ByteString(bytes.begin(), bytes.end()), transport.PeerHost(), transport.LocalAddress()});
      }
      changed_.notify_all();
    });
  }
  // Waits until something with these bytes arrived and returns it.
  std::optional<Arrival> WaitFor(const ByteString& bytes) {
    std::unique_lock lock(mutex_);
    std::optional<Arrival> found;
    changed_.wait_for(lock, test::kLineDeadline, [&] {
      for (const Arrival& a : items_) {
        if (a.bytes == bytes) found = a;
      }
      return found.has_value();
    });
    return found;
  }
  std::vector<Arrival> All() {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Arrival> items_;
};

bool CanBind(const std::string& address, int port, bool share) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  const int on = 1;
  if (share) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in a = test::SocketAddress(address, static_cast<std::uint16_t>(port));
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return bound;
}

class UdpBroadcastReceiver : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::FreeUdpPort();
    transport_.SetPort(port_);
    ASSERT_TRUE(transport_.Open());
    arrivals_.Attach(transport_);
  }
  void TearDown() override { transport_.SetOnReceive(nullptr); }

  TUdpKavor transport_{nullptr, [] { return std::vector<std::string>{"127.0.0.1"}; }};
  Arrivals arrivals_;
  int port_ = 0;
};

TEST_F(UdpBroadcastReceiver, BroadcastsArriveAndUnicastsToOtherAddressesDoNot) {
  DeviceSocket device("127.0.0.2");
  // To an address the line did not bind: not the line's.
  device.SendTo("127.0.0.3", port_, Hex("ED 9C 22 03"));
  struct Case {
    const char* to;
    const char* bytes;
  };
  for (const Case& c : std::vector<Case>{
           {"127.0.0.1", "ED 9C 22 01"}, {"127.255.255.255", "ED 9C 22 02"}, {"255.255.255.255", "ED 9C 22 04"}}) {
    SCOPED_TRACE(c.to);
    device.SendTo(c.to, port_, Hex(c.bytes));
    const auto arrival = arrivals_.WaitFor(Hex(c.bytes));
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->peer_host, "127.0.0.2");
    // The interface's address, one the line listens on, so answers leave
    // from it.
    EXPECT_EQ(arrival->local_address, "127.0.0.1");
  }
  // Each once; nothing else. The unicast to the other address was sent
  // first, and would have been handed over before the broadcasts.
  std::vector<ByteString> seen;
  for (const auto& a : arrivals_.All()) seen.push_back(a.bytes);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<ByteString>{Hex("ED 9C 22 01"), Hex("ED 9C 22 02"), Hex("ED 9C 22 04")}));
}

TEST_F(UdpBroadcastReceiver, TheLinesAddressesStayExclusive) {
  EXPECT_FALSE(CanBind("127.0.0.1", port_, false));
  EXPECT_FALSE(CanBind("0.0.0.0", port_, false));
  // A second line on the port is refused as before.
  TUdpKavor second(nullptr, [] { return std::vector<std::string>{"127.0.0.1"}; });
  second.SetPort(port_);
  EXPECT_THROW(second.Open(), ECommError);
  transport_.Close();
  EXPECT_TRUE(CanBind("127.0.0.1", port_, false));
  EXPECT_TRUE(CanBind("0.0.0.0", port_, false));
}

TEST(UdpBroadcastReceiverUnavailable, TheLineWorksWithoutItAndStaysExclusive) {
  // Another program holds the port on a loopback address the line does not
  // use, so the port cannot be had on every address.
  const int port = test::FreeUdpPort();
  DeviceSocket occupant("127.0.0.5", static_cast<std::uint16_t>(port));
  TUdpKavor transport(nullptr, [] { return std::vector<std::string>{"127.0.0.1"}; });
  transport.SetPort(port);
  ASSERT_TRUE(transport.Open());
  Arrivals arrivals;
  arrivals.Attach(transport);
  DeviceSocket device("127.0.0.2");
  device.SendTo("127.0.0.1", port, Hex("ED 9C 22 01"));
  EXPECT_TRUE(arrivals.WaitFor(Hex("ED 9C 22 01")));
  // Not even a socket that asks to share gets the line's address.
  EXPECT_FALSE(CanBind("127.0.0.1", port, true));
  transport.SetOnReceive(nullptr);
}

}  // namespace
}  // namespace kavor2::device
