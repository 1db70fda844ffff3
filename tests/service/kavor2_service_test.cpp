#include "service/kavor2_service.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp.h"

namespace kavor2::service {
namespace {

using namespace std::chrono_literals;

class RecordingLog : public platform::EventLog {
 public:
  void Write(std::string_view text) noexcept override {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.emplace_back(text);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  // Without the entries of client connections (the tests' probes make some).
  std::vector<std::string> LifecycleEntries() const {
    std::vector<std::string> kept;
    for (const auto& e : Entries()) {
      if (!e.starts_with("Client ") && !e.starts_with("Release subscriber on disconnect (")) kept.push_back(e);
    }
    return kept;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

std::uint16_t FreePort() {
  platform::TcpListener probe;
  EXPECT_TRUE(probe.Open(0).ok());
  return probe.Port();
}

bool Accepts(std::uint16_t port) {
  std::unique_ptr<platform::TcpConnection> c;
  return platform::TcpConnection::Connect("127.0.0.1", port, 2000ms, c).ok();
}

// The service on a loop thread of its own, as the program runs it.
class ServiceHarness {
 public:
  explicit ServiceHarness(std::vector<std::string> args)
      : service_(loop_, log_, ServiceEnvironment{std::move(args), "/opt/kavor2/bin/kavor2srv", {}}),
        thread_([this] { loop_.Run(); }) {}
  ~ServiceHarness() {
    loop_.Stop();
    thread_.join();
  }
  void Start() {
    ASSERT_TRUE(loop_.Call<bool>([this] {
      bool started = false;
      service_.ServiceStart(started);
      return started;
    }).value_or(false));
  }
  void Stop() {
    ASSERT_TRUE(loop_.Call<bool>([this] {
      bool stopped = false;
      service_.ServiceStop(stopped);
      return stopped;
    }).value_or(false));
  }
  TKavor2& Service() { return service_; }
  RecordingLog& Log() { return log_; }
  platform::EventLoop& Loop() { return loop_; }

 private:
  platform::EventLoop loop_;
  RecordingLog log_;
  TKavor2 service_;
  std::thread thread_;
};

TEST(Kavor2Service, StartListensOnTheGivenPortAndStopReleasesIt) {
  const std::uint16_t port = FreePort();
  ServiceHarness h({"/noncrypt", "/PORT=" + std::to_string(port), "/casheoff"});
  h.Start();
  EXPECT_EQ(h.Service().ListenPort(), port);
  EXPECT_TRUE(Accepts(port));
  EXPECT_EQ(h.Log().LifecycleEntries(),
            std::vector<std::string>{"Service started (port=" + std::to_string(port) + ")"});
  h.Stop();
  EXPECT_FALSE(Accepts(port));
  EXPECT_EQ(h.Log().LifecycleEntries(),
            (std::vector<std::string>{"Service started (port=" + std::to_string(port) + ")", "Service stoped"}));
}

TEST(Kavor2Service, FailedStartIsLoggedAndStopStillCompletes) {
  platform::TcpListener taken;
  ASSERT_TRUE(taken.Open(0).ok());
  ServiceHarness h({"/port=" + std::to_string(taken.Port())});
  h.Start();
  EXPECT_EQ(h.Log().Entries(), std::vector<std::string>{"Initialization error"});
  h.Stop();
  EXPECT_EQ(h.Log().Entries(), (std::vector<std::string>{"Initialization error", "Service stoped"}));
}

TEST(Kavor2Service, StopWithoutStartPassesOverWhatWasNeverBuilt) {
  ServiceHarness h({});
  h.Stop();
  EXPECT_EQ(h.Log().Entries(), std::vector<std::string>{"Service stoped"});
}

TEST(Kavor2Service, DataDirectoryIsTheProgramDirectoryUnlessGiven) {
  const std::uint16_t port = FreePort();
  {
    ServiceHarness h({"/port=" + std::to_string(port)});
    h.Start();
    EXPECT_EQ(h.Service().DataDirectory(), std::filesystem::path("/opt/kavor2/bin"));
    h.Stop();
  }
  {
    ServiceHarness h({"/port=" + std::to_string(port), "/datadir=/var/lib/Kavor2"});
    h.Start();
    EXPECT_EQ(h.Service().DataDirectory(), std::filesystem::path("/var/lib/Kavor2"));
    h.Stop();
  }
}

TEST(Kavor2Service, TheCacheFileIsMadeInTheDataDirectoryUnlessTheCacheIsOff) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("k2svc-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "kavor2srv.S3DB";
  const std::uint16_t port = FreePort();
  {
    ServiceHarness h({"/port=" + std::to_string(port), "/CasheOff", "/datadir=" + dir.string()});
    h.Start();
    h.Stop();
    EXPECT_FALSE(std::filesystem::exists(file));
  }
  {
    ServiceHarness h({"/port=" + std::to_string(port), "/datadir=" + dir.string()});
    h.Start();
    EXPECT_TRUE(std::filesystem::exists(file));
    h.Stop();
    EXPECT_EQ(h.Log().Entries(), (std::vector<std::string>{"Service started (port=" + std::to_string(port) + ")",
                                                           "Service stoped"}));
  }
  std::filesystem::remove_all(dir);
}

TEST(Kavor2Service, TheStatusFileAtStartOnTheReportAndAtStop) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("k2status-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "kavor2-status.json";
  const std::uint16_t port = FreePort();
  auto read = [&] {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  {
    ServiceHarness h({"/port=" + std::to_string(port), "/casheoff", "/datadir=" + dir.string()});
    h.Start();
    EXPECT_EQ(h.Service().StatusFilePath(), file);
    const std::string at_start = read();
    EXPECT_TRUE(at_start.starts_with("{\"program\":\"kavor2srv\",\"version\":\"")) << at_start;
    EXPECT_NE(at_start.find(",\"pid\":" + std::to_string(::getpid()) + ","), std::string::npos) << at_start;
    EXPECT_NE(at_start.find("\"lines\":[],\"subscribers\":[]"), std::string::npos) << at_start;

    std::filesystem::remove(file);
    ASSERT_TRUE(h.Loop().Call<bool>([&] {
      h.Service().ReportStatistics();
      return true;
    }).value_or(false));
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(h.Log().LifecycleEntries().back(),
              "Statistics: lines 0, devices 0, subscribers 0; packets in 0, out 0; CRC errors 0; authentication "
              "errors 0; retransmissions 0; connects 0; disconnects 0; calls queued 0, sent 0, failed 0; cached "
              "rows 0");

    std::filesystem::remove(file);
    h.Stop();
    EXPECT_TRUE(std::filesystem::exists(file)) << "the last report at shutdown";
    EXPECT_EQ(h.Log().LifecycleEntries().back(), "Service stoped");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kavor2::service
