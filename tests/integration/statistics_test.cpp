// The statistics of the real program: the status file from the start on,
// and SIGUSR1 after some traffic with k2sim, which writes the Statistics
// entry and the file at once and leaves the service running.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kExitTimeout = 30s;
constexpr int kScriptTimeoutS = 150;
const fs::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;

fs::path SimProgram() {
  return ServiceProgram().parent_path().parent_path().parent_path() / "tools" / "k2sim" / "k2sim";
}

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TEST(Statistics, SigUsr1AfterTrafficWritesTheEntryAndTheStatusFileAndTheServiceRunsOn) {
  TempDir dir;
  const fs::path event_log = dir / "events.log";
  const fs::path status_file = dir / "kavor2-status.json";
  const std::uint16_t port = FreePort();
  ChildProcess service(ServiceProgram(),
                       {"/eventlog=" + event_log.string(), "/port=" + std::to_string(port), "/noncrypt",
                        "/datadir=" + dir.Path().string()},
                       {{"KAVOR2_SYSCONFDIR", (dir / "etc").string()}, {"NOTIFY_SOCKET", std::nullopt}});
  ASSERT_TRUE(WaitForPort(port, kStartTimeout)) << service.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(status_file); }, kStartTimeout));

  const std::string command = "PYTHONPATH=" + Quoted(kPythonDir.string()) + " K2_SERVICE_PORT=" +
                              std::to_string(port) + " K2SIM=" + Quoted(SimProgram().string()) +
                              " K2_CRYPT=0 timeout " + std::to_string(kScriptTimeoutS) + " python3 -u " +
                              Quoted((kPythonDir / "statistics.py").string()) + " " +
                              std::to_string(service.Pid()) + " " + Quoted(event_log.string()) + " " +
                              Quoted(status_file.string()) + " 2>&1";
  const ShellRun run = RunShell(command);
  EXPECT_EQ(run.status, 0) << run.output << ReadFile(event_log);
  EXPECT_TRUE(run.output.ends_with("done\n")) << run.output;

  // A second SIGUSR1 with nothing going on: still alive, one more entry.
  ASSERT_TRUE(service.Signal(SIGUSR1));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string log = ReadFile(event_log);
        std::size_t n = 0;
        for (std::size_t at = log.find("Statistics: "); at != std::string::npos; at = log.find("Statistics: ", at + 1)) {
          ++n;
        }
        return n >= 2;
      },
      10s));
  EXPECT_TRUE(service.Running());

  ASSERT_TRUE(service.Signal(SIGTERM));
  const auto status = service.WaitExit(kExitTimeout);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->Exited && status->Code == 0) << service.Stderr();
  // The last report at shutdown; nothing left behind but the file.
  EXPECT_NE(ReadFile(status_file).find("\"program\":\"kavor2srv\""), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace kavor2::testing
