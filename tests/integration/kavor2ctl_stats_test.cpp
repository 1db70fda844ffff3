// "kavor2ctl stats": the service's status file read from disk and printed
// as tables; fixture files for the shapes a reader meets, and the file of
// a running service.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

using namespace std::chrono_literals;

constexpr milliseconds kRunTimeout = 30s;
constexpr int kExitUsage = 2;
constexpr int kExitUnreadable = 3;

std::filesystem::path CtlProgram() {
  const char* dir = std::getenv("K2_BUILD_DIR");
  return std::filesystem::path(dir ? dir : ".") / "tools/kavor2ctl/kavor2ctl";
}

int Code(const RunResult& r) { return r.Status && r.Status->Exited ? r.Status->Code : -1; }

// The time `ago` seconds back, as the service writes it.
std::string UtcText(long ago) {
  const std::time_t when = std::time(nullptr) - ago;
  std::tm tm{};
  ::gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// A status file of two lines (one with two devices) and two subscribers,
// with members a newer service might add, written `written_ago` s back.
std::string GoodStatus(long written_ago) {
  return R"({"program":"kavor2srv","version":"1.0.2.0","pid":4242,"started":")" + UtcText(3725 + written_ago) +
         R"(","written":")" + UtcText(written_ago) + R"(","future":{"nested":[1,2,{"x":null}]},
 "lines":[{"id":0,"type":"ETHERNET","port":40000,"packets_in":1234,"packets_out":1200,"crc_errors":1,
   "auth_errors":0,"retransmissions":17,"connects":3,"disconnects":1,"extra":true,
   "devices":[{"mac":"0000000000A1","packets_in":1000,"packets_out":990,"crc_errors":1,"auth_errors":0,
               "retransmissions":12,"connects":2,"disconnects":1},
              {"mac":"0000000000A2","packets_in":234,"packets_out":210,"crc_errors":0,"auth_errors":0,
               "retransmissions":5,"connects":1,"disconnects":0}]},
  {"id":1,"type":"RS232","port":5,"packets_in":0,"packets_out":0,"crc_errors":0,"auth_errors":0,
   "retransmissions":0,"connects":0,"disconnects":0,"devices":[]}],
 "subscribers":[{"client":"Operator \u0412\u0430\u0441\u044f","host":"127.0.0.1","port":8121,
   "calls_queued":2,"calls_sent":18446744073709551615,"calls_failed":0,"cached_rows":7},
  {"client":"watch","host":"10.0.0.5","port":9000,"calls_queued":0,"calls_sent":5,"calls_failed":1,"cached_rows":0}]}
)";
}

class Kavor2CtlStatsTest : public ::testing::Test {
 protected:
  std::filesystem::path Write(const std::string& text, const std::string& name = "kavor2-status.json") {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  RunResult Stats(std::vector<std::string> args) {
    args.insert(args.begin(), "stats");
    return RunToEnd(CtlProgram(), args, {}, kRunTimeout);
  }

  TempDir dir_{"k2-ctl-stats"};
};

TEST_F(Kavor2CtlStatsTest, PrintsHeaderLinesWithTheirDevicesAndSubscribers) {
  Write(GoodStatus(5));
  RunResult r = Stats({"--datadir", dir_.Path().string()});
  ASSERT_EQ(Code(r), 0) << r.Err;
  EXPECT_TRUE(r.Err.empty()) << r.Err;
  const std::size_t blank = r.Out.find("\n\n");
  ASSERT_NE(blank, std::string::npos) << r.Out;
  // The age depends on when the program ran: 5 s, or a little more.
  EXPECT_TRUE(std::regex_match(r.Out.substr(0, blank + 1),
                               std::regex("kavor2srv 1\\.0\\.2\\.0, pid 4242\n"
                                          "started  [-0-9T:]+Z \\(up 1h 2m 5s\\)\n"
                                          "written  [-0-9T:]+Z \\([5-9]s ago\\)\n")))
      << r.Out;
  EXPECT_EQ(r.Out.substr(blank + 2),
            "Lines: 2, devices: 2\n"
            "  LINE            TYPE       PORT    IN   OUT  CRC  AUTH  RETRANS  CONNECTS  DISCONNECTS\n"
            "  0               ETHERNET  40000  1234  1200    1     0       17         3            1\n"
            "    0000000000A1                   1000   990    1     0       12         2            1\n"
            "    0000000000A2                    234   210    0     0        5         1            0\n"
            "  1               RS232         5     0     0    0     0        0         0            0\n"
            "\n"
            "Subscribers: 2\n"
            "  CLIENT         HOST       PORT  QUEUED                  SENT  FAILED  CACHED\n"
            "  Operator Вася  127.0.0.1  8121       2  18446744073709551615       0       7\n"
            "  watch          10.0.0.5   9000       0                     5       1       0\n");

  // --status names the file itself; the same text comes out.
  RunResult by_file = Stats({"--status", (dir_ / "kavor2-status.json").string()});
  EXPECT_EQ(Code(by_file), 0) << by_file.Err;
  EXPECT_EQ(by_file.Out.substr(by_file.Out.find("\n\n")), r.Out.substr(blank));
}

TEST_F(Kavor2CtlStatsTest, EmptyListsStaleFilesAndHostileNames) {
  struct Case {
    const char* Name;
    std::string Json;
    std::vector<std::string> Expected;  // substrings of the output
  };
  const Case cases[] = {
      {"empty lists",
       R"({"program":"kavor2srv","version":"1.0.2.0","pid":7,"started":")" + UtcText(0) + R"(","written":")" +
           UtcText(0) + R"(","lines":[],"subscribers":[]})",
       {"pid 7\n", "(up 0s)", "Lines: 0, devices: 0\n\nSubscribers: 0\n"}},
      {"stale",
       R"({"program":"kavor2srv","version":"1.0.2.0","pid":7,"started":"x","written":")" + UtcText(125) +
           R"(","lines":[],"subscribers":[]})",
       {"started  x\n", " ago)  STALE: ", "is it running?\n"}},
      // Members missing or of another kind print as "-"; lists may be absent.
      {"missing members", R"({"lines":[{"id":"3","devices":[{}]}]})",
       {"- -, pid -\n", "  3     -        -   -", "    -  ", "Subscribers: 0\n"}},
      // A terminal escape in a client's name is not passed on; a name kept
      // in Windows-1251 comes out as UTF-8.
      {"escapes and Windows-1251",
       "{\"subscribers\":[{\"client\":\"\\u001b[2J\\tbad\",\"host\":\"h\"},{\"client\":\"\xC2\xE0\xF1\xFF\"}]}",
       {"  ?[2J?bad  h", "  Вася  "}},
  };
  for (const Case& c : cases) {
    Write(c.Json);
    RunResult r = Stats({"--datadir", dir_.Path().string()});
    EXPECT_EQ(Code(r), 0) << c.Name << ": " << r.Err;
    for (const std::string& part : c.Expected) {
      EXPECT_NE(r.Out.find(part), std::string::npos) << c.Name << ": no \"" << part << "\" in\n" << r.Out;
    }
    EXPECT_EQ(r.Out.find('\x1b'), std::string::npos) << c.Name;
  }
}

// A file that is missing, unreadable or no status file gives exit status 3,
// a message naming the file, and nothing on stdout.
TEST_F(Kavor2CtlStatsTest, MissingOrMalformedFilesAreReportedWithStatusThree) {
  RunResult missing = Stats({"--datadir", (dir_ / "nowhere").string()});
  EXPECT_EQ(Code(missing), kExitUnreadable);
  EXPECT_NE(missing.Err.find((dir_ / "nowhere" / "kavor2-status.json").string() + ": No such file"), std::string::npos)
      << missing.Err;
  EXPECT_NE(missing.Err.find("is the service running"), std::string::npos) << missing.Err;
  EXPECT_TRUE(missing.Out.empty());

  RunResult directory = Stats({"--status", dir_.Path().string()});
  EXPECT_EQ(Code(directory), kExitUnreadable) << directory.Out;

  struct Case {
    const char* Name;
    std::string Json;
    std::string Err;
  };
  const std::string good = GoodStatus(0);
  const Case cases[] = {
      {"empty", "", "not JSON: unexpected end at byte 0"},
      {"truncated", good.substr(0, good.size() / 2), "not JSON: "},
      {"trailing text", "{} {}", "not JSON: text after the document at byte 3"},
      {"a list", "[]", "not a status file"},
      {"lines not a list", R"({"lines":5})", "\"lines\" of the file is not a list"},
      {"a device not an object", R"({"lines":[{"devices":[1]}]})", "an item of \"devices\" is not an object"},
      {"deep nesting", std::string(100000, '[') + std::string(100000, ']'), "nested too deeply"},
      {"bad escape", R"({"program":"\x"})", "bad escape"},
      {"raw control character", "{\"program\":\"a\nb\"}", "control character"},
      {"bad number", R"({"pid":01})", "not JSON: "},
      {"binary", std::string("\x00\xff\x10", 3), "not JSON: unexpected character at byte 0"},
  };
  for (const Case& c : cases) {
    const std::filesystem::path file = Write(c.Json, "bad.json");
    RunResult r = Stats({"--status", file.string()});
    EXPECT_EQ(Code(r), kExitUnreadable) << c.Name << ": " << r.Out;
    EXPECT_EQ(r.Err.rfind("kavor2ctl: " + file.string() + ": ", 0), 0u) << c.Name << ": " << r.Err;
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << c.Name << ": " << r.Err;
    EXPECT_TRUE(r.Out.empty()) << c.Name << ": " << r.Out;
  }
}

// The file a running service writes reads back: its pid, no lines or
// subscribers yet, and fresh (SIGUSR1 rewrites it at once).
TEST_F(Kavor2CtlStatsTest, ReadsTheFileOfARunningService) {
  const std::uint16_t port = FreePort();
  ChildProcess service(ServiceProgram(), {"/port=" + std::to_string(port), "/noncrypt", "/casheoff",
                                          "/eventlog=" + (dir_ / "events.log").string(),
                                          "/datadir=" + dir_.Path().string()});
  ASSERT_TRUE(WaitForPort(port, kRunTimeout)) << service.Stderr();
  const std::filesystem::path file = dir_ / "kavor2-status.json";
  std::filesystem::remove(file);
  ASSERT_TRUE(service.Signal(SIGUSR1));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(file); }, kRunTimeout)) << service.Stderr();

  RunResult r = Stats({"--datadir", dir_.Path().string()});
  ASSERT_EQ(Code(r), 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("kavor2srv 1.0.2.0, pid " + std::to_string(service.Pid()) + "\n", 0), 0u) << r.Out;
  EXPECT_TRUE(std::regex_search(r.Out, std::regex("\nwritten  [-0-9T:]+Z \\([0-9]+s ago\\)\n"))) << r.Out;
  EXPECT_EQ(r.Out.find("STALE"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\nLines: 0, devices: 0\n\nSubscribers: 0\n"), std::string::npos) << r.Out;
}

TEST_F(Kavor2CtlStatsTest, UsageErrors) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--datadir"}, {"--bogus", "x"}, {"--datadir", "a", "--status", "b"}, {"extra"}}) {
    RunResult r = Stats(args);
    EXPECT_EQ(Code(r), kExitUsage) << args[0] << ": " << r.Err;
    EXPECT_EQ(r.Err.rfind("kavor2ctl: stats: ", 0), 0u) << r.Err;
  }
  RunResult help = RunToEnd(CtlProgram(), {"--help"}, {}, kRunTimeout);
  EXPECT_NE(help.Out.find("kavor2ctl stats [--datadir DIR | --status FILE]"), std::string::npos) << help.Out;
}

}  // namespace
}  // namespace kavor2::testing
