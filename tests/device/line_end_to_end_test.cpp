// An Ethernet line end to end: the session with its real line threads on
// UDP loopback, and the simulated device of k2sim on a socket of its own,
// doing the device's side of the ID exchange and of the K2 protocol.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/kavor_session.h"
#include "k2sim/k2sim_device.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using test::ByteString;
using test::DeviceSocket;
using test::kLineAddress;
using test::Win1251;
using namespace std::chrono_literals;

constexpr DeviceId kSimId = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36};
constexpr DeviceKey kSimKey = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                               0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};

// The simulated device on its socket. Its thread answers the line: the ID
// exchange (it learns the line's ID from the line's messages) and every K2
// packet, through the simulation. Tests reach the simulation under its lock.
class SimPeer {
 public:
  SimPeer(const std::string& address, int line_port, bool speaks_first)
      : socket_(address), line_port_(line_port), speaks_first_(speaks_first), thread_([this] { Run(); }) {}
  ~SimPeer() {
    stop_ = true;
    thread_.join();
  }
  SimPeer(const SimPeer&) = delete;
  SimPeer& operator=(const SimPeer&) = delete;

  const DeviceSocket& Socket() const { return socket_; }

  // Waits until the condition on the simulation holds (false while there is
  // none yet).
  bool WaitUntil(const std::function<bool(k2sim::TSimDevice&)>& condition) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, test::kLineDeadline, [&] { return sim_ && condition(*sim_); });
  }
  // Builds a packet with the simulation and sends it to the line.
  void Send(const std::function<ByteString(k2sim::TSimDevice&)>& build) {
    ByteString packet;
    {
      std::lock_guard lock(mutex_);
      ASSERT_TRUE(sim_);
      packet = build(*sim_);
    }
    socket_.SendTo(kLineAddress, line_port_, test::K2Datagram(packet));
  }

 private:
  void Run() {
    while (!stop_) {
      if (speaks_first_ && !HasSim()) {
        // A device repeats its request until the line answers.
        socket_.SendTo(kLineAddress, line_port_, test::IdDatagram(kIdRequest, kSimId));
      }
      std::optional<DeviceSocket::Datagram> d = socket_.Receive(50ms);
      if (d) Handle(d->bytes);
    }
  }

  bool HasSim() {
    std::lock_guard lock(mutex_);
    return sim_ != nullptr;
  }

  void Handle(const ByteString& datagram) {
    bool data_flag = false;
    if (!ParseDatagramPrefix(datagram, data_flag)) return;
    const std::span<const std::uint8_t> rest(datagram.begin() + kDatagramPrefixSize, datagram.end());
    std::vector<ByteString> answers;
    bool answer_id = false;
    {
      std::lock_guard lock(mutex_);
      if (!data_flag) {
        const std::optional<TIdExchangeMessage> message = ParseIdExchangeMessage(rest);
        if (!message) return;
        if (!sim_) {
          k2sim::TSimConfig config;
          config.Id = kSimId;
          config.LineAddress = message->Id;  // the line's ID in text order, as it goes on the wire
          config.MasterKey = kSimKey;
          config.TxMasterCounter = 0x00C0FFEE;
          sim_ = std::make_unique<k2sim::TSimDevice>(config);
        }
        answer_id = message->Kind == kIdRequest;
      } else if (sim_) {
        answers = sim_->Receive(ByteView(rest.data(), rest.size()));
      }
    }
    changed_.notify_all();
    if (answer_id) socket_.SendTo(kLineAddress, line_port_, test::IdDatagram(kIdAnswer, kSimId));
    for (const ByteString& a : answers) socket_.SendTo(kLineAddress, line_port_, test::K2Datagram(a));
    changed_.notify_all();
  }

  DeviceSocket socket_;
  const int line_port_;
  const bool speaks_first_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unique_ptr<k2sim::TSimDevice> sim_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it uses everything above
};

ByteString Frame(std::uint8_t n) { return {4, n, static_cast<std::uint8_t>(n * 3), static_cast<std::uint8_t>(~n)}; }

TEST(EthernetLineEndToEnd, KeyExchangeDataBothWaysDisconnectAndDelete) {
  struct Case {
    const char* name;
    bool auto_added;  // the device announces itself; otherwise a client adds it
  };
  for (const Case& c : std::vector<Case>{{"added by a client", false}, {"added automatically", true}}) {
    SCOPED_TRACE(c.name);
    test::ServiceThread service;
    test::SessionRecords records;
    TKavorSession session(service.Loop(), test::LoopbackLineEnvironment());
    records.Wire(session);
    const std::shared_ptr<TLine> line = session.Lines().AddLine(ltEthernet);
    const int port = test::FreeUdpPort();
    line->UdpComm()->SetPort(port);
    ASSERT_TRUE(line->UdpComm()->Open());
    line->AutoAddDevice = c.auto_added;

    SimPeer peer("127.0.0.2", port, c.auto_added);
    session.Lines().StartLine(*line);
    const std::string id_text = IdToText(kSimId);
    std::shared_ptr<TDevice> device;
    if (c.auto_added) {
      ASSERT_TRUE(records.WaitForState(kStateDeviceAdded, id_text));
      device = session.FindDeviceByIdText(id_text);
    } else {
      device = session.Devices().AddEthernetDevice(line->ID, kSimId, "", true, true, peer.Socket().Port(),
                                                   peer.Socket().Address(), true, DefaultKey);
    }
    ASSERT_NE(device, nullptr);
    // As a client's key does: the key, and the device enabled.
    device->SetMasterKeyText(KeyToText(kSimKey));

    // The key exchange completes; the host hears of the connection.
    ASSERT_TRUE(records.WaitForState(kStateConnected, id_text));
    ASSERT_TRUE(peer.WaitUntil([](k2sim::TSimDevice& sim) { return sim.Connected(); }));
    EXPECT_EQ(device->IdExchange, ieIdSent | ieIdReceived);

    // The device allows data.
    peer.Send([](k2sim::TSimDevice& sim) { return sim.StatusWord(k2sim::kStatusDataAllowed); });
    ASSERT_TRUE(records.WaitForTrace(id_text, Win1251("< - пакет \"слово состояния\"")));
    EXPECT_NE(device->ProfileByte() & kProfileDataAllowed, 0);

    // Client data reaches the device as frames, in order.
    const std::vector<ByteString> to_device = {Frame(1), Frame(2), Frame(3)};
    for (const ByteString& frame : to_device) ASSERT_TRUE(device->SubmitData(frame));
    ASSERT_TRUE(peer.WaitUntil([&](k2sim::TSimDevice& sim) { return sim.DataFrames().size() >= to_device.size(); }));
    peer.WaitUntil([&](k2sim::TSimDevice& sim) {
      EXPECT_EQ(sim.DataFrames(), to_device);
      return true;
    });

    // The device's data frames reach the host as data for the client.
    const std::vector<ByteString> to_client = {Frame(101), Frame(102)};
    for (const ByteString& frame : to_client) {
      peer.Send([&](k2sim::TSimDevice& sim) { return sim.DataPacket({frame}); });
    }
    ASSERT_TRUE(records.WaitUntil([&] {
      std::size_t delivered = 0;
      for (const auto& r : records.DataLocked()) delivered += r.deliver ? 1 : 0;
      return delivered >= to_client.size();
    }));
    std::vector<ByteString> delivered;
    for (const auto& r : records.DataRecords()) {
      if (!r.deliver) continue;
      EXPECT_EQ(r.kind, DataPackage);
      EXPECT_EQ(r.device_text, id_text);
      delivered.push_back(r.data);
    }
    EXPECT_EQ(delivered, to_client);

    // Disabling queues the logical disconnect, and the line sends it.
    device->SetEnabled(false);
    EXPECT_TRUE(peer.WaitUntil([](k2sim::TSimDevice& sim) { return sim.DisconnectReceived(); }));
    EXPECT_FALSE(device->Connected);
    EXPECT_TRUE(records.WaitForState(kStateDisconnected, id_text));

    // Deleting the line stops its threads and takes its devices.
    session.Lines().DeleteLine(0);
    EXPECT_EQ(session.Lines().Count(), 0u);
    EXPECT_EQ(session.FindDeviceByIdText(id_text), nullptr);
  }
}

TEST(EthernetLineEndToEnd, DeletingALineUnderTrafficReturnsAndFreesItsPort) {
  test::ServiceThread service;
  test::SessionRecords records;
  TKavorSession session(service.Loop(), test::LoopbackLineEnvironment());
  records.Wire(session);
  const std::shared_ptr<TLine> line = session.Lines().AddLine(ltEthernet);
  const int port = test::FreeUdpPort();
  line->UdpComm()->SetPort(port);
  ASSERT_TRUE(line->UdpComm()->Open());
  line->AutoAddDevice = true;
  SimPeer peer("127.0.0.2", port, true);
  session.Lines().StartLine(*line);

  const std::string id_text = IdToText(kSimId);
  ASSERT_TRUE(records.WaitForState(kStateDeviceAdded, id_text));
  const std::shared_ptr<TDevice> device = session.FindDeviceByIdText(id_text);
  ASSERT_NE(device, nullptr);
  device->SetMasterKeyText(KeyToText(kSimKey));
  ASSERT_TRUE(records.WaitForState(kStateConnected, id_text));

  // Devices keep announcing themselves and sending packets while the line
  // goes.
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::vector<std::unique_ptr<DeviceSocket>> sockets;
    for (int i = 0; i < 8; ++i) sockets.push_back(std::make_unique<DeviceSocket>("127.0.0." + std::to_string(60 + i)));
    for (std::uint8_t n = 0; !stop; ++n) {
      for (std::size_t i = 0; i < sockets.size(); ++i) {
        const DeviceId id = {0x5A, static_cast<std::uint8_t>(i), 0, 0, 0, 0x01};
        sockets[i]->SendTo(kLineAddress, port, test::IdDatagram(n % 2 == 0 ? kIdRequest : kIdAnswer, id));
        sockets[i]->SendTo(kLineAddress, port, test::K2Datagram({0x10, 0x11, 0xC0, n, 0x5A, static_cast<std::uint8_t>(i), 0, 0, 0, 0x01}));
      }
    }
  });
  EXPECT_TRUE(records.WaitForState(kStateDeviceAdded, IdToText({0x5A, 0, 0, 0, 0, 0x01})));

  session.Lines().DeleteLine(0);
  stop = true;
  flood.join();
  EXPECT_EQ(session.Lines().Count(), 0u);
  EXPECT_TRUE(session.Devices().DevicesOnLine(line->ID).empty());
  // The transport went with the line.
  DeviceSocket rebind(kLineAddress, static_cast<std::uint16_t>(port));
  EXPECT_EQ(rebind.Port(), port);
}

}  // namespace
}  // namespace kavor2::device
