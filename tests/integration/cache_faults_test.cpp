// The cache of undelivered messages when its file system or its file lets it
// down: a data directory that fills up (a small tmpfs of the test's own, in
// a mount namespace of its own), and files that are no usable cache at the
// start. The real program, k2sim as the device, Python clients
// (tests/integration/python).
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;
constexpr const char* kDamagedEntry = "Database damaged, moved aside : ";

fs::path SimProgram() { return ServiceProgram().parent_path().parent_path().parent_path() / "tools" / "k2sim" / "k2sim"; }

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The service on a data directory, with its event log elsewhere.
class Service {
 public:
  Service(const fs::path& data_dir, const fs::path& event_log) : port_(FreePort()), log_(event_log) {
    process_ = std::make_unique<ChildProcess>(
        ServiceProgram(),
        std::vector<std::string>{"/noncrypt", "/port=" + std::to_string(port_), "/datadir=" + data_dir.string(),
                                 "/eventlog=" + event_log.string()},
        ChildProcess::EnvChanges{{"KAVOR2_SYSCONFDIR", (data_dir.parent_path() / "etc").string()},
                                 {"NOTIFY_SOCKET", std::nullopt}});
  }
  bool Listening() { return WaitForPort(port_, 20s); }
  ShellRun Python(const std::string& script, const std::vector<std::string>& args) const {
    std::string command = "PYTHONPATH=" + Quoted(kPythonDir.string()) + " K2_SERVICE_PORT=" + std::to_string(port_) +
                          " K2SIM=" + Quoted(SimProgram().string()) + " K2_CRYPT=0 timeout 120 python3 -u " +
                          Quoted((kPythonDir / script).string());
    for (const std::string& a : args) command += " " + Quoted(a);
    return RunShell(command + " 2>&1");
  }
  // Still running, and it stops cleanly.
  void ExpectCleanStop() {
    EXPECT_TRUE(process_->Running()) << process_->Stderr();
    ASSERT_TRUE(process_->Signal(SIGTERM));
    const auto status = process_->WaitExit(30s);
    ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
    EXPECT_TRUE(status->Exited && status->Code == 0) << process_->Stderr();
  }
  std::string Entries() const { return ReadFile(log_); }

 private:
  std::uint16_t port_;
  fs::path log_;
  std::unique_ptr<ChildProcess> process_;
};

bool Done(const ShellRun& run) { return run.status == 0 && run.output.ends_with("done\n"); }

// A tmpfs of `size` on `dir`, in this process's own mount namespace (the
// service started afterwards shares it); unmounted with the object.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& dir, const std::string& size) : dir_(dir) {
    if (::unshare(CLONE_NEWNS) != 0) {
      error_ = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      error_ = std::string("mount --make-rprivate /: ") + std::strerror(errno);
    } else if (::mount("k2-cache-test", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      error_ = std::string("mount -t tmpfs: ") + std::strerror(errno);
    } else {
      mounted_ = true;
    }
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
  std::string error_;
};

// Fills the file system `file` is on.
void Fill(const fs::path& file) {
  std::ofstream out(file, std::ios::binary);
  const std::string chunk(4096, '\0');
  while (out.write(chunk.data(), static_cast<std::streamsize>(chunk.size())) && out.flush()) {
  }
}

// Full while the service runs, and (second pass) full already at the start,
// before the table could be made.
TEST(CacheFaults, AFullDataDirectoryIsLoggedAndDeliveryGoesOnUntilThereIsRoomAgain) {
  for (const bool full_at_start : {false, true}) {
    SCOPED_TRACE(full_at_start ? "full at the start" : "full while running");
    TempDir dir("k2-cache-full");
    const fs::path data = dir / "data";
    fs::create_directory(data);
    SmallFileSystem small(data, "256k");
    if (!small.Mounted()) GTEST_SKIP() << "needs root for a tmpfs of its own: " << small.Error();
    if (full_at_start) Fill(data / "filler");
    Service service(data, dir / "events.log");
    ASSERT_TRUE(service.Listening());
    const ShellRun run = service.Python("cache_disk_full.py", {data.string(), (dir / "events.log").string()});
    EXPECT_TRUE(Done(run)) << run.output << service.Entries();
    service.ExpectCleanStop();
    EXPECT_EQ(service.Entries().find(kDamagedEntry), std::string::npos) << service.Entries();
  }
}

// A real cache file with rows, cut off at a page boundary in the middle.
std::string TruncatedCache(const fs::path& scratch) {
  const fs::path file = scratch / "whole.S3DB";
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  const std::string sql =
      "CREATE TABLE LogData( CreateDataTime TimeStamp default (datetime('now', 'localtime')),IDTransaction CHAR(38) "
      "NOT NULL,IDDevice CHAR(12) NOT NULL,Data VARCHAR(255) NOT NULL );"
      "CREATE INDEX CreateDataTime_ID_IDX ON LogData (CreateDataTime,IDTransaction, IDDevice);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
      "INSERT INTO LogData(IDTransaction,IDDevice,Data) SELECT printf('{%036d}', i), '0000000000E7', "
      "printf('%0200d', i) FROM n;";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  std::string whole = ReadFile(file);
  const std::size_t page = 4096;
  whole.resize(whole.size() / 2 / page * page);
  return whole;
}

// Files that are no usable cache: each is logged, moved aside, and a fresh
// file takes its place; the service serves and caches as usual.
TEST(CacheFaults, AnUnusableFileAtTheStartIsMovedAsideAndANewOneCaches) {
  TempDir scratch("k2-cache-bad");
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"garbage", std::string(8192, '\x5a')},
      {"zero length", std::string()},
      {"truncated", TruncatedCache(scratch.Path())},
      {"header only", std::string("SQLite format 3") + '\0' + std::string(84, '\xff')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir("k2-cache-bad");
    const fs::path data = dir / "data";
    fs::create_directory(data);
    const fs::path file = data / "kavor2srv.S3DB";
    { std::ofstream(file, std::ios::binary) << c.content; }
    Service service(data, dir / "events.log");
    ASSERT_TRUE(service.Listening());
    const ShellRun run = service.Python("cache.py", {"store", data.string()});
    EXPECT_TRUE(Done(run)) << run.output << service.Entries();
    service.ExpectCleanStop();
    const std::string entries = service.Entries();
    EXPECT_NE(entries.find(kDamagedEntry), std::string::npos) << entries;
    EXPECT_EQ(entries.find("Initialization error"), std::string::npos) << entries;
    int aside = 0;
    for (const auto& e : fs::directory_iterator(data)) {
      if (e.path().filename().string().starts_with("kavor2srv.S3DB.damaged-")) {
        ++aside;
        EXPECT_EQ(ReadFile(e.path()), c.content) << "kept as it was";
      }
    }
    EXPECT_EQ(aside, 1);
  }
}

// Something that is no file at all is not taken for a damaged cache: it is
// left alone, the start stops at the cache with "Initialization error", and
// the API, listening already, still answers.
TEST(CacheFaults, ADirectoryInPlaceOfTheFileStaysAndTheApiStillAnswers) {
  TempDir dir("k2-cache-dir");
  const fs::path data = dir / "data";
  fs::create_directories(data / "kavor2srv.S3DB");
  Service service(data, dir / "events.log");
  ASSERT_TRUE(service.Listening());
  const ShellRun run = service.Python("cache_api_answers.py", {});
  EXPECT_TRUE(Done(run)) << run.output << service.Entries();
  service.ExpectCleanStop();
  const std::string entries = service.Entries();
  EXPECT_TRUE(entries.starts_with("Initialization error")) << entries;
  EXPECT_EQ(entries.find(kDamagedEntry), std::string::npos) << entries;
  EXPECT_TRUE(fs::is_directory(data / "kavor2srv.S3DB"));
}

}  // namespace
}  // namespace kavor2::testing
