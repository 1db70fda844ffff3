// The service's statistics: the subscribers' call counters where delivery
// meets the calls' outcomes, the status report gathered from a session and
// a registry, the status file's JSON (read back by Python's own parser) and
// its replacement as a whole, and the clock of the reports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/kavor_session.h"
#include "platform/guid.h"
#include "service/delivery.h"
#include "service/host_test_support.h"
#include "service/message_cache.h"
#include "service/status_file.h"
#include "service/status_reporter.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {
namespace {

namespace fs = std::filesystem;
using subscribers::TSubscriber;
using subscribers::TSubscriberCounters;
using testing::CallbackServer;
using testing::LoopThread;
using testing::RecordingLog;
using testing::RecordingPoster;

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / ("k2stats-" + platform::GuidToText(platform::NewGuid()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What python3 prints for the script run over the file (sys.argv[1]).
std::string Python(const std::string& script, const fs::path& file) {
  const fs::path script_file = file.string() + ".py";
  std::ofstream(script_file) << script;
  const std::string command = "python3 " + script_file.string() + " " + file.string() + " 2>&1";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

std::uint64_t Read(const TSubscriberCounters::Counter& counter) { return TSubscriberCounters::Read(counter); }

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + testing::kDeadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- Call counters ------------------------------------------------------------------

TEST(SubscriberCounters, ResultsAndErrorsCountForTheSubscriberOfTheirEndpoint) {
  platform::EventLoop loop;
  RecordingLog log;
  RecordingPoster window;
  subscribers::TSubscribersInfo registry{loop};
  TDelivery delivery{registry, window, log};
  TSubscriber& s = testing::AddLoopbackSubscriber(registry, "Counted", 40000, 9000);
  auto fault = [](std::int32_t code) {
    auto r = std::make_shared<xmlrpc::TRpcResult>();
    r->SetError(code, "Boom");
    return r;
  };
  delivery.OnCallResult(s.CallbackClient(), "{A}", "Data", "127.0.0.1", std::make_shared<xmlrpc::TRpcResult>(), 9000);
  delivery.OnCallResult(s.CallbackClient(), "{B}", "Data", "127.0.0.1", std::make_shared<xmlrpc::TRpcResult>(), 9000);
  delivery.OnCallResult(s.CallbackClient(), "{C}", "State", "127.0.0.1", fault(1001), 9000);
  // A Ping the server has no method for: answered, so not a release, but
  // the call itself failed.
  delivery.OnCallResult(s.CallbackClient(), "{D}", "Ping", "127.0.0.1", fault(1000), 9000);
  delivery.OnCallError(nullptr, "{E}", "State", "127.0.0.1", 9000, 0);
  // Endpoints nobody has: nobody counts.
  delivery.OnCallResult(s.CallbackClient(), "{F}", "Data", "127.0.0.1", std::make_shared<xmlrpc::TRpcResult>(), 9001);
  delivery.OnCallResult(s.CallbackClient(), "{G}", "Data", "127.0.0.1", fault(1001), 9001);
  delivery.OnCallError(nullptr, "{H}", "State", "127.0.0.2", 9000, 0);

  EXPECT_EQ(Read(s.Counters.CallsSent), 2u);
  EXPECT_EQ(Read(s.Counters.CallsFailed), 3u);
  EXPECT_EQ(Read(s.Counters.CallsQueued), 0u) << "results are not calls made";
}

TEST(SubscriberCounters, CallsQueuedToALiveAndADeadCallbackServer) {
  CallbackServer live_server;
  const std::int32_t dead_port = testing::DeadPort();
  LoopThread service;
  RecordingLog log;
  RecordingPoster window;  // releases are recorded, not carried out
  std::unique_ptr<subscribers::TSubscribersInfo> registry;
  std::unique_ptr<TDelivery> delivery;
  TSubscriber* live = nullptr;
  TSubscriber* dead = nullptr;
  service.Sync([&] {
    registry = std::make_unique<subscribers::TSubscribersInfo>(service.loop());
    delivery = std::make_unique<TDelivery>(*registry, window, log);
    testing::RouteCallResults(*registry, *delivery);
    live = &testing::AddLoopbackSubscriber(*registry, "Live", 40001, live_server.Port());
    dead = &testing::AddLoopbackSubscriber(*registry, "Dead", 40002, dead_port);
    device::TStateDeviceMessage notice;
    notice.Subject = "3";
    notice.Owner = "someone";
    delivery->NotifyLine(kNotifyLineAdded, notice);
    delivery->NotifyLine(kNotifyLineDeleted, notice);
  });
  ASSERT_EQ(live_server.WaitForCalls(2).size(), 2u);
  std::uint64_t live_sent = 0, dead_failed = 0, queued_live = 0, queued_dead = 0, live_failed = 0;
  ASSERT_TRUE(WaitUntil([&] {
    service.Sync([&] {
      live_sent = Read(live->Counters.CallsSent);
      live_failed = Read(live->Counters.CallsFailed);
      dead_failed = Read(dead->Counters.CallsFailed);
      queued_live = Read(live->Counters.CallsQueued);
      queued_dead = Read(dead->Counters.CallsQueued);
    });
    return live_sent == 2 && dead_failed >= 1;
  }));
  EXPECT_EQ(queued_live, 2u);
  EXPECT_EQ(queued_dead, 2u);
  EXPECT_EQ(live_failed, 0u);
  service.Sync([&] {
    registry.reset();
    delivery.reset();
  });
}

TEST(SubscriberCounters, CachedRowsCountTheRowsWrittenForTheOwner) {
  TempDir dir;
  LoopThread service;
  RecordingLog log;
  RecordingPoster window;
  const std::int32_t dead_port = testing::DeadPort();
  std::unique_ptr<device::TKavorSession> session;
  std::unique_ptr<subscribers::TSubscribersInfo> registry;
  std::unique_ptr<TDelivery> delivery;
  TMessageCache cache(log);
  std::uint64_t rows = 0, queued = 0;
  std::size_t in_file = 0;
  service.Sync([&] {
    session = std::make_unique<device::TKavorSession>(service.loop(), testing::QuietLoopback());
    const std::int32_t line = session->Lines().AddLine(device::ltEthernet)->ID;
    auto d = session->Devices().AddEthernetDevice(line, device::TextToStoredId("0000000000C1"), "", true, false,
                                                  47711, "127.0.0.1", true, device::DefaultKey);
    registry = std::make_unique<subscribers::TSubscribersInfo>(service.loop());
    delivery = std::make_unique<TDelivery>(*registry, window, log, session.get());
    cache.Open(dir.path() / "k.S3DB");
    delivery->SetCache(&cache);
    TSubscriber& owner = testing::AddLoopbackSubscriber(*registry, "Owner", 40003, dead_port);
    registry->AddDeviceEntry(*d, owner.Certificate);
    d->SetGetEvent(true);
    auto deliver = [&](std::vector<std::uint8_t> data) {
      device::TK2Message record;
      record.DeviceText = "0000000000C1";
      record.Data = std::move(data);
      record.Deliver = true;
      delivery->DeviceData(kKindDataPacket, record);
    };
    deliver({0x03, 0x45});  // an event: cached
    deliver({0x03, 0x86});  // cached
    deliver({0x03, 0x07});  // not of the kinds that are kept
    in_file = cache.AllRows().size();
    cache.Close();
    deliver({0x03, 0x45});  // the insert fails: not stored, not counted
    rows = Read(owner.Counters.CachedRows);
    queued = Read(owner.Counters.CallsQueued);
    registry.reset();
    delivery.reset();
    session.reset();
  });
  EXPECT_EQ(rows, 2u);
  EXPECT_EQ(in_file, 2u);
  EXPECT_EQ(queued, 4u);
}

// ---- The report ----------------------------------------------------------------------

TEST(StatusReport, GatheredFromTheSessionAndTheRegistryWithoutTheCertificate) {
  LoopThread service;
  std::unique_ptr<device::TKavorSession> session;
  std::unique_ptr<subscribers::TSubscribersInfo> registry;
  TServiceStatus status;
  std::string certificate;
  std::int32_t udp_port = 0;
  service.Sync([&] {
    session = std::make_unique<device::TKavorSession>(service.loop(), testing::QuietLoopback());
    auto ethernet = session->Lines().AddLine(device::ltEthernet);
    udp_port = ethernet->UdpComm()->GetPort();
    auto serial = session->Lines().AddLine(device::ltSerial);
    serial->ComComm()->SetComPort(7);
    auto a = session->Devices().AddEthernetDevice(ethernet->ID, device::TextToStoredId("0000000000A1"), "", true,
                                                  false, 47712, "127.0.0.1", true, device::DefaultKey);
    auto b = session->Devices().AddEthernetDevice(ethernet->ID, device::TextToStoredId("0000000000A2"), "", true,
                                                  false, 47713, "127.0.0.1", true, device::DefaultKey);
    a->CountTraffic(&device::TTrafficCounters::CrcErrors);
    a->CountTraffic(&device::TTrafficCounters::Connects);
    b->CountTraffic(&device::TTrafficCounters::AuthErrors);
    device::TTrafficCounters::Bump(a->Counters.PacketsIn);
    device::TTrafficCounters::Bump(ethernet->Counters().PacketsIn);
    device::TTrafficCounters::Bump(ethernet->Counters().PacketsIn);

    registry = std::make_unique<subscribers::TSubscribersInfo>(service.loop());
    TSubscriber& s = testing::AddLoopbackSubscriber(*registry, "Reader ($DebugMode)", 40004, 9100);
    certificate = platform::GuidToText(s.Certificate);
    TSubscriberCounters::Bump(s.Counters.CallsQueued);
    status = GatherStatus(session.get(), &registry->Subscribers());
    registry.reset();
    session.reset();
  });

  ASSERT_EQ(status.Lines.size(), 2u);
  const TLineStatus& line = status.Lines[0];
  EXPECT_EQ(line.Type, "ETHERNET");
  EXPECT_EQ(line.Port, udp_port);
  EXPECT_EQ(line.Counts.PacketsIn, 2u) << "the line's own count, not its devices'";
  EXPECT_EQ(line.Counts.CrcErrors, 1u);
  EXPECT_EQ(line.Counts.AuthErrors, 1u);
  EXPECT_EQ(line.Counts.Connects, 1u);
  ASSERT_EQ(line.Devices.size(), 2u);
  EXPECT_EQ(line.Devices[0].Mac, "0000000000A1");
  EXPECT_EQ(line.Devices[0].Counts.PacketsIn, 1u);
  EXPECT_EQ(line.Devices[0].Counts.CrcErrors, 1u);
  EXPECT_EQ(line.Devices[1].Mac, "0000000000A2");
  EXPECT_EQ(line.Devices[1].Counts.AuthErrors, 1u);
  EXPECT_EQ(status.Lines[1].Type, "RS232");
  EXPECT_EQ(status.Lines[1].Port, 7);
  EXPECT_TRUE(status.Lines[1].Devices.empty());
  ASSERT_EQ(status.Subscribers.size(), 1u);
  EXPECT_EQ(status.Subscribers[0].Client, "Reader ($DebugMode)");
  EXPECT_EQ(status.Subscribers[0].Port, 9100);
  EXPECT_EQ(status.Subscribers[0].CallsQueued, 1u);

  const std::string json = StatusJson(status);
  EXPECT_EQ(json.find(certificate), std::string::npos);
  EXPECT_EQ(json.find(certificate.substr(1, 36)), std::string::npos);
  EXPECT_EQ(StatisticsEntry(status),
            "Statistics: lines 2, devices 2, subscribers 1; packets in 2, out 0; CRC errors 1; authentication "
            "errors 1; retransmissions 0; connects 1; disconnects 0; calls queued 1, sent 0, failed 0; cached rows 0");
}

TServiceStatus SampleStatus() {
  TServiceStatus status;
  status.Version = "1.0.2.0";
  status.Pid = 4321;
  status.Started = std::chrono::system_clock::from_time_t(1'796'990'400);  // 2026-12-11T12:00:00Z
  status.Written = status.Started + std::chrono::seconds(10);
  TLineStatus line;
  line.Id = 1;
  line.Port = 5000;
  line.Counts.PacketsIn = 12;
  line.Counts.Retransmissions = 3;
  line.Devices.push_back({"0000000000A1", {}});
  line.Devices[0].Counts.PacketsOut = 18446744073709551615u;  // the largest count stays exact
  TLineStatus serial;
  serial.Id = 2;
  serial.Type = kLineTypeSerial;
  serial.Port = 3;
  serial.Counts.Disconnects = 4;
  status.Lines = {line, serial};
  TSubscriberStatus s;
  // Quote, backslash, control characters and Cyrillic (Windows-1251).
  s.Client = std::string("A \"q\" \\ \t\x01\x1F end \xCA\xE0\xE2\xEE\xF0");
  s.Host = "127.0.0.1";
  s.Port = 9000;
  s.CallsQueued = 5;
  s.CallsSent = 4;
  s.CallsFailed = 1;
  s.CachedRows = 2;
  status.Subscribers = {s};
  return status;
}

TEST(StatusFile, TheJsonReadsBackWithEveryFieldAndTheExactText) {
  TempDir dir;
  const fs::path file = dir.path() / "status.json";
  std::ofstream(file, std::ios::binary) << StatusJson(SampleStatus());
  const std::string out = Python(
      "import json, sys\n"
      "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
      "print(sorted(d.keys()))\n"
      "print(d['program'], d['version'], d['pid'], d['started'], d['written'])\n"
      "l = d['lines'][0]\n"
      "print(sorted(l.keys()))\n"
      "print(l['id'], l['type'], l['port'], l['packets_in'], l['retransmissions'])\n"
      "dev = l['devices'][0]\n"
      "print(sorted(dev.keys()))\n"
      "print(dev['mac'], dev['packets_out'])\n"
      "print(d['lines'][1]['type'], d['lines'][1]['port'], d['lines'][1]['disconnects'], d['lines'][1]['devices'])\n"
      "s = d['subscribers'][0]\n"
      "print(sorted(s.keys()))\n"
      "print(s['client'] == 'A \"q\" \\\\ \\t\\x01\\x1f end \\u041a\\u0430\\u0432\\u043e\\u0440')\n"
      "print(s['host'], s['port'], s['calls_queued'], s['calls_sent'], s['calls_failed'], s['cached_rows'])\n",
      file);
  EXPECT_EQ(out,
            "['lines', 'pid', 'program', 'started', 'subscribers', 'version', 'written']\n"
            "kavor2srv 1.0.2.0 4321 2026-12-11T12:00:00Z 2026-12-11T12:00:10Z\n"
            "['auth_errors', 'connects', 'crc_errors', 'devices', 'disconnects', 'id', 'packets_in', 'packets_out', "
            "'port', 'retransmissions', 'type']\n"
            "1 ETHERNET 5000 12 3\n"
            "['auth_errors', 'connects', 'crc_errors', 'disconnects', 'mac', 'packets_in', 'packets_out', "
            "'retransmissions']\n"
            "0000000000A1 18446744073709551615\n"
            "RS232 3 4 []\n"
            "['cached_rows', 'calls_failed', 'calls_queued', 'calls_sent', 'client', 'host', 'port']\n"
            "True\n"
            "127.0.0.1 9000 5 4 1 2\n");
}

TEST(StatusFile, AnEmptyServiceIsValidJsonToo) {
  TServiceStatus status;
  status.Version = "1.0.2.0";
  const std::string json = StatusJson(status);
  EXPECT_NE(json.find("\"lines\":[],\"subscribers\":[]"), std::string::npos) << json;
  EXPECT_EQ(StatisticsEntry(status),
            "Statistics: lines 0, devices 0, subscribers 0; packets in 0, out 0; CRC errors 0; authentication errors "
            "0; retransmissions 0; connects 0; disconnects 0; calls queued 0, sent 0, failed 0; cached rows 0");
}

TEST(StatusFile, IsReplacedAsAWholeAndLeavesNoTemporary) {
  TempDir dir;
  const TStatusFile status_file(dir.path());
  EXPECT_EQ(status_file.Path(), dir.path() / "kavor2-status.json");
  ASSERT_TRUE(status_file.Write("first\n"));
  EXPECT_EQ(ReadFile(status_file.Path()), "first\n");
  struct stat before {};
  ASSERT_EQ(::stat(status_file.Path().c_str(), &before), 0);
  // A reader that has the old file open keeps reading the old file whole.
  std::ifstream reader(status_file.Path(), std::ios::binary);

  ASSERT_TRUE(status_file.Write("second, longer\n"));
  EXPECT_EQ(ReadFile(status_file.Path()), "second, longer\n");
  struct stat after {};
  ASSERT_EQ(::stat(status_file.Path().c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "a new file renamed over the old one, not rewritten in place";
  std::stringstream old_text;
  old_text << reader.rdbuf();
  EXPECT_EQ(old_text.str(), "first\n");

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"kavor2-status.json"});
}

TEST(StatusFile, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  TempDir dir;
  EXPECT_FALSE(TStatusFile(dir.path() / "missing").Write("x"));

  // The name taken by a directory: the rename fails.
  fs::create_directories(dir.path() / "blocked" / "kavor2-status.json" / "inside");
  EXPECT_FALSE(TStatusFile(dir.path() / "blocked").Write("x"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path() / "blocked")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"kavor2-status.json"});
  EXPECT_TRUE(fs::is_directory(dir.path() / "blocked" / "kavor2-status.json" / "inside"));
}

// ---- The clock -----------------------------------------------------------------------

TEST(StatusReporter, ReportsOnTheLoopThreadWithTheEntryAtItsIntervalAndStopsAtOnce) {
  LoopThread service;
  std::atomic<int> reports{0};
  std::atomic<int> entries{0};
  std::atomic<bool> off_loop{false};
  std::unique_ptr<TStatusReporter> reporter;
  service.Sync([&] {
    reporter = std::make_unique<TStatusReporter>(
        service.loop(),
        [&](bool entry) {
          if (!service.loop().OnLoopThread()) off_loop = true;
          ++reports;
          if (entry) ++entries;
        },
        std::chrono::milliseconds(10), std::chrono::milliseconds(60));
  });
  ASSERT_TRUE(WaitUntil([&] { return reports >= 20 && entries >= 2; }));
  const auto stop_started = std::chrono::steady_clock::now();
  service.Sync([&] { reporter.reset(); });
  EXPECT_LT(std::chrono::steady_clock::now() - stop_started, std::chrono::seconds(2));
  const int final_reports = reports;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  service.Sync([] {});
  EXPECT_EQ(reports, final_reports) << "nothing runs after the reporter is gone";
  EXPECT_FALSE(off_loop);
  EXPECT_LT(entries * 3, reports.load()) << "the entry comes at its own, longer interval";
}

TEST(StatusReporter, AHeldUpServiceThreadGetsOneReportNotAPile) {
  LoopThread service;
  std::atomic<int> reports{0};
  std::unique_ptr<TStatusReporter> reporter;
  service.Sync([&] {
    reporter = std::make_unique<TStatusReporter>(service.loop(), [&](bool) { ++reports; },
                                                 std::chrono::milliseconds(5), std::chrono::hours(1));
  });
  // The service thread busy for 40 intervals.
  service.Sync([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
  service.Sync([] {});
  EXPECT_LE(reports.load(), 2);
  service.Sync([&] { reporter.reset(); });
}

}  // namespace
}  // namespace kavor2::service
