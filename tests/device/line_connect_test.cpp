// Connections made and made again on an Ethernet line over UDP loopback:
// devices enabled before their line starts, many simulated devices (k2sim)
// connecting at once, and a device that falls silent mid-transfer and comes
// back, as itself or restarted.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/k2_header.h"
#include "device/kavor_session.h"
#include "device/udp_socket.h"
#include "k2sim/k2sim_udp_device.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using test::ByteString;
using test::DeviceSocket;
using test::kLineAddress;
using Datagram = DeviceSocket::Datagram;
using namespace std::chrono_literals;

constexpr DeviceKey kKey = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                            0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};

DeviceId FleetId(std::size_t n) {
  return {0x4C, 0x43, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0x00, 0x01};
}

int PortOf(const UdpSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(socket.Descriptor(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A started Ethernet line on 127.0.0.1 with the system's threads. The
// environment's adapter query may be slowed down: it is what the line's ID
// is computed from.
class LineRig {
 public:
  explicit LineRig(std::chrono::milliseconds adapter_delay = 0ms) : session_(service_.Loop(), Environment(adapter_delay)) {
    records_.Wire(session_);
    line_ = session_.Lines().AddLine(ltEthernet);
    port_ = test::FreeUdpPort();
    line_->UdpComm()->SetPort(port_);
    if (!line_->UdpComm()->Open()) throw std::runtime_error("line transport did not open");
  }
  ~LineRig() {
    while (session_.Lines().Count() > 0) session_.Lines().DeleteLine(0);
  }
  LineRig(const LineRig&) = delete;
  LineRig& operator=(const LineRig&) = delete;

  // A client's device at that address, enabled with kKey.
  std::shared_ptr<TDevice> AddDevice(const DeviceId& id, const std::string& host, int port) {
    auto device = session_.Devices().AddEthernetDevice(line_->ID, id, "", true, true, port, host, true, DefaultKey);
    device->SetMasterKeyText(KeyToText(kKey));
    return device;
  }
  void Start() { session_.Lines().StartLine(*line_); }

  sockaddr_in LineAddress() const { return test::SocketAddress(kLineAddress, static_cast<std::uint16_t>(port_)); }
  int Port() const { return port_; }
  TLine& Line() { return *line_; }
  test::SessionRecords& Records() { return records_; }

 private:
  static TSessionEnvironment Environment(std::chrono::milliseconds delay) {
    TSessionEnvironment environment = test::LoopbackLineEnvironment();
    if (delay.count() > 0) {
      environment.Adapters = [adapters = environment.Adapters, delay] {
        std::this_thread::sleep_for(delay);
        return adapters();
      };
    }
    return environment;
  }

  test::ServiceThread service_;
  test::SessionRecords records_;  // outlives the session, whose handlers use it
  TKavorSession session_;
  std::shared_ptr<TLine> line_;
  int port_ = 0;
};

// Simulated devices, each on a socket of its own, driven by one thread. A
// silent device reads what arrives and does nothing with it.
class Fleet {
 public:
  explicit Fleet(const sockaddr_in& line) : line_(line) {}
  ~Fleet() { Stop(); }
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Adds a device on 127.0.0.1 (port 0: any); returns its index.
  std::size_t Add(const DeviceId& id, int port = 0) {
    std::lock_guard lock(mutex_);
    members_.push_back(std::make_unique<Member>());
    Make(members_.size() - 1, id, port);
    return members_.size() - 1;
  }
  int Port(std::size_t i) {
    std::lock_guard lock(mutex_);
    return members_[i]->port;
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  void SetSilent(std::size_t i, bool silent) {
    std::lock_guard lock(mutex_);
    members_[i]->silent = silent;
  }
  // The device powers up again: a new simulation, which knows nothing of the
  // connection it had, on a new port of the same address (the line learns
  // it from the device's first datagram).
  void Restart(std::size_t i) {
    std::lock_guard lock(mutex_);
    Make(i, members_[i]->sim->Id(), 0);
    members_[i]->silent = false;
  }
  void SendData(std::size_t i, const ByteString& content) {
    std::lock_guard lock(mutex_);
    members_[i]->sim->SendData(content);
  }

  bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds deadline = test::kLineDeadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, condition);
  }
  // For conditions given to WaitUntil (which holds the lock).
  bool ConnectedLocked(std::size_t i) const { return members_[i]->sim->Connected(); }
  std::size_t ConnectedCountLocked() const {
    return static_cast<std::size_t>(std::count_if(members_.begin(), members_.end(),
                                                  [](const auto& m) { return m->sim->Connected(); }));
  }
  const std::vector<ByteString>& DataLocked(std::size_t i) const { return members_[i]->data; }
  std::vector<ByteString> Data(std::size_t i) {
    std::lock_guard lock(mutex_);
    return members_[i]->data;
  }

 private:
  struct Member {
    std::unique_ptr<k2sim::TUdpSimDevice> sim;
    int port = 0;
    bool silent = false;
    std::vector<ByteString> data;  // data frames accepted from the service
  };

  void Make(std::size_t i, const DeviceId& id, int port) {
    k2sim::TUdpSimConfig config;
    config.Id = id;
    config.MasterKey = kKey;
    config.Service = line_;
    config.IdRequestEveryMs = 200;
    std::unique_ptr<UdpSocket> socket = UdpSocket::Bind(kLineAddress, static_cast<std::uint16_t>(port));
    Member& m = *members_[i];
    m.port = PortOf(*socket);
    m.data.clear();
    m.sim = std::make_unique<k2sim::TUdpSimDevice>(
        config, std::move(socket), [&m](const DeviceId&, const std::string& event, const ByteString& data) {
          if (event == "data") m.data.push_back(data);
        });
  }

  void Run() {
    const auto start = std::chrono::steady_clock::now();
    while (!stop_) {
      std::vector<pollfd> fds;
      {
        std::lock_guard lock(mutex_);
        for (const auto& m : members_) fds.push_back({m->sim->Descriptor(), POLLIN, 0});
      }
      ::poll(fds.data(), fds.size(), 5);
      const std::int64_t now =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < members_.size() && i < fds.size(); ++i) {
          Member& m = *members_[i];
          if (m.silent) {
            Drain(m.sim->Descriptor());
            continue;
          }
          // A restarted device has a new socket: the next round polls it.
          if (fds[i].fd == m.sim->Descriptor() && (fds[i].revents & POLLIN)) m.sim->ReceiveAll(now);
          m.sim->Poll(now);
        }
      }
      changed_.notify_all();
    }
  }

  static void Drain(int fd) {
    std::array<std::uint8_t, 512> buffer{};
    while (::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
    }
  }

  const sockaddr_in line_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Member>> members_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it uses everything above
};

bool IsIdRequest(const Datagram& d) {
  bool data_flag = true;
  return ParseDatagramPrefix(d.bytes, data_flag) && !data_flag && d.bytes.size() > kDatagramPrefixSize &&
         d.bytes[kDatagramPrefixSize] == kIdRequest;
}
bool IsK2Packet(const Datagram& d) {
  bool data_flag = false;
  return ParseDatagramPrefix(d.bytes, data_flag) && data_flag;
}

TEST(LineConnect, PacketsBuiltWhileTheLineStartsCarryTheLinesAddress) {
  // The adapter query that gives the line its ID is slow; the device,
  // enabled before the start, is ticked meanwhile and builds its first key
  // exchange packet.
  LineRig rig(300ms);
  DeviceSocket socket("127.0.0.3");
  const std::shared_ptr<TDevice> device = rig.AddDevice(FleetId(1), socket.Address(), socket.Port());
  rig.Start();

  const std::optional<Datagram> request = socket.ReceiveUntil(IsIdRequest);
  ASSERT_TRUE(request);
  const std::optional<TIdExchangeMessage> line_id =
      ParseIdExchangeMessage(std::span(request->bytes).subspan(kDatagramPrefixSize));
  ASSERT_TRUE(line_id);
  socket.SendTo(kLineAddress, rig.Port(), test::IdDatagram(kIdAnswer, FleetId(1)));

  for (int i = 0; i < 2; ++i) {
    const std::optional<Datagram> packet = socket.ReceiveUntil(IsK2Packet);
    ASSERT_TRUE(packet) << i;
    const std::optional<TK2Routing> routing = ParseK2Routing(std::span(packet->bytes).subspan(kDatagramPrefixSize));
    ASSERT_TRUE(routing && routing->SenderAddress && routing->ReceiverAddress) << i;
    EXPECT_EQ(*routing->SenderAddress, line_id->Id) << "packet " << i << " names the line as its ID message does";
    EXPECT_EQ(*routing->ReceiverAddress, FleetId(1)) << i;
  }
}

TEST(LineConnect, ManyDevicesEnabledBeforeTheStartAllConnect) {
  constexpr std::size_t kDevices = 60;
  LineRig rig;
  Fleet fleet(rig.LineAddress());
  std::vector<std::shared_ptr<TDevice>> devices;
  for (std::size_t n = 0; n < kDevices; ++n) {
    const std::size_t i = fleet.Add(FleetId(n));
    devices.push_back(rig.AddDevice(FleetId(n), kLineAddress, fleet.Port(i)));
  }
  // Devices and line speak at once: each sends its ID request as the line
  // sends its own.
  fleet.Start();
  rig.Start();
  EXPECT_TRUE(fleet.WaitUntil([&] { return fleet.ConnectedCountLocked() == kDevices; }));
  EXPECT_TRUE(rig.Records().WaitUntil([&] {
    return std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d->Connected.load(); });
  }));
}

TEST(LineConnect, ADeviceThatFallsSilentMidTransferIsConnectedAgainWhenItReturns) {
  struct Case {
    const char* name;
    bool restarted;  // it returns without the connection it had
  };
  for (const Case& c : std::vector<Case>{{"it returns as it was", false}, {"it returns restarted", true}}) {
    SCOPED_TRACE(c.name);
    LineRig rig;
    Fleet fleet(rig.LineAddress());
    const std::size_t i = fleet.Add(FleetId(7));
    const std::shared_ptr<TDevice> device = rig.AddDevice(FleetId(7), kLineAddress, fleet.Port(i));
    // Short limits; the status word keeps a working connection alive.
    device->ConnectTimeOut = 3;
    device->CommandTimeOut = 100;
    device->LiveMessageTimeOut = 1;
    const std::string id_text = device->IdText();
    fleet.Start();
    rig.Start();
    ASSERT_TRUE(rig.Records().WaitForState(kStateConnected, id_text));
    ASSERT_TRUE(rig.Records().WaitUntil([&] { return (device->ProfileByte() & kProfileDataAllowed) != 0; }));
    ASSERT_TRUE(device->SubmitData({3, 0x01, 0x01}));
    ASSERT_TRUE(fleet.WaitUntil([&] { return fleet.DataLocked(i).size() == 1; }));

    // Silent with frames on their way: the connection times out.
    fleet.SetSilent(i, true);
    for (std::uint8_t n = 2; n <= 4; ++n) ASSERT_TRUE(device->SubmitData({3, 0x02, n}));
    ASSERT_TRUE(rig.Records().WaitForState(kStateDisconnected, id_text));

    // It returns: the ID exchange and the key exchange run again.
    if (c.restarted) {
      fleet.Restart(i);
    } else {
      fleet.SetSilent(i, false);
    }
    ASSERT_TRUE(rig.Records().WaitUntil([&] {
      const auto& states = rig.Records().StatesLocked();
      return std::count_if(states.begin(), states.end(), [](const auto& s) { return s.code == kStateConnected; }) == 2;
    }));
    ASSERT_TRUE(fleet.WaitUntil([&] { return fleet.ConnectedLocked(i); }));
    ASSERT_TRUE(rig.Records().WaitUntil([&] { return (device->ProfileByte() & kProfileDataAllowed) != 0; }));

    // The connection carries data again. What was queued for the lost
    // connection went with it.
    const std::size_t before = fleet.Data(i).size();
    ASSERT_TRUE(device->SubmitData({3, 0x03, 0x01}));
    ASSERT_TRUE(fleet.WaitUntil([&] {
      const auto& data = fleet.DataLocked(i);
      return !data.empty() && data.back() == ByteString{3, 0x03, 0x01};
    }));
    const std::vector<ByteString> data = fleet.Data(i);
    const std::vector<ByteString> after(data.begin() + static_cast<std::ptrdiff_t>(before), data.end());
    EXPECT_EQ(after, (std::vector<ByteString>{ByteString{3, 0x03, 0x01}}));
    fleet.SendData(i, {0x09, 0x09});
    EXPECT_TRUE(rig.Records().WaitUntil([&] {
      for (const auto& r : rig.Records().DataLocked()) {
        if (r.deliver && r.data == ByteString{3, 0x09, 0x09}) return true;
      }
      return false;
    }));
    std::vector<std::uint16_t> codes;
    for (const auto& s : rig.Records().States()) codes.push_back(s.code);
    EXPECT_EQ(codes, (std::vector<std::uint16_t>{kStateConnected, kStateDisconnected, kStateConnected}));
  }
}

}  // namespace
}  // namespace kavor2::device
