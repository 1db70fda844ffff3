// The Ethernet ID exchange and the routing of received datagrams, over real
// UDP loopback, with sockets of the test as the devices: requests and
// answers, devices that speak first, automatic adding and its bound, ID
// changes, address learning, broadcasts, and datagrams that are dropped.
#include "device/id_exchange.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/kavor_session.h"
#include "device/low_level_udp_thread.h"
#include "device/test_bytes.h"
#include "k2sim/k2sim_device.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using test::ByteString;
using test::DeviceSocket;
using test::Hex;
using test::IdDatagram;
using test::K2Datagram;
using test::kLineAddress;
using test::Win1251;
using Datagram = DeviceSocket::Datagram;
using namespace std::chrono_literals;

// ---- The message and the routing fields ---------------------------------------------

TEST(IdExchangeMessage, BuildAndParse) {
  const DeviceId id{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  EXPECT_EQ(BuildIdExchangeMessage(kIdRequest, id), Hex("01 01 02 03 04 05 06"));
  EXPECT_EQ(BuildIdExchangeMessage(kIdAnswer, id), Hex("00 01 02 03 04 05 06"));

  struct Case {
    const char* bytes;
    bool parsed;
    std::uint8_t kind;
  };
  for (const Case& c : std::vector<Case>{
           {"01 01 02 03 04 05 06", true, kIdRequest},
           {"00 01 02 03 04 05 06 FF FF", true, kIdAnswer},  // what follows the ID is ignored
           {"07 01 02 03 04 05 06", true, 7},
           {"01 01 02 03 04 05", false, 0},  // five ID bytes
           {"", false, 0},
       }) {
    const auto parsed = ParseIdExchangeMessage(Hex(c.bytes));
    ASSERT_EQ(parsed.has_value(), c.parsed) << c.bytes;
    if (!parsed) continue;
    EXPECT_EQ(parsed->Kind, c.kind) << c.bytes;
    EXPECT_EQ(parsed->Id, id) << c.bytes;
  }
}

TEST(IdExchangeMessage, K2RoutingFields) {
  const DeviceId sender{0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
  const DeviceId receiver{0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
  struct Case {
    const char* packet;
    bool parsed;
    bool has_sender;
    bool has_receiver;
  };
  for (const Case& c : std::vector<Case>{
           {"10 01 00 05 AA BB", true, false, false},                  // no addresses
           {"10 01 80 05 11 12 13 14 15 16 AA", true, true, false},     // sender only
           {"10 01 C0 05 11 12 13 14 15 16 21 22 23 24 25 26", true, true, true},
           {"10 01 40 05 21 22 23 24 25 26", true, false, false},      // receiver without sender: not read
           {"10 01 80 05 11 12 13 14 15", false, false, false},        // short sender
           {"10 01 C0 05 11 12 13 14 15 16 21 22 23 24 25", false, false, false},  // short receiver
           {"10 01", false, false, false},                              // no flags byte
       }) {
    const auto routing = ParseK2Routing(Hex(c.packet));
    ASSERT_EQ(routing.has_value(), c.parsed) << c.packet;
    if (!routing) continue;
    EXPECT_EQ(routing->SenderAddress.has_value(), c.has_sender) << c.packet;
    EXPECT_EQ(routing->ReceiverAddress.has_value(), c.has_receiver) << c.packet;
    if (c.has_sender) {
      EXPECT_EQ(*routing->SenderAddress, sender) << c.packet;
    }
    if (c.has_receiver) {
      EXPECT_EQ(*routing->ReceiverAddress, receiver) << c.packet;
    }
  }
}

// ---- On the line ----------------------------------------------------------------------

bool IsIdMessage(const Datagram& d, std::uint8_t kind) {
  return d.bytes.size() >= 4 && d.bytes[0] == 0xED && d.bytes[1] == 0x9C && d.bytes[2] == 0x22 && d.bytes[3] == kind;
}

DeviceId NumberedId(std::uint8_t family, unsigned number) {
  return {family, static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8), 0x00, 0x00, 0x77};
}

const std::string kDisabledTrace = Win1251("<- прибору запрещено общение");

// A started Ethernet line on 127.0.0.1 with the system's threads. A marker
// device of the test, on 127.0.0.254, tells when the line has handled what
// was sent to it before (its ID request is answered in turn), so devices of
// the tests use other loopback addresses: an unknown ID from a known
// device's address would be taken for that device.
class EthernetLine : public ::testing::Test {
 protected:
  static constexpr DeviceId kMarkerId = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01};

  void SetUp() override {
    records_.Wire(session_);
    line_ = session_.Lines().AddLine(ltEthernet);
    udp_ = line_->UdpComm();
    port_ = test::FreeUdpPort();
    udp_->SetPort(port_);
    ASSERT_TRUE(udp_->Open());
    // What the thread computes when it starts: the same adapter, the same port.
    line_->InitOwnId();
    own_wire_ = ReverseId(line_->OwnId());
    AddClientDevice(kMarkerId, marker_, true, true);
  }

  // Starts the line's threads; returns once the receive handler is in place
  // (the marker's first ID request, sent after it, has arrived).
  void Start() {
    session_.Lines().StartLine(*line_);
    ASSERT_TRUE(marker_.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdRequest); }));
  }

  // Returns once every datagram sent to the line's address before has been
  // handled: they arrive on one socket and are handled in order.
  void Sync() {
    marker_.SendTo(kLineAddress, port_, IdDatagram(kIdRequest, kMarkerId));
    ASSERT_TRUE(marker_.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdAnswer); }));
  }

  std::shared_ptr<TDevice> AddClientDevice(const DeviceId& id, const DeviceSocket& socket, bool primary_ip,
                                           bool primary_id) {
    return AddClientDevice(id, socket.Address(), socket.Port(), primary_ip, primary_id);
  }
  std::shared_ptr<TDevice> AddClientDevice(const DeviceId& id, const std::string& host, int port, bool primary_ip,
                                           bool primary_id) {
    return session_.Devices().AddEthernetDevice(line_->ID, id, "", true, primary_ip, port, host, primary_id,
                                                DefaultKey);
  }

  ByteString OwnMessage(std::uint8_t kind) const { return IdDatagram(kind, own_wire_); }

  // A plain K2 packet from a device with that ID to this line (or to the
  // receiver given), with both addresses or none.
  ByteString PacketFrom(const DeviceId& id, bool addresses = true, std::optional<DeviceId> receiver = {}) const {
    k2sim::TSimConfig config;
    config.Id = id;
    config.LineAddress = receiver.value_or(own_wire_);
    config.AddressesOnWire = addresses;
    k2sim::TSimDevice sim(config);
    return K2Datagram(sim.Build(ServicePackage, 0, Hex("03 01 0B")));
  }

  test::ServiceThread service_;
  test::SessionRecords records_;  // outlives the session, whose handlers use it
  TKavorSession session_{service_.Loop(), test::LoopbackLineEnvironment()};
  std::shared_ptr<TLine> line_;
  TUdpKavor* udp_ = nullptr;
  int port_ = 0;
  DeviceId own_wire_{};
  DeviceSocket marker_{"127.0.0.254"};
};

TEST_F(EthernetLine, RequestThenAnswerThenPackets) {
  struct Case {
    const char* address;
    std::uint8_t exchange_before;  // what the device has done already
    const char* request_trace;
  };
  const std::vector<Case> cases = {
      {"127.0.0.2", 0, "(Ethernet) - > запрос ID прибора запрос ID "},
      {"127.0.0.3", ieIdReceived, "(Ethernet) - > запрос ID прибора запрос ID  (ID получен) "},
  };
  std::vector<std::unique_ptr<DeviceSocket>> sockets;
  std::vector<std::shared_ptr<TDevice>> devices;
  for (unsigned i = 0; i < cases.size(); ++i) {
    sockets.push_back(std::make_unique<DeviceSocket>(cases[i].address));
    devices.push_back(AddClientDevice(NumberedId(0xA1, i), *sockets[i], true, true));
    devices[i]->IdExchange = cases[i].exchange_before;
    // Queued before the exchange: it waits for it.
    auto packet = std::make_shared<TK2Message>();
    packet->Data = Hex("0B 0C 0D");
    ASSERT_TRUE(devices[i]->PushWire(std::move(packet)));
  }
  Start();

  for (unsigned i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].address);
    const DeviceSocket& socket = *sockets[i];
    TDevice& device = *devices[i];
    // First the request, carrying this system's ID in text order.
    std::optional<Datagram> first = socket.Receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, OwnMessage(kIdRequest));
    EXPECT_EQ(first->host, kLineAddress);
    ASSERT_TRUE(records_.WaitForTrace(device.IdText(), Win1251(cases[i].request_trace)));
    const auto trace = records_.Trace(device.IdText(), Win1251(cases[i].request_trace));
    EXPECT_EQ(trace->kind, 1);
    EXPECT_EQ(trace->data, BuildIdExchangeMessage(kIdRequest, own_wire_));

    if ((cases[i].exchange_before & ieIdReceived) == 0) {
      EXPECT_EQ(device.IdExchange, ieIdSent);
      socket.SendTo(kLineAddress, port_, IdDatagram(kIdAnswer, device.Id()));
      ASSERT_TRUE(records_.WaitForTrace(device.IdText(), Win1251("(Ethernet) < - ответ ID прибора")));
      EXPECT_EQ(records_.Trace(device.IdText(), Win1251("(Ethernet) < - ответ ID прибора"))->data,
                BuildIdExchangeMessage(kIdAnswer, device.Id()));
    }
    // Then, both IDs known, the queued packet.
    std::optional<Datagram> packet = socket.Receive();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->bytes, Hex("ED 9C 20 0B 0C 0D"));
    EXPECT_EQ(device.IdExchange, ieIdSent | ieIdReceived);
  }
}

TEST_F(EthernetLine, ADeviceThatSendsItsIdFirstIsAnswered) {
  DeviceSocket socket("127.0.0.2");
  const std::shared_ptr<TDevice> device = AddClientDevice(NumberedId(0xA2, 1), socket, true, true);
  device->IdRequestDue = false;
  device->LastIdRequest = session_.Environment().Clock.Counter();  // next request in 10 s
  Start();

  // Bytes behind the ID are ignored, and the trace carries them all.
  const ByteString request = IdDatagram(kIdRequest, device->Id());
  ByteString longer = request;
  longer.insert(longer.end(), {0xAB, 0xCD});
  socket.SendTo(kLineAddress, port_, longer);

  std::optional<Datagram> answer = socket.Receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->bytes, OwnMessage(kIdAnswer));
  ASSERT_TRUE(records_.WaitForTrace(
      device->IdText(), Win1251("(Ethernet) - > ответ ID программы  ответ по запросу ID, установлен признак (ID получен)")));
  const auto received = records_.Trace(device->IdText(), Win1251("(Ethernet) < - запрос ID программы"));
  ASSERT_TRUE(received);
  EXPECT_EQ(received->data, ByteString(longer.begin() + 3, longer.end()));
  EXPECT_EQ(device->IdExchange, ieIdSent | ieIdReceived);
  EXPECT_EQ(device->LocalAddress(), kLineAddress);
}

TEST_F(EthernetLine, AutomaticAdding) {
  struct Case {
    bool auto_add;
    bool fixed_port;
    std::uint8_t kind;
    bool added;
    bool primary_port;
    bool device_port;  // Port is the line's DevicePort (else the sender's)
    bool answered;
  };
  const std::vector<Case> cases = {
      {true, false, kIdRequest, true, false, false, true},
      {true, true, kIdRequest, true, true, true, true},
      {false, false, kIdRequest, false, false, false, false},
      {false, false, kIdAnswer, true, true, true, false},  // an answer is taken whatever AutoAddDevice says
      {true, false, kIdAnswer, true, true, true, false},
  };
  Start();
  for (unsigned i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const std::string address = "127.0.0." + std::to_string(10 + i);
    DeviceSocket sender(address);
    DeviceSocket at_device_port(address);  // where the line's DevicePort points
    line_->AutoAddDevice = c.auto_add;
    line_->FixedDevicePort = c.fixed_port;
    udp_->SetDevicePort(at_device_port.Port());
    const DeviceId id = NumberedId(0xA3, i);

    sender.SendTo(kLineAddress, port_, IdDatagram(c.kind, id));
    Sync();
    const std::shared_ptr<TDevice> device = session_.FindDeviceOnLine(line_->ID, id);
    ASSERT_EQ(device != nullptr, c.added);
    const DeviceSocket& answered_at = c.device_port ? at_device_port : sender;
    if (!c.added) {
      EXPECT_FALSE(sender.TryReceive());
      EXPECT_FALSE(at_device_port.TryReceive());
      continue;
    }
    EXPECT_TRUE(records_.WaitForState(kStateDeviceAdded, IdToText(id)));
    EXPECT_FALSE(device->AddedByClient);
    EXPECT_EQ(device->Host(), address);
    EXPECT_EQ(device->Port, answered_at.Port());
    EXPECT_EQ(device->PrimaryPort, c.primary_port);
    EXPECT_TRUE(device->PrimaryID);
    EXPECT_FALSE(device->PrimaryIP);
    EXPECT_EQ(device->LocalAddress(), kLineAddress);
    EXPECT_EQ(device->MasterKeyText(), KeyToText(DefaultKey));
    EXPECT_EQ(device->IdExchange, ieIdSent | ieIdReceived);
    if (c.answered) {
      std::optional<Datagram> answer =
          answered_at.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdAnswer); });
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->bytes, OwnMessage(kIdAnswer));
      EXPECT_TRUE(records_.WaitForTrace(device->IdText(), Win1251("(Ethernet) < - запрос ID программы")));
      EXPECT_TRUE(records_.WaitForTrace(
          device->IdText(), Win1251("(Ethernet) - > ответ ID программы  подключен новый прибор по запросу ID (ID получен)")));
    } else {
      EXPECT_TRUE(records_.WaitForTrace(device->IdText(),
                                        Win1251("(Ethernet) < - ответ ID прибора, установлены признаки обмена ID")));
      // Nobody asked for this system's ID: no answer goes out.
      for (const DeviceSocket* s : {&sender, &at_device_port}) {
        while (std::optional<Datagram> d = s->TryReceive()) EXPECT_FALSE(IsIdMessage(*d, kIdAnswer));
      }
    }
  }
}

TEST_F(EthernetLine, AutomaticallyAddedDevicesTakeTheMasterKeyListWhenAsked) {
  const DeviceKey listed = TextToKey("00112233445566778899AABBCCDDEEFF");
  const DeviceId with_key = NumberedId(0xA4, 1);
  const DeviceId without_key = NumberedId(0xA4, 2);
  TKeyItem entry;
  entry.SetIdText(IdToText(with_key));
  entry.SetKeyText(KeyToText(listed));
  session_.MasterKeyList().Add(entry);
  session_.UseMasterKeys = true;
  line_->AutoAddDevice = true;
  Start();

  DeviceSocket first("127.0.0.2");
  DeviceSocket second("127.0.0.3");
  first.SendTo(kLineAddress, port_, IdDatagram(kIdRequest, with_key));
  second.SendTo(kLineAddress, port_, IdDatagram(kIdRequest, without_key));
  Sync();
  const auto keyed = session_.FindDeviceOnLine(line_->ID, with_key);
  const auto unkeyed = session_.FindDeviceOnLine(line_->ID, without_key);
  ASSERT_TRUE(keyed && unkeyed);
  EXPECT_EQ(keyed->MasterKeyText(), KeyToText(listed));
  EXPECT_EQ(unkeyed->MasterKeyText(), KeyToText(DefaultKey));
}

TEST_F(EthernetLine, AFloodOfNewDevicesStopsAtTheBound) {
  line_->AutoAddDevice = true;
  Start();
  const std::size_t bound = TLowLevelUdpThread::kMaxAutoAddedDevices;
  // Every message from an address of its own, so none is taken for a
  // device known by its address.
  const auto address_of = [](unsigned n) {
    return "127.1." + std::to_string(n / 200) + "." + std::to_string(n % 200 + 1);
  };
  // In batches the line's socket buffer holds, so that none is lost.
  constexpr unsigned kBatch = 64;
  for (unsigned n = 0; n < bound; ++n) {
    DeviceSocket flood(address_of(n));
    flood.SendTo(kLineAddress, port_, IdDatagram(n % 2 == 0 ? kIdRequest : kIdAnswer, NumberedId(0xB0, n)));
    if (n % kBatch == kBatch - 1) Sync();
  }
  Sync();
  ASSERT_EQ(line_->CountDevices(), bound + 1);  // and the marker, added by the client

  // Beyond the bound: neither a request nor an answer adds a device, and the
  // request is not answered.
  DeviceSocket extra_request(address_of(bound));
  DeviceSocket extra_answer(address_of(bound + 1));
  extra_request.SendTo(kLineAddress, port_, IdDatagram(kIdRequest, NumberedId(0xB1, 1)));
  extra_answer.SendTo(kLineAddress, port_, IdDatagram(kIdAnswer, NumberedId(0xB1, 2)));
  Sync();
  EXPECT_EQ(session_.FindDeviceOnLine(line_->ID, NumberedId(0xB1, 1)), nullptr);
  EXPECT_EQ(session_.FindDeviceOnLine(line_->ID, NumberedId(0xB1, 2)), nullptr);
  EXPECT_FALSE(extra_request.TryReceive());
  EXPECT_EQ(line_->CountDevices(), bound + 1);

  // Clients still add devices of their own.
  DeviceSocket client_device("127.0.0.2");
  EXPECT_NE(AddClientDevice(NumberedId(0xB2, 1), client_device, true, true), nullptr);
}

TEST_F(EthernetLine, ADeviceFoundByItsAddressChangesItsId) {
  enum Via { viaAnswer, viaRequest, viaPacket };
  struct Case {
    Via via;
    bool primary_id;
    bool primary_ip;
    bool changes;
  };
  const std::vector<Case> cases = {
      {viaAnswer, false, false, true},
      {viaAnswer, true, false, false},  // a fixed ID stays
      {viaRequest, false, false, true},
      {viaPacket, false, true, true},
      {viaPacket, false, false, false},  // a packet changes the ID only of a device with a fixed address
  };
  std::vector<std::unique_ptr<DeviceSocket>> sockets;
  std::vector<std::shared_ptr<TDevice>> devices;
  for (unsigned i = 0; i < cases.size(); ++i) {
    sockets.push_back(std::make_unique<DeviceSocket>("127.0.0." + std::to_string(20 + i)));
    devices.push_back(AddClientDevice(NumberedId(0xC0, i), *sockets[i], cases[i].primary_ip, cases[i].primary_id));
  }
  Start();
  for (unsigned i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const DeviceId old_id = NumberedId(0xC0, i);
    const DeviceId new_id = NumberedId(0xC1, i);
    if (c.via == viaPacket) {
      sockets[i]->SendTo(kLineAddress, port_, PacketFrom(new_id));
    } else {
      sockets[i]->SendTo(kLineAddress, port_, IdDatagram(c.via == viaAnswer ? kIdAnswer : kIdRequest, new_id));
    }
    Sync();
    TDevice& device = *devices[i];
    if (c.changes) {
      EXPECT_EQ(device.Id(), new_id);
      EXPECT_EQ(device.PrevId(), old_id);
      EXPECT_TRUE(records_.WaitForState(kStateIdChanged, IdToText(new_id)));
    } else {
      EXPECT_EQ(device.Id(), old_id);
      EXPECT_FALSE(records_.HasState(kStateIdChanged, IdToText(new_id)));
    }
    EXPECT_EQ(line_->CountDevices(), cases.size() + 1) << "the device was found, not added";
  }
}

TEST_F(EthernetLine, AddressLearning) {
  struct Case {
    bool packet;  // a K2 packet, else an ID answer
    bool primary_ip;
    bool primary_port;
  };
  const std::vector<Case> cases = {
      {false, false, false}, {false, true, false}, {false, false, true},
      {true, false, false},  {true, true, false},  {true, false, true},
  };
  const std::string stale_host = "127.0.0.9";
  const int stale_port = 9;
  std::vector<std::shared_ptr<TDevice>> devices;
  for (unsigned i = 0; i < cases.size(); ++i) {
    devices.push_back(AddClientDevice(NumberedId(0xD0, i), stale_host, stale_port, cases[i].primary_ip, true));
    devices[i]->PrimaryPort = cases[i].primary_port;
  }
  Start();
  for (unsigned i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    DeviceSocket socket("127.0.0." + std::to_string(40 + i));
    const DeviceId id = NumberedId(0xD0, i);
    socket.SendTo(kLineAddress, port_, c.packet ? PacketFrom(id) : IdDatagram(kIdAnswer, id));
    Sync();
    TDevice& device = *devices[i];
    EXPECT_EQ(device.Host(), c.primary_ip ? stale_host : socket.Address());
    EXPECT_EQ(device.Port, c.primary_port ? stale_port : socket.Port());
    EXPECT_EQ(device.LocalAddress(), kLineAddress) << "the first datagram names the local address";
    if (c.packet) {
      EXPECT_TRUE(records_.WaitForTrace(device.IdText(), kDisabledTrace)) << "and reaches the device";
    }
  }
}

TEST_F(EthernetLine, K2PacketsReachOnlyTheirDevice) {
  DeviceSocket socket("127.0.0.2");
  const DeviceId id = NumberedId(0xE0, 1);
  const std::shared_ptr<TDevice> device = AddClientDevice(id, socket, true, true);
  line_->AutoAddDevice = true;
  Start();

  const ByteString routed = PacketFrom(id);
  ByteString short_id = IdDatagram(kIdRequest, id);
  short_id.pop_back();
  struct Dropped {
    ByteString datagram;
    bool from_device;  // sent from the device's own address
  };
  const std::vector<Dropped> dropped = {
      {PacketFrom(id, false), true},                      // no sender address: no device on Ethernet
      {PacketFrom(id, true, NumberedId(0xE0, 9)), true},  // for another line
      {PacketFrom(NumberedId(0xE0, 2)), false},           // unknown sender, from an unknown address
      {Hex("ED 9C 20 10"), true},                         // too short for its flags
      {Hex("ED 9C 20 10 01 C0 05 01 00 E0"), true},       // too short for its addresses
      {Hex("ED 9D 20 10 01 00 05"), true},                // not the line's prefix
      {Hex("ED 9C 10 10 01 00 05"), true},                // another transport version
      {Hex("ED"), true},
      {short_id, false},                                  // five ID bytes
      {OwnMessage(kIdRequest), false},                    // this system's own request
      {IdDatagram(7, NumberedId(0xE0, 3)), false},        // another kind, from nobody known
  };
  DeviceSocket unknown("127.0.0.3");
  for (const Dropped& d : dropped) (d.from_device ? socket : unknown).SendTo(kLineAddress, port_, d.datagram);
  socket.SendTo(kLineAddress, port_, routed);
  Sync();
  ASSERT_TRUE(records_.WaitForTrace(device->IdText(), kDisabledTrace));
  // What the device handled was the routed packet only.
  for (const auto& record : records_.DataRecords()) {
    if (record.trace == kDisabledTrace) {
      EXPECT_EQ(record.data, ByteString(routed.begin() + 3, routed.end()));
    }
  }
  EXPECT_EQ(line_->CountDevices(), 2u);
  EXPECT_FALSE(unknown.TryReceive());
}

// ---- Broadcasts ---------------------------------------------------------------------

TEST_F(EthernetLine, BroadcastIdRequestsFollowTheInterval) {
  DeviceSocket listener("0.0.0.0");  // hears broadcasts on its port
  udp_->SetDevicePort(listener.Port());
  udp_->SetBroadcastInterval(0);
  Start();
  // The first pass of the thread, which sent the marker's request, sent no
  // broadcast.
  EXPECT_FALSE(listener.TryReceive());

  udp_->SetBroadcastInterval(1);
  std::optional<Datagram> first = listener.Receive();
  ASSERT_TRUE(first);
  const auto first_at = std::chrono::steady_clock::now();
  EXPECT_EQ(first->bytes, OwnMessage(kIdRequest));
  std::optional<Datagram> second = listener.Receive();
  ASSERT_TRUE(second);
  EXPECT_GE(std::chrono::steady_clock::now() - first_at, 900ms);
  EXPECT_EQ(second->bytes, OwnMessage(kIdRequest));
}

TEST_F(EthernetLine, BroadcastsOfDevicesAreHeardAndTheLinesOwnAreIgnored) {
  // The line broadcasts to its own port, so it hears its own requests.
  udp_->SetDevicePort(port_);
  udp_->SetBroadcastInterval(1);
  line_->AutoAddDevice = true;
  Start();

  struct Case {
    const char* from;
    const char* to;
  };
  const std::vector<Case> cases = {{"127.0.0.2", "127.255.255.255"}, {"127.0.0.3", "255.255.255.255"}};
  for (unsigned i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].to);
    DeviceSocket device(cases[i].from);
    const DeviceId id = NumberedId(0xF0, i);
    device.SendTo(cases[i].to, port_, IdDatagram(kIdRequest, id));
    std::optional<Datagram> answer = device.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdAnswer); });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, OwnMessage(kIdAnswer));
    const auto added = session_.FindDeviceOnLine(line_->ID, id);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->Host(), cases[i].from);
    EXPECT_EQ(added->LocalAddress(), kLineAddress) << "the interface that took the broadcast";
  }
  // The line's first broadcast went out before the marker's request, and
  // broadcasts are handled in order: once the marker's broadcast request is
  // answered, the line's own has been handled, and added nothing.
  marker_.SendTo("127.255.255.255", port_, IdDatagram(kIdRequest, kMarkerId));
  ASSERT_TRUE(marker_.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdAnswer); }));
  EXPECT_EQ(session_.FindDeviceOnLine(line_->ID, own_wire_), nullptr);
  EXPECT_EQ(line_->CountDevices(), cases.size() + 1);
}

TEST_F(EthernetLine, AnotherLineBroadcastingToThisOneIsNoDevice) {
  line_->AutoAddDevice = true;
  Start();
  // A second line of this system whose device port is this line's port.
  const std::shared_ptr<TLine> other = session_.Lines().AddLine(ltEthernet);
  TUdpKavor* other_udp = other->UdpComm();
  other_udp->SetPort(test::FreeUdpPort());
  other_udp->SetDevicePort(port_);
  other_udp->SetBroadcastInterval(1);
  other->AutoAddDevice = true;
  ASSERT_TRUE(other_udp->Open());
  DeviceSocket others_device("127.0.0.2");
  session_.Devices().AddEthernetDevice(other->ID, NumberedId(0x99, 2), "", true, true, others_device.Port(),
                                       others_device.Address(), true, DefaultKey);
  session_.Lines().StartLine(*other);
  // Its first broadcast went out before its first device pass.
  ASSERT_TRUE(others_device.ReceiveUntil([&](const Datagram& d) {
    return IsIdMessage(d, kIdRequest) && d.bytes == IdDatagram(kIdRequest, ReverseId(other->OwnId()));
  }));
  // Broadcasts are handled in order on this line.
  marker_.SendTo("127.255.255.255", port_, IdDatagram(kIdRequest, kMarkerId));
  ASSERT_TRUE(marker_.ReceiveUntil([](const Datagram& d) { return IsIdMessage(d, kIdAnswer); }));
  EXPECT_EQ(session_.FindDeviceOnLine(line_->ID, ReverseId(other->OwnId())), nullptr);
  EXPECT_EQ(session_.FindDeviceOnLine(other->ID, own_wire_), nullptr);
}

}  // namespace
}  // namespace kavor2::device
