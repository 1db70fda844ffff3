#include "device/udp_kavor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/test_bytes.h"
#include "device/udp_datagram.h"

namespace kavor2::device {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 5s;
const std::string kFirst = "127.0.0.1";
const std::string kSecond = "127.0.0.2";

// A socket of the test playing a device: independent of the transport's own
// socket code, so a fault there is not mirrored here.
class PeerSocket {
 public:
  struct Datagram {
    Bytes bytes;
    std::string host;
    int port = 0;
  };

  explicit PeerSocket(const std::string& address = kFirst, std::uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in a = Address(address, port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno));
    }
  }
  ~PeerSocket() { ::close(fd_); }
  PeerSocket(const PeerSocket&) = delete;
  PeerSocket& operator=(const PeerSocket&) = delete;

  int Port() const {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
  }

  void SendTo(const std::string& host, int port, const Bytes& bytes) const {
    if (!TrySendTo(host, port, bytes)) throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
  }
  bool TrySendTo(const std::string& host, int port, const Bytes& bytes) const {
    sockaddr_in a = Address(host, static_cast<std::uint16_t>(port));
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(bytes.size());
  }

  // The next datagram, or nothing when none comes within the deadline.
  std::optional<Datagram> Receive(std::chrono::milliseconds timeout = kDeadline) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Datagram d;
    d.bytes.resize(65536);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    d.host = text;
    d.port = ntohs(from.sin_port);
    return d;
  }

 private:
  static sockaddr_in Address(const std::string& host, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) throw std::runtime_error("address " + host);
    return a;
  }

  int fd_ = -1;
};

// A port that is free on every local address right now.
int FreePort() {
  PeerSocket probe("0.0.0.0", 0);
  return probe.Port();
}

// Whether a socket of the test can bind the port, i.e. the transport let it go.
bool PortIsFree(const std::string& address, int port) {
  try {
    PeerSocket probe(address, static_cast<std::uint16_t>(port));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

template <typename Condition>
bool WaitUntil(Condition condition) {
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

LocalAddressQuery Addresses(std::vector<std::string> list) {
  return [list] { return list; };
}

class FakeDevice : public ICommDevice {
 public:
  FakeDevice(std::string host, int port, std::string local = {})
      : host_(std::move(host)), port_(port), local_(std::move(local)) {}
  std::string CommHost() const override {
    std::lock_guard lock(mutex_);
    return host_;
  }
  int CommPort() const override {
    std::lock_guard lock(mutex_);
    return port_;
  }
  std::string CommLocalAddress() const override {
    std::lock_guard lock(mutex_);
    return local_;
  }
  void SetCommHost(const std::string& host) override {
    std::lock_guard lock(mutex_);
    host_ = host;
  }
  void SetCommPort(int port) override {
    std::lock_guard lock(mutex_);
    port_ = port;
  }

 private:
  mutable std::mutex mutex_;
  std::string host_;
  int port_;
  std::string local_;
};

// What the receive handler saw of one datagram.
struct Arrival {
  Bytes bytes;
  std::string peer_host;
  int peer_port = 0;
  std::string local_address;
  bool checked = false;
  bool data_flag = false;
  Bytes rest;  // InBuffer behind the prefix when the check passed
};

// Records every datagram the transport hands to OnReceive.
class Recorder {
 public:
  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  // Clearing the handler waits for a running call, so none outlives this.
  ~Recorder() {
    if (attached_ != nullptr) attached_->SetOnReceive(nullptr);
  }

  void Attach(TUdpKavor& transport) {
    attached_ = &transport;
    transport.SetOnReceive([this, &transport] { Record(transport); });
  }

  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return arrivals_.size() >= count; });
  }

  std::vector<Arrival> Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  void Record(TUdpKavor& t) {
    Arrival a;
    const auto all = t.InBuffer().Bytes();
    a.bytes.assign(all.begin(), all.end());
    a.peer_host = t.PeerHost();
    a.peer_port = t.PeerPort();
    a.local_address = t.LocalAddress();
    a.checked = t.CheckReceived(a.data_flag);
    if (a.checked) {
      const auto rest = t.InBuffer().Rest();
      a.rest.assign(rest.begin(), rest.end());
    }
    std::lock_guard lock(mutex_);
    arrivals_.push_back(std::move(a));
    cv_.notify_all();
  }

  TUdpKavor* attached_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Arrival> arrivals_;
};

// Clears a handler that refers to locals of a test before they go.
class ClearHandlerOnExit {
 public:
  explicit ClearHandlerOnExit(TUdpKavor& t) : t_(t) {}
  ~ClearHandlerOnExit() { t_.SetOnReceive(nullptr); }
  ClearHandlerOnExit(const ClearHandlerOnExit&) = delete;
  ClearHandlerOnExit& operator=(const ClearHandlerOnExit&) = delete;

 private:
  TUdpKavor& t_;
};

void SendFrame(TUdpKavor& t, ICommDevice* device, bool data_flag, const Bytes& payload, bool expect = true) {
  ASSERT_TRUE(t.BeginPacket(device, data_flag, 1));
  t.SetData(payload);
  EXPECT_EQ(t.Send(device), expect);
}

std::set<std::string> OpenDescriptors() {
  std::set<std::string> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  while (const dirent* e = ::readdir(dir)) out.insert(e->d_name);
  ::closedir(dir);
  return out;
}

// ---------------------------------------------------------------------------

TEST(UdpDatagramPrefix, KindsAndRejects) {
  struct Case {
    const char* datagram;
    bool valid;
    bool data;
  };
  const Case cases[] = {
      {"", false, false},
      {"ED 9C", false, false},          // too short
      {"ED 9D 20 01", false, false},    // second marker
      {"EC 9C 20 01", false, false},    // first marker
      {"ED 9C 12 01", false, false},    // transport version 1
      {"ED 9C 20", true, true},         // K2 packet, nothing behind
      {"ED 9C 20 0B 00", true, true},
      {"ED 9C 22 01 02", true, false},  // ID exchange
      {"ED 9C 2F 01", true, false},     // any other kind counts as ID exchange
  };
  for (const Case& c : cases) {
    bool flag = !c.data;
    EXPECT_EQ(ParseDatagramPrefix(Hex(c.datagram), flag), c.valid) << c.datagram;
    if (c.valid) {
      EXPECT_EQ(flag, c.data) << c.datagram;
    }
  }
  const DatagramPrefix data = MakeDatagramPrefix(true);
  const DatagramPrefix exchange = MakeDatagramPrefix(false);
  EXPECT_EQ(Bytes(data.begin(), data.end()), Hex("ED 9C 20"));
  EXPECT_EQ(Bytes(exchange.begin(), exchange.end()), Hex("ED 9C 22"));
}

TEST(UdpKavor, ConstructedClosedWithLineDefaults) {
  TUdpKavor t(nullptr, Addresses({kFirst}));
  EXPECT_FALSE(t.IsOpen());
  EXPECT_EQ(t.GetPort(), 40000);
  EXPECT_EQ(t.DevicePort(), 0);
  EXPECT_EQ(t.BroadcastInterval(), 0);
  EXPECT_EQ(t.IdRequestInterval(), 10);
  EXPECT_FALSE(t.SendViaListenSockets());
  EXPECT_EQ(t.CommandTimeOut(), 2000);
  EXPECT_EQ(t.ConnectTimeOut(), 30);
  EXPECT_EQ(t.DeviceTimeLimit(), 2);
  EXPECT_EQ(t.CurrentDevice(), nullptr);
  EXPECT_FALSE(t.ReceiveFrame(0));
  EXPECT_TRUE(t.SenderOnWire());
  EXPECT_TRUE(t.ReceiverOnWire());
  DeviceId id{};
  t.SearchNewDevice(id);
  EXPECT_EQ(id, NoId);
}

// ---------------------------------------------------------------------------
// Receiving

class UdpKavorReceive : public ::testing::Test {
 protected:
  void OpenOn(std::vector<std::string> addresses) {
    transport_ = std::make_unique<TUdpKavor>(nullptr, Addresses(std::move(addresses)));
    port_ = FreePort();
    transport_->SetPort(port_);
    ASSERT_TRUE(transport_->Open());
  }

  std::unique_ptr<TUdpKavor> transport_;
  int port_ = 0;
};

TEST_F(UdpKavorReceive, PrefixIsCheckedAndSenderRecorded) {
  OpenOn({kFirst});
  Recorder recorder;
  recorder.Attach(*transport_);
  PeerSocket device;
  const std::vector<std::pair<const char*, bool>> datagrams = {
      {"ED 9C", false}, {"ED 9D 20 01 02", false}, {"ED 9C 12 01", false},
      {"ED 9C 20 0B 00 C0", true}, {"ED 9C 22 01 AB 05 04 03 02 01", true}, {"ED 9C 2F 00", true},
  };
  for (const auto& [hex, valid] : datagrams) device.SendTo(kFirst, port_, Hex(hex));
  ASSERT_TRUE(recorder.WaitFor(datagrams.size()));

  const std::vector<Arrival> got = recorder.Arrivals();
  ASSERT_EQ(got.size(), datagrams.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const Bytes sent = Hex(datagrams[i].first);
    EXPECT_EQ(got[i].bytes, sent) << i;
    EXPECT_EQ(got[i].checked, datagrams[i].second) << i;
    EXPECT_EQ(got[i].peer_host, kFirst);
    EXPECT_EQ(got[i].peer_port, device.Port());
    EXPECT_EQ(got[i].local_address, kFirst);
    if (got[i].checked) {
      EXPECT_EQ(got[i].rest, Bytes(sent.begin() + 3, sent.end())) << i;
    }
  }
  EXPECT_TRUE(got[3].data_flag);
  EXPECT_FALSE(got[4].data_flag);
  EXPECT_FALSE(got[5].data_flag);
}

TEST_F(UdpKavorReceive, ArrivalOrderPerSenderAcrossLocalAddresses) {
  OpenOn({kFirst, kSecond});
  Recorder recorder;
  recorder.Attach(*transport_);
  PeerSocket to_first(kFirst);
  PeerSocket to_second(kSecond);
  constexpr int kEach = 50;
  for (int i = 0; i < kEach; ++i) {
    to_first.SendTo(kFirst, port_, {0xED, 0x9C, 0x20, static_cast<std::uint8_t>(i)});
    to_second.SendTo(kSecond, port_, {0xED, 0x9C, 0x20, static_cast<std::uint8_t>(i)});
  }
  ASSERT_TRUE(recorder.WaitFor(2 * kEach));

  std::vector<int> via_first;
  std::vector<int> via_second;
  for (const Arrival& a : recorder.Arrivals()) {
    ASSERT_EQ(a.bytes.size(), 4u);
    if (a.local_address == kFirst) {
      EXPECT_EQ(a.peer_port, to_first.Port());
      via_first.push_back(a.bytes[3]);
    } else {
      EXPECT_EQ(a.local_address, kSecond);
      EXPECT_EQ(a.peer_host, kSecond);
      EXPECT_EQ(a.peer_port, to_second.Port());
      via_second.push_back(a.bytes[3]);
    }
  }
  std::vector<int> expected(kEach);
  for (int i = 0; i < kEach; ++i) expected[i] = i;
  EXPECT_EQ(via_first, expected);
  EXPECT_EQ(via_second, expected);
}

TEST_F(UdpKavorReceive, OversizeDatagramsAreDropped) {
  OpenOn({kFirst});
  Recorder recorder;
  recorder.Attach(*transport_);
  PeerSocket device;
  Bytes largest(kMaxDatagramSize, 0x5A);
  Bytes one_over(kMaxDatagramSize + 1, 0xA5);
  Bytes far_over(60000, 0x33);
  device.SendTo(kFirst, port_, one_over);
  device.SendTo(kFirst, port_, largest);
  device.SendTo(kFirst, port_, far_over);
  device.SendTo(kFirst, port_, Hex("ED 9C 22 00"));
  ASSERT_TRUE(recorder.WaitFor(2));

  const std::vector<Arrival> got = recorder.Arrivals();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, largest);
  EXPECT_EQ(got[1].bytes, Hex("ED 9C 22 00"));
}

TEST_F(UdpKavorReceive, SenderFieldsFollowDatagramsWithoutHandler) {
  OpenOn({kFirst, kSecond});
  ASSERT_FALSE(transport_->HasOnReceive());
  PeerSocket one(kFirst);
  PeerSocket two(kSecond);
  one.SendTo(kFirst, port_, Hex("ED 9C 20"));
  ASSERT_TRUE(WaitUntil([&] { return transport_->PeerPort() == one.Port(); }));
  EXPECT_EQ(transport_->PeerHost(), kFirst);
  EXPECT_EQ(transport_->LocalAddress(), kFirst);
  two.SendTo(kSecond, port_, Hex("ED 9C 20"));
  ASSERT_TRUE(WaitUntil([&] { return transport_->PeerPort() == two.Port(); }));
  EXPECT_EQ(transport_->PeerHost(), kSecond);
  EXPECT_EQ(transport_->LocalAddress(), kSecond);
}

TEST_F(UdpKavorReceive, HandlerLearnsDeviceAddressAndErrorsDoNotStopReception) {
  OpenOn({kFirst});
  FakeDevice learnt("192.0.2.1", 1);
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Bytes> handled;
  ClearHandlerOnExit clear(*transport_);
  transport_->SetOnReceive([&] {
    const auto bytes = transport_->InBuffer().Bytes();
    {
      std::lock_guard lock(mutex);
      handled.emplace_back(bytes.begin(), bytes.end());
    }
    cv.notify_all();
    transport_->TakeDeviceHost(nullptr);  // no device: nothing to do
    transport_->TakeDeviceHost(&learnt);
    transport_->TakeDevicePort(&learnt);
    if (bytes.size() == 1) throw std::runtime_error("bad frame");
  });
  PeerSocket device;
  device.SendTo(kFirst, port_, {0x01});  // the handler throws on this one
  device.SendTo(kFirst, port_, Hex("ED 9C 20 01"));
  std::unique_lock lock(mutex);
  ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return handled.size() == 2; }));
  EXPECT_EQ(handled[1], Hex("ED 9C 20 01"));
  EXPECT_EQ(learnt.CommHost(), kFirst);
  EXPECT_EQ(learnt.CommPort(), device.Port());
}

TEST_F(UdpKavorReceive, OwnDatagramsAreHandedOverLikeOthers) {
  OpenOn({kFirst});
  Recorder recorder;
  recorder.Attach(*transport_);
  FakeDevice self(kFirst, port_);
  SendFrame(*transport_, &self, false, Hex("01 11 22 33 44 55 66"));
  ASSERT_TRUE(recorder.WaitFor(1));
  const Arrival a = recorder.Arrivals()[0];
  EXPECT_EQ(a.bytes, Hex("ED 9C 22 01 11 22 33 44 55 66"));
  EXPECT_EQ(a.peer_host, kFirst);
  EXPECT_NE(a.peer_port, port_);  // left from the sending socket
  EXPECT_EQ(a.local_address, kFirst);
}

TEST(UdpKavorNoAddress, ListensOnAnyAddressAndHasNothingToSendFrom) {
  TUdpKavor t(nullptr, Addresses({}));
  const int port = FreePort();
  t.SetPort(port);
  ASSERT_TRUE(t.Open());
  Recorder recorder;
  recorder.Attach(t);
  PeerSocket device;
  device.SendTo(kFirst, port, Hex("ED 9C 20"));
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(recorder.Arrivals()[0].local_address, TUdpKavor::kAnyAddress);
  FakeDevice target(kFirst, device.Port());
  SendFrame(t, &target, true, Hex("0B"), false);
}

// ---------------------------------------------------------------------------
// Sending

class UdpKavorSend : public ::testing::Test {
 protected:
  void SetUp() override {
    transport_ = std::make_unique<TUdpKavor>(nullptr, Addresses({kFirst, kSecond}));
    port_ = FreePort();
    transport_->SetPort(port_);
    ASSERT_TRUE(transport_->Open());
  }

  // The sources of what the device got after the frame under test: a marker
  // follows through every socket, and what came before it is the answer.
  // Call it with SendViaListenSockets as for the frame, so each marker leaves
  // through a socket the frame could have used and queues behind it.
  std::vector<PeerSocket::Datagram> ReceivedBeforeMarkers(const PeerSocket& device) {
    FakeDevice everywhere(kFirst, device.Port());
    SendFrame(*transport_, &everywhere, false, Hex("FF"));
    std::vector<PeerSocket::Datagram> before;
    int markers = 0;
    while (markers < 2) {
      std::optional<PeerSocket::Datagram> d = device.Receive();
      if (!d) {
        ADD_FAILURE() << "marker missing";
        break;
      }
      if (d->bytes == Hex("ED 9C 22 FF")) {
        ++markers;
      } else if (markers == 0) {
        before.push_back(*d);
      }
    }
    return before;
  }

  std::unique_ptr<TUdpKavor> transport_;
  int port_ = 0;
};

TEST_F(UdpKavorSend, FrameCarriesPrefixAndData) {
  PeerSocket device;
  FakeDevice target(kFirst, device.Port(), kFirst);
  ASSERT_TRUE(transport_->BeginPacket(&target, true, 1));
  transport_->SetData(Hex("0B 00 C0"));
  transport_->SetData(Hex("01 02"));  // appended behind the first part
  ASSERT_TRUE(transport_->Send(&target));
  EXPECT_EQ(transport_->LastSentSize(), 8);
  std::optional<PeerSocket::Datagram> d = device.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->bytes, Hex("ED 9C 20 0B 00 C0 01 02"));

  // A new frame starts afresh, with the ID exchange kind.
  SendFrame(*transport_, &target, false, Hex("00 01 02 03 04 05 06"));
  d = device.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->bytes, Hex("ED 9C 22 00 01 02 03 04 05 06"));
  EXPECT_EQ(transport_->LastSentSize(), 10);
}

TEST_F(UdpKavorSend, DeviceLocalAddressChoosesTheSockets) {
  struct Case {
    std::string local;
    bool via_listen;
    bool sent;
    std::vector<std::string> sources;
  };
  const Case cases[] = {
      {"", false, true, {kFirst, kSecond}},
      {kSecond, false, true, {kSecond}},
      {kFirst, false, true, {kFirst}},
      {"192.0.2.77", false, false, {}},  // names neither address: nothing goes out
      {"", true, true, {kFirst, kSecond}},
      {kSecond, true, true, {kSecond}},
  };
  PeerSocket device("0.0.0.0");
  for (const Case& c : cases) {
    SCOPED_TRACE("local '" + c.local + "' via listen " + std::to_string(c.via_listen));
    transport_->SetSendViaListenSockets(c.via_listen);
    FakeDevice target(kFirst, device.Port(), c.local);
    SendFrame(*transport_, &target, true, Hex("0B"), c.sent);

    std::vector<std::string> sources;
    for (const PeerSocket::Datagram& d : ReceivedBeforeMarkers(device)) {
      EXPECT_EQ(d.bytes, Hex("ED 9C 20 0B"));
      sources.push_back(d.host);
      if (c.via_listen) {
        EXPECT_EQ(d.port, port_);
      } else {
        EXPECT_NE(d.port, port_);
      }
    }
    std::sort(sources.begin(), sources.end());
    EXPECT_EQ(sources, c.sources);
  }
}

TEST_F(UdpKavorSend, BroadcastGoesToDevicePortThroughEverySocket) {
  PeerSocket listener("0.0.0.0");
  transport_->SetDevicePort(listener.Port());
  for (const bool via_listen : {false, true}) {
    SCOPED_TRACE(via_listen);
    transport_->SetSendViaListenSockets(via_listen);
    SendFrame(*transport_, nullptr, false, Hex("01 AA BB CC DD EE FF"));
    std::vector<std::string> sources;
    for (int i = 0; i < 2; ++i) {
      std::optional<PeerSocket::Datagram> d = listener.Receive();
      ASSERT_TRUE(d);
      EXPECT_EQ(d->bytes, Hex("ED 9C 22 01 AA BB CC DD EE FF"));
      EXPECT_EQ(d->port == port_, via_listen);
      sources.push_back(d->host);
    }
    std::sort(sources.begin(), sources.end());
    EXPECT_EQ(sources, (std::vector<std::string>{kFirst, kSecond}));
  }
}

TEST_F(UdpKavorSend, UnusableDestinationFails) {
  const std::pair<std::string, int> bad[] = {
      {"", 40001}, {"localhost", 40001}, {"127.0.0.1 ", 40001}, {kFirst, -1}, {kFirst, 65536}, {kFirst, 0},
  };
  for (const auto& [host, port] : bad) {
    SCOPED_TRACE(host + ":" + std::to_string(port));
    FakeDevice target(host, port);
    SendFrame(*transport_, &target, true, Hex("0B"), false);
  }
  transport_->SetDevicePort(0);  // broadcast with no device port
  SendFrame(*transport_, nullptr, true, Hex("0B"), false);
  transport_->Close();
  PeerSocket device;
  FakeDevice target(kFirst, device.Port());
  SendFrame(*transport_, &target, true, Hex("0B"), false);
}

// ---------------------------------------------------------------------------
// Opening, closing, changing the port

TEST(UdpKavorLifecycle, SetPortMovesAnOpenTransport) {
  TUdpKavor t(nullptr, Addresses({kFirst}));
  Recorder recorder;
  recorder.Attach(t);
  const int old_port = FreePort();
  t.SetPort(old_port);
  ASSERT_TRUE(t.Open());
  EXPECT_FALSE(PortIsFree(kFirst, old_port));

  int new_port = FreePort();
  while (new_port == old_port) new_port = FreePort();
  t.SetPort(new_port);
  EXPECT_TRUE(t.IsOpen());
  EXPECT_EQ(t.GetPort(), new_port);
  EXPECT_TRUE(PortIsFree(kFirst, old_port));
  EXPECT_FALSE(PortIsFree(kFirst, new_port));
  PeerSocket device;
  device.SendTo(kFirst, new_port, Hex("ED 9C 20 01"));
  ASSERT_TRUE(recorder.WaitFor(1));

  // The same port again re-opens on it.
  t.SetPort(new_port);
  EXPECT_TRUE(t.IsOpen());
  device.SendTo(kFirst, new_port, Hex("ED 9C 20 02"));
  ASSERT_TRUE(recorder.WaitFor(2));
  EXPECT_EQ(recorder.Arrivals()[1].bytes, Hex("ED 9C 20 02"));

  // Closed, it only takes the value.
  t.Close();
  t.SetPort(old_port);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_TRUE(PortIsFree(kFirst, old_port));
}

TEST(UdpKavorLifecycle, ActivationErrorsRaiseAndLeaveItClosed) {
  const int port = FreePort();
  PeerSocket occupant(kSecond, static_cast<std::uint16_t>(port));
  const std::string in_use = std::strerror(EADDRINUSE);

  // The second address is taken: the first must not stay bound either.
  TUdpKavor t(nullptr, Addresses({kFirst, kSecond}));
  t.SetPort(port);
  try {
    t.Open();
    ADD_FAILURE() << "opened on a port in use";
  } catch (const ECommError& e) {
    EXPECT_NE(std::string(e.what()).find(in_use), std::string::npos) << e.what();
  }
  EXPECT_FALSE(t.IsOpen());
  EXPECT_TRUE(PortIsFree(kFirst, port));

  // A failed SetPort on an open transport: closed, and holding the new port.
  const int good = FreePort();
  t.SetPort(good);
  ASSERT_TRUE(t.Open());
  EXPECT_THROW(t.SetPort(port), ECommError);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_EQ(t.GetPort(), port);
  EXPECT_TRUE(PortIsFree(kFirst, good));

  for (const int invalid : {-1, 65536}) {
    t.SetPort(invalid);
    EXPECT_THROW(t.Open(), ECommError) << invalid;
    EXPECT_FALSE(t.IsOpen());
  }
}

TEST(UdpKavorLifecycle, RepeatedOpenCloseUnderTrafficReleasesEverything) {
  const std::set<std::string> descriptors_before = OpenDescriptors();
  const int port = FreePort();
  {
    TUdpKavor t(nullptr, Addresses({kFirst, kSecond}));
    Recorder recorder;
    recorder.Attach(t);
    t.SetPort(port);
    std::atomic<bool> stop{false};
    // A bounded flood at both addresses while the transport opens and closes.
    std::thread flood([&] {
      PeerSocket device;
      const auto until = std::chrono::steady_clock::now() + kDeadline;
      for (int i = 0; i < 200000 && !stop.load() && std::chrono::steady_clock::now() < until; ++i) {
        // Refusals while the transport is closed are expected.
        device.TrySendTo(i % 2 == 0 ? kFirst : kSecond, port, Hex("ED 9C 20 00"));
      }
    });
    for (int round = 0; round < 30; ++round) {
      ASSERT_TRUE(t.Open());
      ASSERT_TRUE(t.Open());  // open again while open: re-activates
      ASSERT_TRUE(t.Close());
    }
    ASSERT_TRUE(t.Open());  // destroyed while open
    stop.store(true);
    flood.join();
  }
  EXPECT_TRUE(PortIsFree(kFirst, port));
  EXPECT_TRUE(PortIsFree(kSecond, port));
  EXPECT_EQ(OpenDescriptors(), descriptors_before);
}

TEST(UdpKavorLifecycle, ClearingTheHandlerWaitsForTheRunningCall) {
  TUdpKavor t(nullptr, Addresses({kFirst}));
  const int port = FreePort();
  t.SetPort(port);
  ASSERT_TRUE(t.Open());
  std::atomic<bool> entered{false};
  std::atomic<bool> clearing{false};
  std::atomic<bool> finished{false};
  ClearHandlerOnExit clear(t);
  t.SetOnReceive([&] {
    entered.store(true);
    // Keep running until the clearing thread is on its way.
    WaitUntil([&] { return clearing.load(); });
    finished.store(true);
  });
  PeerSocket device;
  device.SendTo(kFirst, port, Hex("ED 9C 20"));
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
  bool finished_when_cleared = false;
  std::thread clearer([&] {
    clearing.store(true);
    t.SetOnReceive(nullptr);
    finished_when_cleared = finished.load();
  });
  clearer.join();
  EXPECT_TRUE(finished_when_cleared);
  EXPECT_FALSE(t.HasOnReceive());
}

TEST(UdpKavorLifecycle, CloseFromTheReceiveHandlerIsRefused) {
  TUdpKavor t(nullptr, Addresses({kFirst}));
  const int port = FreePort();
  t.SetPort(port);
  ASSERT_TRUE(t.Open());
  std::atomic<int> refused{0};
  ClearHandlerOnExit clear(t);
  t.SetOnReceive([&] {
    try {
      t.Close();
    } catch (const ECommError&) {
      refused.fetch_add(1);
    }
    try {
      t.SetPort(port + 1);
    } catch (const ECommError&) {
      refused.fetch_add(1);
    }
  });
  PeerSocket device;
  device.SendTo(kFirst, port, Hex("ED 9C 20"));
  ASSERT_TRUE(WaitUntil([&] { return refused.load() == 2; }));
  EXPECT_TRUE(t.IsOpen());
  EXPECT_EQ(t.GetPort(), port);
  EXPECT_TRUE(t.Close());
}

}  // namespace
}  // namespace kavor2::device
