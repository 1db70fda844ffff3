// The cache of undelivered messages survives the service being killed: the
// real program, k2sim as the device, a Python client whose callback server
// never answers (tests/integration/python/cache_kill.py), and SIGKILL while
// events keep arriving; then kill after kill on one data directory
// (cache_kill_loop.py).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;

fs::path SimProgram() { return ServiceProgram().parent_path().parent_path().parent_path() / "tools" / "k2sim" / "k2sim"; }

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The first column of each row of a query; `ok` false when it failed.
std::vector<std::string> Query(const fs::path& file, const char* sql, bool& ok) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  sqlite3_stmt* s = nullptr;
  ok = ok && sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK;
  int rc = SQLITE_DONE;
  while (ok && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(s, 0);
    out.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
  }
  ok = ok && rc == SQLITE_DONE;
  sqlite3_finalize(s);
  sqlite3_close(db);
  return out;
}

TEST(CacheDurability, RowsCommittedBeforeASigkillAreAllThereAndTheFileIsSound) {
  TempDir dir("k2-cache-kill");
  const std::uint16_t port = FreePort();
  auto service = std::make_unique<ChildProcess>(
      ServiceProgram(),
      std::vector<std::string>{"/noncrypt", "/port=" + std::to_string(port), "/datadir=" + dir.Path().string(),
                               "/eventlog=" + (dir / "events.log").string()},
      ChildProcess::EnvChanges{{"KAVOR2_SYSCONFDIR", (dir / "etc").string()}, {"NOTIFY_SOCKET", std::nullopt}});
  ASSERT_TRUE(WaitForPort(port, 20s)) << service->Stderr();

  const std::string command = "PYTHONPATH=" + Quoted(kPythonDir.string()) + " K2_SERVICE_PORT=" +
                              std::to_string(port) + " K2SIM=" + Quoted(SimProgram().string()) +
                              " K2_CRYPT=0 timeout 120 python3 -u " + Quoted((kPythonDir / "cache_kill.py").string()) +
                              " " + Quoted(dir.Path().string()) + " 2>&1";
  FILE* script = ::popen(command.c_str(), "r");
  ASSERT_NE(script, nullptr);
  std::string output;
  std::set<std::string> stored;
  char line[8192];
  while (std::fgets(line, sizeof line, script)) {
    output += line;
    const std::string text(line);
    if (!text.starts_with("stored ")) continue;
    // Killed the moment the rows were seen, with events still coming in.
    ASSERT_TRUE(service->Signal(SIGKILL));
    std::istringstream ids(text.substr(7));
    for (std::string id; ids >> id;) stored.insert(id);
    break;
  }
  while (std::fgets(line, sizeof line, script)) output += line;
  ::pclose(script);
  ASSERT_GE(stored.size(), 5u) << output << ReadFile(dir / "events.log");
  const auto status = service->WaitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(status->Exited);
  EXPECT_EQ(status->Signal, SIGKILL);

  const fs::path file = dir / "kavor2srv.S3DB";
  ASSERT_TRUE(fs::exists(file));
  bool ok = false;
  EXPECT_EQ(Query(file, "PRAGMA integrity_check", ok), std::vector<std::string>{"ok"});
  EXPECT_TRUE(ok);
  const std::vector<std::string> rows = Query(file, "SELECT IDTransaction FROM LogData", ok);
  EXPECT_TRUE(ok);
  const std::set<std::string> after(rows.begin(), rows.end());
  for (const std::string& id : stored) EXPECT_TRUE(after.count(id)) << "lost " << id;

  // The next run opens the file as it is: no "damaged" entry, the rows still there.
  const std::uint16_t port2 = FreePort();
  service = std::make_unique<ChildProcess>(
      ServiceProgram(),
      std::vector<std::string>{"/noncrypt", "/port=" + std::to_string(port2), "/datadir=" + dir.Path().string(),
                               "/eventlog=" + (dir / "events2.log").string()},
      ChildProcess::EnvChanges{{"KAVOR2_SYSCONFDIR", (dir / "etc").string()}, {"NOTIFY_SOCKET", std::nullopt}});
  ASSERT_TRUE(WaitForPort(port2, 20s)) << service->Stderr();
  ASSERT_TRUE(service->Signal(SIGTERM));
  ASSERT_TRUE(service->WaitExit(30s).has_value());
  const std::string log2 = ReadFile(dir / "events2.log");
  EXPECT_EQ(log2.find("Database"), std::string::npos) << log2;
  EXPECT_EQ(Query(file, "SELECT count(*) FROM LogData", ok), std::vector<std::string>{std::to_string(rows.size())});
}

// Ten runs killed at random moments, owners that hold or accept the calls,
// and a last run that must deliver every row ever committed. The seed is
// printed; K2_KILL_SEED repeats a run.
TEST(CacheDurability, KilledRoundAfterRoundNoCommittedRowIsLost) {
  TempDir dir("k2-cache-loop");
  const char* fixed = std::getenv("K2_KILL_SEED");
  const unsigned seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
  const std::string command = "PYTHONPATH=" + Quoted(kPythonDir.string()) + " K2SIM=" +
                              Quoted(SimProgram().string()) + " timeout 120 python3 -u " +
                              Quoted((kPythonDir / "cache_kill_loop.py").string()) + " " +
                              Quoted(ServiceProgram().string()) + " " + Quoted(dir.Path().string()) + " 10 " +
                              std::to_string(seed) + " 2>&1";
  const ShellRun run = RunShell(command);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.output.ends_with("done\n")) << run.output;
}

}  // namespace
}  // namespace kavor2::testing
