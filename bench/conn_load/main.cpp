// Load figures for client connections against the real kavor2srv program:
//  1. Many idle connections held open while active connections call the
//     service (Version, Lines, Ping) as fast as it answers: connections
//     accepted, calls per second, latency, errors, and the service's peak
//     memory (VmHWM), threads and descriptors.
//  2. The service started with few descriptors and flooded with more
//     connections than fit: how many it keeps and refuses, its CPU time
//     while flooded, and whether it answers again once they are closed.
// The service runs on a free loopback port with its data in a temporary
// folder; every phase is bounded in time. Run it in a network namespace with
// only loopback up.
// Usage: bench_conn_load [--seconds N] [--idle N] [--active N] [--program PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/descriptor_limit.h"
#include "loopback_peer.h"
#include "platform/tcp.h"

namespace {

using namespace kavor2;
using Clock = std::chrono::steady_clock;
using loopback::ClosedByPeer;
using loopback::ConnectRaw;
using loopback::FreePort;
using loopback::ProcessFigures;
namespace fs = std::filesystem;

constexpr int kDefaultSeconds = 5;
constexpr int kMaxSeconds = 600;
constexpr int kDefaultIdle = 1000;
constexpr int kDefaultActive = 100;
constexpr int kMaxClients = 20000;
constexpr auto kStartDeadline = std::chrono::seconds(20);
constexpr auto kAcceptDeadline = std::chrono::seconds(20);
constexpr auto kStopDeadline = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr auto kBaseSettle = std::chrono::milliseconds(300);
constexpr auto kSamplePeriod = std::chrono::milliseconds(50);
constexpr std::chrono::milliseconds kIoDeadline{10000};
constexpr int kFloodDescriptorLimit = 64;
constexpr int kFloodConnections = 500;
constexpr auto kFloodSettle = std::chrono::seconds(1);
constexpr auto kFloodWindow = std::chrono::seconds(3);
constexpr auto kFloodPace = std::chrono::milliseconds(2);
constexpr double kPercentile50 = 0.50;
constexpr double kPercentile99 = 0.99;
constexpr double kKiBPerMiB = 1024.0;

const std::string kNullCertificate = "{00000000-0000-0000-0000-000000000000}";

std::string CallText(const std::string& method, const std::string& params) {
  return "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n<methodCall>\r\n  <methodName>" + method +
         "</methodName>\r\n   <params>\r\n" + params + "   </params>\r\n</methodCall>\r\n";
}

std::string PostRequest(const std::string& body) {
  return "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The calls an active client cycles through: two plain reads and a Ping with
// a certificate the service does not know (answered with a fault, which is
// still a full round trip through the service thread).
const std::vector<std::string>& Requests() {
  static const std::vector<std::string> requests = {
      PostRequest(CallText("Version", "")),
      PostRequest(CallText("Lines", "")),
      PostRequest(CallText("Ping", "   <param><value><string>" + kNullCertificate + "</string></value></param>\r\n")),
  };
  return requests;
}

// The service as a child process, stopped with SIGTERM (killed when it does
// not stop in time) when the object goes.
class Service {
 public:
  Service(const std::string& program, const fs::path& dir, std::uint16_t port, rlim_t descriptor_limit)
      : port_(port) {
    std::vector<std::string> args = {program, "/port=" + std::to_string(port), "/noncrypt",
                                     "/datadir=" + dir.string(), "/eventlog=" + (dir / "events.log").string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = (dir / "service.out").string();
    // The child must not write out what this process has buffered.
    std::fflush(stdout);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (descriptor_limit > 0) {
        rlimit limit{descriptor_limit, descriptor_limit};
        ::setrlimit(RLIMIT_NOFILE, &limit);
      }
      ::unsetenv("NOTIFY_SOCKET");
      FILE* redirected = std::freopen(out.c_str(), "w", stdout);
      if (redirected != nullptr) ::dup2(STDOUT_FILENO, STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~Service() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto end = Clock::now() + kStopDeadline;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        std::printf("  (service did not stop in time; killed)\n");
        return;
      }
      std::this_thread::sleep_for(kPoll);
    }
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  pid_t Pid() const { return pid_; }
  bool WaitReady() const {
    const auto end = Clock::now() + kStartDeadline;
    while (Clock::now() < end) {
      int fd = ConnectRaw(port_);
      if (fd >= 0) {
        ::close(fd);
        return true;
      }
      std::this_thread::sleep_for(kPoll);
    }
    return false;
  }
  // One fresh connection that gets an answer to a call.
  bool Answers() const {
    std::unique_ptr<platform::TcpConnection> c;
    std::string body;
    return platform::TcpConnection::Connect("127.0.0.1", port_, kIoDeadline, c).ok() &&
           c->WriteAll(Requests()[0]).ok() && loopback::ReadHttpResponse(*c, body, kIoDeadline) &&
           body.find("<methodResponse>") != std::string::npos;
  }

 private:
  std::uint16_t port_;
  pid_t pid_ = -1;
};

// Polls the service's figures and keeps their peaks.
class Sampler {
 public:
  explicit Sampler(pid_t pid) : pid_(pid), thread_([this] { Run(); }) {}
  ~Sampler() {
    stop_.store(true);
    thread_.join();
  }
  ProcessFigures Peak() {
    std::lock_guard<std::mutex> l(mutex_);
    return peak_;
  }

 private:
  void Run() {
    while (!stop_.load()) {
      ProcessFigures now = loopback::ReadProcessFigures(pid_);
      {
        std::lock_guard<std::mutex> l(mutex_);
        peak_.hwm_kib = std::max(peak_.hwm_kib, now.hwm_kib);
        peak_.rss_kib = std::max(peak_.rss_kib, now.rss_kib);
        peak_.threads = std::max(peak_.threads, now.threads);
        peak_.fds = std::max(peak_.fds, now.fds);
      }
      std::this_thread::sleep_for(kSamplePeriod);
    }
  }

  pid_t pid_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  ProcessFigures peak_;
  std::thread thread_;
};

struct Worker {
  std::vector<double> latencies_us;
  std::size_t errors = 0;
  bool connected = false;
};

void RunActive(std::uint16_t port, Clock::time_point end, std::size_t first, Worker& w) {
  std::unique_ptr<platform::TcpConnection> c;
  if (!platform::TcpConnection::Connect("127.0.0.1", port, kIoDeadline, c).ok()) {
    ++w.errors;
    return;
  }
  w.connected = true;
  std::string body;
  for (std::size_t i = first; Clock::now() < end; ++i) {
    const auto start = Clock::now();
    if (!c->WriteAll(Requests()[i % Requests().size()]).ok() || !loopback::ReadHttpResponse(*c, body, kIoDeadline)) {
      ++w.errors;
      return;  // the connection is in no known state
    }
    if (body.find("<methodResponse>") == std::string::npos) ++w.errors;
    w.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

void CloseAll(std::vector<int>& fds) {
  for (int fd : fds) ::close(fd);
  fds.clear();
}

bool IdleAndActive(const std::string& program, int idle, int active, std::chrono::milliseconds duration) {
  std::printf("1. %d idle connections held, %d active connections calling for %.1f s\n", idle, active,
              static_cast<double>(duration.count()) / 1e3);
  const fs::path dir = fs::temp_directory_path() / ("k2-conn-load-" + std::to_string(::getpid()) + "-1");
  fs::create_directories(dir);
  const std::uint16_t port = FreePort();
  bool ok = true;
  {
    Service service(program, dir, port, 0);
    if (!service.WaitReady()) {
      std::printf("  service did not start\n");
      fs::remove_all(dir);
      return false;
    }
    // The readiness probe's connection is gone from the service by then.
    std::this_thread::sleep_for(kBaseSettle);
    const ProcessFigures base = loopback::ReadProcessFigures(service.Pid());
    Sampler sampler(service.Pid());

    std::vector<int> idle_fds;
    std::size_t connect_failures = 0;
    for (int i = 0; i < idle; ++i) {
      int fd = ConnectRaw(port);
      if (fd >= 0) {
        idle_fds.push_back(fd);
      } else {
        ++connect_failures;
      }
    }
    // Accepted means: the service holds a descriptor for it.
    const auto accept_end = Clock::now() + kAcceptDeadline;
    long accepted = 0;
    while (Clock::now() < accept_end) {
      accepted = loopback::ReadProcessFigures(service.Pid()).fds - base.fds;
      if (accepted >= static_cast<long>(idle_fds.size())) break;
      std::this_thread::sleep_for(kPoll);
    }
    const ProcessFigures held = loopback::ReadProcessFigures(service.Pid());
    std::printf("  idle: opened %zu (connect failures %zu), service holds %ld more fds and %ld more threads\n",
                idle_fds.size(), connect_failures, held.fds - base.fds, held.threads - base.threads);

    std::vector<Worker> workers(static_cast<std::size_t>(active));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + duration;
    for (std::size_t i = 0; i < workers.size(); ++i) {
      threads.emplace_back([&, i] { RunActive(port, end, i, workers[i]); });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::size_t idle_closed = 0;
    for (int fd : idle_fds) idle_closed += ClosedByPeer(fd) ? 1 : 0;

    std::vector<double> all;
    std::size_t errors = 0, connected = 0;
    for (auto& w : workers) {
      all.insert(all.end(), w.latencies_us.begin(), w.latencies_us.end());
      errors += w.errors;
      connected += w.connected ? 1 : 0;
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
      if (all.empty()) return 0.0;
      return all[std::min(all.size() - 1, static_cast<std::size_t>(p * static_cast<double>(all.size())))];
    };
    const ProcessFigures peak = sampler.Peak();
    const ProcessFigures after = loopback::ReadProcessFigures(service.Pid());
    std::printf("  accepted: %ld of %zu idle (%zu closed by the service by the end), %zu of %d active connected\n",
                accepted, idle_fds.size(), idle_closed, connected, active);
    std::printf("  calls=%zu  calls/s=%.0f  p50=%.1f us  p99=%.1f us  max=%.1f us  errors=%zu\n", all.size(),
                static_cast<double>(all.size()) / seconds, pct(kPercentile50), pct(kPercentile99),
                all.empty() ? 0.0 : all.back(), errors);
    std::printf("  service: VmHWM=%.1f MiB (%.1f MiB before the clients)  VmPeak=%.0f MiB  peak threads=%ld  "
                "peak fds=%ld  CPU=%.2f s\n",
                static_cast<double>(std::max(peak.hwm_kib, after.hwm_kib)) / kKiBPerMiB,
                static_cast<double>(base.hwm_kib) / kKiBPerMiB, static_cast<double>(after.vm_peak_kib) / kKiBPerMiB,
                peak.threads, peak.fds, after.cpu_seconds - base.cpu_seconds);
    if (idle > 0) {
      std::printf("  per idle connection: %.1f KiB RSS\n",
                  static_cast<double>(held.rss_kib - base.rss_kib) / static_cast<double>(idle_fds.size()));
    }
    ok = errors == 0 && connected == static_cast<std::size_t>(active) && !all.empty();
    CloseAll(idle_fds);
  }
  fs::remove_all(dir);
  return ok;
}

bool Flood(const std::string& program) {
  std::printf("2. service with ulimit -n %d, %d connections opened and held, new ones every %lld ms\n",
              kFloodDescriptorLimit, kFloodConnections, static_cast<long long>(kFloodPace.count()));
  const fs::path dir = fs::temp_directory_path() / ("k2-conn-load-" + std::to_string(::getpid()) + "-2");
  fs::create_directories(dir);
  const std::uint16_t port = FreePort();
  bool ok = true;
  {
    Service service(program, dir, port, kFloodDescriptorLimit);
    if (!service.WaitReady()) {
      std::printf("  service did not start\n");
      fs::remove_all(dir);
      return false;
    }
    std::vector<int> flood;
    for (int i = 0; i < kFloodConnections; ++i) {
      int fd = ConnectRaw(port);
      if (fd >= 0) flood.push_back(fd);
    }
    std::this_thread::sleep_for(kFloodSettle);
    std::size_t refused = 0;
    for (int fd : flood) refused += ClosedByPeer(fd) ? 1 : 0;
    const ProcessFigures held = loopback::ReadProcessFigures(service.Pid());

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> extra{0};
    std::thread flooder([&] {
      while (!stop.load()) {
        int fd = ConnectRaw(port);
        if (fd >= 0) {
          ::close(fd);
          ++extra;
        }
        std::this_thread::sleep_for(kFloodPace);
      }
    });
    const double cpu_before = loopback::ReadProcessFigures(service.Pid()).cpu_seconds;
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(kFloodWindow);
    const double cpu = loopback::ReadProcessFigures(service.Pid()).cpu_seconds - cpu_before;
    const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
    stop.store(true);
    flooder.join();

    std::printf("  opened %zu: kept %zu, refused %zu; service fds=%ld threads=%ld\n", flood.size(),
                flood.size() - refused, refused, held.fds, held.threads);
    std::printf("  while flooded (%zu more connections in %.1f s): service CPU %.3f s = %.1f%% of wall time\n",
                extra.load(), wall, cpu, 100.0 * cpu / wall);
    CloseAll(flood);
    const auto recover_start = Clock::now();
    bool answered = false;
    while (!answered && Clock::now() - recover_start < kIoDeadline) {
      answered = service.Answers();
      if (!answered) std::this_thread::sleep_for(kPoll);
    }
    std::printf("  after closing them: %s (%.0f ms)\n", answered ? "a new client is answered" : "NOT ANSWERED",
                std::chrono::duration<double, std::milli>(Clock::now() - recover_start).count());
    ok = answered;
  }
  fs::remove_all(dir);
  return ok;
}

int ArgValue(int argc, char** argv, int& i, int fallback, int max) {
  if (i + 1 >= argc) return fallback;
  return std::clamp(std::atoi(argv[++i]), 0, max);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = kDefaultSeconds;
  int idle = kDefaultIdle;
  int active = kDefaultActive;
  std::string program = K2_SERVICE_PROGRAM;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds") {
      seconds = std::max(1, ArgValue(argc, argv, i, kDefaultSeconds, kMaxSeconds));
    } else if (arg == "--idle") {
      idle = ArgValue(argc, argv, i, kDefaultIdle, kMaxClients);
    } else if (arg == "--active") {
      active = std::max(1, ArgValue(argc, argv, i, kDefaultActive, kMaxClients));
    } else if (arg == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--idle N] [--active N] [--program PATH]\n", argv[0]);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  // The clients' own descriptors.
  const std::uint64_t limit = platform::RaiseDescriptorLimit();
  std::printf("service: %s\nbench descriptor limit: %llu, cores: %u\n", program.c_str(),
              static_cast<unsigned long long>(limit), std::thread::hardware_concurrency());
  bool ok = IdleAndActive(program, idle, active, std::chrono::seconds(seconds));
  ok = Flood(program) && ok;
  return ok ? 0 : 1;
}
