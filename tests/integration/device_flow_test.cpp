// The whole service with devices: the real program, k2sim playing the
// devices on UDP loopback, and Python scripts (tests/integration/python) as
// the clients and their callback servers. Each script prints "done" when all
// its expectations held.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kExitTimeout = 30s;  // a pending callback call may hold the stop for its read time-out
constexpr int kScriptTimeoutS = 150;       // a script that hangs fails instead of holding the suite

// The scenarios' directory and the examples', from the build.
const fs::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;
const fs::path kExamplesDir = K2_EXAMPLES_DIR;

fs::path SimProgram() { return ServiceProgram().parent_path().parent_path().parent_path() / "tools" / "k2sim" / "k2sim"; }

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct ScriptRun : ShellRun {
  bool Done() const {
    return status == 0 && output.size() >= 5 && output.compare(output.size() - 5, 5, "done\n") == 0;
  }
};

// The service on a data directory of the test's own; started and stopped
// on demand, so a test can restart it on the same directory.
class ServiceWithDevices : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    port_ = FreePort();
    std::vector<std::string> args{"/eventlog=" + EventLog().string(), "/port=" + std::to_string(port_),
                                  "/datadir=" + dir_.Path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    crypt_ = true;
    for (const std::string& a : extra) crypt_ = crypt_ && a != "/noncrypt";
    service_ = std::make_unique<ChildProcess>(
        ServiceProgram(), args,
        ChildProcess::EnvChanges{{"KAVOR2_SYSCONFDIR", (dir_ / "etc").string()}, {"NOTIFY_SOCKET", std::nullopt}});
    ASSERT_TRUE(WaitForPort(port_, kStartTimeout)) << service_->Stderr();
  }

  void Stop() {
    ASSERT_TRUE(service_->Signal(SIGTERM));
    const auto status = service_->WaitExit(kExitTimeout);
    ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
    EXPECT_TRUE(status->Exited && status->Code == 0) << service_->Stderr();
    service_.reset();
  }

  // Runs a Python program against the running service; stdout and stderr together.
  ScriptRun RunPython(const fs::path& script, const std::vector<std::string>& args = {}) const {
    std::string command = "PYTHONPATH=" + Quoted(kPythonDir.string()) +
                          " K2_SERVICE_PORT=" + std::to_string(port_) + " K2SIM=" + Quoted(SimProgram().string()) +
                          " K2_CRYPT=" + (crypt_ ? "1" : "0") + " timeout " + std::to_string(kScriptTimeoutS) +
                          " python3 -u " + Quoted(script.string());
    for (const std::string& a : args) command += " " + Quoted(a);
    command += " 2>&1";
    return {RunShell(command)};
  }

  ScriptRun RunScenario(const std::string& name, const std::vector<std::string>& args = {}) const {
    return RunPython(kPythonDir / (name + ".py"), args);
  }

  fs::path EventLog() const { return dir_ / "events.log"; }
  bool CacheFileExists() const {
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
      if (entry.path().extension() == ".S3DB") return true;
    }
    return false;
  }

  TempDir dir_;
  std::uint16_t port_ = 0;
  bool crypt_ = true;
  std::unique_ptr<ChildProcess> service_;
};

// Register, add a line and a device, connect, data both ways, notifications
// to every subscriber, release by the closed registration connection.
TEST_F(ServiceWithDevices, DeviceFlowPlain) {
  Start({"/noncrypt"});
  const ScriptRun run = RunScenario("device_flow");
  EXPECT_TRUE(run.Done()) << run.output << ReadFile(EventLog());
  Stop();
}

// The same flow with the session-key exchange and AES bodies, both on the
// API connections and on the callback connections.
TEST_F(ServiceWithDevices, DeviceFlowEncrypted) {
  Start();
  const ScriptRun run = RunScenario("device_flow");
  EXPECT_TRUE(run.Done()) << run.output << ReadFile(EventLog());
  Stop();
}

TEST_F(ServiceWithDevices, LineAndDeviceFaults) {
  Start({"/noncrypt"});
  const ScriptRun run = RunScenario("faults");
  EXPECT_TRUE(run.Done()) << run.output << ReadFile(EventLog());
  Stop();
}

// Takes one or two check passes of 20 s each.
TEST_F(ServiceWithDevices, LivenessCheckPingsAndReleases) {
  Start({"/noncrypt", "/casheoff"});
  const ScriptRun run = RunScenario("liveness");
  EXPECT_TRUE(run.Done()) << run.output << ReadFile(EventLog());
  Stop();
  EXPECT_FALSE(CacheFileExists()) << "/casheoff made a cache file";
}

// Takes one call deadline (15 s) for the slowest of them.
TEST_F(ServiceWithDevices, HostileCallbackServersAreReleasedInTime) {
  Start({"/noncrypt", "/casheoff"});
  const ScriptRun run = RunScenario("hostile_callbacks");
  EXPECT_TRUE(run.Done()) << run.output << ReadFile(EventLog());
  Stop();
}

TEST_F(ServiceWithDevices, CachedEventsAreResentAfterRestart) {
  Start({"/noncrypt"});
  const ScriptRun store = RunScenario("cache", {"store", dir_.Path().string()});
  ASSERT_TRUE(store.Done()) << store.output << ReadFile(EventLog());
  Stop();
  Start({"/noncrypt"});
  const ScriptRun resend = RunScenario("cache", {"resend", dir_.Path().string()});
  EXPECT_TRUE(resend.Done()) << resend.output << ReadFile(EventLog());
  Stop();
}

// The integrators' example, run as its README section shows, so it cannot rot.
TEST_F(ServiceWithDevices, WatchDeviceExample) {
  Start({"/noncrypt"});
  const std::string line_port = std::to_string(FreePort());
  const std::string device_port = std::to_string(FreePort());
  const std::string callback_port = std::to_string(FreePort());
  ChildProcess sim(SimProgram(), {"--service", "127.0.0.1:" + line_port, "--first-id", "0000000000A1", "--base-port",
                                  device_port, "--send-every", "200", "--data", "7A7B"});
  const ScriptRun run = RunPython(kExamplesDir / "watch_device.py",
                                  {"--service", "127.0.0.1:" + std::to_string(port_), "--line-port", line_port,
                                   "--device", "0000000000A1", "--device-port", device_port, "--callback-port",
                                   callback_port, "--count", "3"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("connected 0000000000A1\n"), std::string::npos) << run.output;
  std::size_t frames = 0;
  for (std::size_t at = 0; (at = run.output.find("data 0000000000A1 037A7B ", at)) != std::string::npos; ++at) ++frames;
  EXPECT_EQ(frames, 3u) << run.output;
  Stop();
}

}  // namespace
}  // namespace kavor2::testing
