#include "platform/event_log.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace kavor2::platform {
namespace {

namespace fs = std::filesystem;

fs::path TempPath(const std::string& name) {
  return fs::temp_directory_path() / (name + "." + std::to_string(::getpid()));
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(FileEventLog, AppendsOneLinePerEntryBytesAsGiven) {
  fs::path file = TempPath("k2-eventlog");
  fs::remove(file);
  const std::string russian = Utf8ToCp1251("Выкл : 0000000000AB");
  {
    FileEventLog log(file);
    log.Write("Service started (port=8100)");
    log.Write(russian);
    log.Write("two\r\nlines");
  }
  // A second writer on the same file appends after the first.
  FileEventLog(file).Write("Service stoped");
  EXPECT_EQ(Lines(file), (std::vector<std::string>{"Service started (port=8100)", russian, "two  lines",
                                                   "Service stoped"}));
  fs::remove(file);
}

TEST(FileEventLog, ConcurrentWritersKeepEntriesWhole) {
  fs::path file = TempPath("k2-eventlog-mt");
  fs::remove(file);
  FileEventLog log(file);
  constexpr int kThreads = 4;
  constexpr int kEntries = 200;
  const std::string payload(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) log.Write(std::to_string(t * kEntries + i) + " " + payload);
    });
  }
  std::vector<std::string> expected;
  for (int n = 0; n < kThreads * kEntries; ++n) expected.push_back(std::to_string(n) + " " + payload);
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = Lines(file);
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  fs::remove(file);
}

TEST(FileEventLog, UnwritablePlaceIsSwallowed) {
  FileEventLog log("/nonexistent-dir-k2/sub/log.txt");
  log.Write("Service started (port=8100)");  // must neither throw nor crash
  SUCCEED();
}

// A datagram socket standing in for the system logger.
class FakeSyslog {
 public:
  FakeSyslog() : path_(TempPath("k2-syslog.sock")) {
    fs::remove(path_);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~FakeSyslog() {
    ::close(fd_);
    fs::remove(path_);
  }
  std::string Receive() {
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  std::string Path() const { return path_.string(); }

 private:
  fs::path path_;
  int fd_ = -1;
};

TEST(SyslogEventLog, SendsDaemonInfoEntriesWithIdentAsUtf8) {
  FakeSyslog logger;
  SyslogEventLog log("Kavor2", logger.Path());
  log.Write(Utf8ToCp1251("Вкл  : 0000000000AB"));
  std::string datagram = logger.Receive();
  ASSERT_FALSE(datagram.empty());
  EXPECT_TRUE(datagram.starts_with("<30>")) << datagram;
  const std::string tail = " Kavor2[" + std::to_string(::getpid()) + "]: Вкл  : 0000000000AB";
  EXPECT_TRUE(datagram.ends_with(tail)) << datagram;
  // "<30>Mmm dd hh:mm:ss " before the ident.
  EXPECT_EQ(datagram.size(), std::string("<30>Jan  1 00:00:00").size() + tail.size());
}

TEST(SyslogEventLog, MissingLoggerIsSwallowed) {
  SyslogEventLog log("Kavor2", TempPath("k2-no-such-logger.sock").string());
  log.Write("Service stoped");
  SUCCEED();
}

}  // namespace
}  // namespace kavor2::platform
