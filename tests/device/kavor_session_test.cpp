// The session: line IDs, lines on loopback UDP, their threads' start and
// stop, the device lookups, and the message sink's delivery on the service
// thread.
#include "device/kavor_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/fixed_keys.h"
#include "device/test_bytes.h"

namespace kavor2::device {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 10s;
const std::string kLoopback = "127.0.0.1";

// Waits for a condition that other threads make true: they change what it
// reads under Mutex(), then call Changed().
class Waiter {
 public:
  void Changed() { cv_.notify_all(); }
  bool WaitFor(const std::function<bool()>& condition) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, condition);
  }
  std::mutex& Mutex() { return mutex_; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

// The service thread: an event loop on a thread of its own.
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop_.Run(); }) {}
  ~LoopThread() {
    loop_.Stop();
    thread_.join();
  }
  platform::EventLoop& Loop() { return loop_; }
  std::thread::id Id() const { return thread_.get_id(); }
  // Returns once everything posted before has run.
  bool Drain() {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    loop_.Post([&] {
      std::lock_guard lock(m);
      done = true;
      cv.notify_all();
    });
    std::unique_lock lock(m);
    return cv.wait_for(lock, kDeadline, [&] { return done; });
  }

 private:
  platform::EventLoop loop_;
  std::thread thread_;
};

// A UDP socket of the test playing a device, on loopback.
class PeerSocket {
 public:
  PeerSocket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a = Address(kLoopback, 0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
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
  void SendTo(int port, const Bytes& bytes) const {
    sockaddr_in a = Address(kLoopback, static_cast<std::uint16_t>(port));
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
  }

 private:
  static sockaddr_in Address(const std::string& host, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
  }
  int fd_ = -1;
};

int FreePort() {
  PeerSocket probe;
  return probe.Port();
}

LocalAdapters AdapterWithMac(std::array<std::uint8_t, kMacSize> mac) {
  LocalAdapters list;
  list.ok = true;
  list.adapters.push_back({"eth0", mac});
  list.ipv4_addresses = {kLoopback};
  return list;
}

// Loopback as the only address, and a first adapter 00-1A-2B-3C-4D-5E.
// Lines get no threads unless a test gives them: these tests drive the
// transport themselves.
TSessionEnvironment LoopbackEnvironment() {
  TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{kLoopback}; };
  environment.Adapters = [] { return AdapterWithMac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}); };
  environment.Threads = {};
  return environment;
}

std::shared_ptr<TDevice> AddDevice(TKavorSession& session, std::int32_t line_id, const std::string& id_text,
                                   int port) {
  return session.Devices().AddEthernetDevice(line_id, DeviceIdFromText(id_text), "", true, true, port, kLoopback,
                                             true, DefaultKey);
}

// What the host's handlers saw, in order.
struct Delivered {
  std::string what;  // "data <kind> <first byte>" or "state <code> <subject>" / "state <code> null"
  std::thread::id thread;
  std::string stamp;  // TimeText of a data record
};

class Recorder {
 public:
  void Wire(TKavorSession& session) {
    session.SetOnDeviceData([this](TKavorSession& sender, std::int32_t kind, const TK2Message& record) {
      Add(&sender, "data " + std::to_string(kind) + " " + (record.Data.empty() ? "-" : std::to_string(record.Data[0])),
          record.TimeText);
    });
    session.SetOnDeviceState([this](TKavorSession& sender, std::uint16_t code, const TStateDeviceMessage* record) {
      Add(&sender, "state " + std::to_string(code) + " " + (record ? record->Subject : "null"), {});
    });
  }
  // Texts of what was delivered, without the threads.
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const Delivered& d : Items()) texts.push_back(d.what);
    return texts;
  }
  std::vector<Delivered> Items() {
    std::lock_guard lock(waiter.Mutex());
    return items_;
  }
  bool WaitForSize(std::size_t n) {
    return waiter.WaitFor([&] { return items_.size() >= n; });
  }
  TKavorSession* Sender() {
    std::lock_guard lock(waiter.Mutex());
    return sender_;
  }

  Waiter waiter;

 private:
  void Add(TKavorSession* sender, std::string what, std::string stamp) {
    std::lock_guard lock(waiter.Mutex());
    sender_ = sender;
    items_.push_back({std::move(what), std::this_thread::get_id(), std::move(stamp)});
    waiter.Changed();
  }
  std::vector<Delivered> items_;
  TKavorSession* sender_ = nullptr;
};

TK2MessagePtr Message(std::uint8_t first_byte) {
  auto message = std::make_shared<TK2Message>();
  message->Data = {first_byte};
  return message;
}

std::unique_ptr<TStateDeviceMessage> StateRecord(const std::string& subject) {
  auto record = std::make_unique<TStateDeviceMessage>();
  record->Subject = subject;
  return record;
}

class Session : public ::testing::Test {
 protected:
  // The session goes first: its handlers use the recorder, and its records
  // the loop.
  LoopThread service_;
  Recorder recorder_;
  TKavorSession session_{service_.Loop(), LoopbackEnvironment()};
};

// ---- Lines ------------------------------------------------------------------------

TEST_F(Session, LineIdsCountFromZeroAndAreNeverReused) {
  TLines& lines = session_.Lines();
  EXPECT_EQ(lines.AddLine(ltEthernet)->ID, 0);
  EXPECT_EQ(lines.AddLine(ltEthernet)->ID, 1);
  lines.DeleteLine(0);
  EXPECT_EQ(lines.FindItemID(0), nullptr);
  EXPECT_EQ(lines.AddLine(ltEthernet)->ID, 2);

  // A serial line takes the next ID like any other, with its own transport,
  // closed until the host opens it.
  const std::shared_ptr<TLine> serial = lines.AddLine(ltSerial);
  EXPECT_EQ(serial->ID, 3);
  ASSERT_NE(serial->ComComm(), nullptr);
  EXPECT_EQ(serial->UdpComm(), nullptr);
  EXPECT_FALSE(serial->ComComm()->IsOpen());
  EXPECT_FALSE(serial->SenderOnWire());
  EXPECT_EQ(lines.AddLine(ltEthernet)->ID, 4);

  ASSERT_EQ(lines.Count(), 4u);
  EXPECT_EQ(lines.Items(0)->ID, 1);
  EXPECT_EQ(lines.Items(3)->ID, 4);
  EXPECT_EQ(lines.Items(4), nullptr);
  EXPECT_EQ(lines.FindItemID(2), lines.Items(1));
  EXPECT_EQ(lines.FindLine(4), lines.Items(3));
}

TEST_F(Session, NewLineDefaults) {
  const std::shared_ptr<TLine> line = session_.Lines().AddLine(ltEthernet);
  EXPECT_EQ(line->LineType, ltEthernet);
  ASSERT_NE(line->UdpComm(), nullptr);
  EXPECT_FALSE(line->Comm()->IsOpen()) << "the host opens the transport";
  EXPECT_FALSE(line->AutoAddDevice);
  EXPECT_FALSE(line->FixedDevicePort);
  EXPECT_TRUE(line->DefaultPrimaryID);
  EXPECT_FALSE(line->DefaultPrimaryIP);
  EXPECT_TRUE(line->DisplayName.empty());
  EXPECT_EQ(line->LowLevelThread, nullptr);
  EXPECT_EQ(line->TopLevelThread, nullptr);
  EXPECT_FALSE(session_.UseMasterKeys);
  session_.Lines().StartLine(*line);  // no threads to start: nothing happens
}

TEST_F(Session, BroadcastPortCountsOnlyLinesThatBroadcast) {
  TLines& lines = session_.Lines();
  TUdpKavor* broadcasting = lines.AddLine(ltEthernet)->UdpComm();
  broadcasting->SetDevicePort(41000);
  broadcasting->SetBroadcastInterval(5);
  TUdpKavor* silent = lines.AddLine(ltEthernet)->UdpComm();
  silent->SetDevicePort(42000);
  silent->SetBroadcastInterval(0);

  struct Case {
    int port;
    bool used;
  };
  for (const Case& c : std::vector<Case>{{41000, true}, {42000, false}, {43000, false}}) {
    EXPECT_EQ(lines.IsBroadcastPortUsed(c.port), c.used) << c.port;
  }
  broadcasting->SetBroadcastInterval(0);
  EXPECT_FALSE(lines.IsBroadcastPortUsed(41000));
  silent->SetBroadcastInterval(1);
  EXPECT_TRUE(lines.IsBroadcastPortUsed(42000));
}

TEST_F(Session, OwnIdOfAnEthernetLine) {
  const std::shared_ptr<TLine> line = session_.Lines().AddLine(ltEthernet);
  line->UdpComm()->SetPort(40000);  // not opened: only the number counts
  line->InitOwnId();
  EXPECT_EQ(line->OwnId(), (DeviceId{0x5E, 0x4D, 0x3C, 0x80, 0x00, 0x40}));
  EXPECT_EQ(IdToText(line->OwnId()), "4000803C4D5E");

  line->UdpComm()->SetPort(40001);
  line->InitOwnId();
  EXPECT_EQ(line->OwnId()[5], 0x41) << "recomputed at every start";
}

TEST(SessionOwnId, WithoutAdaptersTheBaseIsARandomGuid) {
  LoopThread service;
  TSessionEnvironment environment = LoopbackEnvironment();
  int guids = 0;
  environment.Adapters = [] {
    LocalAdapters none;
    none.ok = true;
    return none;
  };
  environment.NewGuid = [&guids] {
    ++guids;
    platform::Guid g;
    for (std::size_t i = 0; i < g.bytes.size(); ++i) g.bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    return g;
  };
  TKavorSession session(service.Loop(), environment);
  const std::shared_ptr<TLine> line = session.Lines().AddLine(ltEthernet);
  line->UdpComm()->SetPort(0x1234);
  line->InitOwnId();
  // Bytes 0-2 from the GUID's first field; 3-5 mark the Ethernet line.
  EXPECT_EQ(line->OwnId(), (DeviceId{0xA0, 0xA1, 0xA2, 0x80, 0x00, 0x34}));
  EXPECT_NE(guids, 0);
}

TEST_F(Session, EthernetLineOnLoopbackReceivesOnItsOwnThread) {
  const std::shared_ptr<TLine> line = session_.Lines().AddLine(ltEthernet);
  TUdpKavor* udp = line->UdpComm();
  const int port = FreePort();
  udp->SetPort(port);

  // Shared with the handler, which may outlive this frame when a check
  // below fails.
  struct Seen {
    Waiter arrived;
    std::vector<Bytes> frames;
    std::thread::id receiver;
  };
  auto seen = std::make_shared<Seen>();
  udp->SetOnReceive([seen, udp] {
    std::lock_guard lock(seen->arrived.Mutex());
    seen->frames.emplace_back(udp->InBuffer().Bytes().begin(), udp->InBuffer().Bytes().end());
    seen->receiver = std::this_thread::get_id();
    seen->arrived.Changed();
  });
  ASSERT_TRUE(udp->Open());
  session_.Lines().StartLine(*line);

  // Devices join the line through the registry.
  PeerSocket device;
  const std::shared_ptr<TDevice> added = AddDevice(session_, line->ID, "0102030405AB", device.Port());
  EXPECT_EQ(added->LineID, line->ID);
  EXPECT_EQ(line->CountDevices(), 1u);

  const Bytes datagram = Hex("ED 9C 22 00 AB 05 04 03 02 01");
  device.SendTo(port, datagram);
  ASSERT_TRUE(seen->arrived.WaitFor([&] { return !seen->frames.empty(); }));
  {
    std::lock_guard lock(seen->arrived.Mutex());
    EXPECT_EQ(seen->frames[0], datagram);
    EXPECT_NE(seen->receiver, std::this_thread::get_id());
    EXPECT_NE(seen->receiver, service_.Id());
  }
  EXPECT_EQ(udp->PeerPort(), device.Port());
  udp->SetOnReceive(nullptr);
}

// ---- Line threads -----------------------------------------------------------------------

// What the fake threads did, in order.
struct ThreadLog {
  Waiter waiter;
  std::vector<std::string> events;
  void Add(const std::string& event) {
    {
      std::lock_guard lock(waiter.Mutex());
      events.push_back(event);
    }
    waiter.Changed();
  }
  bool Has(const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
};

class FakeLineThread : public TAbstractThread {
 public:
  FakeLineThread(TLine& line, ThreadLog& log, std::string name) : TAbstractThread(line), log_(log), name_(std::move(name)) {}
  ~FakeLineThread() override { TerminateAndWait(); }

 protected:
  void Execute() override {
    log_.Add(name_ + " runs");
    while (!PauseOrTerminated(1ms)) {
    }
    log_.Add(name_ + " ends");
  }

 private:
  ThreadLog& log_;
  std::string name_;
};

TSessionEnvironment WithFakeThreads(ThreadLog& log) {
  TSessionEnvironment environment = LoopbackEnvironment();
  environment.Threads.LowLevel = [&log](TLine& line) { return std::make_unique<FakeLineThread>(line, log, "low"); };
  environment.Threads.TopLevel = [&log](TLine& line) { return std::make_unique<FakeLineThread>(line, log, "top"); };
  return environment;
}

TEST(SessionLineThreads, StartLineResumesBothAndDeleteLineStopsTopFirst) {
  LoopThread service;
  ThreadLog log;
  TKavorSession session(service.Loop(), WithFakeThreads(log));
  const std::shared_ptr<TLine> line = session.Lines().AddLine(ltEthernet);
  ASSERT_NE(line->LowLevelThread, nullptr);
  ASSERT_NE(line->TopLevelThread, nullptr);
  EXPECT_TRUE(line->LowLevelThread->Suspended());
  EXPECT_TRUE(line->TopLevelThread->Suspended());

  session.Lines().StartLine(*line);
  ASSERT_TRUE(log.waiter.WaitFor([&] { return log.Has("low runs") && log.Has("top runs"); }));
  session.Lines().StartLine(*line);  // started already: nothing more

  session.Lines().DeleteLine(0);
  EXPECT_EQ(session.Lines().Count(), 0u);
  std::lock_guard lock(log.waiter.Mutex());
  // Each ran once; the top-level thread is stopped before the low-level one.
  ASSERT_EQ(log.events.size(), 4u);
  std::vector<std::string> started(log.events.begin(), log.events.begin() + 2);
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<std::string>{"low runs", "top runs"}));
  EXPECT_EQ(log.events[2], "top ends");
  EXPECT_EQ(log.events[3], "low ends");
}

TEST(SessionLineThreads, ALineNeverStartedFreesItsThreadsWithoutRunningThem) {
  LoopThread service;
  ThreadLog log;
  {
    TKavorSession session(service.Loop(), WithFakeThreads(log));
    session.Lines().AddLine(ltEthernet);
    session.Lines().AddLine(ltEthernet);
    session.Lines().DeleteLine(0);
  }  // the second goes with the session
  std::lock_guard lock(log.waiter.Mutex());
  EXPECT_TRUE(log.events.empty());
}

TEST(SessionLineThreads, DestroyingTheSessionStopsRunningLines) {
  LoopThread service;
  ThreadLog log;
  {
    TKavorSession session(service.Loop(), WithFakeThreads(log));
    const std::shared_ptr<TLine> line = session.Lines().AddLine(ltEthernet);
    session.Lines().StartLine(*line);
    ASSERT_TRUE(log.waiter.WaitFor([&] { return log.Has("low runs") && log.Has("top runs"); }));
  }
  std::lock_guard lock(log.waiter.Mutex());
  EXPECT_TRUE(log.Has("top ends"));
  EXPECT_TRUE(log.Has("low ends"));
}

// ---- Devices ------------------------------------------------------------------------

TEST_F(Session, DeletingALineRemovesItsDevicesOnly) {
  TLines& lines = session_.Lines();
  const std::shared_ptr<TLine> first = lines.AddLine(ltEthernet);
  const std::shared_ptr<TLine> second = lines.AddLine(ltEthernet);
  AddDevice(session_, first->ID, "000000000001", 50001);
  AddDevice(session_, second->ID, "000000000002", 50002);
  AddDevice(session_, first->ID, "000000000003", 50003);
  const std::shared_ptr<TDevice> connected = AddDevice(session_, first->ID, "000000000004", 50004);
  connected->Connected = true;
  EXPECT_EQ(first->CountDevices(), 3u);

  lines.DeleteLine(0);
  EXPECT_EQ(session_.Devices().CountOnLine(first->ID), 0u);
  ASSERT_EQ(session_.Devices().Count(), 1u);
  EXPECT_EQ(session_.Devices().Item(0)->IdText(), "000000000002");
  EXPECT_EQ(second->CountDevices(), 1u);
  // The same ID may now join the remaining line.
  EXPECT_NE(AddDevice(session_, second->ID, "000000000001", 50001), nullptr);
}

TEST_F(Session, Lookups) {
  const std::int32_t a = session_.Lines().AddLine(ltEthernet)->ID;
  const std::int32_t b = session_.Lines().AddLine(ltEthernet)->ID;
  const std::shared_ptr<TDevice> lettered = AddDevice(session_, a, "0102030405AB", 50001);
  const std::shared_ptr<TDevice> other = AddDevice(session_, b, "0000000000CD", 50002);

  EXPECT_EQ(session_.FindDeviceByIdText("0102030405AB"), lettered);
  EXPECT_EQ(session_.FindDeviceByIdText("0102030405ab"), nullptr) << "case counts";
  EXPECT_EQ(session_.FindDeviceByIdText("102030405AB"), nullptr);

  EXPECT_EQ(session_.FindDeviceOnLine(a, lettered->Id()), lettered);
  EXPECT_EQ(session_.FindDeviceOnLine(b, lettered->Id()), nullptr) << "wrong line";

  EXPECT_EQ(session_.FindDeviceByAddress(kLoopback, 50002), other);
  EXPECT_EQ(session_.FindDeviceByAddress(kLoopback, 50003), nullptr);
  EXPECT_EQ(session_.FindDeviceByAddress("127.0.0.01", 50002), nullptr) << "the host text compares exactly";
}

TEST_F(Session, MasterKeyForUsesTheList) {
  const DeviceId id = DeviceIdFromText("0102030405AB");
  EXPECT_EQ(session_.MasterKeyFor(id), DefaultKey);
  TKeyItem item;
  item.SetIdText("0102030405AB");
  item.SetKeyText("FF");
  session_.MasterKeyList().Add(item);
  EXPECT_EQ(session_.MasterKeyFor(id), item.Key);
}

// ---- Message sink -----------------------------------------------------------------------

TEST_F(Session, RecordsArriveOnTheServiceThreadInPostingOrder) {
  recorder_.Wire(session_);
  session_.PostData(1, Message(7));
  session_.PostState(2, StateRecord("0000000000AB"));
  session_.PostData(5, nullptr);     // an empty data record is skipped
  session_.PostState(3, nullptr);    // an empty state record is passed on
  session_.PostData(3, Message(9));
  ASSERT_TRUE(service_.Drain());

  const std::vector<Delivered> items = recorder_.Items();
  std::vector<std::string> texts;
  for (const Delivered& d : items) {
    texts.push_back(d.what);
    EXPECT_EQ(d.thread, service_.Id()) << d.what;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"data 1 7", "state 2 0000000000AB", "state 3 null", "data 3 9"}));
  EXPECT_EQ(recorder_.Sender(), &session_);
}

TEST_F(Session, RecordsFromManyThreadsKeepEachPostersOrder) {
  recorder_.Wire(session_);
  constexpr int kPosters = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([this, p] {
      for (int i = 0; i < kEach; ++i) {
        if (i % 2 == 0) {
          session_.PostData(p, Message(static_cast<std::uint8_t>(i)));
        } else {
          session_.PostState(static_cast<std::uint16_t>(p), StateRecord(std::to_string(i)));
        }
      }
    });
  }
  for (std::thread& t : posters) t.join();
  ASSERT_TRUE(recorder_.WaitForSize(kPosters * kEach));

  std::vector<std::vector<int>> seen(kPosters);
  for (const Delivered& d : recorder_.Items()) {
    EXPECT_EQ(d.thread, service_.Id());
    char kind[8] = {};
    int poster = -1;
    int value = -1;
    ASSERT_EQ(std::sscanf(d.what.c_str(), "%7s %d %d", kind, &poster, &value), 3) << d.what;
    ASSERT_GE(poster, 0);
    ASSERT_LT(poster, kPosters);
    seen[static_cast<std::size_t>(poster)].push_back(value);
  }
  std::vector<int> expected(kEach);
  for (int i = 0; i < kEach; ++i) expected[static_cast<std::size_t>(i)] = i;
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(seen[static_cast<std::size_t>(p)], expected) << "poster " << p;
}

TEST_F(Session, ClearedHandlersSkipRecords) {
  recorder_.Wire(session_);
  session_.SetOnDeviceData(nullptr);
  session_.PostData(1, Message(1));
  session_.PostState(2, StateRecord("x"));
  ASSERT_TRUE(service_.Drain());
  session_.SetOnDeviceState(nullptr);
  session_.PostState(2, StateRecord("y"));
  ASSERT_TRUE(service_.Drain());
  std::vector<std::string> texts;
  for (const Delivered& d : recorder_.Items()) texts.push_back(d.what);
  EXPECT_EQ(texts, (std::vector<std::string>{"state 2 x"}));
}

TEST(SessionSink, RecordsQueuedAtDestructionAreDroppedUndelivered) {
  LoopThread service;
  Recorder recorder;
  std::weak_ptr<TK2Message> queued;
  {
    TKavorSession session(service.Loop(), LoopbackEnvironment());
    recorder.Wire(session);
    service.Loop().Pause();
    TK2MessagePtr message = Message(1);
    queued = message;
    session.PostData(1, std::move(message));
    session.PostState(2, StateRecord("x"));
  }
  // The session is gone; its records still wait in the loop.
  service.Loop().Resume();
  ASSERT_TRUE(service.Drain());
  EXPECT_TRUE(recorder.Items().empty());
  EXPECT_TRUE(queued.expired()) << "the dropped record is freed";
}

TEST_F(Session, ABacklogBeyondTheBoundDropsNewRecordsUntilItDrains) {
  recorder_.Wire(session_);
  service_.Loop().Pause();
  for (std::size_t i = 0; i < TMessageSink::kMaxPendingRecords; ++i) session_.PostData(1, Message(0));
  session_.PostData(2, Message(1));  // over the bound
  service_.Loop().Resume();
  ASSERT_TRUE(service_.Drain());
  session_.PostData(3, Message(2));  // room again
  ASSERT_TRUE(service_.Drain());

  const std::vector<Delivered> items = recorder_.Items();
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().what, "data 3 2");
  EXPECT_TRUE(std::none_of(items.begin(), items.end(), [](const Delivered& d) { return d.what == "data 2 1"; }));
}

TEST_F(Session, LinePostsAreStampedAndIdentifyTheDevice) {
  recorder_.Wire(session_);
  const std::shared_ptr<TLine> line = session_.Lines().AddLine(ltEthernet);
  const std::shared_ptr<TDevice> device = AddDevice(session_, line->ID, "0102030405AB", 50001);
  line->PostDeviceAdded(*device);
  line->PostDeviceIdChanged(*device);
  line->PostData(1, Message(4));
  ASSERT_TRUE(service_.Drain());

  const std::vector<Delivered> items = recorder_.Items();
  EXPECT_EQ(recorder_.Texts(),
            (std::vector<std::string>{"state 2 0102030405AB", "state 3 0102030405AB", "data 1 4"}));
  ASSERT_EQ(items.size(), 3u);
  // "dd.mm.yy hh:nn:ss zzz"
  const std::string& stamp = items[2].stamp;
  ASSERT_EQ(stamp.size(), 21u) << stamp;
  EXPECT_EQ(stamp[2], '.');
  EXPECT_EQ(stamp[11], ':');
  EXPECT_EQ(stamp[17], ' ');
}

}  // namespace
}  // namespace kavor2::device
