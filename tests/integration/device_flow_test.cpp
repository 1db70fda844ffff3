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

// The scenarios' directory and the examples', from the build.
const fs::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;
const fs::path kExamplesDir = K2_EXAMPLES_DIR;

fs::path SimProgram() { return ServiceProgram().parent_path().parent_path().parent_path() / "tools" / "k2sim" / "k2sim"; }

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct ScriptRun {
  int status = -1;
  std::string output;
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
                          " K2_CRYPT=" + (crypt_ ? "1" : "0") + " python3 -u " + Quoted(script.string());
    for (const std::string& a : args) command += " " + Quoted(a);
    command += " 2>&1";
    ScriptRun run;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return run;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
    run.status = ::pclose(p);
    return run;
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

}  // namespace
}  // namespace kavor2::testing
