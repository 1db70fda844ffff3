// Load figures for the device side: simulated Ethernet devices (k2sim) on
// loopback against a session with its real line threads.
//  1. Device data frame -> host data record latency and frames per second,
//     one line with 1, 10 and 100 devices. Each device keeps one data packet
//     in flight: it sends the next frame as soon as the service's receipt for
//     the last one arrives (closed loop, as fast as receipts allow).
//  2. Idle CPU of the service side with 10 lines of 50 connected devices.
//     The simulated devices run on one thread of this process; its own CPU
//     time is measured apart and taken off the process total.
// Loopback (127.0.0.1) only; every phase is bounded in time.
// Usage: bench_device_load [--seconds N]   (N per phase, default 3)
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/devices.h"
#include "device/device_events.h"
#include "device/fixed_keys.h"
#include "device/id_key_text.h"
#include "device/k2_packet_format.h"
#include "device/kavor_session.h"
#include "device/lines.h"
#include "device/udp_kavor.h"
#include "device/udp_socket.h"
#include "k2sim/k2sim_udp_device.h"
#include "platform/event_loop.h"

namespace {

using namespace kavor2;
using Clock = std::chrono::steady_clock;
using device::Bytes;

const std::string kLoopback = "127.0.0.1";
constexpr int kDefaultSeconds = 3;
constexpr int kMaxSeconds = 600;
constexpr auto kConnectDeadline = std::chrono::seconds(20);
constexpr auto kConnectPoll = std::chrono::milliseconds(20);
constexpr auto kWarmUp = std::chrono::milliseconds(500);
constexpr auto kIdleSettle = std::chrono::seconds(1);
// A packet whose receipt never came is given up after this, so one lost
// datagram does not stop a device for the rest of the run.
constexpr std::int64_t kStallMs = 1000;
constexpr int kFloodPollMs = 1;
constexpr std::size_t kKeptEvents = 16;
constexpr int kIdlePollMs = 50;
constexpr std::size_t kSeqSlots = 256;
constexpr std::uint8_t kIdMark0 = 0x4B;
constexpr std::uint8_t kIdMark1 = 0x32;
constexpr std::uint8_t kIdLast = 0x01;
constexpr std::size_t kFrameContentSize = 4;  // line, index high, index low, sequence
constexpr std::size_t kFrameSize = kFrameContentSize + 1;
constexpr unsigned kByteBits = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr double kPercentile50 = 0.50;
constexpr double kPercentile99 = 0.99;
constexpr double kNsPerUs = 1e3;
constexpr double kNsPerS = 1e9;
constexpr double kPercent = 100.0;
constexpr std::size_t kLatencyLines = 1;
constexpr std::array<std::size_t, 3> kLatencyDeviceCounts = {1, 10, 100};
constexpr std::size_t kIdleLines = 10;
constexpr std::size_t kIdleDevicesPerLine = 50;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

device::DeviceId SimId(std::size_t line, std::size_t index) {
  return {kIdMark0, kIdMark1, static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(index >> kByteBits),
          static_cast<std::uint8_t>(index & kByteMask), kIdLast};
}

sockaddr_in AddressOf(const device::UdpSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket.Descriptor(), reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

int FreeUdpPort() {
  const auto probe = device::UdpSocket::Bind("0.0.0.0", 0);
  return ntohs(AddressOf(*probe).sin_port);
}

std::int64_t ThreadCpuNs(std::thread& t) {
  clockid_t id{};
  if (pthread_getcpuclockid(t.native_handle(), &id) != 0) return 0;
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * static_cast<std::int64_t>(kNsPerS) + ts.tv_nsec;
}

std::int64_t ProcessCpuNs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const auto ns = [](const timeval& tv) {
    return static_cast<std::int64_t>(tv.tv_sec) * static_cast<std::int64_t>(kNsPerS) +
           static_cast<std::int64_t>(tv.tv_usec) * static_cast<std::int64_t>(kNsPerUs);
  };
  return ns(u.ru_utime) + ns(u.ru_stime);
}

// The service thread: an event loop on a thread of its own.
class ServiceThread {
 public:
  ServiceThread() : thread_([this] { loop_.Run(); }) {}
  ~ServiceThread() {
    loop_.Stop();
    thread_.join();
  }
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  platform::EventLoop& Loop() { return loop_; }

 private:
  platform::EventLoop loop_;
  std::thread thread_;
};

device::TSessionEnvironment LoopbackEnvironment() {
  device::TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{kLoopback}; };
  environment.Adapters = [] {
    device::LocalAdapters list;
    list.ok = true;
    list.adapters.push_back({"eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}});
    list.ipv4_addresses = {kLoopback};
    return list;
  };
  return environment;
}

// Send times by device and sequence slot, written by the device thread and
// read by the service thread.
class SendTimes {
 public:
  explicit SendTimes(std::size_t devices) : slots_(devices) {}
  void Set(std::size_t device, std::uint8_t seq, std::int64_t ns) { slots_[device][seq].store(ns); }
  std::int64_t Get(std::size_t device, std::uint8_t seq) const { return slots_[device][seq].load(); }
  std::size_t Devices() const { return slots_.size(); }

 private:
  std::vector<std::array<std::atomic<std::int64_t>, kSeqSlots>> slots_;
};

// Every simulated device on one thread: it waits on all their sockets, hands
// them their datagrams and timers, and in flood mode keeps one data packet in
// flight per connected device.
class SimFleet {
 public:
  struct Member {
    std::unique_ptr<k2sim::TUdpSimDevice> sim;
    int port = 0;
    bool in_flight = false;
    std::int64_t sent_ms = 0;
    std::uint8_t seq = 0;
    std::vector<std::string> events;  // the first few, to tell why a device did not connect
  };

  SimFleet(std::size_t lines, std::size_t per_line, const std::vector<int>& line_ports)
      : per_line_(per_line), times_(lines * per_line) {
    for (std::size_t l = 0; l < lines; ++l) {
      sockaddr_in service{};
      service.sin_family = AF_INET;
      service.sin_port = htons(static_cast<std::uint16_t>(line_ports[l]));
      inet_pton(AF_INET, kLoopback.c_str(), &service.sin_addr);
      for (std::size_t i = 0; i < per_line; ++i) {
        k2sim::TUdpSimConfig config;
        config.Id = SimId(l, i);
        config.Service = service;
        auto socket = device::UdpSocket::Bind(kLoopback, 0);
        Member m;
        m.port = ntohs(AddressOf(*socket).sin_port);
        const std::size_t flat = members_.size();
        m.sim = std::make_unique<k2sim::TUdpSimDevice>(
            config, std::move(socket),
            [this, flat](const device::DeviceId&, const std::string& event, const Bytes&) {
              Member& member = members_[flat];
              if (event == "data-receipt") member.in_flight = false;
              if (member.events.size() < kKeptEvents) member.events.push_back(event);
            });
        members_.push_back(std::move(m));
      }
    }
  }
  ~SimFleet() { Stop(); }
  SimFleet(const SimFleet&) = delete;
  SimFleet& operator=(const SimFleet&) = delete;

  std::vector<Member>& Members() { return members_; }
  SendTimes& Times() { return times_; }
  std::size_t PerLine() const { return per_line_; }
  std::size_t Stalls() const { return stalls_.load(); }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void SetFlood(bool on) { flood_ = on; }
  bool AllConnected() const { return connected_.load() == members_.size(); }
  std::size_t ConnectedCount() const { return connected_.load(); }
  std::int64_t CpuNs() { return ThreadCpuNs(thread_); }

 private:
  std::int64_t NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }

  void Run() {
    std::vector<pollfd> fds;
    for (const Member& m : members_) fds.push_back({m.sim->Descriptor(), POLLIN, 0});
    while (!stop_) {
      const bool flood = flood_.load();
      ::poll(fds.data(), fds.size(), flood ? kFloodPollMs : kIdlePollMs);
      const std::int64_t now = NowMs();
      std::size_t connected = 0;
      for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& m = members_[i];
        if (fds[i].revents & POLLIN) m.sim->ReceiveAll(now);
        m.sim->Poll(now);
        if (!m.sim->Connected()) continue;
        ++connected;
        if (!flood) continue;
        if (m.in_flight && now - m.sent_ms < kStallMs) continue;
        if (m.in_flight) ++stalls_;
        const std::size_t line = i / per_line_;
        const std::size_t index = i % per_line_;
        ++m.seq;
        times_.Set(i, m.seq, NowNs());
        m.in_flight = true;
        m.sent_ms = now;
        m.sim->SendData({static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(index >> kByteBits),
                         static_cast<std::uint8_t>(index & kByteMask), m.seq});
      }
      connected_ = connected;
    }
  }

  const std::size_t per_line_;
  std::vector<Member> members_;
  SendTimes times_;
  Clock::time_point start_ = Clock::now();
  std::atomic<bool> stop_{false};
  std::atomic<bool> flood_{false};
  std::atomic<std::size_t> connected_{0};
  std::atomic<std::size_t> stalls_{0};
  std::thread thread_;
};

// Latencies of the data records the host received, gathered on the service
// thread while measuring is on.
class Receiver {
 public:
  Receiver(const SendTimes& times, std::size_t per_line) : times_(times), per_line_(per_line) {}
  void OnData(const device::TK2Message& record) {
    if (!record.Deliver || !measuring_.load()) return;
    if (record.Data.size() != kFrameSize) return;
    const std::size_t line = record.Data[1];
    const std::size_t index = (static_cast<std::size_t>(record.Data[2]) << kByteBits) | record.Data[3];
    const std::size_t flat = line * per_line_ + index;
    if (index >= per_line_ || flat >= times_.Devices()) return;
    const std::int64_t sent = times_.Get(flat, record.Data[4]);
    std::lock_guard lock(mutex_);
    latencies_ns_.push_back(NowNs() - sent);
  }
  void SetMeasuring(bool on) { measuring_ = on; }
  std::vector<std::int64_t> Take() {
    std::lock_guard lock(mutex_);
    return std::move(latencies_ns_);
  }

 private:
  const SendTimes& times_;
  const std::size_t per_line_;
  std::atomic<bool> measuring_{false};
  std::mutex mutex_;
  std::vector<std::int64_t> latencies_ns_;
};

// A session with its lines and devices, and the fleet that plays them.
class Rig {
 public:
  Rig(std::size_t lines, std::size_t per_line) : session_(service_.Loop(), LoopbackEnvironment()) {
    std::vector<int> ports;
    for (std::size_t l = 0; l < lines; ++l) {
      const std::shared_ptr<device::TLine> line = session_.Lines().AddLine(device::ltEthernet);
      const int port = FreeUdpPort();
      line->UdpComm()->SetPort(port);
      if (!line->UdpComm()->Open()) throw std::runtime_error("line transport did not open");
      ports.push_back(port);
      lines_.push_back(line);
    }
    fleet_ = std::make_unique<SimFleet>(lines, per_line, ports);
    receiver_ = std::make_unique<Receiver>(fleet_->Times(), per_line);
    session_.SetOnDeviceData(
        [this](device::TKavorSession&, std::int32_t, const device::TK2Message& record) { receiver_->OnData(record); });
    for (std::size_t i = 0; i < fleet_->Members().size(); ++i) {
      const std::size_t l = i / per_line;
      auto d = session_.Devices().AddEthernetDevice(lines_[l]->ID, SimId(l, i % per_line), "", true, true,
                                                    fleet_->Members()[i].port, kLoopback, true, device::DefaultKey);
      d->SetMasterKeyText(device::KeyToText(device::DefaultKey));
      devices_.push_back(d);
    }
    for (const auto& line : lines_) session_.Lines().StartLine(*line);
    fleet_->Start();
  }
  ~Rig() {
    fleet_->Stop();
    session_.SetOnDeviceData({});
    while (session_.Lines().Count() > 0) session_.Lines().DeleteLine(0);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Both sides connected, within the deadline.
  bool WaitConnected() {
    const auto deadline = Clock::now() + kConnectDeadline;
    while (Clock::now() < deadline) {
      const bool hosts = std::all_of(devices_.begin(), devices_.end(), [](const auto& d) { return d->Connected.load(); });
      if (hosts && fleet_->AllConnected()) return true;
      std::this_thread::sleep_for(kConnectPoll);
    }
    return false;
  }
  std::size_t HostsConnected() const {
    return static_cast<std::size_t>(
        std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d->Connected.load(); }));
  }
  SimFleet& Fleet() { return *fleet_; }
  Receiver& Receive() { return *receiver_; }

 private:
  ServiceThread service_;
  device::TKavorSession session_;
  std::vector<std::shared_ptr<device::TLine>> lines_;
  std::vector<std::shared_ptr<device::TDevice>> devices_;
  std::unique_ptr<SimFleet> fleet_;
  std::unique_ptr<Receiver> receiver_;
};

double PercentileUs(std::vector<std::int64_t>& v, double p) {
  if (v.empty()) return 0;
  const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return static_cast<double>(v[k]) / kNsPerUs;
}

bool RunLatency(std::size_t devices, int seconds) {
  Rig rig(kLatencyLines, devices);
  const auto connect_start = Clock::now();
  if (!rig.WaitConnected()) {
    std::printf("%4zu devices: not all connected within %llds (service side %zu, devices %zu)\n", devices,
                static_cast<long long>(kConnectDeadline.count()), rig.HostsConnected(), rig.Fleet().ConnectedCount());
    rig.Fleet().Stop();
    for (const SimFleet::Member& m : rig.Fleet().Members()) {
      if (m.sim->Connected()) continue;
      std::printf("  first device not connected, its events:");
      for (const std::string& e : m.events) std::printf(" %s", e.c_str());
      std::printf("\n");
      break;
    }
    return false;
  }
  const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();
  rig.Fleet().SetFlood(true);
  std::this_thread::sleep_for(kWarmUp);
  rig.Receive().Take();
  const std::size_t stalls_before = rig.Fleet().Stalls();
  const auto t0 = Clock::now();
  rig.Receive().SetMeasuring(true);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  rig.Receive().SetMeasuring(false);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  rig.Fleet().SetFlood(false);
  std::vector<std::int64_t> lat = rig.Receive().Take();
  const double fps = static_cast<double>(lat.size()) / wall;
  const double p50 = PercentileUs(lat, kPercentile50);
  const double p99 = PercentileUs(lat, kPercentile99);
  std::printf("%4zu devices: %9.0f frames/s  latency p50 %8.1f us  p99 %8.1f us  (%zu frames, %zu stalls, connected in %.1fs)\n",
              devices, fps, p50, p99, lat.size(), rig.Fleet().Stalls() - stalls_before, connect_s);
  return !lat.empty();
}

bool RunIdle(int seconds) {
  Rig rig(kIdleLines, kIdleDevicesPerLine);
  const auto connect_start = Clock::now();
  if (!rig.WaitConnected()) {
    std::printf("idle: not all %zu devices connected within %llds (service side %zu, devices %zu)\n",
                kIdleLines * kIdleDevicesPerLine, static_cast<long long>(kConnectDeadline.count()),
                rig.HostsConnected(), rig.Fleet().ConnectedCount());
    return false;
  }
  const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();
  // The status words and receipts that follow a connection are not idle.
  std::this_thread::sleep_for(kIdleSettle);
  const std::int64_t process0 = ProcessCpuNs();
  const std::int64_t sims0 = rig.Fleet().CpuNs();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const std::int64_t process1 = ProcessCpuNs();
  const std::int64_t sims1 = rig.Fleet().CpuNs();
  const double wall_ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  const double process = static_cast<double>(process1 - process0) / wall_ns * kPercent;
  const double sims = static_cast<double>(sims1 - sims0) / wall_ns * kPercent;
  std::printf("idle, %zu lines x %zu connected devices (connected in %.1fs), over %.1fs:\n", kIdleLines,
              kIdleDevicesPerLine, connect_s, wall_ns / kNsPerS);
  std::printf("  service side %6.2f%% of one core (process %6.2f%%, simulated devices' thread %6.2f%%)\n",
              process - sims, process, sims);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = kDefaultSeconds;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N]  (1..%d, per phase, default %d)\n", argv[0], kMaxSeconds,
                   kDefaultSeconds);
      return 2;
    }
  }
  if (seconds < 1 || seconds > kMaxSeconds) {
    std::fprintf(stderr, "--seconds must be 1..%d\n", kMaxSeconds);
    return 2;
  }
  std::printf("device load, loopback %s, %ds per phase; closed loop: one data packet in flight per device\n",
              kLoopback.c_str(), seconds);
  bool ok = true;
  try {
    for (std::size_t n : kLatencyDeviceCounts) ok = RunLatency(n, seconds) && ok;
    ok = RunIdle(seconds) && ok;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
