// The real program: run in the foreground, stopped, paused and resumed by
// signals, and installed and removed as a systemd unit.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "integration/process_runner.h"
#include "platform/tcp.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Generous: the sanitizer builds start and stop much slower.
constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kExitTimeout = 20s;
constexpr milliseconds kNoAnswerWindow = 300ms;

const std::string kListMethodsCall =
    "<?xml version=\"1.0\"?><methodCall><methodName>system.listMethods</methodName><params></params></methodCall>";

std::string PostRequest(const std::string& body) {
  return "POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

class ServiceProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    env_["KAVOR2_SYSCONFDIR"] = (dir_ / "etc").string();
    env_["KAVOR2_UNIT_DIR"] = (dir_ / "units").string();
    env_["NOTIFY_SOCKET"] = std::nullopt;
  }

  std::vector<std::string> ServiceArgs() const {
    return {"/eventlog=" + EventLogFile().string(), "/port=" + std::to_string(port_), "/noncrypt",
            "/datadir=" + dir_.Path().string()};
  }
  fs::path EventLogFile() const { return dir_ / "events.log"; }
  std::string StartedEntry() const { return "Service started (port=" + std::to_string(port_) + ")\n"; }

  std::unique_ptr<ChildProcess> StartService() {
    auto child = std::make_unique<ChildProcess>(ServiceProgram(), ServiceArgs(), env_);
    EXPECT_TRUE(WaitForPort(port_, kStartTimeout)) << child->Stderr();
    return child;
  }

  void ExpectCleanExit(ChildProcess& child) {
    auto status = child.WaitExit(kExitTimeout);
    ASSERT_TRUE(status.has_value()) << "still running after the stop signal";
    EXPECT_TRUE(status->Exited) << "killed by signal " << status->Signal;
    EXPECT_EQ(status->Code, 0) << child.Stderr();
    EXPECT_EQ(LifecycleEntries(), StartedEntry() + "Service stoped\n");
  }

  // The event log without the entries of client connections (the port
  // probes and the tests' own connections make some).
  std::string LifecycleEntries() const {
    std::string kept;
    std::istringstream in(ReadFile(EventLogFile()));
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("Client ") || line.starts_with("Release subscriber on disconnect (")) continue;
      kept += line + "\n";
    }
    return kept;
  }

  TempDir dir_;
  std::uint16_t port_ = 0;
  ChildProcess::EnvChanges env_;
};

class StopSignal : public ServiceProcess, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, RunsTheShutdownAndExitsZero) {
  auto child = StartService();
  EXPECT_TRUE(WaitUntil([&] { return LifecycleEntries() == StartedEntry(); }, kStartTimeout));
  // The trace switch folder is made at start; the switch file only looked for.
  EXPECT_TRUE(fs::is_directory(dir_ / "etc" / "TERSK" / "KAVOR_PRO" / "KAVCORE"));
  ASSERT_TRUE(child->Signal(GetParam()));
  ExpectCleanExit(*child);
  EXPECT_FALSE(WaitForPort(port_, 0ms));
}

INSTANTIATE_TEST_SUITE_P(ServiceProcess, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Term" : "Int");
                         });

TEST_F(ServiceProcess, ReportsReadinessOnlyWhenListeningAndStoppingOnStop) {
  NotifyListener manager;
  env_["NOTIFY_SOCKET"] = manager.Name();
  ChildProcess child(ServiceProgram(), ServiceArgs(), env_);
  ASSERT_TRUE(manager.WaitFor("READY=1", kStartTimeout)) << child.Stderr();
  EXPECT_TRUE(WaitForPort(port_, 0ms));  // no waiting: ready means listening
  ASSERT_TRUE(child.Signal(SIGTERM));
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", kExitTimeout));
  ExpectCleanExit(child);
}

class PausedService : public ServiceProcess {
 protected:
  void SetUp() override {
    ServiceProcess::SetUp();
    env_["NOTIFY_SOCKET"] = manager_.Name();
    child_ = std::make_unique<ChildProcess>(ServiceProgram(), ServiceArgs(), env_);
    ASSERT_TRUE(manager_.WaitFor("READY=1", kStartTimeout)) << child_->Stderr();
    ASSERT_TRUE(platform::TcpConnection::Connect("127.0.0.1", port_, 5000ms, connection_).ok());
    ASSERT_TRUE(child_->Signal(SIGTSTP));
    ASSERT_TRUE(manager_.WaitFor("STATUS=Paused", kStartTimeout));
  }

  NotifyListener manager_;
  std::unique_ptr<ChildProcess> child_;
  std::unique_ptr<platform::TcpConnection> connection_;
};

TEST_F(PausedService, HoldsCallsUntilContinue) {
  ASSERT_TRUE(connection_->WriteAll(PostRequest(kListMethodsCall)).ok());
  std::string line;
  EXPECT_EQ(connection_->ReadLine(line, 16384, kNoAnswerWindow).status, platform::IoStatus::kTimeout);
  EXPECT_TRUE(child_->Running());  // paused, not stopped by the terminal signal

  ASSERT_TRUE(child_->Signal(SIGCONT));
  EXPECT_TRUE(manager_.WaitFor("STATUS=Running", kStartTimeout));
  ASSERT_TRUE(connection_->ReadLine(line, 16384, kStartTimeout).ok());
  EXPECT_EQ(line, "HTTP/1.1 200 OK");
  std::size_t length = 0;
  while (connection_->ReadLine(line, 16384, kStartTimeout).ok() && !line.empty()) {
    if (line.starts_with("Content-Length: ")) length = std::stoul(line.substr(16));
  }
  std::string body;
  ASSERT_TRUE(connection_->ReadExact(length, body, kStartTimeout).ok());
  EXPECT_NE(body.find("system.methodHelp"), std::string::npos) << body;

  ASSERT_TRUE(child_->Signal(SIGTERM));
  ExpectCleanExit(*child_);
}

TEST_F(PausedService, StopsWhilePaused) {
  ASSERT_TRUE(child_->Signal(SIGTERM));
  ExpectCleanExit(*child_);
}

// --- install / uninstall

class Installer : public ServiceProcess {
 protected:
  RunResult Run(const std::vector<std::string>& args) { return RunToEnd(ServiceProgram(), args, env_, kExitTimeout); }
  fs::path Unit() const { return dir_ / "units" / "kavor2.service"; }

  static void ExpectExit(const RunResult& r, int code) {
    ASSERT_TRUE(r.Status.has_value()) << "did not end";
    EXPECT_TRUE(r.Status->Exited);
    EXPECT_EQ(r.Status->Code, code) << r.Err;
  }
};

TEST_F(Installer, WritesTheUnitWithTheServiceArgumentsAndRemovesIt) {
  RunResult installed = Run({"/port=9000", "INSTALL", "/noncrypt"});
  ExpectExit(installed, 0);
  EXPECT_NE(installed.Out.find("installed"), std::string::npos) << installed.Out;
  EXPECT_EQ(installed.Out.find('\n'), installed.Out.size() - 1) << "one confirmation line: " << installed.Out;

  const std::string unit = ReadFile(Unit());
  const std::string program = fs::canonical(ServiceProgram()).string();
  EXPECT_NE(unit.find("\nDescription=Kavor2 - Device Interface Protocol\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nX-Description=Интерфейс работы с приборами по протоколу Кавор 2 (версия протокола 2.1)\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nExecStart=" + program + " /port=9000 /noncrypt\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("[Install]\nWantedBy=multi-user.target\n"), std::string::npos) << unit;

  RunResult again = Run({"install"});
  ExpectExit(again, 1);
  EXPECT_NE(again.Err.find("already exists"), std::string::npos) << again.Err;
  EXPECT_EQ(ReadFile(Unit()), unit);

  RunResult removed = Run({"-Uninstall"});
  ExpectExit(removed, 0);
  EXPECT_NE(removed.Out.find("removed"), std::string::npos) << removed.Out;
  EXPECT_FALSE(fs::exists(Unit()));

  RunResult missing = Run({"/uninstall"});
  ExpectExit(missing, 1);
  EXPECT_NE(missing.Err.find("not installed"), std::string::npos) << missing.Err;
}

TEST_F(Installer, SilentPrintsNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-install", "/SILENT"}, {"silent", "UNINSTALL"}}) {
    RunResult r = Run(args);
    ExpectExit(r, 0);
    EXPECT_EQ(r.Out, "") << args[0];
    EXPECT_EQ(r.Err, "") << args[0];
  }
  EXPECT_FALSE(fs::exists(Unit()));
}

}  // namespace
}  // namespace kavor2::testing
