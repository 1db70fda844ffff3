// The device simulator's UDP driver against a plain socket playing the
// line, and its command line.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/id_exchange.h"
#include "engine_harness.h"
#include "device/udp_datagram.h"
#include "device/udp_socket.h"
#include "k2sim/k2sim_driver.h"
#include "k2sim/k2sim_options.h"
#include "k2sim/k2sim_udp_device.h"

namespace kavor2::k2sim {
namespace {

using device::Bytes;
using device::DeviceId;

constexpr int kWaitMs = 2000;
const DeviceId kSimId = device::TextToStoredId("0000A1B2C3D4");
const DeviceId kLineWireId = device::TextToId("112233445566");  // what a line sends: ReverseId(OwnId)

sockaddr_in AddressOf(const device::UdpSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket.Descriptor(), reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

bool WaitReadable(int fd, int ms = kWaitMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// The next datagram within the deadline, nothing when none came.
std::optional<Bytes> ReceiveWithin(const device::UdpSocket& socket, int ms = kWaitMs) {
  if (!WaitReadable(socket.Descriptor(), ms)) return std::nullopt;
  std::vector<std::uint8_t> buffer(device::kMaxDatagramSize);
  int error = 0;
  auto got = socket.Receive(buffer, error);
  if (!got) return std::nullopt;
  buffer.resize(got->length);
  return buffer;
}

// A datagram already sent on loopback is queued when SendTo returns, so
// "nothing waiting" can be read without waiting.
bool NothingWaiting(const device::UdpSocket& socket) { return !WaitReadable(socket.Descriptor(), 0); }

Bytes IdDatagram(std::uint8_t kind, const DeviceId& id) {
  const auto prefix = device::MakeDatagramPrefix(false);
  Bytes d(prefix.begin(), prefix.end());
  const auto message = device::BuildIdExchangeMessage(kind, id);
  d.insert(d.end(), message.begin(), message.end());
  return d;
}

struct Event {
  std::string name;
  Bytes data;
};

class SimIdExchange : public ::testing::Test {
 protected:
  SimIdExchange() {
    line = device::UdpSocket::Bind("127.0.0.1", 0);
    TUdpSimConfig config;
    config.Id = kSimId;
    config.Service = AddressOf(*line);
    config.IdRequestEveryMs = 1000;
    auto socket = device::UdpSocket::Bind("127.0.0.1", 0);
    sim_address = AddressOf(*socket);
    sim = std::make_unique<TUdpSimDevice>(config, std::move(socket),
                                          [this](const DeviceId& id, const std::string& e, const Bytes& data) {
                                            EXPECT_TRUE(device::IdEquals(id, kSimId));
                                            events.push_back({e, data});
                                          });
  }

  // The line sends a datagram; the device takes it once it has arrived.
  void LineSends(const Bytes& datagram, std::int64_t now_ms) {
    ASSERT_EQ(line->SendTo(sim_address, datagram), 0);
    ASSERT_TRUE(WaitReadable(sim->Descriptor()));
    sim->ReceiveAll(now_ms);
  }

  bool Saw(const std::string& name) const {
    for (const auto& e : events) {
      if (e.name == name) return true;
    }
    return false;
  }

  std::unique_ptr<device::UdpSocket> line;
  sockaddr_in sim_address{};
  std::unique_ptr<TUdpSimDevice> sim;
  std::vector<Event> events;
};

TEST_F(SimIdExchange, AsksForTheLinesIdAtStartAndUntilAnswered) {
  sim->Poll(0);
  EXPECT_EQ(ReceiveWithin(*line), IdDatagram(device::kIdRequest, kSimId));
  sim->Poll(999);
  EXPECT_TRUE(NothingWaiting(*line));
  sim->Poll(1000);
  EXPECT_EQ(ReceiveWithin(*line), IdDatagram(device::kIdRequest, kSimId));

  LineSends(IdDatagram(device::kIdAnswer, kLineWireId), 1500);
  EXPECT_TRUE(sim->IdAnswered());
  ASSERT_TRUE(sim->LineId().has_value());
  EXPECT_EQ(*sim->LineId(), kLineWireId);
  sim->Poll(10'000);
  EXPECT_TRUE(NothingWaiting(*line));
  EXPECT_TRUE(Saw("id-answer-received"));
}

TEST_F(SimIdExchange, AnswersEveryRequestWithItsId) {
  sim->Poll(0);
  ASSERT_TRUE(ReceiveWithin(*line).has_value());  // its own request
  for (std::int64_t now : {10, 20}) {
    LineSends(IdDatagram(device::kIdRequest, kLineWireId), now);
    EXPECT_EQ(ReceiveWithin(*line), IdDatagram(device::kIdAnswer, kSimId));
  }
  EXPECT_EQ(*sim->LineId(), kLineWireId);
  // A request is no answer: the device still wants the line's.
  EXPECT_FALSE(sim->IdAnswered());
  EXPECT_TRUE(Saw("id-request-received"));
  EXPECT_TRUE(Saw("id-answer-sent"));
}

TEST_F(SimIdExchange, IgnoresDatagramsItCannotRead) {
  sim->Poll(0);
  ASSERT_TRUE(ReceiveWithin(*line).has_value());
  const Bytes cases[] = {
      {0xED, 0x9C, 0x22, 0x01, 0x11},                        // message cut short
      {0xEE, 0x9C, 0x22, 0x01, 1, 2, 3, 4, 5, 6},            // wrong marker
      {0xED, 0x9C, 0x32, 0x01, 1, 2, 3, 4, 5, 6},            // other transport version
      {0xED, 0x9C, 0x20, 0x05, 0x00, 0x00},                  // K2 packet before the exchange, no address
  };
  for (const Bytes& datagram : cases) {
    SCOPED_TRACE(HexText(datagram));
    LineSends(datagram, 10);
    EXPECT_TRUE(NothingWaiting(*line));
    EXPECT_FALSE(sim->IdAnswered());
    EXPECT_FALSE(sim->Connected());
  }
  EXPECT_TRUE(Saw("bad-id-message"));
  EXPECT_TRUE(Saw("bad-prefix"));
  EXPECT_TRUE(Saw("packet-before-id"));
}

TEST_F(SimIdExchange, CommandsBeforeTheKeyExchangeSendNothing) {
  sim->Poll(0);
  ASSERT_TRUE(ReceiveWithin(*line).has_value());
  sim->SendData({0x01});
  sim->SendRoute(1, kRouteConnected);
  EXPECT_TRUE(NothingWaiting(*line));
  EXPECT_TRUE(Saw("not-connected-data"));
  EXPECT_TRUE(Saw("not-connected-route"));
}

// The engine of the service on one side of a loopback socket, the UDP
// simulator on the other: the ID exchange, the key exchange, the status
// word and data both ways go through real datagrams.
TEST(SimOverUdp, ConnectsToTheEngineAndCarriesDataBothWays) {
  using device::test::EngineHarness;
  EngineHarness h;
  h.hold_line = true;  // the service's packets go over the socket instead
  auto line = device::UdpSocket::Bind("127.0.0.1", 0);
  TUdpSimConfig config;
  config.Id = EngineHarness::kDeviceId;
  config.MasterKey = EngineHarness::kMasterKey;
  config.Service = AddressOf(*line);
  auto socket = device::UdpSocket::Bind("127.0.0.1", 0);
  const sockaddr_in sim_address = AddressOf(*socket);
  std::vector<Event> events;
  TUdpSimDevice sim(config, std::move(socket), [&](const DeviceId&, const std::string& e, const Bytes& data) {
    events.push_back({e, data});
  });
  const auto saw = [&](const std::string& name, const Bytes& data) {
    for (const auto& e : events) {
      if (e.name == name && e.data == data) return true;
    }
    return false;
  };

  // The line answers the device's request as the service does.
  sim.Poll(0);
  ASSERT_EQ(ReceiveWithin(*line), IdDatagram(device::kIdRequest, EngineHarness::kDeviceId));
  ASSERT_EQ(line->SendTo(sim_address, IdDatagram(device::kIdAnswer, device::ReverseId(h.line->own_id))), 0);
  ASSERT_TRUE(WaitReadable(sim.Descriptor()));
  sim.ReceiveAll(0);
  ASSERT_TRUE(sim.IdAnswered());

  std::size_t forwarded = 0;
  std::int64_t now = 0;
  const auto pump = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
      if (done()) return true;
      h.Step();
      now += EngineHarness::kStep;
      for (; forwarded < h.sent.size(); ++forwarded) {
        const auto prefix = device::MakeDatagramPrefix(true);
        Bytes d(prefix.begin(), prefix.end());
        d.insert(d.end(), h.sent[forwarded]->Data.begin(), h.sent[forwarded]->Data.end());
        EXPECT_EQ(line->SendTo(sim_address, d), 0);
        if (!WaitReadable(sim.Descriptor())) return false;
        sim.ReceiveAll(now);
      }
      sim.Poll(now);
      while (!NothingWaiting(*line)) {
        auto d = ReceiveWithin(*line);
        if (!d) break;
        bool k2 = false;
        EXPECT_TRUE(device::ParseDatagramPrefix(*d, k2));
        EXPECT_TRUE(k2);
        h.FromDevice(Bytes(d->begin() + device::kDatagramPrefixSize, d->end()));
      }
    }
    return done();
  };

  h.device->SetMasterKey(EngineHarness::kMasterKey);
  h.device->SetEnabled(true);
  // On connecting the simulator says data may be sent.
  ASSERT_TRUE(pump([&] {
    return h.device->Connected && sim.Connected() && (h.device->ProfileByte() & device::kProfileDataAllowed) != 0;
  }));
  EXPECT_TRUE(saw("connected", {}));

  ASSERT_TRUE(h.device->SubmitData({0x03, 0x7A, 0x7B}));
  ASSERT_TRUE(pump([&] { return saw("data", {0x03, 0x7A, 0x7B}); }));

  sim.SendData({0x42, 0x43});
  ASSERT_TRUE(pump([&] {
    for (const auto& record : h.Delivered()) {
      if (record.message->Data == Bytes{0x03, 0x42, 0x43}) return true;
    }
    return false;
  }));
  EXPECT_TRUE(saw("data-sent", {0x03, 0x42, 0x43}));

  // A route report makes the engine announce a new sub-device.
  sim.SendRoute(1, kRouteConnected);
  ASSERT_TRUE(pump([&] {
    const auto codes = h.StateCodes();
    return std::find(codes.begin(), codes.end(), device::kStateSubDeviceNew) != codes.end();
  }));
}

// ---- Command line -------------------------------------------------------------

struct ArgCase {
  std::vector<std::string> args;
  bool ok;
};

TEST(SimOptions, ParseTable) {
  const ArgCase cases[] = {
      {{}, true},
      {{"--service", "127.0.0.1:40001", "--devices", "3", "--first-id", "00000000ffff"}, true},
      {{"--key", "00112233445566778899AABBCCDDEEFF", "--send-every", "500", "--data", "05 01"}, true},
      {{"--routes", "--quiet", "--record", "/tmp/x", "--duration", "1.5", "--commands"}, true},
      {{"--service", "127.0.0.1"}, false},
      {{"--service", ":40000"}, false},
      {{"--service", "127.0.0.1:0"}, false},
      {{"--service", "127.0.0.1:65536"}, false},
      {{"--devices", "0"}, false},
      {{"--devices", "1001"}, false},
      {{"--devices", "2x"}, false},
      {{"--first-id", "12345"}, false},
      {{"--first-id", "FFFFFFFFFFFE", "--devices", "2"}, false},  // the second would be NoId
      {{"--base-port", "65535", "--devices", "2"}, false},
      {{"--base-port", "0", "--devices", "5"}, true},
      {{"--key", "0011"}, false},
      {{"--send-every", "0"}, false},
      {{"--data", "ABC"}, false},
      {{"--data", ""}, false},
      {{"--duration", "-1"}, false},
      {{"--duration", "nan"}, false},
      {{"--devices"}, false},
      {{"--bogus"}, false},
      // The serial bus.
      {{"--serial-dir", "/tmp", "--com", "4", "--devices", "2", "--capacity", "2", "--repeat-first"}, true},
      {{"--serial-dir", "/tmp", "--devices", "128"}, false},  // one short address each
      {{"--serial-dir", ""}, false},
      {{"--com", "0"}, false},
      {{"--com", "256"}, false},
      {{"--capacity", "16"}, false},
  };
  for (const ArgCase& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const TParseResult r = ParseOptions(c.args);
    EXPECT_EQ(r.Options.has_value(), c.ok) << r.Error;
    EXPECT_EQ(r.Error.empty(), c.ok);
    EXPECT_FALSE(r.Help);
  }
}

TEST(SimOptions, DefaultsAndValues) {
  const TSimOptions d = *ParseOptions({}).Options;
  EXPECT_EQ(d.ServiceHost, "127.0.0.1");
  EXPECT_EQ(d.ServicePort, 40000);
  EXPECT_TRUE(device::KeyEquals(d.MasterKey, device::DefaultKey));
  EXPECT_EQ(d.SendEveryMs, 0);

  const TSimOptions o = *ParseOptions({"--service", "10.1.2.3:5000", "--first-id", "0000000000fe", "--devices",
                                       "3", "--data", "a1b2"})
                             .Options;
  EXPECT_EQ(o.ServiceHost, "10.1.2.3");
  EXPECT_EQ(o.ServicePort, 5000);
  EXPECT_EQ(o.Data, (Bytes{0xA1, 0xB2}));
  const auto ids = DeviceIds(o);
  ASSERT_TRUE(ids.has_value());
  ASSERT_EQ(ids->size(), 3u);
  // Counting up carries into the next byte, in API text order.
  EXPECT_EQ(device::IdToText((*ids)[0]), "0000000000FE");
  EXPECT_EQ(device::IdToText((*ids)[2]), "000000000100");
}

TEST(SimOptions, HelpWinsAndNamesTheDefaults) {
  const TParseResult r = ParseOptions({"--devices", "2", "--help", "--bogus"});
  EXPECT_TRUE(r.Help);
  EXPECT_NE(HelpText().find("127.0.0.1:40000"), std::string::npos);
  EXPECT_NE(HelpText().find("--serial-dir DIR"), std::string::npos);
}

int RunProgram(const std::string& args) {
  const char* build = std::getenv("K2_BUILD_DIR");
  if (build == nullptr) return -1;
  const std::string program = std::string(build) + "/tools/k2sim/k2sim";
  if (!std::filesystem::exists(program)) return -1;
  const int status = std::system((program + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimProgram, HelpExitsZeroAndUsageErrorsTwo) {
  if (std::getenv("K2_BUILD_DIR") == nullptr) GTEST_SKIP() << "K2_BUILD_DIR not set";
  EXPECT_EQ(RunProgram("--help"), 0);
  EXPECT_EQ(RunProgram("--devices 0"), 2);
  // A short run ends by itself and cleanly, nobody listening.
  EXPECT_EQ(RunProgram("--service 127.0.0.1:1 --base-port 0 --duration 0.2 --quiet"), 0);
  // A serial bus behind a pty: the link exists while it runs and goes after.
  char dir[] = "/tmp/k2simbusXXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  EXPECT_EQ(RunProgram(std::string("--serial-dir ") + dir + " --com 3 --devices 2 --duration 0.2"), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir) / "COM3"));
  EXPECT_EQ(RunProgram("--serial-dir /nonexistent-k2-dir --duration 0.2"), 1);
  std::filesystem::remove_all(dir);
}

// ---- Commands and event lines ---------------------------------------------------

struct CommandCase {
  std::string line;
  bool ok;
  std::string verb;
};

TEST(SimCommands, ParseTable) {
  const CommandCase cases[] = {
      {"data 01 02 03", true, "data"},
      {"0000A1B2C3D4 stream aabb", true, "stream"},
      {"route 01 01", true, "route"},
      {"status 20", true, "status"},
      {"", false, ""},
      {"0000A1B2C3D4", false, ""},
      {"data", false, ""},
      {"data 0", false, ""},
      {"route 01", false, ""},
      {"route 100 01", false, ""},
      {"status", false, ""},
      {"reboot", false, ""},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::string error;
    const auto command = ParseCommand(c.line, error);
    ASSERT_EQ(command.has_value(), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(command->Verb, c.verb);
    }
  }
  std::string error;
  const auto targeted = ParseCommand("0000A1B2C3D4 data 0102", error);
  ASSERT_TRUE(targeted && targeted->Target);
  EXPECT_TRUE(device::IdEquals(*targeted->Target, kSimId));
  EXPECT_EQ(targeted->Data, (Bytes{1, 2}));
}

TEST(SimEvents, OneLineWithTimeIdEventAndHex) {
  constexpr std::int64_t kMs = ((13 * 60 + 5) * 60 + 9) * 1000 + 42;
  EXPECT_EQ(FormatEvent(kMs, kSimId, "data", {0x05, 0xAB}), "13:05:09.042 0000A1B2C3D4 data 05AB");
  EXPECT_EQ(FormatEvent(kMs, kSimId, "connected", {}), "13:05:09.042 0000A1B2C3D4 connected");
}

}  // namespace
}  // namespace kavor2::k2sim
