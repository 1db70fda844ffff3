// Delivery of device data, device states and device notices to the
// subscribers' callback servers, and the cache of undelivered messages
// behind the owner's data: real callback servers on loopback, a session
// with devices on a line without threads, the host window dispatching on a
// service thread of its own.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/devices.h"
#include "device/id_key_text.h"
#include "device/kavor_session.h"
#include "platform/guid.h"
#include "service/delivery.h"
#include "service/host_dispatch.h"
#include "service/host_test_support.h"
#include "service/host_window_port.h"
#include "service/liveness.h"
#include "service/message_cache.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {
namespace {

using subscribers::TSubscriber;
using testing::CallbackServer;
using testing::DeadPort;
using testing::LoopThread;
using testing::RecordingLog;
using Calls = std::vector<CallbackServer::Received>;
using Strings = std::vector<std::string>;

constexpr std::int32_t kDevicePort = 47710;

device::TSessionEnvironment NoThreads() {
  device::TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  environment.Threads = {};
  return environment;
}

// A temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    path_ = std::filesystem::temp_directory_path() / ("k2cache-" + platform::GuidToText(platform::NewGuid()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The host's objects on a service thread, wired as the service wires them.
class Host {
 public:
  explicit Host(const std::filesystem::path* cache_file = nullptr) {
    service_.Sync([&] {
      session_ = std::make_unique<device::TKavorSession>(service_.loop(), NoThreads());
      line_ = session_->Lines().AddLine(device::ltEthernet)->ID;
      window_ = std::make_unique<HostWindow>(service_.loop(), [this](HostMessage& m) {
        RouteHostMessage(m, *delivery_, *liveness_);
      });
      port_ = std::make_unique<THostWindowPort>(*window_);
      registry_ = std::make_unique<subscribers::TSubscribersInfo>(service_.loop());
      registry_->SetWindow(port_.get());
      delivery_ = std::make_unique<TDelivery>(*registry_, *port_, log_, session_.get());
      liveness_ = std::make_unique<TLiveness>(*registry_, *port_, log_, *delivery_);
      if (cache_file) {
        cache_ = std::make_unique<TMessageCache>(log_);
        cache_->Open(*cache_file);
        delivery_->SetCache(cache_.get());
        delivery_->OnCallAccepted = [this](const std::string& guid) { cache_->DeleteTransaction(guid); };
      }
      testing::RouteCallResults(*registry_, *delivery_);
    });
  }
  ~Host() {
    service_.Sync([this] {
      port_->Detach();
      window_->Destroy();
      registry_.reset();
      liveness_.reset();
      delivery_.reset();
      cache_.reset();
      session_.reset();
    });
  }

  TSubscriber* Add(const std::string& name, std::int32_t connection_port, std::int32_t callback_port) {
    TSubscriber* s = nullptr;
    service_.Sync([&] { s = &testing::AddLoopbackSubscriber(*registry_, name, connection_port, callback_port); });
    return s;
  }
  // An Ethernet device at 127.0.0.1 (or without an IP text on request).
  std::shared_ptr<device::TDevice> AddDevice(const std::string& id, std::int32_t port = kDevicePort) {
    std::shared_ptr<device::TDevice> d;
    service_.Sync([&] {
      d = session_->Devices().AddEthernetDevice(line_, device::TextToStoredId(id), "", true, false, port,
                                                "127.0.0.1", true, device::DefaultKey);
    });
    return d;
  }
  void Own(const device::TDevice& d, const TSubscriber& owner) {
    service_.Sync([&] { registry_->AddDeviceEntry(const_cast<device::TDevice&>(d), owner.Certificate); });
  }
  void Data(std::int32_t kind, const device::TK2Message& record) {
    service_.Sync([&] { delivery_->DeviceData(kind, record); });
  }
  void State(std::uint16_t code, const device::TStateDeviceMessage* record) {
    service_.Sync([&] { delivery_->DeviceState(code, record); });
  }
  void PostNotice(std::uint32_t msg, const std::string& subject, const std::string& owner) {
    device::TStateDeviceMessage m;
    m.Subject = subject;
    m.Owner = owner;
    port_->Post(msg, std::make_unique<TStateRecord>(m));
  }
  // A line notice to everybody after what was sent: once it has arrived at
  // a server, so has everything sent to that server before it.
  void Fence() { PostNotice(WM_LINE_ADDED, "99", "fence"); }
  std::vector<TMessageCache::Row> Rows() {
    std::vector<TMessageCache::Row> rows;
    service_.Sync([&] { rows = cache_->AllRows(); });
    return rows;
  }

  LoopThread service_;
  RecordingLog log_;
  std::unique_ptr<device::TKavorSession> session_;
  std::int32_t line_ = 0;
  std::unique_ptr<HostWindow> window_;
  std::unique_ptr<THostWindowPort> port_;
  std::unique_ptr<subscribers::TSubscribersInfo> registry_;
  std::unique_ptr<TDelivery> delivery_;
  std::unique_ptr<TLiveness> liveness_;
  std::unique_ptr<TMessageCache> cache_;
};

const Strings kFence = {"12", "99", "fence"};

// Reads a server's calls fence by fence.
class FenceReader {
 public:
  explicit FenceReader(CallbackServer& server) : server_(server) {}
  // What reached the server after the previous fence up to the next one,
  // the fence left out.
  Calls Next() {
    for (std::size_t n = consumed_ + 1;; ++n) {
      Calls calls = server_.WaitForCalls(n);
      if (calls.size() < n) {
        ADD_FAILURE() << "no fence";
        return {};
      }
      const CallbackServer::Received& last = calls[n - 1];
      if (last.method == "State" && last.params == kFence) {
        Calls out(calls.begin() + static_cast<std::ptrdiff_t>(consumed_),
                  calls.begin() + static_cast<std::ptrdiff_t>(n - 1));
        consumed_ = n;
        return out;
      }
    }
  }

 private:
  CallbackServer& server_;
  std::size_t consumed_ = 0;
};

Calls UntilFence(CallbackServer& server) { return FenceReader(server).Next(); }

device::TK2Message Record(const std::string& device_text, std::vector<std::uint8_t> data, bool deliver) {
  device::TK2Message r;
  r.DeviceText = device_text;
  r.Data = std::move(data);
  r.Flags = 0x84;  // bits 7 and 2
  r.PNum = 7;
  r.KeyCounter = 4000000000u;
  r.TraceText = "trace";
  r.TimeText = "01.02.24 03:04:05 006";
  r.Deliver = deliver;
  return r;
}

TEST(DeliveryHelpers, HexFlagsAndTheFramesThatAreCached) {
  EXPECT_EQ(BytesToHex({0x00, 0x0A, 0xFF, 0x5c}), "000AFF5C");
  EXPECT_EQ(BytesToHex({}), "");
  EXPECT_EQ(FlagsTextTrailing(0x84), "7 2 ");
  EXPECT_EQ(FlagsTextLeading(0x84), " 7 2");
  EXPECT_EQ(FlagsTextTrailing(0xFF), "7 6 5 4 3 2 1 0 ");
  EXPECT_EQ(FlagsTextTrailing(0), "");
  EXPECT_EQ(FlagsTextLeading(0), "");
  struct Case {
    std::vector<std::uint8_t> data;
    bool cached;
  };
  for (const Case& c : std::vector<Case>{{{0x03, 0x45}, true},
                                         {{0x03, 0x86, 0x01}, true},
                                         {{0x03, 0x05}, true},
                                         {{0x03, 0x06}, true},
                                         {{0x03, 0x07}, false},
                                         {{0x03, 0x04}, false},
                                         {{0x45}, false},
                                         {{}, false}}) {
    EXPECT_EQ(IsCachedFrame(c.data), c.cached) << BytesToHex(c.data);
  }
}

TEST(DeviceData, TheOwnerGetsNineParametersAndDebugSubscribersTheTrace) {
  CallbackServer owner_server, debug_server, command_server;
  Host host;
  TSubscriber* owner = host.Add("Owner", 50101, owner_server.Port());
  host.Add("D ($DebugMode)", 50102, debug_server.Port());
  host.Add("C ($CommandMode)", 50103, command_server.Port());
  auto d = host.AddDevice("0000000000A1");
  host.Own(*d, *owner);

  host.Data(3, Record("0000000000A1", {0x03, 0x45, 0xAB}, true));
  host.Fence();

  const Calls to_owner = UntilFence(owner_server);
  ASSERT_EQ(to_owner.size(), 1u);
  EXPECT_EQ(to_owner[0].method, "Data");
  ASSERT_EQ(to_owner[0].params.size(), 9u);
  const Strings first8(to_owner[0].params.begin(), to_owner[0].params.begin() + 8);
  EXPECT_EQ(first8, (Strings{"0000000000A1", "0345AB", "3", "7 2 ", "7", "4000000000", "trace",
                             "01.02.24 03:04:05 006"}));
  EXPECT_EQ(to_owner[0].params[8].size(), 21u) << to_owner[0].params[8];  // "dd.mm.yy hh:nn:ss zzz"

  const Calls to_debug = UntilFence(debug_server);
  ASSERT_EQ(to_debug.size(), 1u);
  EXPECT_EQ(to_debug[0].method, "Data");
  EXPECT_EQ(to_debug[0].params, (Strings{"0000000000A1", "0345AB", "3", " 7 2", "7", "4000000000", "trace",
                                         "01.02.24 03:04:05 006"}));
  // Deliverable data is no trace for a command subscriber that does not own the device.
  EXPECT_TRUE(UntilFence(command_server).empty());
}

TEST(DeviceData, WhoReceivesWhichRecord) {
  CallbackServer normal_server, command_server, debug_server;
  Host host;
  TSubscriber* normal = host.Add("N", 50111, normal_server.Port());
  TSubscriber* command = host.Add("C ($CommandMode)", 50112, command_server.Port());
  TSubscriber* debug = host.Add("D ($DebugMode)", 50113, debug_server.Port());
  auto of_normal = host.AddDevice("0000000000B1");
  auto of_command = host.AddDevice("0000000000B2");
  auto of_debug = host.AddDevice("0000000000B3");
  host.AddDevice("0000000000B4");  // nobody's
  host.Own(*of_normal, *normal);
  host.Own(*of_command, *command);
  host.Own(*of_debug, *debug);

  struct Case {
    std::string device;
    std::int32_t kind;
    bool deliver;
    // Calls of the data method per server, in the form received: 9
    // parameters for the owner's data call, 8 for a trace.
    std::vector<std::size_t> normal, command, debug;
  };
  const std::vector<Case> cases = {
      // Traces: debug subscribers, then a command-mode owner.
      {"0000000000B1", 1, false, {}, {}, {8}},
      {"0000000000B2", 0, false, {}, {8}, {8}},
      {"0000000000B3", 2, false, {}, {}, {8}},
      {"0000000000B4", 1, false, {}, {}, {8}},
      // A data packet's record without the delivery mark is a trace too.
      {"0000000000B2", 3, false, {}, {8}, {8}},
      {"0000000000B9", 1, false, {}, {}, {}},  // unknown device: dropped
      // The owner's data, once; debug subscribers get the trace as well.
      {"0000000000B1", 3, true, {9}, {}, {8}},
      {"0000000000B2", 3, true, {}, {9}, {8}},
      {"0000000000B3", 3, true, {}, {}, {9, 8}},
      {"0000000000B4", 3, true, {}, {}, {8}},
      {"0000000000B9", 3, true, {}, {}, {8}},
  };
  FenceReader normal_reader(normal_server), command_reader(command_server), debug_reader(debug_server);
  auto sizes = [](FenceReader& reader) {
    std::vector<std::size_t> out;
    for (const auto& call : reader.Next()) out.push_back(call.params.size());
    return out;
  };
  for (const Case& c : cases) {
    host.Data(c.kind, Record(c.device, {0x02, 0x10}, c.deliver));
    host.Fence();
    const std::string what = c.device + " kind " + std::to_string(c.kind) + (c.deliver ? " deliver" : "");
    EXPECT_EQ(sizes(normal_reader), c.normal) << what;
    EXPECT_EQ(sizes(command_reader), c.command) << what;
    EXPECT_EQ(sizes(debug_reader), c.debug) << what;
  }
}

TEST(DeviceState, StatesGoToTheOwnerAndAutoAddedDevicesToEverybody) {
  CallbackServer owner_server, other_server;
  Host host;
  TSubscriber* owner = host.Add("Owner", 50121, owner_server.Port());
  host.Add("Other ($DebugMode)", 50122, other_server.Port());
  auto d = host.AddDevice("0000000000C1", 47711);
  host.AddDevice("0000000000C2");  // nobody's
  host.Own(*d, *owner);
  const std::string line = std::to_string(host.line_);

  auto device_form = [](const std::string& subject, std::uint8_t code) {
    device::TStateDeviceMessage m;
    m.Kind = device::kStateKindDevice;
    m.Subject = subject;
    m.Value = code;
    return m;
  };
  auto sub_form = [](const std::string& device_text, const std::string& sub, std::uint8_t type, std::uint8_t st) {
    device::TStateDeviceMessage m;
    m.Kind = device::kStateKindSubDevice;
    m.DeviceText = device_text;
    m.Subject = sub;
    m.DeviceType = type;
    m.Value = st;
    return m;
  };
  const auto off = device_form("0000000000C1", 0);
  const auto on = device_form("0000000000C1", 1);
  const auto added = device_form("0000000000C1", 2);
  const auto added_unknown = device_form("0000000000C9", 2);
  const auto changed = device_form("0000000000C1", 3);
  const auto unowned_off = device_form("0000000000C2", 0);
  const auto unknown_off = device_form("0000000000C9", 0);
  const auto sub_known = sub_form("0000000000C1", "0000000000F1", 1, 1);
  const auto sub_new = sub_form("0000000000C1", "0000000000F2", 2, 0);
  host.State(0, &off);
  host.State(1, &on);
  host.State(2, &added);
  host.State(2, &added_unknown);
  host.State(3, &changed);
  host.State(0, &unowned_off);
  host.State(0, &unknown_off);
  host.State(9, &sub_known);
  host.State(10, &sub_new);
  host.State(0, nullptr);
  host.Fence();

  const Strings added_params = {"2", line, "0000000000C1", "127.0.0.1", "47711"};
  const Strings added_unknown_params = {"2", "", ""};
  std::vector<Strings> to_owner;
  for (const auto& c : UntilFence(owner_server)) to_owner.push_back(c.params);
  EXPECT_EQ(to_owner, (std::vector<Strings>{
                          {"0", line, "0000000000C1"},
                          {"1", line, "0000000000C1"},
                          added_params,
                          added_unknown_params,
                          {"3", line, "0000000000C1", "127.0.0.1", "47711"},
                          {"9", line, "0000000000C1", "0000000000F1", "1", "1"},
                          {"10", line, "0000000000C1", "0000000000F2", "2", "0"},
                      }));
  std::vector<Strings> to_other;
  for (const auto& c : UntilFence(other_server)) to_other.push_back(c.params);
  EXPECT_EQ(to_other, (std::vector<Strings>{added_params, added_unknown_params}));

  // "Выкл : " and "Вкл  : " for known devices, whether owned or not.
  EXPECT_EQ(host.log_.Entries(), (Strings{"\xC2\xFB\xEA\xEB : 0000000000C1", "\xC2\xEA\xEB  : 0000000000C1",
                                          "\xC2\xFB\xEA\xEB : 0000000000C2"}));
}

TEST(DeviceNotices, LockedUnlockedAndAddedGoToEverybodyWithTheOwnerText) {
  CallbackServer a_server, b_server;
  Host host;
  TSubscriber* a = host.Add("A", 50131, a_server.Port());
  host.Add("B", 50132, b_server.Port());
  auto d = host.AddDevice("0000000000D1", 47712);
  host.Own(*d, *a);
  const std::string line = std::to_string(host.line_);
  const std::string a_text = "A ( 127.0.0.1 : " + std::to_string(a_server.Port()) + ")";

  host.PostNotice(WM_DEVICE_LOCKED, "0000000000D1", "Given");
  host.PostNotice(WM_DEVICE_LOCKED, "0000000000D1", "");  // the current owner's text stands in
  host.PostNotice(WM_DEVICE_UNLOCKED, "0000000000D1", "");
  host.PostNotice(WM_DEVICE_ADDED, "0000000000D1", "Maker");
  host.PostNotice(WM_DEVICE_ADDED, "0000000000D1", "");  // no stand-in for 14
  host.PostNotice(WM_DEVICE_LOCKED, "0000000000D9", "Gone");  // unknown: nothing
  host.PostNotice(WM_DEVICE_DELETED, "0000000000D9", "Gone");  // 15 needs no device
  host.Fence();

  const std::vector<Strings> expected = {
      {"6", line, "0000000000D1", "127.0.0.1", "47712", "Given"},
      {"6", line, "0000000000D1", "127.0.0.1", "47712", a_text},
      {"7", line, "0000000000D1", "127.0.0.1", "47712", a_text},
      {"14", line, "0000000000D1", "127.0.0.1", "47712", "Maker"},
      {"14", line, "0000000000D1", "127.0.0.1", "47712", ""},
      {"15", "0000000000D9", "Gone"},
  };
  for (CallbackServer* s : {&a_server, &b_server}) {
    std::vector<Strings> got;
    for (const auto& c : UntilFence(*s)) got.push_back(c.params);
    EXPECT_EQ(got, expected);
  }
}

// ---- The cache ---------------------------------------------------------------

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> TableNames(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  std::vector<std::string> names;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master ORDER BY name", -1, &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW) names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return names;
}

TEST(MessageCache, FileNameAndANewFileWithItsSchema) {
  EXPECT_EQ(CacheFileFor("/opt/k/bin/kavor2srv", "/var/lib/k"), std::filesystem::path("/var/lib/k/kavor2srv.S3DB"));
  EXPECT_EQ(CacheFileFor("/opt/k/bin/kavor2srv.exe", "/opt/k/bin"), std::filesystem::path("/opt/k/bin/kavor2srv.S3DB"));

  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  RecordingLog log;
  {
    TMessageCache cache(log);
    cache.Open(file);
    EXPECT_TRUE(cache.Connected());
    cache.Insert("{A}", "0000000000E1", "0345");
    cache.Insert("{B}", "0000000000E1", "0386");
    cache.Rekey("{A}", "{C}");
    cache.DeleteTransaction("{B}");
    cache.DeleteTransaction("{nothing}");
  }
  EXPECT_EQ(TableNames(file), (Strings{"CreateDataTime_ID_IDX", "LogData"}));
  TMessageCache again(log);
  again.Open(file);
  const auto rows = again.AllRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].IDTransaction, "{C}");
  EXPECT_EQ(rows[0].IDDevice, "0000000000E1");
  EXPECT_EQ(rows[0].Data, "0345");
  EXPECT_TRUE(log.Entries().empty());
}

TEST(MessageCache, AnEmptyOrDamagedFileIsMovedAsideAndMadeAgain) {
  for (const std::string& content : {std::string(), std::string(4096, 'x'), std::string("SQLite format 3") + '\0' +
                                                                                  std::string(200, '\x7f')}) {
    TempDir dir;
    const auto file = dir.path() / "k.S3DB";
    { std::ofstream(file, std::ios::binary) << content; }
    { std::ofstream(dir.path() / "k.S3DB-journal", std::ios::binary) << "stale"; }
    RecordingLog log;
    TMessageCache cache(log);
    cache.Open(file);
    cache.Insert("{A}", "0000000000E2", "0345");
    EXPECT_EQ(cache.AllRows().size(), 1u);
    ASSERT_EQ(log.Entries().size(), 1u);
    EXPECT_TRUE(log.Entries()[0].starts_with("Database damaged, moved aside : ")) << log.Entries()[0];
    int aside = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      if (e.path().filename().string().find(".damaged-") != std::string::npos) ++aside;
    }
    EXPECT_EQ(aside, 1) << "the file (SQLite drops an unreadable journal itself)";
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "k.S3DB-journal"));
  }
}

// A real cache with rows, then damaged the way a disk or a copy damages it:
// cut short at a page boundary or mid-page, or a page inside overwritten.
TEST(MessageCache, ARealFileCutShortOrOverwrittenInsideIsMovedAside) {
  constexpr std::size_t kPage = 4096;
  const struct {
    const char* name;
    std::function<void(std::string&)> damage;
  } cases[] = {
      {"cut at a page", [](std::string& f) { f.resize(f.size() / 2 / kPage * kPage); }},
      {"cut mid-page", [](std::string& f) { f.resize(f.size() / 2 + 100); }},
      {"a page overwritten", [](std::string& f) { f.replace(3 * kPage, kPage, std::string(kPage, '\x5a')); }},
  };
  std::string whole;
  {
    TempDir dir;
    const auto file = dir.path() / "k.S3DB";
    RecordingLog log;
    TMessageCache earlier_run(log);
    earlier_run.Open(file);
    earlier_run.Close();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                           "INSERT INTO LogData(IDTransaction,IDDevice,Data) "
                           "SELECT printf('{%036d}', i), '0000000000E4', printf('%0200d', i) FROM n",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    whole = ReadAll(file);
  }
  ASSERT_GT(whole.size(), 8 * kPage);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto file = dir.path() / "k.S3DB";
    RecordingLog log;
    std::string content = whole;
    c.damage(content);
    { std::ofstream(file, std::ios::binary | std::ios::trunc) << content; }

    TMessageCache cache(log);
    cache.Open(file);
    ASSERT_EQ(log.Entries().size(), 1u);
    EXPECT_TRUE(log.Entries()[0].starts_with("Database damaged, moved aside : ")) << log.Entries()[0];
    EXPECT_TRUE(cache.AllRows().empty());
    cache.Insert("{A}", "0000000000E4", "0345");
    EXPECT_EQ(cache.AllRows().size(), 1u);
    EXPECT_EQ(log.Entries().size(), 1u);
  }
}

TEST(MessageCache, AFileDamagedWhileOpenIsMovedAsideByTheNextInsert) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  RecordingLog log;
  TMessageCache cache(log);
  cache.Open(file);
  cache.Insert("{A}", "0000000000E8", "0345");
  {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    f << std::string(100, '\x5a');
  }
  cache.Insert("{B}", "0000000000E8", "0386");
  const auto rows = cache.AllRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].IDTransaction, "{B}");
  const Strings entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].starts_with("Insert to database error : ")) << entries[0];
  EXPECT_TRUE(entries[1].starts_with("Database damaged, moved aside : ")) << entries[1];
  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().starts_with("k.S3DB.damaged-")) ++aside;
  }
  EXPECT_EQ(aside, 1);
}

TEST(MessageCache, AFileThatCannotBeOpenedIsAnOpenErrorAndStaysPut) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  std::filesystem::create_directory(file);  // there, but no file to open
  RecordingLog log;
  TMessageCache cache(log);
  EXPECT_THROW(cache.Open(file), ECacheOpenError);
  EXPECT_FALSE(cache.Connected());
  EXPECT_TRUE(std::filesystem::is_directory(file));
  EXPECT_TRUE(log.Entries().empty());
}

TEST(MessageCache, ErrorsAreLoggedWithTheCacheTexts) {
  TempDir dir;
  RecordingLog log;
  TMessageCache cache(log);
  cache.Open(dir.path() / "missing-dir" / "k.S3DB");  // cannot be made
  EXPECT_FALSE(cache.Connected());
  cache.Insert("{A}", "0000000000E3", "0345");
  cache.DeleteTransaction("{A}");
  cache.Rekey("{A}", "{B}");
  EXPECT_FALSE(cache.ForEachRow("0000000000E3", [](const TMessageCache::Row&) {}));
  const Strings entries = log.Entries();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_TRUE(entries[0].starts_with("Database create error : "));
  EXPECT_TRUE(entries[1].starts_with("Insert to database error : "));
  EXPECT_TRUE(entries[2].starts_with("Select database error : "));
  EXPECT_TRUE(entries[3].starts_with("Update database error : "));
  EXPECT_TRUE(entries[4].starts_with("Select database error : "));
}

TEST(CachedDelivery, RowsOnlyForGetEventDevicesAndQualifyingFrames) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  const std::int32_t dead = DeadPort();
  Host host(&file);
  // The owner's server is away: its calls fail, the rows stay.
  TSubscriber* owner = host.Add("Owner", 50141, dead);
  auto events = host.AddDevice("0000000000F1");
  auto quiet = host.AddDevice("0000000000F2");
  host.service_.Sync([&] { events->SetGetEvent(true); });
  host.Own(*events, *owner);
  host.Own(*quiet, *owner);

  // All in one turn of the service thread: the failures release the owner
  // once their results come back.
  std::vector<std::string> guids;
  host.service_.Sync([&] {
    auto deliver = [&](const std::string& device, std::vector<std::uint8_t> data) {
      host.delivery_->DeviceData(3, Record(device, std::move(data), true));
      guids.push_back(owner->CallbackClient().LastGuid());
    };
    deliver("0000000000F1", {0x03, 0x45, 0x01});
    deliver("0000000000F1", {0x03, 0x86});
    deliver("0000000000F1", {0x03, 0x07});
    deliver("0000000000F1", {0x45});
    deliver("0000000000F2", {0x03, 0x45});
    host.delivery_->DeviceData(1, Record("0000000000F1", {0x03, 0x45}, false));  // a trace is never cached
  });

  const auto rows = host.Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].IDTransaction, guids[0]);
  EXPECT_EQ(rows[0].IDDevice, "0000000000F1");
  EXPECT_EQ(rows[0].Data, "034501");
  EXPECT_EQ(rows[1].IDTransaction, guids[1]);
  EXPECT_EQ(rows[1].Data, "0386");
  // The failures release the owner; the rows are still there.
  ASSERT_TRUE(host.log_.WaitFor("Release subscriber on disconnect (127.0.0.1 : 50141)"));
  EXPECT_EQ(host.Rows().size(), 2u);
}

TEST(CachedDelivery, AnAcceptedCallRemovesItsRow) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  CallbackServer owner_server;
  Host host(&file);
  TSubscriber* owner = host.Add("Owner", 50151, owner_server.Port());
  auto d = host.AddDevice("0000000000F3");
  host.service_.Sync([&] { d->SetGetEvent(true); });
  host.Own(*d, *owner);

  host.Data(3, Record("0000000000F3", {0x03, 0x45}, true));
  ASSERT_EQ(owner_server.WaitForCalls(1).size(), 1u);
  for (int i = 0; i < 2000 && !host.Rows().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(host.Rows().empty());
}

TEST(CachedDelivery, ResentAfterReopenAsTwoParameterCallsUnderTheLatestTransaction) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  {
    RecordingLog log;
    TMessageCache earlier_run(log);
    earlier_run.Open(file);
    earlier_run.Insert("{00000000-0000-0000-0000-000000000001}", "0000000000F4", "0345AA");
    earlier_run.Insert("{00000000-0000-0000-0000-000000000002}", "0000000000F5", "0386");  // another device
  }
  CallbackServer owner_server;
  Host host(&file);
  TSubscriber* owner = host.Add("Owner", 50161, owner_server.Port());
  auto d = host.AddDevice("0000000000F4");
  host.Own(*d, *owner);

  // Two re-sends before any answer: the row follows the latest call.
  std::string latest;
  std::vector<TMessageCache::Row> rows;
  host.service_.Sync([&] {
    device::TStateDeviceMessage m;
    m.Subject = "0000000000F4";
    host.delivery_->ResendCache(m);
    host.delivery_->ResendCache(m);
    latest = owner->CallbackClient().LastGuid();
    rows = host.cache_->AllRows();
  });
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].IDTransaction, latest);
  EXPECT_EQ(rows[0].Data, "0345AA");
  EXPECT_EQ(rows[1].IDTransaction, "{00000000-0000-0000-0000-000000000002}");

  const Calls calls = owner_server.WaitForCalls(2);
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& c : calls) {
    EXPECT_EQ(c.method, "Data");
    EXPECT_EQ(c.params, (Strings{"0000000000F4", "0345AA"}));
  }
  // Accepted: the row goes; the other device's row stays.
  for (int i = 0; i < 2000 && host.Rows().size() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto left = host.Rows();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].IDDevice, "0000000000F5");
}

TEST(CachedDelivery, ResendThroughTheWindowAndWithoutAnOwnerOrCache) {
  TempDir dir;
  const auto file = dir.path() / "k.S3DB";
  {
    RecordingLog log;
    TMessageCache earlier_run(log);
    earlier_run.Open(file);
    earlier_run.Insert("{00000000-0000-0000-0000-000000000003}", "0000000000F6", "0345");
  }
  CallbackServer owner_server;
  {
    Host host(&file);
    TSubscriber* owner = host.Add("Owner", 50171, owner_server.Port());
    auto d = host.AddDevice("0000000000F6");
    FenceReader reader(owner_server);
    host.PostNotice(WM_RESEND_CACHE, "0000000000F6", "");  // no owner yet: nothing
    host.PostNotice(WM_RESEND_CACHE, "0000000000F9", "");  // no device
    host.Fence();
    EXPECT_TRUE(reader.Next().empty());
    host.Own(*d, *owner);
    host.PostNotice(WM_RESEND_CACHE, "0000000000F6", "");
    host.Fence();
    const Calls calls = reader.Next();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].params, (Strings{"0000000000F6", "0345"}));
  }
  // With the cache off nothing is re-sent.
  CallbackServer second_server;
  Host off;
  TSubscriber* owner = off.Add("Owner", 50172, second_server.Port());
  auto d = off.AddDevice("0000000000F6");
  off.Own(*d, *owner);
  off.PostNotice(WM_RESEND_CACHE, "0000000000F6", "");
  off.Fence();
  EXPECT_TRUE(UntilFence(second_server).empty());
}

}  // namespace
}  // namespace kavor2::service
