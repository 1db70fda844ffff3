#include "xmlrpc/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kavor2::xmlrpc {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class TraceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("k2-tracefiles-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(TraceFileNames, LogicalStemProgramStemLogicalExtension) {
  EXPECT_EQ(TraceFilePath("/opt/k2", "kavor2srv", "rpc.log"), fs::path("/opt/k2/rpc_kavor2srv.log"));
  EXPECT_EQ(TraceFilePath("/opt/k2", "kavor2srv", "xmlrpcdata.txt"), fs::path("/opt/k2/xmlrpcdata_kavor2srv.txt"));
  EXPECT_EQ(TraceFilePath("/opt/k2", "kavor2srv", "rpc_err.txt"), fs::path("/opt/k2/rpc_err_kavor2srv.txt"));
}

TEST_F(TraceFiles, NothingIsWrittenWithoutTheSwitch) {
  TLogFile off(false, dir_, "kavor2srv");
  LogRequest(off, "<methodCall/>");
  LogClientTrace(off, kRpcLogName, "line");
  LogClientTrace(off, kRpcErrorLogName, "line");
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(TraceFiles, EachTextGetsOneLineEndAndGoesToItsFile) {
  TLogFile on(true, dir_, "kavor2srv");
  LogRequest(on, "<methodCall/>\r\n");  // its own line ends stay, one more is added
  LogRequest(on, "");                   // empty texts are not written
  LogRequest(on, "<second/>");
  LogClientTrace(on, kRpcLogName, "progress");
  LogClientTrace(on, kRpcErrorLogName, "failure");
  EXPECT_EQ(ReadAll(dir_ / "xmlrpcdata_kavor2srv.txt"), "<methodCall/>\r\n\r\n<second/>\r\n");
  EXPECT_EQ(ReadAll(dir_ / "rpc_kavor2srv.log"), "progress\r\n");
  EXPECT_EQ(ReadAll(dir_ / "rpc_err_kavor2srv.txt"), "failure\r\n");

  // A file removed while the service runs is simply made again.
  fs::remove(dir_ / "rpc_kavor2srv.log");
  LogClientTrace(on, kRpcLogName, "again");
  EXPECT_EQ(ReadAll(dir_ / "rpc_kavor2srv.log"), "again\r\n");

  // A folder that is not there: silently nothing.
  TLogFile nowhere(true, dir_ / "missing", "kavor2srv");
  LogRequest(nowhere, "<x/>");
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(TraceFiles, FileAtTheCapMovesToOnePredecessor) {
  constexpr std::uint64_t kCap = 40;
  TLogFile on(true, dir_, "kavor2srv", kCap);
  const fs::path file = dir_ / "rpc_kavor2srv.log";
  const fs::path old = dir_ / "rpc_kavor2srv.log.1";
  const std::string line(14, 'a');  // 16 bytes with its line end
  on.LockedAppend(kRpcLogName, line);
  on.LockedAppend(kRpcLogName, line);
  EXPECT_EQ(fs::file_size(file), 32u);
  EXPECT_FALSE(fs::exists(old));

  on.LockedAppend(kRpcLogName, std::string(14, 'b'));  // 48 would pass the cap
  EXPECT_EQ(ReadAll(old), line + "\r\n" + line + "\r\n");
  EXPECT_EQ(ReadAll(file), std::string(14, 'b') + "\r\n");

  on.LockedAppend(kRpcLogName, std::string(14, 'c'));
  on.LockedAppend(kRpcLogName, std::string(14, 'd'));  // the second rotation replaces the first predecessor
  EXPECT_EQ(ReadAll(old), std::string(14, 'b') + "\r\n" + std::string(14, 'c') + "\r\n");
  EXPECT_EQ(ReadAll(file), std::string(14, 'd') + "\r\n");

  // A single text above the cap is still written whole, in a file of its own.
  on.UnlockedAppend(kRpcLogName, std::string(100, 'e'));
  EXPECT_EQ(ReadAll(file), std::string(100, 'e') + "\r\n");
  EXPECT_EQ(ReadAll(old), std::string(14, 'd') + "\r\n");
}

TEST_F(TraceFiles, AppendsFromSeveralThreadsDoNotMix) {
  TLogFile on(true, dir_, "kavor2srv", 64 * 1024);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string text(100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        if (t % 2 == 0) {
          LogClientTrace(on, kRpcErrorLogName, text);
        } else {
          LogClientTrace(on, kRpcLogName, text);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  int lines = 0;
  for (const char* name : {"rpc_err_kavor2srv.txt", "rpc_err_kavor2srv.txt.1", "rpc_kavor2srv.log",
                           "rpc_kavor2srv.log.1"}) {
    std::istringstream in(ReadAll(dir_ / name));
    for (std::string line; std::getline(in, line);) {
      ASSERT_EQ(line.size(), 101u) << name;
      ASSERT_EQ(line.back(), '\r');
      ASSERT_EQ(line.find_first_not_of(line[0]), 100u) << name;
      ++lines;
    }
  }
  // What went further back than one predecessor is gone; what is kept is whole.
  EXPECT_GT(lines, 0);
  EXPECT_LE(fs::file_size(dir_ / "rpc_kavor2srv.log"), 64u * 1024);
}

}  // namespace
}  // namespace kavor2::xmlrpc
