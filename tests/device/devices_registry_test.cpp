#include "device/devices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/fixed_keys.h"
#include "device_fakes.h"
#include "platform/errors.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::HexArray;

constexpr std::int32_t kEthernetLine = 0;
constexpr std::int32_t kOtherEthernetLine = 1;
constexpr std::int32_t kSerialLine = 2;
constexpr std::int32_t kMissingLine = 99;

const DeviceId kIdA = HexArray<6>("01 02 03 04 05 06");
const DeviceId kIdB = HexArray<6>("0A 0B 0C 0D 0E 0F");
const DeviceKey kKey = HexArray<16>("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

struct RegistryFixture {
  RegistryFixture() {
    lines.Add(kEthernetLine, true);
    lines.Add(kOtherEthernetLine, true);
    lines.Add(kSerialLine, false);
  }

  std::shared_ptr<TDevice> Ethernet(std::int32_t line, const DeviceId& id, bool primary_id, std::string host,
                                    bool primary_ip, std::int32_t port = 4001) {
    return devices.AddEthernetDevice(line, id, "", true, primary_ip, port, host, primary_id, kKey);
  }
  std::shared_ptr<TDevice> Serial(const DeviceId& id, std::int32_t address, bool by_client = true) {
    return devices.AddSerialDevice(kSerialLine, id, address, by_client, kKey);
  }
  // Serial IDs that differ in their last byte.
  static DeviceId SerialId(int n) {
    DeviceId id = kIdA;
    id[0] = static_cast<std::uint8_t>(n);
    id[1] = static_cast<std::uint8_t>(n >> 8);
    return id;
  }

  test::FakeLines lines;
  test::RecordingEvents events;
  TDevices devices{lines, &events, test::FixedClock()};
};

class Registry : public ::testing::Test, public RegistryFixture {};

// Each case runs its earlier adds (which must succeed), then the add under
// test: its message, or empty for a success.
struct AddCase {
  const char* name;
  std::function<void(RegistryFixture&)> before;
  std::function<void(RegistryFixture&)> add;
  std::function<std::string()> message;
};

TEST_F(Registry, AddCallsAndTheirMessages) {
  const auto none = [](RegistryFixture&) {};
  const auto ok = [] { return std::string(); };
  const std::vector<AddCase> cases = {
      {"ethernet: no such line", none,
       [](RegistryFixture& r) { r.Ethernet(kMissingLine, NoId, true, "", false); }, NoSuchLineText},
      {"ethernet: no ID but PrimaryID", none,
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, NoId, true, "10.0.0.5", true); }, NoIdAndIpText},
      {"ethernet: no host and not PrimaryIP", none,
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, true, "", false); }, NoIdAndIpText},
      {"ethernet: neither ID nor host", none,
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, NoId, false, "", true); }, NoIdAndIpText},
      {"ethernet: host only", none,
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, NoId, false, "10.0.0.5", false); }, ok},
      {"ethernet: ID only", none, [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, true, "", true); }, ok},
      {"ethernet: same ID on the same line",
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, true, "10.0.0.5", true); },
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, false, "10.0.0.6", true); }, DuplicateIdText},
      {"ethernet: same ID on another line",
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, true, "10.0.0.5", true); },
       [](RegistryFixture& r) { r.Ethernet(kOtherEthernetLine, kIdA, true, "10.0.0.5", true); }, ok},
      {"ethernet: two devices without ID",
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, NoId, false, "10.0.0.5", false); },
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, NoId, false, "10.0.0.6", false); }, ok},
      {"serial: no such line", none,
       [](RegistryFixture& r) { r.devices.AddSerialDevice(kMissingLine, kIdA, 0, true, kKey); }, NoSuchLineText},
      {"serial: same ID", [](RegistryFixture& r) { r.Serial(kIdA, 0); }, [](RegistryFixture& r) { r.Serial(kIdA, 0); },
       DuplicateIdText},
      {"serial: second device without ID", [](RegistryFixture& r) { r.Serial(NoId, 0); },
       [](RegistryFixture& r) { r.Serial(NoId, 0); }, DuplicateIdText},
      {"serial: ID known on an Ethernet line only",
       [](RegistryFixture& r) { r.Ethernet(kEthernetLine, kIdA, true, "", true); }, [](RegistryFixture& r) { r.Serial(kIdA, 0); },
       ok},
      {"serial: address taken",
       [](RegistryFixture& r) {
         r.Serial(SerialId(1), 1);
         r.Serial(SerialId(2), 2);
       },
       [](RegistryFixture& r) { r.Serial(SerialId(3), 2); }, ShortAddrTakenText},
      {"serial: line thread on a full line",
       [](RegistryFixture& r) {
         for (int n = 1; n <= MaxShortAddress; ++n) r.Serial(SerialId(n), n);
       },
       [](RegistryFixture& r) { r.Serial(SerialId(500), 0, false); }, ShortAddrTakenText},
      {"serial: client on a full line",
       [](RegistryFixture& r) {
         for (int n = 1; n <= MaxShortAddress; ++n) r.Serial(SerialId(n), n);
       },
       [](RegistryFixture& r) { r.Serial(SerialId(500), 0); }, ok},
  };

  for (const AddCase& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryFixture r;
    c.before(r);
    const std::size_t count = r.devices.Count();
    std::string got;
    try {
      c.add(r);
    } catch (const EDeviceRegistryError& e) {
      got = e.what();
    }
    EXPECT_EQ(got, c.message());
    // A refused add leaves the registry as it was.
    EXPECT_EQ(r.devices.Count(), count + (got.empty() ? 1 : 0));
  }
}

TEST_F(Registry, MessagesAreWindows1251) {
  // "Линия" in Windows-1251.
  EXPECT_EQ(NoSuchLineText().substr(0, 5), "\xCB\xE8\xED\xE8\xFF");
  EXPECT_EQ(ShortAddrTakenText(), "\xCA\xEE\xF0\xEE\xF2\xEA\xE8\xE9 \xE0\xE4\xF0\xE5\xF1 \xF3\xE6\xE5 "
                                  "\xE7\xE0\xED\xFF\xF2 \xED\xE0 \xEB\xE8\xED\xE8\xE8");
}

TEST_F(Registry, EthernetDeviceTakesTheLineAndCallValues) {
  lines.Add(5, true)->answer_time_out = 1234;
  const auto device = devices.AddEthernetDevice(5, kIdA, "192.168.7.1", false, true, 4005, "10.0.0.9", true, kKey);
  EXPECT_EQ(device->LineID, 5);
  EXPECT_TRUE(IdEquals(device->Id(), kIdA));
  EXPECT_TRUE(IdEquals(device->PrevId(), DeviceId{}));
  EXPECT_EQ(device->Host(), "10.0.0.9");
  EXPECT_EQ(device->Port, 4005);
  EXPECT_EQ(device->LocalAddress(), "192.168.7.1");
  EXPECT_TRUE(device->PrimaryIP);
  EXPECT_TRUE(device->PrimaryID);
  EXPECT_FALSE(device->AddedByClient);
  EXPECT_TRUE(device->SenderOnWire);
  EXPECT_TRUE(device->ReceiverOnWire);
  EXPECT_EQ(device->CommandTimeOut, 1234);
  EXPECT_EQ(device->ConnectTimeOut, 25);
  EXPECT_EQ(device->KeyExchangeTimeOut, 2);
  EXPECT_EQ(device->MasterKeyText(), "00112233445566778899AABBCCDDEEFF");
  EXPECT_FALSE(device->Enabled);
  // The line's OwnId reversed, as the header sends it.
  EXPECT_TRUE(IdEquals(device->LineAddress(), HexArray<6>("40 00 80 3C 4D 5E")));

  // Without a host the device follows the sender's address; without an ID it
  // adopts the ID it is sent.
  const auto id_only = Ethernet(kEthernetLine, kIdB, true, "", true, 4009);
  EXPECT_FALSE(id_only->PrimaryIP);
  EXPECT_EQ(id_only->Host(), "");
  EXPECT_EQ(id_only->Port, 0);
  const auto host_only = Ethernet(kEthernetLine, NoId, false, "10.0.0.5", false);
  EXPECT_FALSE(host_only->PrimaryID);
  EXPECT_TRUE(IdEquals(host_only->Id(), NoId));
  EXPECT_EQ(host_only->LocalAddress(), "");
}

TEST_F(Registry, SerialShortAddressAllocation) {
  Serial(SerialId(1), 1);
  Serial(SerialId(2), 2);
  Serial(SerialId(4), 4);
  EXPECT_EQ(Serial(SerialId(3), 0)->ShortAddr, 3);
  EXPECT_THROW(Serial(SerialId(9), 2), EDeviceRegistryError);
  // The line stays usable after a refusal.
  EXPECT_EQ(Serial(SerialId(9), 0)->ShortAddr, 5);
  EXPECT_EQ(Serial(SerialId(10), 77)->ShortAddr, 77);
  // A line thread's address is always the registry's choice.
  EXPECT_EQ(Serial(SerialId(11), 90, false)->ShortAddr, 6);
  // Addresses outside the bus range are chosen like 0.
  EXPECT_EQ(Serial(SerialId(12), 200)->ShortAddr, 7);
  EXPECT_EQ(Serial(SerialId(13), -1)->ShortAddr, 8);

  const auto device = Serial(SerialId(14), 0);
  EXPECT_FALSE(device->SenderOnWire);
  EXPECT_FALSE(device->ReceiverOnWire);
  EXPECT_TRUE(devices.ShortAddrUsed(kSerialLine, 9));
  EXPECT_FALSE(devices.ShortAddrUsed(kEthernetLine, 9));
  // The device's own address does not count against it.
  EXPECT_EQ(devices.FreeShortAddr(*device), 9);
}

TEST_F(Registry, FullSerialLineGivesClientDevicesNoAddress) {
  for (int n = 1; n <= MaxShortAddress; ++n) Serial(SerialId(n), 0);
  EXPECT_EQ(devices.Item(MaxShortAddress - 1)->ShortAddr, MaxShortAddress);
  EXPECT_EQ(Serial(SerialId(1000), 0)->ShortAddr, kNoShortAddr);
  EXPECT_THROW(Serial(SerialId(1001), 0, false), EDeviceRegistryError);
}

TEST_F(Registry, IdTextsForAdds) {
  EXPECT_TRUE(IdEquals(DeviceIdFromText(""), NoId));
  EXPECT_TRUE(IdEquals(DeviceIdFromText("060504030201"), kIdA));
  EXPECT_TRUE(IdEquals(DeviceIdFromText("0605040302ab"), HexArray<6>("AB 02 03 04 05 06")));
  EXPECT_THROW(DeviceIdFromText("06050403020100"), platform::RangeError);
}

TEST_F(Registry, Lookups) {
  const auto a = Ethernet(kEthernetLine, kIdA, true, "10.0.0.5", true, 4001);
  const auto b = Ethernet(kOtherEthernetLine, kIdA, true, "10.0.0.5", true, 4002);
  const auto c = Ethernet(kEthernetLine, HexArray<6>("AB 00 00 00 00 00"), true, "", true);

  EXPECT_EQ(devices.FindDeviceOnLine(kOtherEthernetLine, kIdA), b);
  EXPECT_EQ(devices.FindDeviceOnLine(kSerialLine, kIdA), nullptr);
  EXPECT_EQ(devices.FindDeviceByIdText("060504030201"), a);
  EXPECT_EQ(devices.FindDeviceByIdText("0000000000AB"), c);
  EXPECT_EQ(devices.FindDeviceByIdText("0000000000ab"), nullptr);
  EXPECT_EQ(devices.FindDeviceByAddress("10.0.0.5", 4002), b);
  EXPECT_EQ(devices.FindDeviceByAddress("10.0.0.5", 4003), nullptr);
  EXPECT_EQ(devices.CountOnLine(kEthernetLine), 2u);
  EXPECT_EQ(devices.Item(3), nullptr);
}

TEST_F(Registry, DeleteDevice) {
  const auto a = Ethernet(kEthernetLine, kIdA, true, "", true);
  const auto b = Ethernet(kEthernetLine, kIdB, true, "", true);
  devices.DeleteDevice(0);
  EXPECT_EQ(devices.Items(), (std::vector<std::shared_ptr<TDevice>>{b}));
  // Deleting again, or past the end, does nothing.
  devices.DeleteDevice(a);
  devices.DeleteDevice(5);
  EXPECT_EQ(devices.Count(), 1u);

  // A device whose line is gone stays.
  lines.Remove(kEthernetLine);
  devices.DeleteDevice(b);
  EXPECT_EQ(devices.Count(), 1u);
}

TEST_F(Registry, DeleteLineDevicesLeavesOtherLines) {
  const auto line = lines.Add(7, true);
  const auto a = devices.AddEthernetDevice(7, kIdA, "", true, true, 0, "", true, kKey);
  const auto b = devices.AddEthernetDevice(7, kIdB, "", true, true, 0, "", true, kKey);
  const auto other = Ethernet(kEthernetLine, kIdA, true, "", true);
  a->SetEnabled(true);
  a->Connected = true;
  devices.DeleteLineDevices(*line);
  EXPECT_EQ(devices.Items(), (std::vector<std::shared_ptr<TDevice>>{other}));
  EXPECT_FALSE(a->Enabled);
  EXPECT_FALSE(a->Connected);
  ASSERT_EQ(events.States().size(), 1u);
  EXPECT_EQ(events.States()[0].code, kStateDisconnected);
}

// A thread working on a device keeps it while the registry deletes it.
TEST_F(Registry, DeletedDeviceStaysValidForItsHolder) {
  std::shared_ptr<TDevice> held = Ethernet(kEthernetLine, kIdA, true, "", true);
  held->SetEnabled(true);
  std::weak_ptr<TDevice> watch = held;
  std::atomic<bool> deleted{false};
  std::atomic<bool> working{false};

  std::thread line_thread([device = std::move(held), &deleted, &working] {
    // Works on the device until after the deletion, then once more.
    bool last_pass = false;
    while (!last_pass) {
      last_pass = deleted.load();
      auto m = std::make_shared<TK2Message>();
      m->Data = {0x06, 0x11, 0x00, 0x00, 0x00, 0x00};
      device->PushReceived(m);
      if (TK2MessagePtr got = device->PopReceived()) (void)got->Data.size();
      (void)device->IdText();
      working = true;
    }
  });
  while (!working.load()) std::this_thread::yield();
  devices.DeleteDevice(devices.FindDeviceOnLine(kEthernetLine, kIdA));
  EXPECT_EQ(devices.FindDeviceOnLine(kEthernetLine, kIdA), nullptr);
  EXPECT_FALSE(watch.expired());
  deleted = true;
  line_thread.join();
  EXPECT_TRUE(watch.expired());
}

TEST_F(Registry, LookupsWhileOtherThreadsAddDevices) {
  constexpr int kPerLine = 100;
  std::atomic<bool> done{false};
  auto adder = [this](std::int32_t line) {
    for (int n = 0; n < kPerLine; ++n) {
      devices.AddEthernetDevice(line, SerialId(n), "", false, true, 4000 + n, "10.0.0." + std::to_string(line), true,
                                kKey);
    }
  };
  std::thread first(adder, kEthernetLine);
  std::thread second(adder, kOtherEthernetLine);
  std::thread looker([&] {
    while (!done.load()) {
      (void)devices.FindDeviceByIdText("000000000A00");
      (void)devices.FindDeviceOnLine(kOtherEthernetLine, SerialId(kPerLine - 1));
      (void)devices.FindDeviceByAddress("10.0.0.1", 4050);
      for (const auto& d : devices.Items()) (void)d->Host();
    }
  });
  first.join();
  second.join();
  done = true;
  looker.join();

  for (int n = 0; n < kPerLine; ++n) {
    ASSERT_NE(devices.FindDeviceOnLine(kEthernetLine, SerialId(n)), nullptr) << n;
    ASSERT_NE(devices.FindDeviceByAddress("10.0.0.1", 4000 + n), nullptr) << n;
  }
  EXPECT_EQ(devices.Count(), 2u * kPerLine);
}

// Two threads adding the same IDs to one line: the line's lock makes each ID
// go in once.
TEST_F(Registry, ConcurrentAddsOfOneIdToOneLineAdmitOne) {
  constexpr int kIds = 50;
  auto adder = [this] {
    for (int n = 0; n < kIds; ++n) {
      try {
        Serial(SerialId(n), 0, false);
      } catch (const EDeviceRegistryError&) {
      }
    }
  };
  std::thread first(adder);
  std::thread second(adder);
  first.join();
  second.join();
  EXPECT_EQ(devices.CountOnLine(kSerialLine), static_cast<std::size_t>(kIds));
  std::vector<bool> used(MaxShortAddress + 1, false);
  for (const auto& d : devices.DevicesOnLine(kSerialLine)) {
    EXPECT_FALSE(used[d->ShortAddr]) << int(d->ShortAddr);
    used[d->ShortAddr] = true;
  }
}

}  // namespace
}  // namespace kavor2::device
